#include "updater/app/notice.h"

#include "updater/app/dialog.h"
#include "updater/config/endpoints.h"
#include "updater/config/settings.h"
#include "updater/log/log.h"

namespace kestra::app {

std::string NoticeRequest(std::string_view host, std::string_view path) {
  std::string request = "GET ";
  request += path;
  request += " HTTP/1.1\r\nHost: ";
  request += host;
  request += "\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n";
  return request;
}

std::string BoundNoticeBody(std::string body) {
  if (body.size() <= kMaxNoticeBytes) return body;
  // Walk the characters so the cut never falls between a lead and a trail byte.
  std::size_t at = 0;
  while (at < kMaxNoticeBytes) {
    unsigned char c = static_cast<unsigned char>(body[at]);
    std::size_t width = (c >= 0x81 && c <= 0xFE) ? 2 : 1;
    if (at + width > kMaxNoticeBytes) break;
    at += width;
  }
  body.resize(at);
  return body;
}

void DialogLink::Deliver(const NoticeFetchResult& result) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (dialog_ == nullptr || dialog_->ended()) return;
  if (result.ok) {
    dialog_->Post(kMsgNoticeText, 0, NewTextParam(BoundNoticeBody(result.body)));
    LogInfo("Patch维护公告下载完成");
  } else {
    LogError("Patch维护公告下载失败!");
    // Why: a refused status, a socket error, or a body that would not decode.
    if (!result.error.empty()) LogError("%s", result.error.c_str());
    dialog_->Post(kMsgNoticeText, 0, 0);
  }
}

void DialogLink::Detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  dialog_ = nullptr;
}

std::string NoticeUrl() {
  return config::ReadSetting("", "Setting", "InfoURL", config::endpoints::DefaultNoticeUrl());
}

void RunNoticeFetch(const std::shared_ptr<DialogLink>& link, const std::string& url,
                    const NoticeFetcher& fetch) {
  config::SplitUrlResult split = config::SplitUrl(url);
  NoticeFetchResult result;
  if (fetch) result = fetch(split, NoticeRequest(split.host, split.path));
  link->Deliver(result);
}

}  // namespace kestra::app
