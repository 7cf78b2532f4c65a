// Runs the real updater binary with the script frontend.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/support/temp_dir.h"

namespace {

using kestra::test::TempDir;

// Runs kestra with args in dir, the script frontend writing t.jsonl there.
// The player cancels the main dialog at once (the session worker that would
// end it is not part of these runs).
int RunKestra(const TempDir& dir, const std::vector<std::string>& args) {
  dir.Write("clicks.txt", "0 1008\n");
  dir.Write("answers.txt", "Yes\n");
  std::string command = "cd '" + dir.path() + "' && KESTRA_UI=script KESTRA_UI_TRANSCRIPT=t.jsonl " +
                        "KESTRA_UI_CLICKS=clicks.txt KESTRA_UI_ANSWERS=answers.txt " +
                        "KESTRA_CLIENTLOG_URL=http://127.0.0.1:9/ClientLog/main.py '" +
                        std::string(KESTRA_BIN_DIR) + "/kestra'";
  for (const auto& a : args) command += " '" + a + "'";
  command += " >/dev/null";
  auto pid = platform::process::Start({"/bin/sh", "-c", command}, {});
  if (!pid) return -1;
  return platform::process::Wait(*pid, 60000).value_or(-1);
}

TEST(StartUp, NoArgumentsAsksForTheMainUpdater) {
  TempDir dir;
  EXPECT_EQ(RunKestra(dir, {}), 0);
  EXPECT_EQ(dir.Read("t.jsonl"),
            "{\"event\":\"messagebox\",\"caption\":\"\xE9\x94\x99\xE8\xAF\xAF\",\"text\":\""
            "\xE8\xAF\xB7\xE8\xBF\x90\xE8\xA1\x8C\xE4\xB8\xBB\xE6\x9B\xB4\xE6\x96\xB0\xE7\xA8\x8B\xE5\xBA\x8F!"
            "\",\"buttons\":\"OK\",\"icon\":\"error\",\"answer\":\"OK\"}\n");
}

TEST(StartUp, BadArgumentsAndSilentEnds) {
  struct {
    std::vector<std::string> args;
    bool box;
  } cases[] = {
      {{"0"}, true},
      {{"zz", "inst"}, false},
  };
  for (const auto& c : cases) {
    TempDir dir;
    EXPECT_EQ(RunKestra(dir, c.args), 0);
    std::string t = dir.Read("t.jsonl");
    if (c.box) {
      // "自动更新参数错误!" in UTF-8.
      EXPECT_NE(t.find("\xE8\x87\xAA\xE5\x8A\xA8\xE6\x9B\xB4\xE6\x96\xB0\xE5\x8F\x82\xE6\x95\xB0"
                       "\xE9\x94\x99\xE8\xAF\xAF!"), std::string::npos) << t;
      EXPECT_NE(t.find("\"icon\":\"error\""), std::string::npos);
    } else {
      EXPECT_EQ(t, "");
      EXPECT_FALSE(dir.Exists("inst/Log"));
    }
  }
}

TEST(StartUp, MicroFlagIsWrittenBackAndTheLogStarts) {
  struct {
    const char* ini;
    bool writes;
  } cases[] = {
      {"[Setting]\r\nVersion=1.2.3\r\nmicrover=5\r\n", true},
      {"[Setting]\r\nVersion=1.2.3\r\nmicrover=0\r\n", false},
      {"[Setting]\r\nVersion=1.2.3\r\n", false},
  };
  for (const auto& c : cases) {
    TempDir dir;
    dir.Write("inst/update.ini", c.ini);
    EXPECT_EQ(RunKestra(dir, {"0", dir / "inst"}), 0);
    std::string ini = dir.Read("inst/update.ini");
    // The key keeps the file's spelling, as the system's writer leaves it.
    EXPECT_EQ(ini.find("microver=1") != std::string::npos, c.writes) << ini;
    EXPECT_EQ(ini.find("MICROVER"), std::string::npos) << ini;
    EXPECT_NE(ini.find("Version=1.2.3"), std::string::npos);
    std::string log = dir.Read("inst/Log/kestra.log");
    EXPECT_TRUE(std::regex_search(log, std::regex("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] Filename: kestra\\.log\r\n")))
        << log;
  }
}

TEST(StartUp, QuotedDirectoryWithBlanks) {
  TempDir dir;
  dir.Write("My Games/update.ini", "[Setting]\r\nmicrover=2\r\n");
  EXPECT_EQ(RunKestra(dir, {"0", dir / "My Games", "3"}), 0);
  const std::string ini = dir.Read("My Games/update.ini");
  EXPECT_NE(ini.find("microver=1\r\n"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("microver=2"), std::string::npos) << ini;
  EXPECT_TRUE(dir.Exists("My Games/Log/kestra.log"));
}

}  // namespace
