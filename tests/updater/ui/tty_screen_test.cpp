// The terminal frontend as a person reads it: the updater's dialog drawn as
// one screen, and the plain lines written when the output is no terminal.
#include "updater/ui/tty_screen.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "updater/app/dialog.h"
#include "updater/ui/dialog.h"
#include "updater/ui/tty_frontend.h"

namespace kestra::ui {
namespace {

std::string U(const char8_t* text) { return reinterpret_cast<const char*>(text); }

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

std::string ReadAll(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
  return out;
}

bool ValidUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= s.size() + (extra == 0 ? 1 : 0)) return false;
    for (int k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0xC0) != 0x80) return false;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

class TtyScreenTest : public ::testing::Test {
 protected:
  TtyScreenTest()
      : out_(std::tmpfile()),
        frontend_(nullptr, out_, TtyFrontend::Mode::Lines),
        dialog_(app::MainDialogTemplate(), &frontend_) {
    dialog_.SetTitle("《Vandor》更新");
    for (int id : {1002, 1003, 1004, 1005}) dialog_.SetText(id, "");
  }
  ~TtyScreenTest() override { std::fclose(out_); }

  std::FILE* out_;
  TtyFrontend frontend_;
  Dialog dialog_;
};

TEST_F(TtyScreenTest, ShowsWhatThePlayerNeedsAndNoIds) {
  dialog_.SetText(1002, "patch1.0.6.tq");
  dialog_.SetText(1003, "2097152 byte");
  dialog_.SetText(1020, "尊敬的玩家：\r\n本次维护已完成。\r\n");
  dialog_.SetText(1004, "开始下载 patch1.0.6.tq");
  dialog_.SetProgress(1000, 50);
  dialog_.SetText(1005, "1048576");
  dialog_.SetProgress(1001, 33);

  TtyScreen screen;
  screen.Observe(dialog_, 1000);
  dialog_.SetText(1005, "1572864");  // half a MiB more, two seconds later
  screen.Observe(dialog_, 3000);
  const std::string text = Joined(screen.Render(dialog_, 100));

  for (const char8_t* expected_u8 :
       {u8"《Vandor》更新", u8"更新包版本号", u8"patch1.0.6.tq", u8"2.0 MB (2097152 byte)", u8"尊敬的玩家：",
        u8"本次维护已完成。", u8" 50%  1.5 MB / 2.0 MB  256.0 KB/s  剩余 00:00:02", u8"更新进度", u8" 33%",
        u8"状态", u8"开始下载 patch1.0.6.tq", u8"1 补丁下载", u8"2 手动更新方法", u8"3 官方主页",
        u8"输入 c 并回车取消更新"}) {
    const std::string expected = U(expected_u8);
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
  EXPECT_EQ(text.find("[10"), std::string::npos) << text;
  EXPECT_EQ(text.find("Static"), std::string::npos) << text;
  EXPECT_TRUE(ValidUtf8(text));
  EXPECT_NEAR(screen.Rate(), 262144.0, 1.0);
}

TEST_F(TtyScreenTest, InstallingHidesTheCancelHintAndKeepsLinesInsideTheWidth) {
  dialog_.SetText(1020, std::string(300, 'x') + "\r\n" + "很长的一行" + std::string(200, 'y'));
  dialog_.SetText(1006, "安装中");
  dialog_.SetVisible(1008, false);
  dialog_.SetProgress(1001, 100);
  for (int columns : {40, 80, 200}) {
    TtyScreen screen;
    std::vector<std::string> lines = screen.Render(dialog_, columns);
    const std::string text = Joined(lines);
    EXPECT_NE(text.find(U(u8"安装中")), std::string::npos) << text;
    EXPECT_NE(text.find(U(u8"正在安装，请勿关闭")), std::string::npos) << text;
    EXPECT_EQ(text.find(U(u8"取消更新")), std::string::npos) << text;
    for (const std::string& line : lines) {
      EXPECT_LE(DisplayWidth(line), std::min(columns, kTtyMaxColumns) - 1) << line;
      EXPECT_TRUE(ValidUtf8(line)) << line;
    }
  }
}

TEST_F(TtyScreenTest, RateRestartsWithEachPackageAndNeedsTime) {
  TtyScreen screen;
  dialog_.SetText(1005, "1000000");
  screen.Observe(dialog_, 0);
  dialog_.SetText(1005, "1100000");
  screen.Observe(dialog_, 300);
  EXPECT_EQ(screen.Rate(), 0) << "too short a span to tell";
  dialog_.SetText(1005, "3000000");
  screen.Observe(dialog_, 2000);
  EXPECT_NEAR(screen.Rate(), 1000000.0, 1.0);
  dialog_.SetText(1005, "");  // the next package
  screen.Observe(dialog_, 2500);
  EXPECT_EQ(screen.Rate(), 0);
}

TEST_F(TtyScreenTest, KeysPressControls) {
  const struct {
    const char* line;
    int control;
  } cases[] = {{"c", 1008}, {"C", 1008}, {" c ", 1008}, {"1", 1010}, {"3", 1012},
               {"5", 1021}, {"6", -1},   {"0", -1},     {"1008", 1008}, {"", -1},
               {"x", -1},   {"12345678", -1}, {"-1", -1}};
  for (const auto& c : cases) EXPECT_EQ(ControlForKey(dialog_, c.line), c.control) << c.line;
  dialog_.SetVisible(1010, false);  // links are numbered as shown
  EXPECT_EQ(ControlForKey(dialog_, "1"), 1011);
}

TEST_F(TtyScreenTest, PlainLinesNameWhatChangedOncePerTenth) {
  dialog_.SetText(1002, "patch1.0.5.tq");
  dialog_.SetText(1004, "开始下载 patch1.0.5.tq");
  dialog_.SetText(1004, "开始下载 patch1.0.5.tq");  // unchanged: no second line
  dialog_.SetText(1005, "12345");                  // the bar tells it
  for (int p : {0, 3, 9, 10, 15, 55, 100}) dialog_.SetProgress(1000, p);
  dialog_.SetText(1020, "第一行\r\n第二行");
  const std::string out = ReadAll(out_);
  EXPECT_EQ(out, U(u8"=== 《Vandor》更新 ===\n"
                   u8"更新包: patch1.0.5.tq\n"
                   u8"状态: 开始下载 patch1.0.5.tq\n"
                   u8"下载 10%\n"
                   u8"下载 55%\n"
                   u8"下载 100%\n"
                   u8"公告:\n"
                   u8"  第一行\n"
                   u8"  第二行\n"));
}

TEST(TtyWidth, CountsWideCharactersTwice) {
  EXPECT_EQ(DisplayWidth("abc"), 3);
  EXPECT_EQ(DisplayWidth(reinterpret_cast<const char*>(u8"更新ab")), 6);
  EXPECT_EQ(FitWidth(reinterpret_cast<const char*>(u8"更新ab"), 3), reinterpret_cast<const char*>(u8"更"));
  EXPECT_EQ(HumanBytes(512), "512 B");
  EXPECT_EQ(HumanBytes(1536), "1.5 KB");
  EXPECT_EQ(HumanDuration(3725), "01:02:05");
  EXPECT_EQ(HumanDuration(1u << 30), "99:59:59");
}

}  // namespace
}  // namespace kestra::ui
