// Helpers for the tests that run the scripted stand-in core (fake_core.cpp).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"
#include "updater/downloader_control/extract.h"

namespace kestra::dlctl::test {

// The stand-in's program bytes.
const std::string& FakeCoreProgram();

using kestra::test::WaitUntil;

// A download target directory the stand-in plays its script in, plus a
// private directory the program is written to.
class FakeCoreSetup {
 public:
  FakeCoreSetup();
  ~FakeCoreSetup();

  const std::string& target() const { return target_.path(); }
  const std::string& bin_dir() const { return bin_; }
  void WriteScript(std::string_view steps) const;
  // Command lines the stand-in received so far.
  std::vector<std::string> Commands() const;
  int Count(std::string_view command) const;
  // Lines received after the first occurrence of marker.
  int CountAfter(std::string_view marker, std::string_view command) const;

  // The stand-in as the embedded resource, written to bin_dir().
  ExtractEnvironment Environment() const;
  // Remembers a child to kill when the test ends.
  void Track(int pid) { pids_.push_back(pid); }

 private:
  kestra::test::TempDir target_;
  kestra::test::TempDir root_;
  std::string bin_;
  std::vector<int> pids_;
};

}  // namespace kestra::dlctl::test
