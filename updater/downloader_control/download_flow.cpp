#include "updater/downloader_control/download_flow.h"

#include <cmath>
#include <cstdio>
#include <mutex>

#include "platform/clock.h"
#include "shared/protocol/protocol.h"
#include "updater/downloader_control/extract.h"
#include "updater/log/log.h"
#include "updater/ui/dialog.h"

namespace kestra::dlctl {
namespace {

constexpr const char* kStageTexts[kStateCount] = {
    "程序初始化...",      nullptr, nullptr, "初始化P2P网络...", "P2P网络初始化错误",
    nullptr,              nullptr, "检查版本信息...",  "下载更新文件列表...", nullptr,
    "分析文件列表",       nullptr, "扫描本地文件信息...", "分析文件列表失败", "正在下载...",
    "下载完成！",         "退出程序", nullptr};

constexpr const char* kErrorTexts[kErrorClassCount] = {
    nullptr,
    "硬盘空间不够，请清理硬盘。",
    nullptr,
    nullptr,
    "文件写入错误，请确保修复目录的客户端不在运行中。",
    "下载任务配置文件失败，请确保网络通畅。",
    "下载任务验证信息失败，请确保网络通畅。",
    nullptr};

constexpr char kUncertain[] = "不确定";
// 100 hours: from here on the time is not shown.
constexpr double kMaxShownSeconds = 100.0 * 3600.0;

int ProgressValue(float percent) {
  if (!(percent > 0)) return 0;  // also NaN
  if (percent >= 100) return 100;
  return static_cast<int>(percent);  // towards zero
}

std::string Format(const char* format, int value) {
  char text[256];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::mutex g_session_mutex;
DownloadSession g_session;

}  // namespace

const char* StageText(std::int32_t state) {
  if (state < 0 || state >= kStateCount) return nullptr;
  return kStageTexts[state];
}

const char* ErrorText(std::int32_t error_class) {
  if (error_class < 0 || error_class >= kErrorClassCount) return nullptr;
  return kErrorTexts[error_class];
}

float RingAverage(const std::array<float, 10>& ring) {
  float sum = 0;
  for (float entry : ring) sum += entry / 10;
  return sum;
}

std::string RemainingTimeText(std::uint64_t incomplete_bytes, float download_average) {
  if (!(download_average > 0.1f)) return kUncertain;
  double seconds =
      std::trunc(static_cast<double>(incomplete_bytes) / (download_average * 1000.0));
  if (!(seconds < kMaxShownSeconds)) return kUncertain;
  auto whole = static_cast<std::uint32_t>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", whole / 3600, (whole / 60) % 60,
                whole % 60);
  return text;
}

std::string RateLine(float download_average, float upload_average,
                     std::string_view remaining, float percent) {
  const char* format = "下: %.2fkB/s    上: %.2fkB/s    剩余时间: %s (%.2f%%)";
  std::string remaining_text(remaining);
  int length = std::snprintf(nullptr, 0, format, download_average, upload_average,
                             remaining_text.c_str(), percent);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, download_average, upload_average,
                remaining_text.c_str(), percent);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// A dialog that has ended no longer takes messages; nothing is allocated for it.
void DialogProgressSink::SendProgress(int percent, const std::string& text) {
  if (!dialog_ || dialog_->ended()) return;
  dialog_->Send(kMsgProgress, static_cast<ui::WParam>(percent),
                reinterpret_cast<ui::LParam>(new std::string(text)));
}

void DialogProgressSink::PostTotal(std::uint64_t total_bytes) {
  if (!dialog_ || dialog_->ended()) return;
  dialog_->Post(kMsgTotalSize, 0, reinterpret_cast<ui::LParam>(new std::uint64_t(total_bytes)));
}

DownloadFlow::DownloadFlow(DownloaderControl& control, DownloadSession session,
                           DownloadProgressSink& sink, ExtractFunction extract,
                           LogFunction log, DownloadFlowOptions options)
    : control_(control),
      session_(std::move(session)),
      sink_(sink),
      extract_(std::move(extract)),
      log_(std::move(log)),
      options_(options) {}

void DownloadFlow::Log(bool error, const std::string& line) {
  if (log_) log_(error, line);
}

std::string DownloadFlow::RateText(const DownloaderStatus& status, float percent) {
  download_ring_[download_index_] = status.download_rate;
  download_index_ = (download_index_ + 1) % 10;
  upload_ring_[upload_index_] = status.upload_rate;
  upload_index_ = (upload_index_ + 1) % 10;
  float download_average = RingAverage(download_ring_);
  float upload_average = RingAverage(upload_ring_);
  return RateLine(download_average, upload_average,
                  RemainingTimeText(status.incomplete_bytes, download_average), percent);
}

int DownloadFlow::Run(const std::string& task_url, const std::string& target_directory) {
  download_ring_.fill(0);
  upload_ring_.fill(0);
  download_index_ = 0;
  upload_index_ = 0;
  Log(false, "正在启动下载器");

  int attempts_left = options_.start_attempts;
  std::string executable;
  while (attempts_left > 0) {
    if (extract_ && extract_(executable)) {
      DownloaderParams params;
      params.http_threads = 4;
      params.target_directory = target_directory;
      params.task_url = task_url;
      control_.StartDownloader(executable, params);
      Log(false, "下载器启动成功，开始下载patch");
      break;
    }
    platform::clock::SleepMs(static_cast<std::uint32_t>(options_.retry_interval_ms));
    --attempts_left;
    Log(false, Format("下载器启动失败，重新尝试。剩余尝试次数:%d次", attempts_left));
  }
  if (attempts_left <= 0) {
    Log(true, "下载器启动失败!");
    return 0;
  }

  DownloaderStatus status;
  bool done = false;
  int wait_count = 0;
  bool total_posted = false;
  while (control_.IsDownloaderRunning()) {
    platform::clock::SleepMs(static_cast<std::uint32_t>(options_.poll_interval_ms));
    control_.PollDownloader(status);
    if (done) {
      // A small package can be complete before the answer with its size has
      // been read; the dialog still gets the size when it arrives.
      if (!total_posted && status.total_bytes != 0) {
        sink_.PostTotal(status.total_bytes);
        total_posted = true;
      }
      if (++wait_count > options_.max_polls_after_done) {
        Log(true, "等待下载器结束超时");
        break;
      }
      continue;
    }

    float percent = status.percentage_downloaded;
    std::string text;
    if (status.state == kStateCompleted) {
      percent = 100.0f;
      int mode = session_.run_mode ? session_.run_mode() : 0;
      if (mode == 1 || mode == 2) {
        if (session_.post_to_main_window) session_.post_to_main_window(kMsgPackDownloadDone);
        if (session_.set_expansion_result) session_.set_expansion_result(true);
      } else if (session_.with_remaining_downloads) {
        session_.with_remaining_downloads([&](int& remaining) {
          if (remaining >= 1) --remaining;
          if (remaining == 0 && session_.post_to_main_window) {
            session_.post_to_main_window(kMsgDownloadPhaseDone);
          }
        });
      }
      control_.SendDownloaderCommand(protocol::kCmdQuit);
      done = true;
    } else if (status.state == kStateDownloading) {
      text = RateText(status, percent);
    } else if (const char* stage = StageText(status.state)) {
      text = stage;
      if (status.state == kStateScanning) text += status.file_name;
    }

    if (status.error_class != kNoError) {
      const char* error_text = ErrorText(status.error_class);
      text = error_text ? error_text : "";
      control_.SendDownloaderCommand(protocol::kCmdQuit);
      done = true;
      Log(true, "下载发生错误，错误信息：" + text);
    }

    sink_.SendProgress(ProgressValue(percent), text);
    if (!total_posted && status.total_bytes != 0) {
      sink_.PostTotal(status.total_bytes);
      total_posted = true;
    }
  }
  // A core that finished within one poll has ended before its answers were
  // read; they are still waiting on the channel.
  if (done && !total_posted && control_.ReadWaitingReplies(status) && status.total_bytes != 0) {
    sink_.PostTotal(status.total_bytes);
  }
  control_.CloseDownloaderChannel();
  return 0;
}

void SetDownloadSession(DownloadSession session) {
  std::lock_guard lock(g_session_mutex);
  g_session = std::move(session);
}

int DownloadWithDownloader(ui::Dialog* dialog, const std::string& task_url,
                           const std::string& target_directory) {
  DownloadSession session;
  {
    std::lock_guard lock(g_session_mutex);
    session = g_session;
  }
  DialogProgressSink sink(dialog);
  DownloadFlow flow(
      ProcessDownloader(), std::move(session), sink,
      [](std::string& out_path) {
        return ExtractDownloader(kDownloaderResourceId, out_path, kDownloaderVersionTag);
      },
      [](bool error, const std::string& line) {
        if (error) {
          LogError("%s", line.c_str());
        } else {
          LogInfo("%s", line.c_str());
        }
      });
  return flow.Run(task_url, target_directory);
}

}  // namespace kestra::dlctl
