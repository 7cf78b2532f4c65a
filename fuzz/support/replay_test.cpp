// Replays a fuzz target's seed corpus and every crashing input kept for it
// through the same LLVMFuzzerTestOneInput the fuzzer drives, so a parser fault
// that was found once fails the suite until it is mended (and under the
// sanitizer suites, any memory or UB fault on these inputs is reported).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tests/support/temp_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) return files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void Replay(const std::filesystem::path& file) {
  SCOPED_TRACE(file.string());
  std::string bytes;
  ASSERT_TRUE(platform::fs::ReadWholeFile(file.string(), bytes));
  EXPECT_EQ(0, LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                      bytes.size()));
}

}  // namespace

TEST(FuzzReplay, SeedCorpus) {
  const std::string program = KESTRA_FUZZ_SEEDS_PROGRAM;
  if (program.empty()) GTEST_SKIP() << KESTRA_FUZZ_NAME " has no seed program";
  kestra::test::TempDir dir;
  std::string command = "'" + program + "' '" + dir.path() + "'";
  ASSERT_EQ(0, std::system(command.c_str())) << command;
  auto files = FilesIn(dir.path());
  ASSERT_FALSE(files.empty()) << "the seed program wrote nothing";
  for (const auto& file : files) Replay(file);
}

TEST(FuzzReplay, KeptCrashingInputs) {
  auto files = FilesIn(KESTRA_FUZZ_REGRESSIONS);
  if (files.empty()) GTEST_SKIP() << "no crashing input kept for " KESTRA_FUZZ_NAME;
  for (const auto& file : files) Replay(file);
}
