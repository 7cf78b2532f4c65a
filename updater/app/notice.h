// The notice thread of the main dialog: one fetch of the maintenance notice,
// handed to the dialog as message 2030.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "updater/config/urls.h"
#include "updater/ui/dialog.h"

namespace kestra::app {

// Largest notice body shown; a longer one is cut at a character boundary.
inline constexpr std::size_t kMaxNoticeBytes = 1u << 20;
inline constexpr int kNoticeConnectTimeoutS = 25;
inline constexpr int kNoticeDataTimeoutS = 86;

struct NoticeFetchResult {
  bool ok = false;
  std::string body;   // GBK, as served
  std::string error;  // the HTTP client's error text
};

// One HTTP fetch: host, port text and the complete request text.
using NoticeFetcher = std::function<NoticeFetchResult(
    const config::SplitUrlResult& url, std::string_view request)>;

// "GET " + path + " HTTP/1.1\r\nHost: " + host + ... + "\r\n\r\n"
std::string NoticeRequest(std::string_view host, std::string_view path);

// The fetch through the updater's own HTTP client (25 s to connect, 86 s for
// the data).
NoticeFetchResult FetchWithHttpClient(const config::SplitUrlResult& url,
                                      std::string_view request);

// body cut to at most kMaxNoticeBytes without splitting a GBK character.
std::string BoundNoticeBody(std::string body);

// Lets a thread that the dialog does not wait for post to it only while the
// dialog exists: the dialog detaches the link when it goes away.
class DialogLink {
 public:
  explicit DialogLink(ui::Dialog* dialog) : dialog_(dialog) {}
  // Logs the outcome of the fetch and posts 2030 with the body (or lParam 0),
  // only while the dialog is there and running: once it has ended the thread
  // touches nothing any more, so it cannot race with the end of the process.
  void Deliver(const NoticeFetchResult& result);
  // From now on nothing reaches the dialog or the log; waits for a delivery
  // in progress.
  void Detach();

 private:
  std::mutex mutex_;
  ui::Dialog* dialog_;
};

// The notice address: [Setting] InfoURL, default the notice file of the
// game's site (read on the dialog's thread, before the notice thread starts).
std::string NoticeUrl();

// The thread's body: fetches url, then delivers the outcome through link.
void RunNoticeFetch(const std::shared_ptr<DialogLink>& link, const std::string& url,
                    const NoticeFetcher& fetch);

}  // namespace kestra::app
