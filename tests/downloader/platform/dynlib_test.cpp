#include "platform/dynlib.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

TEST(DynlibTest, ComponentNamesAndLookup) {
  EXPECT_EQ(platform::dynlib::FileNameOf("p2plog"), "libp2plog.so");
  EXPECT_FALSE(platform::dynlib::Find("no-such-component-here").has_value());
}

TEST(DynlibTest, VersionOfTheRealComponentAndLoading) {
  EXPECT_EQ(platform::dynlib::ReadFileVersion(P2PLOG_PATH), (platform::dynlib::FileVersion{1, 0, 0, 0}));
  platform::dynlib::Library lib;
  ASSERT_TRUE(lib.Load(P2PLOG_PATH)) << lib.error();
  EXPECT_NE(lib.Symbol("Create"), nullptr);
  EXPECT_NE(lib.Symbol("Release"), nullptr);
  EXPECT_EQ(lib.Symbol("NoSuchExport"), nullptr);
  lib.Unload();
  EXPECT_FALSE(lib.loaded());
  EXPECT_EQ(lib.Symbol("Create"), nullptr);
}

TEST(DynlibTest, HostileFilesHaveNoVersionAndDoNotLoad) {
  kestra::test::TempDir dir;
  std::string real;
  ASSERT_TRUE(platform::fs::ReadWholeFile(P2PLOG_PATH, real));
  const std::pair<const char*, std::string> files[] = {
      {"empty.so", ""},
      {"text.so", "KESTRA 1.0.0.0 not an ELF file"},
      {"short.so", "\x7f" "ELF\x02"},
      {"truncated.so", real.substr(0, 64)},
      {"cut.so", real.substr(0, real.size() / 2)},
  };
  for (const auto& [name, content] : files) {
    dir.Write(name, content);
    EXPECT_FALSE(platform::dynlib::ReadFileVersion(dir / name).has_value()) << name;
  }
  for (const char* name : {"empty.so", "text.so", "short.so"}) {
    platform::dynlib::Library lib;
    EXPECT_FALSE(lib.Load(dir / name)) << name;
    EXPECT_FALSE(lib.error().empty());
  }
  EXPECT_FALSE(platform::dynlib::ReadFileVersion(dir / "missing.so").has_value());
}

}  // namespace
}  // namespace zelt
