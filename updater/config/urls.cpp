#include "updater/config/urls.h"

#include <cstdint>

#include "updater/config/scan.h"

namespace kestra::config {

SplitUrlResult SplitUrl(std::string_view url) {
  SplitUrlResult r;
  constexpr std::string_view kScheme = "http://";
  if (url.substr(0, kScheme.size()) != kScheme) return r;
  std::string_view rest = url.substr(kScheme.size());

  // Host part: up to 1,023 bytes that are not "/", at least one.
  std::size_t host_len = 0;
  while (host_len < rest.size() && host_len < kMaxUrlHost && rest[host_len] != '/') ++host_len;
  if (host_len == 0) return r;
  std::string_view host_part = rest.substr(0, host_len);
  rest.remove_prefix(host_len);

  // Path: blanks skipped, then up to 2,047 bytes that are not blanks.
  std::size_t start = 0;
  while (start < rest.size() && IsScanSpace(rest[start])) ++start;
  std::size_t path_len = 0;
  while (start + path_len < rest.size() && path_len < kMaxUrlPath && !IsScanSpace(rest[start + path_len]))
    ++path_len;
  if (path_len == 0) return r;

  r.host = std::string(host_part);
  r.path = std::string(rest.substr(start, path_len));
  r.port_text = "80";
  std::size_t colon = host_part.find(':');
  if (colon != std::string_view::npos && colon > 0) {
    int port = 0;
    std::size_t pos = 0;
    if (ScanDecimal(host_part.substr(colon + 1), pos, port)) {
      r.host = std::string(host_part.substr(0, colon));
      r.port_text = std::to_string(static_cast<std::uint16_t>(port));
    }
  }
  return r;
}

std::string UrlFileName(std::string_view url) {
  std::size_t slash = url.rfind('/');
  if (slash == std::string_view::npos) return {};
  return std::string(url.substr(slash + 1));
}

std::string TaskUrlForPatch(std::string_view patch_url, std::string_view task_base) {
  std::string result;
  if (patch_url.substr(0, task_base.size()) == task_base) {
    result = std::string(task_base) + "/burrow/" + std::string(patch_url.substr(task_base.size()));
  } else {
    result = std::string(patch_url);
  }
  return result + ".data";
}

std::string TaskUrlForPack(std::string_view installer_url) {
  std::string name = UrlFileName(installer_url);
  std::size_t at = name.empty() ? std::string_view::npos : installer_url.find(name);
  std::string result;
  if (at != std::string_view::npos) {
    result = std::string(installer_url.substr(0, at)) + "/burrow/" + name;
  } else {
    result = std::string(installer_url);
  }
  return result + ".data";
}

}  // namespace kestra::config
