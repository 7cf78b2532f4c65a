// Starting, watching and talking to the downloader core: one downloader at a
// time, one control channel (shared/interactive) towards it.
//
// The updater's worker thread drives it; the dialog's cancel path may send
// "quit" from the UI thread at the same time, so the channel is guarded.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/pipe_process.h"
#include "shared/interactive/interactive.h"
#include "updater/downloader_control/command_line.h"
#include "updater/downloader_control/downloader_status.h"
#include "updater/downloader_control/reply_parser.h"

namespace kestra::dlctl {

enum class Transport { Pipes = 0, Tcp = 1 };

// Most lines one poll takes from the channel; the rest wait for the next poll,
// so a peer that floods the channel cannot keep a poll from ending.
inline constexpr int kMaxLinesPerPoll = 4096;

class DownloaderControl {
 public:
  struct Dependencies {
    // Starts the program hidden with the given standard handles; the child's
    // id, or nullopt with the system error code.
    std::function<std::optional<int>(const std::vector<std::string>& argv,
                                     const platform::pipe_process::StdHandles& handles,
                                     int* error_code)>
        start_process;
    // True while the process exists (our exited children are reaped).
    std::function<bool(int pid)> is_alive;
    FreeSpaceFunction free_space;
    // Shows the start failure to the user (a message box without owner).
    std::function<void(const std::string& text)> show_error;
  };
  // The platform's processes, free space and message boxes.
  static Dependencies DefaultDependencies();

  DownloaderControl();
  explicit DownloaderControl(Dependencies dependencies);
  ~DownloaderControl();
  DownloaderControl(const DownloaderControl&) = delete;
  DownloaderControl& operator=(const DownloaderControl&) = delete;

  // Resets the status, asks for the file name again, builds the command line
  // and launches over TCP; a failed launch shows "启动下载器内核进程失败,
  // 错误码: %d" and returns (the caller then finds the downloader not running).
  void StartDownloader(const std::string& executable, const DownloaderParams& params);
  // Opens a new channel (closing any earlier one), starts the program with it
  // and returns whether the program was started. For TCP the port switch is
  // appended to the command line. The channel stays in place either way.
  bool LaunchWithChannel(const std::string& executable, const std::string& command_line,
                         Transport transport);
  bool IsDownloaderRunning();
  void CloseDownloaderChannel();

  // command + "\n" in one write; false when there is no channel or the write failed.
  bool SendDownloaderCommand(std::string_view command);
  // "get " + key.
  bool RequestDownloaderValue(std::string_view key);
  // One poll: the disk re-check of a full disk, "stat", "get tb", "get qf 0"
  // while the file name is unknown, then every line waiting on the channel;
  // fills status from all replies received since the launch. False (status
  // untouched) when there is no channel.
  bool PollDownloader(DownloaderStatus& status);
  // The reading half of a poll: every line waiting on the channel, without
  // asking anything (the answers of a core that has already ended).
  bool ReadWaitingReplies(DownloaderStatus& status);

  // What the last launch did (tests and logs).
  const std::string& last_command_line() const { return last_command_line_; }
  int last_error_code() const { return last_error_code_; }
  int child_pid() const { return child_pid_; }
  bool ask_file_name() const { return ask_file_name_; }
  ReplyMap replies() const;
  bool has_channel() const;

 private:
  Dependencies deps_;
  mutable std::mutex mutex_;  // guards channel_ and replies_
  std::unique_ptr<interactive::IInteractive> channel_;
  ReplyMap replies_;
  DownloaderStatus status_;
  DownloaderParams params_;
  bool ask_file_name_ = false;
  int child_pid_ = 0;
  int last_error_code_ = 0;
  std::string last_command_line_;
};

// The updater's one downloader.
DownloaderControl& ProcessDownloader();

// The operations on ProcessDownloader(), by their usual names.
void StartDownloader(const std::string& executable, const DownloaderParams& params);
bool IsDownloaderRunning();
void CloseDownloaderChannel();
bool SendDownloaderCommand(std::string_view command);
bool RequestDownloaderValue(std::string_view key);
bool PollDownloader(DownloaderStatus& status);

}  // namespace kestra::dlctl
