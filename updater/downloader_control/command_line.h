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
};

// Everything after the executable path and its space: "-Dir ... -DeleteDownloadInfo",
// or empty when the task URL has no "/".
std::string BuildDownloaderArguments(const DownloaderParams& params);

// The executable path, one space and the arguments.
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
