// kestra-release: publishes one version into an update server's root.
//
//   kestra-release publish --www ROOT --old OLDTREE --new NEWTREE --version X.Y.Z
//                          [--micro N] [--list PATH] [--url http://HOST:PORT]
//                          [--block-size BYTES] [--tracker IP:PORT]...
//                          [--sharing 0|1|2] [--countdown SECONDS]
//
// Exit 0 when published, 1 when the server's state or a builder refused it,
// 2 for bad arguments.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "tools/release/patch_list_document.h"
#include "tools/release/publish.h"

namespace {

constexpr const char* kUsage =
    "usage: kestra-release publish --www ROOT --old OLDTREE --new NEWTREE --version X.Y.Z\n"
    "                              [--micro N] [--list PATH] [--url http://HOST:PORT]\n"
    "                              [--block-size BYTES] [--tracker IP:PORT]...\n"
    "                              [--sharing 0|1|2] [--countdown SECONDS]\n"
    "  --list     the patch list inside ROOT (default tqm/btpatch_list6.txt)\n"
    "  --url      where ROOT is served; needed when the list has no #bturl yet\n"
    "  --micro    builds micro patch N of the list's last version (no list line)\n"
    "  --sharing, --countdown  the list's control line (a new list gets 1 and 120)\n";

constexpr long kMaxBlockSize = 64l << 20;
constexpr long kMaxCountdown = 3600;

int Bad(const std::string& why) {
  std::fprintf(stderr, "kestra-release: %s\n%s", why.c_str(), kUsage);
  return 2;
}

bool Number(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::strtol(text.c_str(), nullptr, 10);
  return value >= low && value <= high;
}

std::string DirectoryOfProgram() {
  std::string self = platform::process::CurrentExecutablePath();
  std::size_t slash = self.rfind('/');
  return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestra::release;
  if (argc < 2 || std::string_view(argv[1]) != "publish")
    return Bad(argc < 2 ? "no command" : std::string("unknown command ") + argv[1]);

  static const std::vector<std::string_view> kSingle = {
      "--www", "--old", "--new", "--version", "--micro", "--list",
      "--url", "--block-size", "--sharing", "--countdown"};
  std::map<std::string, std::string> values;
  PublishOptions options;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Bad(arg.starts_with("--") ? arg + " needs a value" : "stray " + arg);
    if (arg == "--tracker") {
      options.trackers.push_back(argv[++i]);
      continue;
    }
    bool known = false;
    for (std::string_view name : kSingle) known = known || arg == name;
    if (!known) return Bad("unknown option " + arg);
    if (values.count(arg) != 0) return Bad(arg + " given twice");
    values[arg] = argv[++i];
  }
  for (const char* required : {"--www", "--old", "--new", "--version"})
    if (values.count(required) == 0) return Bad(std::string(required) + " is required");

  for (const char* folder : {"--www", "--old", "--new"})
    if (!platform::fs::IsDirectory(values[folder]))
      return Bad(std::string(folder) + " " + values[folder] + " is not a directory");
  options.www_root = values["--www"];
  options.old_tree = values["--old"];
  options.new_tree = values["--new"];
  std::optional<std::uint32_t> version = ParseStrictVersion(values["--version"]);
  if (!version) return Bad("--version " + values["--version"] + " is not X.Y.Z (255.255.65535 at most, not 0.0.0)");
  options.version = *version;
  long number = 0;
  if (values.count("--micro") != 0) {
    if (!Number(values["--micro"], 1, 0x7FFFFFFF, number))
      return Bad("--micro needs a number from 1 on");
    options.micro = static_cast<int>(number);
  }
  if (values.count("--list") != 0) {
    if (!IsSafeRelativePath(values["--list"]))
      return Bad("--list " + values["--list"] + " must be a relative path inside ROOT");
    options.list_path = values["--list"];
  }
  if (values.count("--url") != 0) {
    if (!IsServerBaseUrl(values["--url"]))
      return Bad("--url " + values["--url"] + " is not an http://HOST[:PORT] address");
    options.url = values["--url"];
  }
  if (values.count("--block-size") != 0) {
    if (!Number(values["--block-size"], 1024, kMaxBlockSize, number))
      return Bad("--block-size needs a number of bytes from 1024 to " + std::to_string(kMaxBlockSize));
    options.block_size = static_cast<std::uint32_t>(number);
  }
  if (values.count("--sharing") != 0) {
    if (!Number(values["--sharing"], 0, 2, number)) return Bad("--sharing is 0, 1 or 2");
    options.sharing_mode = static_cast<int>(number);
  }
  if (values.count("--countdown") != 0) {
    if (!Number(values["--countdown"], 0, kMaxCountdown, number))
      return Bad("--countdown needs seconds from 0 to " + std::to_string(kMaxCountdown));
    options.countdown_seconds = static_cast<int>(number);
  }
  for (const std::string& tracker : options.trackers) {
    if (tracker.find(':') == std::string::npos || tracker.find_first_of(" \t") != std::string::npos)
      return Bad("--tracker " + tracker + " is not IP:PORT");
  }
  options.tool_dir = DirectoryOfProgram();

  PublishResult result;
  std::string error;
  if (!Publish(options, result, error)) {
    std::fprintf(stderr, "kestra-release: %s\n", error.c_str());
    return 1;
  }
  const std::string what = options.micro > 0 ? "micro patch " + std::to_string(options.micro) + " of " +
                                                  values["--version"]
                                            : values["--version"];
  std::printf("published %s\n  package %s\n  task    %s\n  list    %s\n", what.c_str(),
              result.package_url.c_str(), result.task_url.c_str(), result.list_path.c_str());
  return 0;
}
