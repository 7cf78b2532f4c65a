// The downloader core's command line: parameters, their rules and defaults.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zelt {

// The runtime's per-thread linear congruential generator, unseeded: state 1,
// s := s * 214013 + 2531011, each draw bits 16-30 of the new state.
class LegacyRandom {
 public:
  static constexpr std::uint32_t kMax = 0x7fff;
  int Next();

 private:
  std::uint32_t state_ = 1;
};

// Shuffles in place: for i from 1 to n - 1, j := r mod (i + 1), swap i and j.
void ShuffleUrls(std::vector<std::string>& urls, LegacyRandom& random);

inline constexpr std::int32_t kModeDownload = 0;
inline constexpr std::int32_t kModeUpdate = 1;
inline constexpr std::int32_t kModeRepair = 2;

// Bounds of the values that the rules leave open; a value beyond them is
// ignored like any other value out of range.
inline constexpr std::size_t kMaxArguments = 1024;
inline constexpr std::size_t kMaxHttpUrls = 64;
inline constexpr std::size_t kMaxValueBytes = 4096;
inline constexpr std::int32_t kMaxHttpThreads = 64;
inline constexpr std::int32_t kMaxUploadThreads = 256;
inline constexpr std::int32_t kMaxUploadListSize = 65536;
inline constexpr std::int32_t kMaxConnections = 65535;
inline constexpr std::int32_t kMaxOldLogBound = 1000;

struct Parameters {
  std::string pgmname;
  std::string current_dir;  // always ends in a backslash, or empty
  std::string postfix;
  std::uint16_t tcp_listen_port = 0;
  std::uint16_t udp_port = 0;
  std::uint32_t upload_limit = 131072;    // bytes/s
  std::uint32_t download_limit = 262144;  // bytes/s
  std::string upnp_text;
  bool using_upnp = true;
  std::int32_t http_thread_num = 4;
  bool has_http_url = false;
  std::vector<std::string> http_urls;  // shuffled
  std::int32_t upload_thread_num = 10;
  std::int32_t max_wait_task = 10;
  std::string torrent_path;
  std::string task_name;  // torrent path up to its first "."
  bool delete_download_info = false;
  bool only_local_config = false;
  std::int32_t report_percent_interval = 5;
  bool info_folder_hidden = false;
  std::int32_t out_info_level = 0;
  std::int32_t log_level = 5;
  std::int32_t max_upload_num = 20;
  std::int32_t max_download_num = 256;
  std::string id;
  std::int32_t mode = kModeUpdate;
  std::int32_t fsys_mode = 1;
  bool show_dump_dlg = true;
  bool http_report = true;
  bool generate_download_info = false;
  std::optional<std::uint16_t> interactive_port;
  std::int32_t max_old_log = 10;
  // "LocalIp": replaces the host's first IPv4 address as the local address
  // (a dotted IPv4 address; anything else is ignored).
  std::string local_ip;
};

// Four decimal parts 0-255 separated by dots, nothing else.
bool IsDottedIpv4(const std::string& text);

// Splits the arguments into parameters: an argument of at least two
// characters that begins with "-" starts one, every following other argument
// is one of its values. Arguments before the first parameter are ignored.
std::map<std::string, std::vector<std::string>> SplitParameters(const std::vector<std::string>& args);

// Fills the record from the arguments (args[0] the program path). pid is the
// process id used for the default directory. Fails only for an empty list.
bool ParseParameters(const std::vector<std::string>& args, int pid, Parameters& out);

// Rules of single values, exposed for their own tests.
std::string NormalizeDir(const std::string& value);  // empty stays empty
std::string SanitizePostfix(const std::string& value);

// Logs every value as the core does at start-up.
void LogParameters(const Parameters& params);

}  // namespace zelt
