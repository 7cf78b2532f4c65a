#include "updater/app/notice.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/script_server.h"
#include "tests/updater/app/dialog_harness.h"
#include "updater/app/dialog.h"

namespace kestra::app {
namespace {

using test::Script;
using test::ScriptServer;

TEST(NoticeRequestTest, IsTheUpdatersGetRequest) {
  EXPECT_EQ(NoticeRequest("notice.example", "/images/ad_pic/patchinfo.txt"),
            "GET /images/ad_pic/patchinfo.txt HTTP/1.1\r\nHost: notice.example\r\n"
            "Accept-Encoding: gzip\r\nConnection: Close\r\n\r\n");
}

TEST(BoundNoticeBodyTest, CutsLongBodiesBetweenCharacters) {
  EXPECT_EQ(BoundNoticeBody("short"), "short");
  std::string exact(kMaxNoticeBytes, 'a');
  EXPECT_EQ(BoundNoticeBody(exact).size(), kMaxNoticeBytes);
  // One ASCII byte, then two-byte characters: the limit falls inside one.
  std::string gbk = "a";
  while (gbk.size() < kMaxNoticeBytes + 10) gbk += "\xCE\xAC";
  std::string cut = BoundNoticeBody(gbk);
  EXPECT_EQ(cut.size(), kMaxNoticeBytes - 1);
  EXPECT_EQ(cut.substr(cut.size() - 2), "\xCE\xAC");
}

// The whole notice thread through the dialog: InfoURL on a local server.
class NoticeFetchTest : public ::testing::Test {
 protected:
  std::vector<std::string> RunDialogWithNotice(const std::string& info_url, int wait_ms = 5000) {
    install_.dir().Write("update.ini", "[Setting]\r\nInfoURL=" + info_url + "\r\n");
    DialogServices services;  // the real HTTP client
    std::string transcript = install_.transcript_path();
    services.start_worker = [transcript, wait_ms](CkestraDlg& d, int) {
      return std::thread([transcript, wait_ms, &d] {
        // Wait (bounded) for the notice, then close.
        test::WaitForLine(transcript, R"("control":1020)", wait_ms);
        d.Post(kMsgClose, 0, 0);
      });
    };
    std::unique_ptr<ui::Frontend> frontend = install_.Frontend();
    {
      CkestraDlg dialog(0, services, frontend.get());
      dialog.RunModal();
    }
    return install_.Transcript();
  }

  static std::string NoticeLine(const std::vector<std::string>& lines) {
    for (const auto& l : lines)
      if (l.find(R"("control":1020)") != std::string::npos) return l;
    return "";
  }

  test::ScriptedInstall install_;
};

TEST_F(NoticeFetchTest, ServedNoticeAppearsInTheNoticeBox) {
  std::string body = "系统维护公告\r\n第二行";
  ScriptServer server(Script().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body));
  std::vector<std::string> lines = RunDialogWithNotice(server.Url("/images/ad_pic/patchinfo.txt"));
  EXPECT_EQ(NoticeLine(lines), R"({"event":"text","control":1020,"text":"系统维护公告\r\n第二行"})");
  ASSERT_TRUE(server.WaitFinished(1, 5000));
  EXPECT_EQ(server.received(0), "GET /images/ad_pic/patchinfo.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                "Accept-Encoding: gzip\r\nConnection: Close\r\n\r\n");
}

TEST_F(NoticeFetchTest, FailedFetchLeavesTheBoxEmpty) {
  ScriptServer server(Script().ReadRequest().Send("HTTP/1.1 404 Not Found\r\n\r\nnothing"));
  // The worker gives up waiting for a notice that never comes.
  std::vector<std::string> lines = RunDialogWithNotice(server.Url("/images/ad_pic/patchinfo.txt"), 1000);
  EXPECT_EQ(NoticeLine(lines), "");
  EXPECT_EQ(lines.back(), R"({"event":"end","result":1})");
}

TEST_F(NoticeFetchTest, HostileBodyIsShownBoundedAndConverted) {
  std::mt19937 random(7);
  std::string body;
  for (std::size_t i = 0; i < kMaxNoticeBytes + 4096; ++i) body += static_cast<char>(random() & 0xFF);
  body[0] = '\0';  // a NUL does not end the text
  ScriptServer server(Script().ReadRequest().Send("HTTP/1.1 200 OK\r\n\r\n" + body));
  std::vector<std::string> lines = RunDialogWithNotice(server.Url("/n.txt"));
  std::string line = NoticeLine(lines);
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.rfind(R"({"event":"text","control":1020,"text":"\u0000)", 0), 0u) << line.substr(0, 80);
  // At most three UTF-8 bytes (or a six-byte escape) per GBK byte.
  EXPECT_LT(line.size(), kMaxNoticeBytes * 6 + 100);
  EXPECT_EQ(lines.back(), R"({"event":"end","result":1})");
}

}  // namespace
}  // namespace kestra::app
