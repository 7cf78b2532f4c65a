// scripts/demo-run (what scripts/demo runs once everything is built) with the
// test harness as the player: the update from 1.0.4 to the newest version
// against the demo's own server, then a second run that finds nothing newer.
#include <gtest/gtest.h>

#include <string>

#include "platform/process.h"
#include "tests/support/temp_dir.h"

namespace {

using kestra::test::TempDir;

std::string U(const char8_t* text) { return reinterpret_cast<const char*>(text); }

int RunDemo(const TempDir& dir, const std::string& transcript, const std::string& micro) {
  const std::string command = "cd '" + std::string(KESTRA_SOURCE_DIR) + "' && KESTRA_BUILD_DIR='" +
                              std::string(KESTRA_BIN_DIR) + "/..' KESTRA_UI=script KESTRA_UI_TRANSCRIPT='" +
                              (dir / transcript) + "' KESTRA_DEMO_MICRO=" + micro + " TMPDIR='" + dir.path() +
                              "' bash scripts/demo-run '" + (dir / "inst") + "' > '" + (dir / (transcript + ".out")) +
                              "' 2>&1";
  auto pid = platform::process::Start({"/bin/sh", "-c", command}, {});
  if (!pid) return -1;
  return platform::process::Wait(*pid, 600000).value_or(-1);
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(Demo, UpdatesTheSampleInstallationThenFindsNothingNewer) {
  TempDir dir;
  ASSERT_EQ(RunDemo(dir, "first.jsonl", "0"), 0) << dir.Read("first.jsonl.out");
  const std::string first = dir.Read("first.jsonl");
  EXPECT_NE(first.find("\"event\":\"messagebox\",\"caption\":\"" + U(u8"恭喜") + "\",\"text\":\"" +
                       U(u8"更新成功!") + "\""),
            std::string::npos)
      << first;
  EXPECT_EQ(Count(first, U(u8"开始下载 patch")), 2u) << first;
  EXPECT_NE(dir.Read("inst/update.ini").find("Version=1.0.6\r\n"), std::string::npos);
  EXPECT_NE(dir.Read("inst/vd-started.log").find("vd.exe started"), std::string::npos);
  EXPECT_NE(dir.Read("first.jsonl.out").find("tree is in the installation as it should be"),
            std::string::npos);

  ASSERT_EQ(RunDemo(dir, "second.jsonl", "0"), 0) << dir.Read("second.jsonl.out");
  const std::string second = dir.Read("second.jsonl");
  EXPECT_EQ(Count(second, U(u8"开始下载")), 0u) << second;
  EXPECT_NE(second.find(U(u8"更新成功!")), std::string::npos) << second;
  EXPECT_EQ(Count(dir.Read("inst/vd-started.log"), "vd.exe started"), 1u)
      << "the demo clears the record before each run";

  // The launcher asks for micro patch 3: only that package comes.
  ASSERT_EQ(RunDemo(dir, "micro.jsonl", "3"), 0) << dir.Read("micro.jsonl.out");
  const std::string micro = dir.Read("micro.jsonl");
  EXPECT_EQ(Count(micro, U(u8"开始下载")), 1u) << micro;
  EXPECT_NE(micro.find(U(u8"开始下载 patch1.0.6.tq.3")), std::string::npos) << micro;
  EXPECT_NE(dir.Read("inst/update.ini").find("SubVersion=3\r\n"), std::string::npos);
  EXPECT_NE(dir.Read("inst/assets/hotfix.txt").find("hot fix 3"), std::string::npos);
}

}  // namespace
