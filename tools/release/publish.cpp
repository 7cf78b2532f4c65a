#include "tools/release/publish.h"

#include <cstdio>

#include "platform/fs.h"
#include "platform/pipe_process.h"
#include "platform/process.h"
#include "tools/release/patch_list_document.h"
#include "updater/config/settings.h"
#include "updater/config/urls.h"
#include "updater/patch/package_format.h"

namespace kestra::release {
namespace {

std::string DirectoryOf(const std::string& relative) {
  std::size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

std::string Join(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + "/" + b;
}

std::string TrimSlashes(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

bool Run(const std::vector<std::string>& argv, std::string& error) {
  // The builders' reports name the staging folder and would only confuse;
  // their error messages reach the engineer.
  platform::pipe_process::StdHandles handles;
  handles.error = platform::pipe::StandardError();
  std::optional<platform::process::Pid> pid = platform::pipe_process::StartHidden(argv, handles);
  if (!pid) {
    error = "cannot start " + argv[0];
    return false;
  }
  std::optional<int> code = platform::process::Wait(*pid, -1);
  if (!code || *code != 0) {
    error = argv[0] + " " + argv[1] + " failed (exit " + (code ? std::to_string(*code) : "?") + ")";
    return false;
  }
  return true;
}

// Removes the staging folder on every way out.
class Staging {
 public:
  explicit Staging(std::string path) : path_(std::move(path)) {}
  ~Staging() { platform::fs::RemoveTree(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

bool IsSafeRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.front() == '\\') return false;
  if (path.find('\0') != std::string::npos || path.find(':') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == ".." || part == "." || part.empty()) return false;
    start = end + 1;
  }
  return true;
}

bool IsServerBaseUrl(const std::string& url) {
  if (url.find_first_of(" \t\r\n") != std::string::npos) return false;
  if (url.size() > config::kMaxUrlHost) return false;
  config::SplitUrlResult split = config::SplitUrl(TrimSlashes(url) + "/");
  return split.ok() && split.port_text != "0";
}

bool Publish(const PublishOptions& o, PublishResult& result, std::string& error) {
  namespace fs = platform::fs;
  if (!fs::IsDirectory(o.www_root)) {
    error = "--www " + o.www_root + " is not a directory";
    return false;
  }
  for (const std::string* tree : {&o.old_tree, &o.new_tree}) {
    if (!fs::IsDirectory(*tree)) {
      error = *tree + " is not a directory";
      return false;
    }
  }

  // The list as the updater sees it today.
  const std::string list_file = Join(o.www_root, o.list_path);
  PatchListDocument list;
  const bool list_exists = fs::Exists(list_file);
  if (list_exists) {
    std::string text;
    if (!fs::ReadWholeFile(list_file, text, kMaxPatchListBytes)) {
      error = "cannot read the patch list " + list_file + " (missing rights, or over " +
              std::to_string(kMaxPatchListBytes) + " bytes)";
      return false;
    }
    if (!list.Parse(text, error)) {
      error = list_file + ": " + error;
      return false;
    }
    if (list.EndsIncomplete()) {
      error = list_file + ": its last entry lacks a word; a line added after it would be read as "
              "that word. Mend the list by hand first.";
      return false;
    }
  }

  // Where the root is served.
  std::string base;
  std::optional<std::string> listed = list.TaskBase();
  if (listed) {
    base = TrimSlashes(*listed);
    if (!o.url.empty() && TrimSlashes(o.url) != base) {
      error = "--url " + o.url + " differs from the list's #bturl " + *listed;
      return false;
    }
    if (!IsServerBaseUrl(base)) {
      error = list_file + ": its #bturl " + *listed + " is not an http://HOST[:PORT] address";
      return false;
    }
  } else if (!o.url.empty()) {
    base = TrimSlashes(o.url);
  } else {
    error = list_exists ? list_file + " names no #bturl; give --url http://HOST:PORT"
                        : "a new patch list needs --url http://HOST:PORT (where --www is served)";
    return false;
  }

  // Which package, and where it goes.
  std::string relative;  // of the package, inside www_root
  std::optional<std::uint32_t> last = list.LastVersion();
  if (o.micro > 0) {
    if (!last || *last != o.version) {
      error = "a micro patch belongs to the list's last version (" +
              (last ? config::FormatVersion(*last) : std::string("none")) + "), not " +
              config::FormatVersion(o.version);
      return false;
    }
    const ListEntry* line = list.LastVersionLine();
    const std::string url = line->tokens.size() > 1 ? line->tokens[1] : std::string();
    if (url.rfind(base + "/", 0) != 0 || !IsSafeRelativePath(url.substr(base.size() + 1))) {
      error = "the package of " + config::FormatVersion(o.version) + " (" + url +
              ") is not on this server (" + base + ")";
      return false;
    }
    relative = url.substr(base.size() + 1) + "." + std::to_string(o.micro);
  } else {
    if (last && o.version <= *last) {
      error = "version " + config::FormatVersion(o.version) + " is not newer than the list's last, " +
              config::FormatVersion(*last);
      return false;
    }
    relative = Join(DirectoryOf(o.list_path), patch::PackageFileName(o.version, 0));
  }
  const std::string package_file = Join(o.www_root, relative);
  if (fs::Exists(package_file)) {
    error = package_file + " exists already; a published package is never replaced";
    return false;
  }
  const std::string name = relative.substr(relative.rfind('/') == std::string::npos
                                               ? 0
                                               : relative.rfind('/') + 1);
  const std::string task_dir = Join(Join(o.www_root, "burrow"), DirectoryOf(relative));
  const std::string task_name = name + ".data";
  if (fs::Exists(Join(task_dir, task_name))) {
    error = Join(task_dir, task_name) + " exists already";
    return false;
  }

  Staging staging(Join(o.www_root, ".kestra-release-" +
                                        std::to_string(platform::process::CurrentPid())));
  fs::RemoveTree(staging.path());
  const std::string files = Join(staging.path(), "files");
  if (!fs::MakeDirectories(files)) {
    error = "cannot create " + files;
    return false;
  }
  const std::string staged = Join(files, name);
  std::vector<std::string> pack = {Join(o.tool_dir, "kestra-pack"), "make", "--old", o.old_tree,
                                   "--new", o.new_tree, "--version",
                                   config::FormatVersion(o.version), "-o", staged};
  if (o.micro > 0) {
    pack.push_back("--micro");
    pack.push_back(std::to_string(o.micro));
  }
  if (!Run(pack, error)) return false;

  // The core fetches the data from the folder the task lies in.
  const std::string package_url = base + "/" + relative;
  const std::string cdn = Join(base + "/burrow", DirectoryOf(relative));
  std::vector<std::string> seed = {Join(o.tool_dir, "kestra-seed"), "make", "--files", files,
                                   "--block-size", std::to_string(o.block_size), "--out",
                                   Join(staging.path(), "task"), "--torrent", task_name, "--cdn",
                                   cdn};
  for (const std::string& tracker : o.trackers) {
    seed.push_back("--tracker");
    seed.push_back(tracker);
  }
  if (!Run(seed, error)) return false;

  // Everything built: move it into place, the list line last.
  const std::string staged_task = Join(staging.path(), "task");
  std::optional<std::vector<fs::DirEntry>> task_files = fs::ListDirectory(staged_task);
  if (!task_files || !fs::MakeDirectories(task_dir) ||
      !fs::MakeDirectories(Join(o.www_root, DirectoryOf(relative)))) {
    error = "cannot lay out " + task_dir;
    return false;
  }
  std::vector<std::string> placed;
  auto undo = [&] {
    for (const std::string& p : placed) fs::RemoveFile(p);
  };
  for (const fs::DirEntry& entry : *task_files) {
    if (entry.is_directory) continue;
    const std::string to = Join(task_dir, entry.name);
    if (fs::Exists(to) || !fs::MoveFile(Join(staged_task, entry.name), to, false)) {
      error = "cannot place " + to;
      undo();
      return false;
    }
    placed.push_back(to);
    // The torrent and seed also lie beside the package: sharing hands the
    // core the package address plus ".data".
    if (entry.name.rfind(task_name, 0) == 0) {
      const std::string beside = Join(Join(o.www_root, DirectoryOf(relative)), entry.name);
      if (!fs::CopyFile(to, beside, true)) {
        error = "cannot place " + beside;
        undo();
        return false;
      }
      placed.push_back(beside);
    }
  }
  if (!fs::MoveFile(staged, package_file, false)) {
    error = "cannot place " + package_file;
    undo();
    return false;
  }
  placed.push_back(package_file);

  if (o.micro == 0 || o.sharing_mode || o.countdown_seconds || !listed) {
    if (!listed) list.SetTaskBase(base);
    if (o.sharing_mode || o.countdown_seconds || !list.HasControlLine()) {
      list.SetControl(o.sharing_mode.value_or(kDefaultSharingMode),
                      o.countdown_seconds.value_or(kDefaultCountdownSeconds));
    }
    if (o.micro == 0) list.AppendVersion(o.version, package_url);
    const std::string temp = Join(staging.path(), "list");
    if (!fs::MakeDirectories(DirectoryOf(list_file).empty() ? o.www_root : DirectoryOf(list_file)) ||
        !fs::WriteWholeFile(temp, list.Text()) || !fs::MoveFile(temp, list_file, true)) {
      error = "cannot write the patch list " + list_file;
      undo();
      return false;
    }
  }

  result.package_path = package_file;
  result.package_url = package_url;
  result.task_url = config::TaskUrlForPatch(package_url, base);
  result.list_path = list_file;
  return true;
}

}  // namespace kestra::release
