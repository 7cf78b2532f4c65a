#include "downloader/framework/log.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "downloader/p2plog/p2plog_api.h"
#include "platform/dynlib.h"
#include "platform/fs.h"
#include "tests/support/temp_dir.h"

namespace zelt::log {
namespace {

using kestra::test::TempDir;

void Line(LogLink& link, int level, const char* module, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  link.WriteV(level, module, format, args);
  va_end(args);
}

// A copy of a built component in a fresh directory, so that notes written
// beside it stay in the test's directory.
std::string CopyComponent(const TempDir& dir, const char* built) {
  std::string path = dir / "libp2plog.so";
  EXPECT_TRUE(platform::fs::CopyFile(built, path, false));
  return path;
}

TEST(LogLinkTest, RealComponentWritesLinesAtOrBelowTheLevel) {
  TempDir dir;
  LogLink link(CopyComponent(dir, P2PLOG_PATH));
  const std::string file = dir / "p2p.log";
  link.Open(file, 10);
  ASSERT_TRUE(link.Active());
  link.SetLevel(3);
  Line(link, 3, "P2PService", "CMD_QUIT %d", 7);
  Line(link, 5, "P2PService", "trace line that the level drops");
  Line(link, 0, "", "no module %s", "here");
  Line(link, 1, "100%", "module with a percent sign");
  link.Close();
  EXPECT_FALSE(link.Active());

  std::string text = dir.Read("p2p.log");
  EXPECT_NE(text.find("[P2PService] CMD_QUIT 7\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("trace line"), std::string::npos);
  EXPECT_NE(text.find("] no module here\n"), std::string::npos);
  EXPECT_NE(text.find("[100%] module with a percent sign"), std::string::npos);
  EXPECT_FALSE(dir.Exists("libp2plog.so.txt"));
}

TEST(LogLinkTest, OldLogsAreKeptUpToTheCountGivenToCreate) {
  TempDir dir;
  const std::string component = CopyComponent(dir, P2PLOG_PATH);
  const std::string file = dir / "p2p.log";
  for (int run = 1; run <= 4; ++run) {
    LogLink link(component);
    link.Open(file, 2);
    Line(link, 0, "", "run %d", run);
  }
  EXPECT_NE(dir.Read("p2p.log").find("run 4"), std::string::npos);
  EXPECT_NE(dir.Read("p2p.log.1").find("run 3"), std::string::npos);
  EXPECT_NE(dir.Read("p2p.log.2").find("run 2"), std::string::npos);
  EXPECT_FALSE(dir.Exists("p2p.log.3"));
}

TEST(LogLinkTest, CreatedOnceEvenWhenOpenComesAgain) {
  TempDir dir;
  LogLink link(CopyComponent(dir, P2PLOG_PATH));
  link.Open(dir / "first.log", 10);
  link.Open(dir / "second.log", 10);
  Line(link, 0, "", "hello");
  link.Close();
  EXPECT_NE(dir.Read("first.log").find("hello"), std::string::npos);
  EXPECT_FALSE(dir.Exists("second.log"));
}

TEST(LogLinkTest, ComponentOfAnotherVersionLeavesANoteAndStaysOff) {
  TempDir dir;
  const std::string component = CopyComponent(dir, P2PLOG_EXPIRED_PATH);
  ASSERT_EQ(platform::dynlib::ReadFileVersion(component), (platform::dynlib::FileVersion{2, 1, 0, 0}));
  LogLink link(component);
  link.Open(dir / "p2p.log", 10);
  EXPECT_FALSE(link.Active());
  Line(link, 0, "", "lost");
  EXPECT_FALSE(dir.Exists("p2p.log"));
  EXPECT_EQ(dir.Read("libp2plog.so.txt"), "版本已过期，请使用新版本。文件版本号：1.0.x.x");
}

TEST(LogLinkTest, WithoutAVersionOrWithoutTheFileNothingHappens) {
  TempDir dir;
  const std::string component = CopyComponent(dir, P2PLOG_UNVERSIONED_PATH);
  EXPECT_FALSE(platform::dynlib::ReadFileVersion(component).has_value());
  {
    LogLink link(component);
    link.Open(dir / "p2p.log", 10);
    EXPECT_FALSE(link.Active());
  }
  {
    LogLink link(dir / "missing.so");
    link.Open(dir / "p2p.log", 10);
    Line(link, 0, "", "lost");
    EXPECT_FALSE(link.Active());
  }
  EXPECT_FALSE(dir.Exists("libp2plog.so.txt"));
  EXPECT_FALSE(dir.Exists("missing.so.txt"));
  EXPECT_FALSE(dir.Exists("p2p.log"));
}

TEST(LogLinkTest, ALineBeforeOpenCreatesTheLoggerWithoutAName) {
  TempDir dir;
  LogLink link(CopyComponent(dir, P2PLOG_PATH));
  Line(link, 0, "", "early line");
  EXPECT_TRUE(link.Active());
  link.Close();
  // The component puts a nameless log under its default name in the
  // working directory.
  std::string text;
  ASSERT_TRUE(platform::fs::ReadWholeFile("p2p.log", text));
  EXPECT_NE(text.find("early line"), std::string::npos);
  platform::fs::RemoveFile("p2p.log");
}

}  // namespace
}  // namespace zelt::log
