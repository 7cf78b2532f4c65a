#include "platform/crash.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "platform/fs.h"
#include "tests/downloader/platform/probe_support.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

using kestra::test::TempDir;

// The one crash file in the directory, or "".
std::string CrashFile(const TempDir& dir) {
  auto entries = platform::fs::ListDirectory(dir.path());
  std::string found;
  for (const auto& e : entries.value_or(std::vector<platform::fs::DirEntry>{})) {
    if (e.name.rfind("zelt-", 0) == 0) {
      EXPECT_TRUE(found.empty()) << "two crash files";
      found = e.name;
    }
  }
  return found;
}

struct CrashCase {
  const char* mode;
  const char* code;  // as the message shows it
};

TEST(CrashTest, FatalCausesWriteTheCrashFileAndExitWithZero) {
  const CrashCase cases[] = {
      {"crash-segv", "B"}, {"crash-abort", "6"}, {"crash-fpe", "8"}, {"crash-terminate", "E0000001"}};
  for (const CrashCase& c : cases) {
    SCOPED_TRACE(c.mode);
    TempDir dir;
    EXPECT_EQ(test::RunProbe({c.mode, dir.path(), "1", "1"}), std::optional<int>(0));
    std::string name = CrashFile(dir);
    ASSERT_TRUE(std::regex_match(name, std::regex(R"(zelt-\d{8}-\d{6}\[27233\]-0\.dmp)"))) << name;
    std::string dump = dir.Read(name);
    EXPECT_NE(dump.find(std::string("Exception Code: ") + c.code), std::string::npos) << dump;
    // A stack trace with frames of the probe, and the module map.
    std::size_t stack = dump.find("Stack:\n");
    ASSERT_NE(stack, std::string::npos);
    EXPECT_NE(dump.find("platform_probe", stack), std::string::npos);
    EXPECT_NE(dump.find("Modules:\n"), std::string::npos);

    std::string err = dir.Read("stderr.txt");
    EXPECT_NE(err.find(platform::crash::kCaption), std::string::npos);
    std::string expected_start =
        "非常遗憾的通知您，程序内部发生了不可挽回的错误。\n幸运的是这个错误已经被记录到\n\t" +
        dir.path() + "/" + name + "\n文件里。\n";
    EXPECT_NE(err.find(expected_start), std::string::npos) << err;
    EXPECT_NE(err.find(std::string("Exception Code: ") + c.code + ", at address"), std::string::npos);
    EXPECT_EQ(dir.Read("reported"), dir.path() + "/" + name);
  }
}

TEST(CrashTest, SwitchesTurnTheMessageAndTheReportOff) {
  TempDir dir;
  EXPECT_EQ(test::RunProbe({"crash-segv", dir.path(), "0", "0"}), std::optional<int>(0));
  EXPECT_FALSE(CrashFile(dir).empty());  // the file is still written
  EXPECT_EQ(dir.Read("stderr.txt"), "");
  EXPECT_FALSE(dir.Exists("reported"));
}

TEST(CrashTest, NamesWithinOneSecondDifferInTheLastDigit) {
  TempDir dir;
  platform::crash::Stamp stamp{2026, 3, 4, 5, 6, 7};
  const std::string base = "zelt-20260304-050607[27233]-";
  EXPECT_EQ(platform::crash::ChooseFileName(dir.path() + "/", stamp), base + "0.dmp");
  dir.Write(base + "0.dmp", "x");
  EXPECT_EQ(platform::crash::ChooseFileName(dir.path() + "/", stamp), base + "1.dmp");
  for (char d = '1'; d <= '9'; ++d) dir.Write(base + d + ".dmp", "x");
  // All ten taken: no name, and the older files are kept.
  EXPECT_EQ(platform::crash::ChooseFileName(dir.path() + "/", stamp), "");
}

TEST(CrashTest, MessageTexts) {
  EXPECT_EQ(platform::crash::ShortMessageText(0xC0000005u, nullptr), "Exception Code: C0000005, at address (nil)");
  std::string text = platform::crash::MessageText("/d/", "f.dmp", 11, nullptr);
  EXPECT_NE(text.find("\t/d/f.dmp\n"), std::string::npos);
  EXPECT_NE(text.find("Email 给技术人员"), std::string::npos);
  EXPECT_NE(text.find("\n\nException Code: B, at address (nil)"), std::string::npos);
}

}  // namespace
}  // namespace zelt
