#include "updater/log/client_log_reporter.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "updater/config/endpoints.h"

namespace kestra::log {
namespace {

// The collection server is not trusted to answer: a hung request must not keep
// the worker (and its libcurl state) alive for ever.
constexpr long kConnectTimeoutSeconds = 10;
constexpr long kTransferTimeoutSeconds = 30;
constexpr std::size_t kMaxResponseBytes = 64 * 1024;

std::size_t AppendResponse(char* data, std::size_t size, std::size_t count, void* user) {
  auto* response = static_cast<std::string*>(user);
  std::size_t n = size * count;
  if (response->size() < kMaxResponseBytes)
    response->append(data, std::min(n, kMaxResponseBytes - response->size()));
  return n;
}

bool Post(const std::string& url, const std::string& body) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return false;
  std::string response;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendResponse);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
  bool ok = false;
  if (curl_easy_perform(curl) == CURLE_OK) {
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    ok = code == 200;
  }
  curl_easy_cleanup(curl);
  return ok;
}

}  // namespace

std::string ClientLogBody(std::string_view app, std::string_view script_version,
                          std::string_view engine_version, std::string_view service_version,
                          std::string_view content, int priority) {
  std::string body;
  auto field = [&body](std::string_view name, std::string_view value) {
    body += "&";
    body += name;
    body += "=";
    body += value;
  };
  field("game", "vopa");
  field("app", app);
  field("script_ver", script_version);
  field("engine_ver", engine_version);
  field("tqmsvc_ver", service_version);
  field("content", content);
  field("priority", std::to_string(priority));
  return body;
}

// State the worker keeps even after the reporter object is gone.
struct ClientLogReporter::Shared {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<ReportMessage> pending;
  bool stop = false;
  bool finished = false;
  bool started = false;
  std::string url;
  std::string app = "default";
  const std::string script_version = "default";
  const std::string engine_version = "default";
  const std::string service_version = "default";
};

ClientLogReporter::ClientLogReporter(std::string endpoint_url) : shared_(std::make_shared<Shared>()) {
  shared_->url = std::move(endpoint_url);
  // The library's global set-up is not thread-safe: do it here, on the thread
  // that creates the reporter (start-up), never from a worker's error line.
  static std::once_flag curl_once;
  std::call_once(curl_once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

ClientLogReporter::~ClientLogReporter() { Shutdown(); }

void ClientLogReporter::Shutdown() {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->stop = true;
  std::thread worker = std::move(worker_);  // a second Shutdown finds none
  if (!worker.joinable()) return;
  shared_->cv.notify_all();
  bool done = shared_->cv.wait_for(lock, std::chrono::milliseconds(100),
                                   [&] { return shared_->finished; });
  lock.unlock();
  if (done) {
    worker.join();
  } else {
    worker.detach();  // a request in flight; it ends by its own time-out
  }
}

void ClientLogReporter::SetAppName(std::string_view name) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->app = name;
}

bool ClientLogReporter::worker_started() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->started;
}

void ClientLogReporter::Report(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Report(priority, format, args);
  va_end(args);
}

void ClientLogReporter::Report(int priority, const char* format, va_list args) {
  ReportMessage message;
  char buffer[kReportMessageBytes + 1] = {};
  va_list copy;
  va_copy(copy, args);
  std::vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);
  message.text.assign(buffer, std::min(std::char_traits<char>::length(buffer), kReportMessageBytes));
  message.priority = priority;

  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->stop || shared_->pending.size() >= kReportQueueLimit) return;
  shared_->pending.push_back(std::move(message));
  if (shared_->started) return;
  shared_->started = true;
  worker_ = std::thread([shared = shared_] {
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
      // Wait for the stop signal; every second without it, send what waits.
      if (shared->cv.wait_for(lock, std::chrono::milliseconds(1000), [&] { return shared->stop; }))
        break;
      std::deque<ReportMessage> batch;
      batch.swap(shared->pending);
      std::string url = shared->url, app = shared->app;
      lock.unlock();
      for (const auto& m : batch) {
        Post(url, ClientLogBody(app, shared->script_version, shared->engine_version,
                                shared->service_version, m.text, m.priority));
      }
      lock.lock();
    }
    shared->finished = true;
    shared->cv.notify_all();
  });
}

ClientLogReporter& Reporter() {
  // Never destroyed: a thread that logs while the process exits must find a
  // stopped reporter, not freed memory. The exit handler stops the worker.
  static ClientLogReporter* reporter = [] {
    auto* r = new ClientLogReporter(config::endpoints::ClientLogUrl());
    std::atexit([] { Reporter().Shutdown(); });
    return r;
  }();
  return *reporter;
}

void ForwardErrorToReporter(const char* format, va_list args) { Reporter().Report(0, format, args); }

}  // namespace kestra::log
