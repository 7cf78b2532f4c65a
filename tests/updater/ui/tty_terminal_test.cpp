// The real updater in a real terminal (tmux), read off the screen as a
// person would read it, and the same program writing plain lines into a file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"

namespace {

using kestra::test::TempDir;

std::string U(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// How long the program may take to show what we wait for: a bound on the
// wait, not a measurement.
constexpr int kPatienceMs = 60000;

bool ValidUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : 9;
    if (extra == 9 || i + extra >= s.size() + (extra == 0 ? 1 : 0)) return false;
    for (std::size_t k = 1; k <= extra; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

int Shell(const std::string& command) {
  auto pid = platform::process::Start({"/bin/sh", "-c", command}, {});
  if (!pid) return -1;
  return platform::process::Wait(*pid, kPatienceMs).value_or(-1);
}

class TtyTerminalTest : public ::testing::Test {
 protected:
  TtyTerminalTest()
      : nginx_(ServeNotice(dir_)),
        // The list server takes the request and keeps the player waiting, so
        // the screen stays in its download phase while we look at it.
        list_server_(kestra::test::Script().ReadRequest().Hold(-1)) {
    const std::string archives[] = {"data", "data1", "data2", "data3", "data4", "model", "model1",
                                    "model2", "model3", "texture", "texture1", "texture2",
                                    "texture3", "sound", "sound1", "effect", "map", "map1", "ui",
                                    "script", "music"};
    for (const std::string& name : archives) dir_.Write("inst/" + name + ".paz", "PAZR");
    dir_.Write("inst/update.ini",
               "[Setting]\r\nVersion=1.0.4\r\nUpdateURL=" + list_server_.Url("/tqm/btpatch_list6.txt") +
                   "\r\nInfoURL=" + nginx_.Url("/images/ad_pic/patchinfo.txt") + "\r\n");
  }

  // The notice, GBK as the game's web site serves it; returns the web root.
  static std::string ServeNotice(const TempDir& dir) {
    dir.Write("www/images/ad_pic/patchinfo.txt",
              "\xD7\xF0\xBE\xB4\xB5\xC4\xCD\xE6\xBC\xD2\xA3\xBA\r\n"  // 尊敬的玩家：
              "Maintenance is over.\r\n");
    return dir / "www";
  }

  std::string Environment() const {
    return "LC_ALL=C.UTF-8 KESTRA_UI=tty KESTRA_LOCAL_IP=127.0.0.1 "
           "KESTRA_CLIENTLOG_URL=http://127.0.0.1:9/ClientLog/main.py ";
  }
  std::string Kestra() const {
    return "'" + std::string(KESTRA_BIN_DIR) + "/kestra' 0 '" + (dir_ / "inst") + "'";
  }

  TempDir dir_;
  kestra::test::NginxServer nginx_;
  kestra::test::ScriptServer list_server_;
};

class Tmux {
 public:
  explicit Tmux(const TempDir& dir) : dir_(dir), socket_("kestra-tty-" + std::to_string(platform::process::CurrentPid())) {}
  ~Tmux() { Shell(Base() + " kill-server 2>/dev/null"); }

  bool Start(const std::string& command) {
    dir_.Write("run.sh", command + "\necho \"exit $?\" > '" + (dir_ / "exit.txt") + "'\nsleep 600\n");
    return Shell(Base() + " new-session -d -x 100 -y 40 \"sh '" + (dir_ / "run.sh") + "'\"") == 0;
  }
  std::string Screen() const {
    Shell(Base() + " capture-pane -p -t 0 > '" + (dir_ / "screen.txt") + "' 2>/dev/null");
    return dir_.Read("screen.txt");
  }
  // The screen once it shows what `ready` looks for, or the last screen.
  std::string WaitFor(const std::function<bool(const std::string&)>& ready) const {
    const std::uint64_t until = platform::clock::SteadyMs() + kPatienceMs;
    std::string screen = Screen();
    while (!ready(screen) && platform::clock::SteadyMs() < until) {
      platform::clock::SleepMs(200);
      screen = Screen();
    }
    return screen;
  }
  void Type(const std::string& keys) const {
    Shell(Base() + " send-keys -t 0 -l '" + keys + "'");
    Shell(Base() + " send-keys -t 0 Enter");
  }

 private:
  std::string Base() const { return "LC_ALL=C.UTF-8 tmux -u -f /dev/null -L " + socket_; }
  const TempDir& dir_;
  std::string socket_;
};

// The screen line that holds text, empty when none does.
std::string LineWith(const std::string& screen, const std::string& text) {
  std::size_t at = screen.find(text);
  if (at == std::string::npos) return {};
  std::size_t start = screen.rfind('\n', at);
  std::size_t end = screen.find('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  return screen.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

auto Has(const std::string& text) {
  return [text](const std::string& screen) { return screen.find(text) != std::string::npos; };
}

TEST_F(TtyTerminalTest, OneScreenAPersonCanReadAndCancel) {
  Tmux tmux(dir_);
  ASSERT_TRUE(tmux.Start("cd '" + dir_.path() + "' && " + Environment() + Kestra()));

  // The notice has arrived and the session waits for its list: the whole
  // screen is there.
  std::string screen = tmux.WaitFor([](const std::string& s) {
    return Has(U(u8"尊敬的玩家："))(s) && Has(U(u8"正在获取更新列表..."))(s);
  });
  EXPECT_NE(LineWith(screen, U(u8" 状态 ")).find(U(u8"正在获取更新列表...")), std::string::npos)
      << screen;
  for (const std::string& expected :
       {U(u8"《Vandor》更新"), U(u8"更新包版本号"), U(u8"当前更新数据量"), U(u8"公告"),
        U(u8"尊敬的玩家："), std::string("Maintenance is over."), U(u8"下载"), U(u8"更新进度"), std::string("0%"),
        U(u8"状态"), U(u8"1 补丁下载"), U(u8"2 手动更新方法"), U(u8"3 官方主页"),
        U(u8"输入 c 并回车取消更新")}) {
    EXPECT_NE(screen.find(expected), std::string::npos) << expected << "\n" << screen;
  }
  EXPECT_EQ(screen.find("[10"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("Static"), std::string::npos) << screen;
  EXPECT_EQ(screen.find(U(u8"\uFFFD")), std::string::npos) << screen;
  // Drawn in place: the title is on the screen once.
  EXPECT_EQ(screen.find(U(u8"《Vandor》更新")), screen.rfind(U(u8"《Vandor》更新"))) << screen;

  // Cancel: the question comes up under the dialog, "y" confirms it.
  tmux.Type("c");
  screen = tmux.WaitFor(Has(U(u8"取消确认")));
  EXPECT_NE(screen.find(U(u8"是否真的希望取消？")), std::string::npos) << screen;
  EXPECT_NE(screen.find("(Y)es / (N)o"), std::string::npos) << screen;
  tmux.Type("y");
  screen = tmux.WaitFor([&](const std::string&) { return dir_.Exists("exit.txt"); });
  EXPECT_EQ(dir_.Read("exit.txt"), "exit 0\n") << screen;
}

TEST_F(TtyTerminalTest, PlainLinesWhenTheOutputIsAFile) {
  dir_.Write("keys.txt", "c\ny\n");
  ASSERT_EQ(Shell("cd '" + dir_.path() + "' && " + Environment() + Kestra() +
                  " <keys.txt >out.txt 2>&1"),
            0);
  const std::string out = dir_.Read("out.txt");
  EXPECT_TRUE(ValidUtf8(out)) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << "no screen control in a file";
  // The start-up check of the resource archives, readable.
  EXPECT_NE(out.find(U(u8"正在检查文件 ") + (dir_ / "inst") + "/"), std::string::npos) << out;
  EXPECT_NE(out.find(U(u8"...成功")), std::string::npos) << out;
  EXPECT_NE(out.find(U(u8"=== 《Vandor》更新 ===")), std::string::npos) << out;
  EXPECT_NE(out.find(U(u8"== 取消确认")), std::string::npos) << out;
  EXPECT_NE(out.find(U(u8"是否真的希望取消？")), std::string::npos) << out;
  EXPECT_EQ(out.find("[10"), std::string::npos) << out;
}

}  // namespace
