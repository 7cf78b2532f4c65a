#include "updater/app/notice.h"

namespace kestra::app {

NoticeFetchResult FetchWithHttpClient(const config::SplitUrlResult& url,
                                      std::string_view /*request*/) {
  NoticeFetchResult result;
  result.error = url.ok() ? "no HTTP client" : "bad url";
  return result;
}

}  // namespace kestra::app
