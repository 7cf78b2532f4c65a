// Uploads error lines to the client-log collection server, one HTML-form POST
// per message, from a worker thread of its own. Reporting never slows or
// breaks the updater: the queue is bounded and results are not looked at.
#pragma once

#include <cstdarg>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kestra::log {

inline constexpr std::size_t kReportMessageBytes = 512;
inline constexpr std::size_t kReportQueueLimit = 10;

struct ReportMessage {
  std::string text;  // at most kReportMessageBytes
  int priority = 0;
};

// The form body of one upload, "&game=vopa&app=...&priority=N".
std::string ClientLogBody(std::string_view app, std::string_view script_version,
                          std::string_view engine_version, std::string_view service_version,
                          std::string_view content, int priority);

class ClientLogReporter {
 public:
  explicit ClientLogReporter(std::string endpoint_url);
  // Signals the worker, waits at most 100 ms for it, then lets it go; queued
  // messages are never sent.
  ~ClientLogReporter();
  ClientLogReporter(const ClientLogReporter&) = delete;
  ClientLogReporter& operator=(const ClientLogReporter&) = delete;

  void SetAppName(std::string_view name);
  void Report(int priority, const char* format, va_list args);
  void Report(int priority, const char* format, ...) __attribute__((format(printf, 3, 4)));

  bool worker_started() const;
  // What the destructor does; afterwards every Report is dropped.
  void Shutdown();

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  std::thread worker_;
};

// The process's reporter, created on first use with endpoints::ClientLogUrl().
ClientLogReporter& Reporter();
// The function start-up registers as the log's error callback.
void ForwardErrorToReporter(const char* format, va_list args);

}  // namespace kestra::log
