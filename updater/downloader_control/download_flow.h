// Fetching one package through the downloader core: start it (up to five
// attempts), watch it once a second, show its progress, and tell it to quit
// once it has finished or failed.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "updater/downloader_control/downloader_control.h"

namespace kestra::ui {
class Dialog;
}

namespace kestra::dlctl {

// Window messages of the dialog that the flow sends or posts.
inline constexpr unsigned kMsgTotalSize = 2025;         // lParam: new std::uint64_t
inline constexpr unsigned kMsgDownloadPhaseDone = 2026;
inline constexpr unsigned kMsgProgress = 2027;          // wParam percent, lParam: new std::string
inline constexpr unsigned kMsgPackDownloadDone = 2029;

// Stage text of a download state, or nullptr (also outside 0-17).
const char* StageText(std::int32_t state);
// Text of an error class, or nullptr (also outside 0-7).
const char* ErrorText(std::int32_t error_class);

// Average of a ring of the last ten rates: the sum of entry / 10, so entries
// not yet written count as 0.
float RingAverage(const std::array<float, 10>& ring);
// "HH:MM:SS" of the time the missing bytes take at the average rate (kB/s),
// or "不确定" when the rate is 0.1 or less or the time exceeds 99 hours.
std::string RemainingTimeText(std::uint64_t incomplete_bytes, float download_average);
// "下: %.2fkB/s    上: %.2fkB/s    剩余时间: %s (%.2f%%)"
std::string RateLine(float download_average, float upload_average,
                     std::string_view remaining, float percent);

// The session state the flow reads and changes; the application provides it.
struct DownloadSession {
  // 0 patch update, 1 expansion pack, 2 resource pack.
  std::function<int()> run_mode;
  // Runs fn with the remaining downloads of the session under the session lock.
  std::function<void(const std::function<void(int& remaining)>& fn)> with_remaining_downloads;
  std::function<void(bool)> set_expansion_result;
  // Posts to the application's main window; false when there is none.
  std::function<bool(unsigned message)> post_to_main_window;
};

// Where the flow's progress goes: the dialog given to the call.
class DownloadProgressSink {
 public:
  virtual ~DownloadProgressSink() = default;
  // Message 2027, synchronous.
  virtual void SendProgress(int percent, const std::string& text) = 0;
  // Message 2025.
  virtual void PostTotal(std::uint64_t total_bytes) = 0;
};

// The sink over a dialog: heap blocks whose ownership passes to the dialog
// (std::string* for 2027, std::uint64_t* for 2025). Null dialog: nothing.
class DialogProgressSink : public DownloadProgressSink {
 public:
  explicit DialogProgressSink(ui::Dialog* dialog) : dialog_(dialog) {}
  void SendProgress(int percent, const std::string& text) override;
  void PostTotal(std::uint64_t total_bytes) override;

 private:
  ui::Dialog* dialog_;
};

struct DownloadFlowOptions {
  int poll_interval_ms = 1000;   // between polls
  int retry_interval_ms = 1000;  // between extraction attempts
  int start_attempts = 5;
  int max_polls_after_done = 30;  // the flow gives up on the next poll
};

class DownloadFlow {
 public:
  // Writes the program out; the path of the file in out_path.
  using ExtractFunction = std::function<bool(std::string& out_path)>;
  // One log line (GBK); error marks the error level.
  using LogFunction = std::function<void(bool error, const std::string& line)>;

  DownloadFlow(DownloaderControl& control, DownloadSession session,
               DownloadProgressSink& sink, ExtractFunction extract, LogFunction log,
               DownloadFlowOptions options = {});

  // Downloads the task into target_directory; always 0. The outcome is in the
  // session: one download less (run mode 0) or the expansion result (1, 2).
  int Run(const std::string& task_url, const std::string& target_directory);

 private:
  std::string RateText(const DownloaderStatus& status, float percent);
  void Log(bool error, const std::string& line);

  DownloaderControl& control_;
  DownloadSession session_;
  DownloadProgressSink& sink_;
  ExtractFunction extract_;
  LogFunction log_;
  DownloadFlowOptions options_;
  std::array<float, 10> download_ring_{};
  std::array<float, 10> upload_ring_{};
  int download_index_ = 0;
  int upload_index_ = 0;
};

// The application hands over its session state once at start-up.
void SetDownloadSession(DownloadSession session);

// The flow with the process's downloader, the embedded program, the updater's
// log and the session set above; always 0.
int DownloadWithDownloader(ui::Dialog* dialog, const std::string& task_url,
                           const std::string& target_directory);

}  // namespace kestra::dlctl
