// Publishing one version into an update server's root: the package, its
// download task under "burrow/", and the patch list line, in that order, so
// that a player who reads the new line always finds what it names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestra::release {

inline constexpr const char* kDefaultListPath = "tqm/btpatch_list6.txt";
inline constexpr std::uint32_t kDefaultBlockSize = 1u << 20;
inline constexpr int kDefaultSharingMode = 1;
inline constexpr int kDefaultCountdownSeconds = 120;

struct PublishOptions {
  std::string www_root;   // the folder nginx serves
  std::string old_tree;   // installation before the package
  std::string new_tree;   // installation after it
  std::uint32_t version = 0;
  int micro = 0;          // > 0: the micro patch of the list's last version
  std::string list_path = kDefaultListPath;  // inside www_root
  // Where www_root is served ("http://HOST:PORT"); taken from the list's
  // "#bturl" when the list exists already.
  std::string url;
  std::uint32_t block_size = kDefaultBlockSize;
  std::vector<std::string> trackers;  // IP:PORT, handed to the task
  std::optional<int> sharing_mode;    // control line; defaults on a new list
  std::optional<int> countdown_seconds;
  std::string tool_dir;   // where kestra-pack and kestra-seed are
};

struct PublishResult {
  std::string package_path;  // inside www_root
  std::string package_url;
  std::string task_url;      // what the updater hands the downloader core
  std::string list_path;
};

// False with a one-line reason; www_root is left as it was before the call
// when anything fails.
bool Publish(const PublishOptions& options, PublishResult& result, std::string& error);

// Bad option values (not server state): a relative path that leaves its root,
// an address that is no "http://HOST[:PORT]" base.
bool IsSafeRelativePath(const std::string& path);
bool IsServerBaseUrl(const std::string& url);

}  // namespace kestra::release
