#include "updater/app/notice.h"

#include "updater/net/comm_http.h"

namespace kestra::app {

NoticeFetchResult FetchWithHttpClient(const config::SplitUrlResult& url,
                                      std::string_view request) {
  NetModel::CommHttp http(url.host, url.port_text, NetModel::TimeValue{kNoticeConnectTimeoutS, 0},
                          NetModel::TimeValue{kNoticeDataTimeoutS, 0});
  http.Request(request);
  NoticeFetchResult result;
  result.ok = http.ok();
  if (result.ok) result.body = http.GetBody();
  result.error = http.GetError();
  return result;
}

}  // namespace kestra::app
