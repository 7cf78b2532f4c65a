#include "downloader/services/parameters.h"

#include <algorithm>
#include <charconv>

#include "downloader/framework/log.h"
#include "shared/protocol/protocol.h"

namespace zelt {
namespace {

namespace proto = kestra::protocol;

constexpr const char* kModule = "ConfigService";

// A decimal number that makes up the whole value, within int64.
std::optional<std::int64_t> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (*begin == '+') ++begin;
  std::int64_t value = 0;
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '"'; }
bool IsSeparator(char c) { return c == '\\' || c == '/'; }

class Reader {
 public:
  explicit Reader(const std::map<std::string, std::vector<std::string>>& map) : map_(map) {}

  bool Has(const char* name) const { return map_.count(name) != 0; }
  // First value, when there is one.
  std::optional<std::string> Value(const char* name) const {
    auto it = map_.find(name);
    if (it == map_.end() || it->second.empty()) return std::nullopt;
    return it->second.front();
  }
  std::optional<std::int64_t> Number(const char* name) const {
    auto v = Value(name);
    if (!v) return std::nullopt;
    return ParseNumber(*v);
  }
  // Stores the value when it lies in [low, high].
  template <typename T>
  void Ranged(const char* name, std::int64_t low, std::int64_t high, T& field) const {
    auto n = Number(name);
    if (n && *n >= low && *n <= high) field = static_cast<T>(*n);
  }
  template <typename T>
  void Clamped(const char* name, std::int64_t low, std::int64_t high, std::int64_t factor,
               T& field) const {
    auto n = Number(name);
    if (!n) return;
    std::int64_t v = std::clamp<std::int64_t>(*n, low, high);
    field = static_cast<T>(v * factor);
  }
  const std::vector<std::string>* Values(const char* name) const {
    auto it = map_.find(name);
    return it == map_.end() ? nullptr : &it->second;
  }

 private:
  const std::map<std::string, std::vector<std::string>>& map_;
};

}  // namespace

int LegacyRandom::Next() {
  state_ = state_ * 214013u + 2531011u;
  return static_cast<int>((state_ >> 16) & kMax);
}

void ShuffleUrls(std::vector<std::string>& urls, LegacyRandom& random) {
  for (std::size_t i = 1; i < urls.size(); ++i) {
    std::uint64_t r = static_cast<std::uint64_t>(random.Next());
    std::uint64_t range = LegacyRandom::kMax + 1;
    while (i + 1 > range) {
      r = (r << 15) + static_cast<std::uint64_t>(random.Next());
      range <<= 15;
    }
    std::size_t j = static_cast<std::size_t>(r % (i + 1));
    std::swap(urls[i], urls[j]);
  }
}

std::map<std::string, std::vector<std::string>> SplitParameters(const std::vector<std::string>& args) {
  std::map<std::string, std::vector<std::string>> out;
  std::vector<std::string>* current = nullptr;
  std::size_t count = std::min(args.size(), kMaxArguments);
  for (std::size_t i = 1; i < count; ++i) {
    const std::string& arg = args[i];
    if (arg.size() >= 2 && arg[0] == proto::kSwitchPrefix) {
      current = &out[arg.substr(1)];
    } else if (current != nullptr && arg.size() <= kMaxValueBytes) {
      // An overlong value is dropped, never cut: a cut path would name
      // another place.
      current->push_back(arg);
    }
  }
  return out;
}

std::string NormalizeDir(const std::string& value) {
  std::size_t begin = 0, end = value.size();
  while (begin < end && IsBlank(value[begin])) ++begin;
  while (end > begin && IsBlank(value[end - 1])) --end;
  std::string out;
  for (std::size_t i = begin; i < end; ++i) {
    if (IsSeparator(value[i])) {
      if (i + 1 < end && IsSeparator(value[i + 1])) ++i;  // a doubled one
      out += '\\';
    } else {
      out += value[i];
    }
  }
  // An empty value stays empty: the core then refuses to run rather than
  // writing below the root of the file system.
  if (!out.empty() && out.back() != '\\') out += '\\';
  return out;
}

std::string SanitizePostfix(const std::string& value) {
  std::string out = value;
  for (char& c : out) {
    switch (c) {
      case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
        c = '-';
        break;
      default:
        break;
    }
  }
  return out;
}

bool IsDottedIpv4(const std::string& text) {
  int parts = 0;
  std::size_t pos = 0;
  while (parts < 4) {
    std::size_t digits = 0;
    int value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
      value = value * 10 + (text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || value > 255) return false;
    ++parts;
    if (parts < 4) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
  }
  return pos == text.size();
}

bool ParseParameters(const std::vector<std::string>& args, int pid, Parameters& out) {
  if (args.empty()) return false;
  out = Parameters();
  out.pgmname = args[0];
  LegacyRandom random;
  out.udp_port = static_cast<std::uint16_t>(10000 + random.Next() % 9587);
  out.current_dir = std::to_string(pid) + "\\";

  const auto map = SplitParameters(args);
  Reader p(map);
  if (auto v = p.Value(proto::kParamDir)) out.current_dir = NormalizeDir(*v);
  if (auto v = p.Value(proto::kParamPostfix)) out.postfix = SanitizePostfix(*v);
  p.Ranged(proto::kParamLocalTcp, 1, 65535, out.tcp_listen_port);
  p.Ranged(proto::kParamLocalUdp, 1, 65535, out.udp_port);
  p.Clamped(proto::kParamUploadLimit, 3, 1048576, 1024, out.upload_limit);
  p.Clamped(proto::kParamDownloadLimit, 10, 1048576, 1024, out.download_limit);
  if (auto v = p.Value(proto::kParamUPnPText)) out.upnp_text = *v;
  if (p.Has(proto::kParamNotUsingUPnP)) out.using_upnp = false;
  p.Ranged(proto::kParamHttpThread, 0, kMaxHttpThreads, out.http_thread_num);
  if (const auto* urls = p.Values(proto::kParamHttpUrl); urls != nullptr && !urls->empty()) {
    out.has_http_url = true;
    for (const std::string& url : *urls) {
      if (out.http_urls.size() >= kMaxHttpUrls) break;
      out.http_urls.push_back(url);
    }
    ShuffleUrls(out.http_urls, random);
  }
  p.Ranged(proto::kParamP2PUploadThread, 0, kMaxUploadThreads, out.upload_thread_num);
  p.Ranged(proto::kParamP2PUploadListSize, 0, kMaxUploadListSize, out.max_wait_task);
  if (auto v = p.Value(proto::kParamTorrent)) {
    out.torrent_path = *v;
    out.task_name = v->substr(0, v->find('.'));
  }
  if (p.Has(proto::kParamDeleteDownloadInfo)) out.delete_download_info = true;
  if (p.Has(proto::kParamOnlyLocalConfig)) out.only_local_config = true;
  p.Ranged(proto::kParamReportPercentInterval, 1, 100, out.report_percent_interval);
  if (p.Has(proto::kParamInfoFolderHidden)) out.info_folder_hidden = true;
  p.Ranged(proto::kParamOutInfoLevel, INT32_MIN, INT32_MAX, out.out_info_level);
  p.Ranged(proto::kParamLogLevel, INT32_MIN, INT32_MAX, out.log_level);
  p.Ranged(proto::kParamMaxUploadNum, 0, kMaxConnections, out.max_upload_num);
  p.Ranged(proto::kParamMaxDownloadNum, 0, kMaxConnections, out.max_download_num);
  if (auto v = p.Value(proto::kParamId)) out.id = *v;
  if (auto v = p.Value(proto::kParamLocalIp); v && IsDottedIpv4(*v)) out.local_ip = *v;
  if (auto v = p.Value(proto::kParamMode)) {
    if (*v == proto::kModeDownloadName) out.mode = kModeDownload;
    else if (*v == proto::kModeUpdateName) out.mode = kModeUpdate;
    else if (*v == proto::kModeRepairName) out.mode = kModeRepair;
  }
  p.Ranged(proto::kParamFsys, INT32_MIN, INT32_MAX, out.fsys_mode);
  if (auto n = p.Number(proto::kParamShowDumpDlg)) out.show_dump_dlg = *n != 0;
  if (auto n = p.Number(proto::kParamHttpReport)) out.http_report = *n != 0;
  if (p.Has(proto::kParamGenerateDownloadInfo)) out.generate_download_info = true;
  if (auto n = p.Number(proto::kParamInteractivePort); n && *n >= 1 && *n <= 65535) {
    out.interactive_port = static_cast<std::uint16_t>(*n);
  }
  p.Ranged(proto::kParamMaxOldLog, 0, kMaxOldLogBound, out.max_old_log);
  return true;
}

void LogParameters(const Parameters& params) {
  for (const std::string& url : params.http_urls) {
    ZLOG(log::kNotice, kModule, "param.http=%s", url.c_str());
  }
  ZLOG(log::kNotice, kModule, "param.torrent_path=%s", params.torrent_path.c_str());
  ZLOG(log::kNotice, kModule, "param.current_dir=%s", params.current_dir.c_str());
  ZLOG(log::kNotice, kModule, "param.download_limit=%u", params.download_limit);
  ZLOG(log::kNotice, kModule, "param.upload_limit=%u", params.upload_limit);
  ZLOG(log::kNotice, kModule, "param.http_thread_num=%d", params.http_thread_num);
  ZLOG(log::kNotice, kModule, "param.fsys_mode=%d", params.fsys_mode);
  ZLOG(log::kNotice, kModule, "param.upload_limit=%u", params.upload_limit);
  ZLOG(log::kNotice, kModule, "param.mode=%d", params.mode);
  ZLOG(log::kNotice, kModule, "param.only_local_config=%d", params.only_local_config ? 1 : 0);
  if (!params.local_ip.empty()) ZLOG(log::kNotice, kModule, "param.local_ip=%s", params.local_ip.c_str());
}

}  // namespace zelt
