// The updater program on the script frontend: the main dialog's title, texts
// and the notice served by a local server, as an outside check sees them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/charset.h"
#include "platform/process.h"
#include "tests/support/script_server.h"
#include "tests/updater/app/dialog_harness.h"

namespace kestra {
namespace {

TEST(MainDialogProgram, ShowsTitleProgressLabelAndTheServedNotice) {
  test::TempDir dir;
  test::ScriptServer server(test::Script().ReadRequest().Send(
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + std::string("本周维护公告\r\n服务器将于周二停机")));
  dir.Write("inst/update.ini", "[Setting]\r\nVersion=1.0.0\r\nInfoURL=" +
                                   server.Url("/images/ad_pic/patchinfo.txt") + "\r\n");
  std::string transcript = dir / "t.jsonl";
  std::string command = "cd '" + dir.path() + "' && KESTRA_UI=script KESTRA_UI_TRANSCRIPT=t.jsonl " +
                        "KESTRA_CLIENTLOG_URL=http://127.0.0.1:9/ClientLog/main.py exec '" +
                        std::string(KESTRA_BIN_DIR) + "/kestra' 0 '" + (dir / "inst") + "' >/dev/null";
  auto pid = platform::process::Start({"/bin/sh", "-c", command}, {});
  ASSERT_TRUE(pid);
  // Nothing ends this dialog but the player: stop it once the notice is in.
  bool notice = test::WaitForLine(transcript, R"("control":1020)", 20000);
  platform::process::Kill(*pid);
  platform::process::Wait(*pid, 10000);
  ASSERT_TRUE(notice);
  std::vector<std::string> lines = test::ReadLines(transcript);
  for (std::string& l : lines) l = platform::charset::Utf8ToGbk(l);
  auto has = [&](const std::string& line) {
    for (const auto& l : lines)
      if (l == line) return true;
    return false;
  };
  EXPECT_TRUE(has(R"({"event":"title","text":"《Vandor》更新"})")) << test::Joined(lines);
  EXPECT_TRUE(has(R"({"event":"text","control":1006,"text":"更新进度"})"));
  EXPECT_TRUE(has(R"({"event":"text","control":1020,"text":"本周维护公告\r\n服务器将于周二停机"})"));
}

}  // namespace
}  // namespace kestra
