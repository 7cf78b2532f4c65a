#include "fake_core_fixture.h"

#include <filesystem>

#include "platform/fs.h"
#include "platform/process.h"

namespace kestra::dlctl::test {

const std::string& FakeCoreProgram() {
  static const std::string bytes = [] {
    std::string data;
    platform::fs::ReadWholeFile(KESTRA_TEST_BIN_DIR "/kestra_fake_core", data);
    return data;
  }();
  return bytes;
}

FakeCoreSetup::FakeCoreSetup() {
  namespace sfs = std::filesystem;
  sfs::permissions(root_.path(), sfs::perms::owner_all, sfs::perm_options::replace);
  bin_ = root_ / "bin";
  sfs::create_directory(bin_);
  sfs::permissions(bin_, sfs::perms::owner_all, sfs::perm_options::replace);
}

FakeCoreSetup::~FakeCoreSetup() {
  for (int pid : pids_) {
    if (platform::process::IsAlive(pid)) platform::process::Kill(pid);
    platform::process::Wait(pid, 5000);
  }
}

void FakeCoreSetup::WriteScript(std::string_view steps) const {
  target_.Write("core-script", steps);
}

std::vector<std::string> FakeCoreSetup::Commands() const {
  std::vector<std::string> lines;
  std::string text = target_.Read("commands.log");
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

int FakeCoreSetup::Count(std::string_view command) const {
  int count = 0;
  for (const std::string& line : Commands()) count += line == command;
  return count;
}

int FakeCoreSetup::CountAfter(std::string_view marker, std::string_view command) const {
  int count = 0;
  bool seen = false;
  for (const std::string& line : Commands()) {
    if (seen) count += line == command;
    seen = seen || line == marker;
  }
  return count;
}

ExtractEnvironment FakeCoreSetup::Environment() const {
  ExtractEnvironment environment;
  environment.find_resource = [](int id) -> std::optional<std::string_view> {
    if (id != kDownloaderResourceId || FakeCoreProgram().empty()) return std::nullopt;
    return std::string_view(FakeCoreProgram());
  };
  std::string dir = bin_;
  environment.temp_directory = [dir] { return std::optional<std::string>(dir); };
  return environment;
}

}  // namespace kestra::dlctl::test
