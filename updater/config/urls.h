// Splitting and rewriting of server addresses.
#pragma once

#include <string>
#include <string_view>

namespace kestra::config {

inline constexpr std::size_t kMaxUrlHost = 1023;
inline constexpr std::size_t kMaxUrlPath = 2047;

struct SplitUrlResult {
  std::string host;       // empty when the url could not be read
  std::string port_text;  // decimal; "80" unless the host part named a port
  std::string path;       // starts with "/"
  bool ok() const { return !host.empty() && !path.empty(); }
};

// "http://HOST[:PORT]/PATH"; the scheme is exactly lower-case http.
SplitUrlResult SplitUrl(std::string_view url);
// The text after the last "/", empty without one.
std::string UrlFileName(std::string_view url);
std::string TaskUrlForPatch(std::string_view patch_url, std::string_view task_base);
std::string TaskUrlForPack(std::string_view installer_url);

}  // namespace kestra::config
