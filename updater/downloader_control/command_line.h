// Start parameters of the downloader core and the command line built from them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestra::dlctl {

struct DownloaderParams {
  std::string task_url;          // URL of the task's description file
  std::string target_directory;  // where the downloaded files go
  std::string mode;              // "Mode"; empty in the download flow
  std::int32_t download_limit = 1000000;
  std::int32_t upload_limit = 1000000;
  std::int32_t http_threads = 6;
  std::int32_t p2p_upload_threads = 6;
  std::int32_t p2p_upload_list_size = 12;
  bool delete_download_info = true;
  // "-LocalIp": the core's local address; empty: the host's own.
  std::string local_ip;
};

// The environment variable that pins the core's local address (tests and
// demos set it to 127.0.0.1).
inline constexpr const char* kLocalIpVariable = "KESTRA_LOCAL_IP";
// Its value when it is a dotted IPv4 address; empty otherwise.
std::string LocalIpFromEnvironment();

// Everything after the executable path and its space: "-Dir ... -DeleteDownloadInfo",
// or empty when the task URL has no "/".
std::string BuildDownloaderArguments(const DownloaderParams& params);

// The executable path, one space and the arguments; "-LocalIp" follows from
// the environment when the parameters do not name an address.
std::string BuildDownloaderCommandLine(std::string_view executable,
                                       const DownloaderParams& params);

// The switch that tells the core the control port, appended last.
std::string AppendInteractivePort(std::string command_line, std::uint16_t port);

// The argument vector for starting the program: the executable path as it is
// (it may contain blanks), then the words of the command line after it, split
// at blanks with double quotes grouping.
std::vector<std::string> CommandLineArguments(std::string_view executable,
                                              std::string_view command_line);

}  // namespace kestra::dlctl
