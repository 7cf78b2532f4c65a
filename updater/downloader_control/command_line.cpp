#include "updater/downloader_control/command_line.h"

#include <cstdlib>

#include "platform/process.h"
#include "shared/protocol/protocol.h"

namespace kestra::dlctl {
namespace {

namespace proto = kestra::protocol;

// " -Name" (no blank before the first switch), then " value" when given.
void AddSwitch(std::string& line, const char* name) {
  if (!line.empty()) line += ' ';
  line += proto::kSwitchPrefix;
  line += name;
}
void AddSwitch(std::string& line, const char* name, std::string_view value) {
  AddSwitch(line, name);
  line += ' ';
  line += value;
}

}  // namespace

namespace {

// Four decimal parts 0-255: nothing that could add words to the command line.
bool IsDottedIpv4(std::string_view text) {
  int parts = 0;
  std::size_t pos = 0;
  while (parts < 4) {
    std::size_t digits = 0;
    int value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
      value = value * 10 + (text[pos++] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return false;
    if (++parts < 4) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
  }
  return pos == text.size();
}

}  // namespace

std::string LocalIpFromEnvironment() {
  const char* value = std::getenv(kLocalIpVariable);
  if (value == nullptr || !IsDottedIpv4(value)) return {};
  return value;
}

std::string BuildDownloaderArguments(const DownloaderParams& params) {
  std::size_t slash = params.task_url.rfind('/');
  if (slash == std::string::npos) return {};

  std::string directory = params.target_directory;
  while (!directory.empty() && directory.back() == '\\') directory.pop_back();

  std::string line;
  AddSwitch(line, proto::kParamDir, "\"" + directory + "\"");
  AddSwitch(line, proto::kParamHttpUrl, std::string_view(params.task_url).substr(0, slash));
  AddSwitch(line, proto::kParamTorrent, std::string_view(params.task_url).substr(slash + 1));
  AddSwitch(line, proto::kParamMode, params.mode);
  AddSwitch(line, proto::kParamHttpThread, std::to_string(params.http_threads));
  AddSwitch(line, proto::kParamP2PUploadThread, std::to_string(params.p2p_upload_threads));
  AddSwitch(line, proto::kParamP2PUploadListSize, std::to_string(params.p2p_upload_list_size));
  AddSwitch(line, proto::kParamDownloadLimit, std::to_string(params.download_limit));
  AddSwitch(line, proto::kParamUploadLimit, std::to_string(params.upload_limit));
  if (params.delete_download_info) AddSwitch(line, proto::kParamDeleteDownloadInfo);
  if (IsDottedIpv4(params.local_ip)) AddSwitch(line, proto::kParamLocalIp, params.local_ip);
  return line;
}

std::string BuildDownloaderCommandLine(std::string_view executable,
                                       const DownloaderParams& params) {
  std::string line(executable);
  line += ' ';
  if (params.local_ip.empty()) {
    DownloaderParams pinned = params;
    pinned.local_ip = LocalIpFromEnvironment();
    line += BuildDownloaderArguments(pinned);
  } else {
    line += BuildDownloaderArguments(params);
  }
  return line;
}

std::string AppendInteractivePort(std::string command_line, std::uint16_t port) {
  AddSwitch(command_line, proto::kParamInteractivePort, std::to_string(port));
  return command_line;
}

std::vector<std::string> CommandLineArguments(std::string_view executable,
                                              std::string_view command_line) {
  std::vector<std::string> words{std::string(executable)};
  std::string_view rest = command_line;
  if (rest.substr(0, executable.size()) == executable) rest.remove_prefix(executable.size());
  for (std::string& word : platform::process::SplitCommandLine(rest)) words.push_back(std::move(word));
  return words;
}

}  // namespace kestra::dlctl
