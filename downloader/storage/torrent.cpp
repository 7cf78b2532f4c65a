#include "downloader/storage/torrent.h"

#include <tinyxml2.h>

#include "downloader/storage/seed_file.h"
#include "downloader/storage/seed_limits.h"

namespace zelt {
namespace {

// Server addresses end up in request lines: a control character (CR, LF...)
// in one is never a real address.
bool PlainText(std::string_view text) {
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

}  // namespace

std::optional<TorrentInfo> ParseTorrent(std::string_view text) {
  if (text.size() > kMaxTorrentBytes) return std::nullopt;
  tinyxml2::XMLDocument doc;
  if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) return std::nullopt;
  const tinyxml2::XMLElement* root = doc.FirstChildElement("Root");
  if (root == nullptr) return std::nullopt;

  TorrentInfo info;
  if (const auto* server = root->FirstChildElement("Server")) {
    std::size_t count = 0;
    for (const auto* e = server->FirstChildElement("Http"); e != nullptr; e = e->NextSiblingElement("Http")) {
      if (++count > kMaxTorrentServers) return std::nullopt;
      TorrentCdn cdn;
      if (const char* url = e->Attribute("url")) cdn.url = url;
      if (cdn.url.size() > kMaxUrlBytes || !PlainText(cdn.url)) return std::nullopt;
      // A missing or unreadable factor counts as 0.
      if (const char* factor = e->Attribute("factor")) {
        if (!ParseDecimalI32(factor, cdn.factor)) cdn.factor = 0;
      }
      info.cdnList.push_back(std::move(cdn));
    }
    for (const auto* e = server->FirstChildElement("Tracker"); e != nullptr;
         e = e->NextSiblingElement("Tracker")) {
      if (++count > kMaxTorrentServers) return std::nullopt;
      const char* ip = e->Attribute("ip");
      const char* port = e->Attribute("port");
      std::uint32_t port_value = 0;
      // An incomplete or unusable tracker is skipped, not fatal.
      if (ip == nullptr || port == nullptr || std::string_view(ip).size() > kMaxUrlBytes || !PlainText(ip)) continue;
      if (!ParseDecimalU32(port, port_value) || port_value > 0xFFFF) continue;
      info.trackers.push_back({ip, static_cast<std::uint16_t>(port_value)});
    }
  }
  if (const auto* extra = root->FirstChildElement("Extra")) {
    if (const auto* total = extra->FirstChildElement("TotalSize")) {
      if (const char* size = total->Attribute("size")) {
        if (!ParseDecimalU64(size, info.totalSize)) info.totalSize = 0;
      }
    }
    if (const auto* config = extra->FirstChildElement("DefaultConfigFile")) {
      if (const char* path = config->Attribute("default_config_file")) info.defaultConfigFile = path;
      if (info.defaultConfigFile.size() > kMaxUrlBytes || !PlainText(info.defaultConfigFile)) return std::nullopt;
    }
  }
  const auto* exist = root->FirstChildElement("Exist");
  const auto* file = exist != nullptr ? exist->FirstChildElement("File") : nullptr;
  if (file == nullptr) return std::nullopt;
  const char* id = file->Attribute("id");
  const char* name = file->Attribute("name");
  const char* size = file->Attribute("size");
  const char* md5 = file->Attribute("md5");
  if (id == nullptr || name == nullptr || size == nullptr || md5 == nullptr) return std::nullopt;
  if (!ParseDecimalU32(id, info.seed.id) || !ParseDecimalU32(size, info.seed.size)) return std::nullopt;
  if (info.seed.size == 0 || !IsSafeRelativeName(name)) return std::nullopt;
  info.seed.name = name;
  info.seed.md5 = ParseMd5Text(md5);
  // A torrent that names neither a CDN server nor a tracker gives nothing to
  // download from.
  if (info.cdnList.empty() && info.trackers.empty()) return std::nullopt;
  return info;
}

std::string WriteTorrent(const TorrentInfo& info) {
  tinyxml2::XMLPrinter out(nullptr, false);
  out.PushDeclaration("xml version=\"1.0\" encoding=\"GBK\"");
  out.OpenElement("Root");
  out.OpenElement("Server");
  for (const TorrentCdn& cdn : info.cdnList) {
    out.OpenElement("Http");
    out.PushAttribute("url", cdn.url.c_str());
    out.PushAttribute("factor", cdn.factor);
    out.CloseElement();
  }
  for (const TorrentTracker& tracker : info.trackers) {
    out.OpenElement("Tracker");
    out.PushAttribute("ip", tracker.ip.c_str());
    out.PushAttribute("port", static_cast<unsigned>(tracker.port));
    out.CloseElement();
  }
  out.CloseElement();
  out.OpenElement("Extra");
  out.OpenElement("TotalSize");
  out.PushAttribute("size", static_cast<uint64_t>(info.totalSize));
  out.CloseElement();
  out.OpenElement("DefaultConfigFile");
  out.PushAttribute("default_config_file", info.defaultConfigFile.c_str());
  out.CloseElement();
  out.CloseElement();
  out.OpenElement("Exist");
  out.OpenElement("File");
  out.PushAttribute("id", info.seed.id);
  out.PushAttribute("name", info.seed.name.c_str());
  out.PushAttribute("size", info.seed.size);
  out.PushAttribute("md5", Md5Text(info.seed.md5).c_str());
  out.CloseElement();
  out.CloseElement();
  out.CloseElement();
  return std::string(out.CStr(), out.CStrSize() > 0 ? out.CStrSize() - 1 : 0);
}

}  // namespace zelt
