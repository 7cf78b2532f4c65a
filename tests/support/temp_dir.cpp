#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <stdexcept>

#include "platform/fs.h"

namespace kestra::test {

TempDir::TempDir() : path_(platform::fs::MakeTempDirectory("kestra-test-")) {
  if (path_.empty()) throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  if (std::getenv("KESTRA_KEEP_TEMP") == nullptr) platform::fs::RemoveTree(path_);
}

std::string TempDir::operator/(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

void TempDir::Write(std::string_view relative, std::string_view content) const {
  std::string full = *this / relative;
  auto slash = full.find_last_of('/');
  platform::fs::MakeDirectories(full.substr(0, slash));
  if (!platform::fs::WriteWholeFile(full, content))
    throw std::runtime_error("cannot write " + full);
}

std::string TempDir::Read(std::string_view relative) const {
  std::string out;
  platform::fs::ReadWholeFile(*this / relative, out);
  return out;
}

bool TempDir::Exists(std::string_view relative) const {
  return platform::fs::Exists(*this / relative);
}

}  // namespace kestra::test
