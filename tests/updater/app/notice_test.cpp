#include "updater/app/notice.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/script_server.h"
#include "tests/updater/app/dialog_harness.h"
#include "updater/app/dialog.h"
#include "updater/log/log.h"
#include "updater/net/comm_http.h"

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

// A notice whose body cannot be decoded is a failed download: nothing is put
// into the box, and the log says it failed and why.
TEST_F(NoticeFetchTest, UndecodableBodyIsLoggedAsAFailure) {
  struct Case {
    const char* name;
    std::string response;
    const char* reason;
  };
  const std::string gzip_head("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  const Case cases[] = {
      {"corrupt_gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + gzip_head + "not deflate",
       NetModel::kBadGzipBodyText},
      {"bad_chunks", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n",
       NetModel::kBadChunkedBodyText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScriptedInstall install;
    log::SetLogBaseDir(install.dir().path());
    ASSERT_EQ(log::OpenChannel(0, "kestra.log", "KestraTool"), 0);
    ScriptServer server(Script().ReadRequest().Send(c.response));
    install.dir().Write("update.ini", "[Setting]\r\nInfoURL=" + server.Url("/n.txt") + "\r\n");
    DialogServices services;
    // Closes once the failure's reason is logged (or a notice was shown).
    std::string log_path = install.dir() / "Log/kestra.log";
    std::string reason = c.reason;
    services.start_worker = [log_path, reason](CkestraDlg& d, int) {
      return std::thread([log_path, reason, &d] {
        test::WaitForLine(log_path, reason, 10000);
        d.Post(kMsgClose, 0, 0);
      });
    };
    std::unique_ptr<ui::Frontend> frontend = install.Frontend();
    {
      CkestraDlg dialog(0, services, frontend.get());
      dialog.RunModal();
    }
    log::CloseAll();
    EXPECT_EQ(NoticeLine(install.Transcript()), "");
    const std::string logged = install.dir().Read("Log/kestra.log");
    EXPECT_NE(logged.find("Patch维护公告下载失败!"), std::string::npos) << logged;
    EXPECT_NE(logged.find(c.reason), std::string::npos) << logged;
    EXPECT_EQ(logged.find("Patch维护公告下载完成"), std::string::npos) << logged;
  }
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
