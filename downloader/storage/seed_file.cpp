#include "downloader/storage/seed_file.h"

#include <openssl/evp.h>
#include <tinyxml2.h>
#include <zlib.h>

#include <algorithm>
#include <limits>

#include "downloader/storage/seed_limits.h"
#include "platform/fs.h"

namespace zelt {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool ParseDigits(std::string_view text, std::uint64_t limit, std::uint64_t& out) {
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

const char* Attr(const tinyxml2::XMLElement* element, const char* name) {
  return element->Attribute(name);
}

// Every child element from the first one of that name on, whatever the
// names of the later ones.
template <typename Fn>
bool ForEachFrom(const tinyxml2::XMLElement* parent, const char* first_name, Fn&& fn) {
  for (const auto* e = parent->FirstChildElement(first_name); e != nullptr; e = e->NextSiblingElement()) {
    if (!fn(e)) return false;
  }
  return true;
}

bool ReadPart(const tinyxml2::XMLElement* e, PartEntry& part) {
  const char* id = Attr(e, "id");
  const char* start = Attr(e, "start");
  const char* length = Attr(e, "length");
  const char* md5 = Attr(e, "md5");
  if (id == nullptr || start == nullptr || length == nullptr || md5 == nullptr) return false;
  if (!ParseDecimalU32(id, part.id) || !ParseDecimalU32(start, part.start) ||
      !ParseDecimalU32(length, part.length)) {
    return false;
  }
  part.md5 = ParseMd5Text(md5);
  return true;
}

// The parts must cover [0, size) exactly, in ascending order, each non-empty,
// with distinct ids: anything else is a file that could never complete.
bool PartsTileFile(const FileEntry& file) {
  std::uint64_t expected = 0;
  for (const PartEntry& part : file.parts) {
    if (part.length == 0 || part.start != expected) return false;
    expected += part.length;
    if (expected > file.size) return false;
  }
  if (expected != file.size) return false;
  std::vector<std::uint32_t> ids;
  ids.reserve(file.parts.size());
  for (const PartEntry& part : file.parts) ids.push_back(part.id);
  std::sort(ids.begin(), ids.end());
  return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

void AddFileElement(tinyxml2::XMLPrinter& out, const FileEntry& file) {
  out.OpenElement("File", true);
  out.PushAttribute("id", file.id);
  out.PushAttribute("name", file.name.c_str());
  out.PushAttribute("size", file.size);
  out.PushAttribute("md5", Md5Text(file.md5).c_str());
  for (const PartEntry& part : file.parts) {
    out.OpenElement("Part", true);
    out.PushAttribute("id", part.id);
    out.PushAttribute("start", part.start);
    out.PushAttribute("length", part.length);
    out.PushAttribute("md5", Md5Text(part.md5).c_str());
    out.CloseElement(true);
  }
  out.CloseElement(true);
}

}  // namespace

Md5Digest ParseMd5Text(std::string_view text) {
  char digits[32];
  for (std::size_t i = 0; i < 32; ++i) digits[i] = i < text.size() ? text[i] : '\0';
  Md5Digest digest{};
  for (std::size_t i = 0; i < 16; ++i) {
    const int high = HexDigit(digits[2 * i]);
    const int low = HexDigit(digits[2 * i + 1]);
    digest[i] = static_cast<std::uint8_t>(static_cast<unsigned>(high * 16 + low) & 0xFFu);
  }
  return digest;
}

std::string Md5Text(const Md5Digest& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(32);
  for (std::uint8_t byte : digest) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 15]);
  }
  return text;
}

Md5Digest Md5Of(std::string_view data) {
  Md5Digest digest{};
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr);
  return digest;
}

bool IsSafeRelativeName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameBytes) return false;
  if (name.front() == '\\' || name.front() == '/') return false;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size()) {
      const unsigned char c = static_cast<unsigned char>(name[i]);
      if (c < 0x20 || c == 0x7F || c == ':') return false;
      if (c != '\\' && c != '/') continue;
    }
    if (name.substr(begin, i - begin) == "..") return false;
    begin = i + 1;
  }
  return true;
}

bool ParseDecimalU32(std::string_view text, std::uint32_t& out) {
  std::uint64_t value = 0;
  if (!ParseDigits(TrimBlanks(text), std::numeric_limits<std::uint32_t>::max(), value)) return false;
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool ParseDecimalU64(std::string_view text, std::uint64_t& out) {
  return ParseDigits(TrimBlanks(text), std::numeric_limits<std::uint64_t>::max(), out);
}

bool ParseDecimalI32(std::string_view text, std::int32_t& out) {
  text = TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  std::uint64_t value = 0;
  const std::uint64_t limit = negative ? 2147483648ull : 2147483647ull;
  if (!ParseDigits(text, limit, value)) return false;
  out = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(value))
                 : static_cast<std::int32_t>(value);
  return true;
}

std::optional<std::string> InflateSeed(std::string_view bytes) {
  auto is_gzip = [](std::string_view b) {
    return b.size() >= 2 && static_cast<unsigned char>(b[0]) == 0x1F &&
           static_cast<unsigned char>(b[1]) == 0x8B;
  };
  if (!is_gzip(bytes)) {
    if (bytes.size() > kMaxSeedTextBytes) return std::nullopt;
    return std::string(bytes);
  }
  std::string text;
  char chunk[16384];
  // One member after the other, as a gzip reader does; whatever follows the
  // last member and is not gzip is ignored.
  while (is_gzip(bytes)) {
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    zs.avail_in = static_cast<uInt>(std::min<std::size_t>(bytes.size(), kMaxSeedFileBytes));
    int rc = Z_OK;
    while (rc == Z_OK) {
      zs.next_out = reinterpret_cast<Bytef*>(chunk);
      zs.avail_out = sizeof(chunk);
      rc = inflate(&zs, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END) break;
      const std::size_t produced = sizeof(chunk) - zs.avail_out;
      if (text.size() + produced > kMaxSeedTextBytes) {
        rc = Z_MEM_ERROR;
        break;
      }
      text.append(chunk, produced);
      if (rc == Z_OK && produced == 0 && zs.avail_in == 0) rc = Z_BUF_ERROR;  // truncated
    }
    const std::size_t consumed = zs.total_in;
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::nullopt;
    bytes.remove_prefix(std::min(consumed, bytes.size()));
  }
  return text;
}

std::optional<SeedDocument> ParseSeedText(std::string_view text) {
  if (text.size() > kMaxSeedTextBytes) return std::nullopt;
  tinyxml2::XMLDocument doc;
  if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) return std::nullopt;
  const tinyxml2::XMLElement* root = doc.FirstChildElement("Root");
  if (root == nullptr) return std::nullopt;

  SeedDocument seed;
  std::size_t total_parts = 0;
  if (const auto* exist = root->FirstChildElement("Exist")) {
    const bool ok = ForEachFrom(exist, "File", [&](const tinyxml2::XMLElement* e) {
      if (seed.files.size() >= kMaxSeedFiles) return false;
      FileEntry file;
      const char* id = Attr(e, "id");
      const char* name = Attr(e, "name");
      const char* size = Attr(e, "size");
      const char* md5 = Attr(e, "md5");
      if (id == nullptr || name == nullptr || size == nullptr || md5 == nullptr) return false;
      if (!ParseDecimalU32(id, file.id) || !ParseDecimalU32(size, file.size)) return false;
      if (!IsSafeRelativeName(name)) return false;
      file.name = name;
      file.md5 = ParseMd5Text(md5);
      const bool parts_ok = ForEachFrom(e, "Part", [&](const tinyxml2::XMLElement* p) {
        if (++total_parts > kMaxSeedParts) return false;
        PartEntry part;
        if (!ReadPart(p, part)) return false;
        file.parts.push_back(part);
        return true;
      });
      if (!parts_ok || !PartsTileFile(file)) return false;
      seed.files.push_back(std::move(file));
      return true;
    });
    if (!ok) return std::nullopt;
  }
  if (const auto* non_exist = root->FirstChildElement("NonExist")) {
    for (const auto* e = non_exist->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
      const char* name = Attr(e, "name");
      if (name == nullptr) continue;
      if (seed.delete_list.size() >= kMaxDeleteNames || !IsSafeRelativeName(name)) return std::nullopt;
      seed.delete_list.emplace_back(name);
    }
  }
  return seed;
}

std::optional<SeedDocument> ReadSeedFile(const std::string& path) {
  std::string bytes;
  if (!platform::fs::ReadWholeFile(path, bytes, kMaxSeedFileBytes)) return std::nullopt;
  std::optional<std::string> text = InflateSeed(bytes);
  if (!text) return std::nullopt;
  return ParseSeedText(*text);
}

std::string WriteSeedText(const SeedDocument& seed) {
  tinyxml2::XMLPrinter out(nullptr, true);
  out.PushDeclaration("xml version=\"1.0\" encoding=\"GBK\"");
  out.OpenElement("Root", false);
  out.OpenElement("Exist", false);
  for (const FileEntry& file : seed.files) AddFileElement(out, file);
  out.CloseElement(false);
  out.OpenElement("NonExist", false);
  for (const std::string& name : seed.delete_list) {
    out.OpenElement("File", true);
    out.PushAttribute("name", name.c_str());
    out.CloseElement(true);
  }
  out.CloseElement(false);
  out.CloseElement(false);
  return std::string(out.CStr(), out.CStrSize() > 0 ? out.CStrSize() - 1 : 0);
}

std::string GzipBytes(std::string_view data) {
  z_stream zs{};
  deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out;
  out.resize(deflateBound(&zs, data.size()));
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

}  // namespace zelt
