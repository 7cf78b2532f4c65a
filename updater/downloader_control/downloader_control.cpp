#include "updater/downloader_control/downloader_control.h"

#include <cstdio>

#include "platform/fs.h"
#include "platform/net.h"
#include "platform/process.h"
#include "shared/protocol/protocol.h"
#include "updater/ui/dialog.h"

namespace kestra::dlctl {

namespace proto = kestra::protocol;

DownloaderControl::Dependencies DownloaderControl::DefaultDependencies() {
  Dependencies deps;
  deps.start_process = [](const std::vector<std::string>& argv,
                          const platform::pipe_process::StdHandles& handles, int* error_code) {
    return platform::pipe_process::StartHidden(argv, handles, error_code);
  };
  deps.is_alive = [](int pid) { return platform::process::IsAlive(pid); };
  deps.free_space = [](const std::string& directory) {
    return platform::fs::FreeSpace(directory);
  };
  deps.show_error = [](const std::string& text) {
    ui::MessageBox(nullptr, text, "错误", ui::Buttons::OK, ui::Icon::Error);
  };
  return deps;
}

DownloaderControl::DownloaderControl() : DownloaderControl(DefaultDependencies()) {}

DownloaderControl::DownloaderControl(Dependencies dependencies)
    : deps_(std::move(dependencies)) {}

DownloaderControl::~DownloaderControl() { CloseDownloaderChannel(); }

void DownloaderControl::StartDownloader(const std::string& executable,
                                        const DownloaderParams& params) {
  status_.Reset();
  ask_file_name_ = true;
  params_ = params;
  std::string command_line = BuildDownloaderCommandLine(executable, params);
  if (LaunchWithChannel(executable, command_line, Transport::Tcp)) return;
  char text[128];
  std::snprintf(text, sizeof text, "启动下载器内核进程失败, 错误码: %d", last_error_code_);
  if (deps_.show_error) deps_.show_error(text);
}

bool DownloaderControl::LaunchWithChannel(const std::string& executable,
                                          const std::string& command_line,
                                          Transport transport) {
  child_pid_ = 0;
  last_error_code_ = 0;
  last_command_line_ = command_line;
  // One downloader at a time: an earlier channel is closed, not leaked.
  CloseDownloaderChannel();

  platform::pipe_process::StdHandles handles;
  interactive::ConsoleInteractive* pipes = nullptr;
  interactive::NetworkInteractive* network_channel = nullptr;
  {
    std::lock_guard lock(mutex_);
    replies_.clear();
    if (transport == Transport::Tcp) {
      auto network = std::make_unique<interactive::NetworkInteractive>(0);
      bool opened = network->Open();
      std::uint16_t port = network->port();
      network_channel = network.get();
      channel_ = std::move(network);
      if (!opened) {
        last_error_code_ = platform::net::LastError();
        return false;
      }
      last_command_line_ = AppendInteractivePort(command_line, port);
    } else {
      auto console = std::make_unique<interactive::ConsoleInteractive>(true);
      bool opened = console->Open();
      pipes = console.get();
      channel_ = std::move(console);
      if (!opened) return false;
      handles.input = pipes->child_stdin();
      handles.output = pipes->child_stdout();
      handles.error = pipes->child_stderr();
    }
  }

  std::optional<int> pid;
  int error = 0;
  if (deps_.start_process) {
    pid = deps_.start_process(CommandLineArguments(executable, last_command_line_), handles,
                              &error);
  }
  if (pipes) {
    // The child has its copies now; ours would keep the pipes open after it ends.
    std::lock_guard lock(mutex_);
    pipes->CloseChildEnds();
  }
  if (!pid) {
    last_error_code_ = error;
    return false;
  }
  child_pid_ = *pid;
  // Only the core we started may take the connection.
  if (network_channel) network_channel->SetPeerProcess(child_pid_);
  return true;
}

bool DownloaderControl::IsDownloaderRunning() {
  if (child_pid_ == 0 || !deps_.is_alive) return false;
  return deps_.is_alive(child_pid_);
}

void DownloaderControl::CloseDownloaderChannel() {
  std::unique_ptr<interactive::IInteractive> channel;
  {
    std::lock_guard lock(mutex_);
    channel = std::move(channel_);
  }
  if (channel) channel->Close();
}

bool DownloaderControl::SendDownloaderCommand(std::string_view command) {
  std::string line(command);
  line += proto::kLineEnd;
  std::lock_guard lock(mutex_);
  if (!channel_) return false;
  return channel_->Write(line);
}

bool DownloaderControl::RequestDownloaderValue(std::string_view key) {
  std::string command = proto::kCmdGet;
  command += ' ';
  command += key;
  return SendDownloaderCommand(command);
}

bool DownloaderControl::PollDownloader(DownloaderStatus& status) {
  if (!has_channel()) return false;

  if (status_.error_class == kDiskFull) {
    std::optional<std::uint64_t> space;
    if (deps_.free_space) space = deps_.free_space(params_.target_directory);
    if (!space || *space >= status_.incomplete_bytes) status_.error_class = kNoError;
  }

  SendDownloaderCommand(proto::kCmdStat);
  RequestDownloaderValue(proto::kSelTotalBytes);
  if (ask_file_name_) RequestDownloaderValue(std::string(proto::kSelFileName) + " 0");
  return ReadWaitingReplies(status);
}

bool DownloaderControl::ReadWaitingReplies(DownloaderStatus& status) {
  ReplyMap replies;
  {
    std::lock_guard lock(mutex_);
    if (!channel_) return false;
    std::string line;
    for (int count = 0; count < kMaxLinesPerPoll && channel_->ReadLine(line); ++count) {
      ParseReplyLine(line, replies_);
    }
    replies = replies_;
  }
  InterpretReplies(replies, status_, ask_file_name_, params_.target_directory, deps_.free_space);
  status = status_;
  return true;
}

ReplyMap DownloaderControl::replies() const {
  std::lock_guard lock(mutex_);
  return replies_;
}

bool DownloaderControl::has_channel() const {
  std::lock_guard lock(mutex_);
  return channel_ != nullptr;
}

DownloaderControl& ProcessDownloader() {
  static DownloaderControl control;
  return control;
}

void StartDownloader(const std::string& executable, const DownloaderParams& params) {
  ProcessDownloader().StartDownloader(executable, params);
}
bool IsDownloaderRunning() { return ProcessDownloader().IsDownloaderRunning(); }
void CloseDownloaderChannel() { ProcessDownloader().CloseDownloaderChannel(); }
bool SendDownloaderCommand(std::string_view command) {
  return ProcessDownloader().SendDownloaderCommand(command);
}
bool RequestDownloaderValue(std::string_view key) {
  return ProcessDownloader().RequestDownloaderValue(key);
}
bool PollDownloader(DownloaderStatus& status) { return ProcessDownloader().PollDownloader(status); }

}  // namespace kestra::dlctl
