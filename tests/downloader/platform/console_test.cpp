#include "platform/console.h"

#include <gtest/gtest.h>

#include "tests/downloader/platform/probe_support.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

TEST(ConsoleTest, InterruptKeysAreIgnored) {
  kestra::test::TempDir dir;
  EXPECT_EQ(test::RunProbe({"interrupt", dir.path()}), std::optional<int>(0));
  EXPECT_EQ(dir.Read("alive"), "1");
}

TEST(ConsoleTest, RestoredInterruptsEndTheProcessAgain) {
  kestra::test::TempDir dir;
  EXPECT_EQ(test::RunProbe({"interrupt-restored", dir.path()}), std::optional<int>(128 + 2));
  EXPECT_FALSE(dir.Exists("alive"));
}

}  // namespace
}  // namespace zelt
