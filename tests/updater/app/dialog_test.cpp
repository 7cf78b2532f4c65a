#include "updater/app/dialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tests/updater/app/dialog_harness.h"
#include "updater/config/endpoints.h"
#include "tests/support/wait_until.h"

namespace kestra::app {
namespace {

using test::Joined;
using test::ScriptedInstall;

// The transcript lines of the initial set-up.
const std::vector<std::string> kInitLines = {
    R"({"event":"text","control":1002,"text":""})",
    R"({"event":"text","control":1003,"text":""})",
    R"({"event":"text","control":1005,"text":""})",
    R"({"event":"text","control":1004,"text":""})",
    R"({"event":"text","control":1006,"text":"更新进度"})",
    R"({"event":"title","text":"《Vandor》更新"})",
};
const std::string kEnd = R"({"event":"end","result":1})";

// The notice fetch of these tests fails at once, so that its 2030 (with
// lParam 0) shows nothing.
NoticeFetchResult FailingFetch(const config::SplitUrlResult&, std::string_view) {
  return NoticeFetchResult{false, "", "refused"};
}

struct RunResult {
  std::vector<std::string> after_init;  // transcript without the set-up lines
  std::vector<std::string> all;
  int countdown_total = 0;
  int countdown_remaining = 0;
  std::vector<std::string> calls;  // services the dialog called, in order
  std::vector<std::string> opened;  // urls handed to the opener
};

class DialogTest : public ::testing::Test {
 protected:
  // Runs the dialog; `worker` runs on the worker thread the dialog starts and
  // the harness posts 1126 after it, unless close is false.
  RunResult Run(std::function<void(CkestraDlg&)> worker, const std::string& answers = "",
                const std::string& clicks = "", bool close = true,
                std::function<void(DialogServices&, RunResult&)> adjust = {}) {
    RunResult result;
    std::mutex calls_mutex;
    auto note = [&](std::string what) {
      std::lock_guard<std::mutex> lock(calls_mutex);
      result.calls.push_back(std::move(what));
    };
    DialogServices services;
    services.fetch_notice = FailingFetch;
    services.set_cancel_flag = [&] { note("cancel_flag"); };
    services.quit_downloader = [&] { note("quit_downloader"); };
    services.install_packages = [&](CkestraDlg&) { note("install_packages"); };
    services.install_pack = [&](CkestraDlg&) { note("install_pack"); };
    services.open_url = [&](std::string_view url) {
      note("open " + std::string(url));
      result.opened.emplace_back(url);
      return 42;
    };
    if (worker) {
      services.start_worker = [worker, close](CkestraDlg& dialog, int) {
        return std::thread([worker, close, &dialog] {
          worker(dialog);
          if (close) dialog.Post(kMsgClose, 0, 0);
        });
      };
    }
    if (adjust) adjust(services, result);
    std::unique_ptr<ui::Frontend> frontend = install_.Frontend(answers, clicks);
    {
      CkestraDlg dialog(0, services, frontend.get());
      dialog.RunModal();
      result.countdown_total = dialog.countdown_total();
      result.countdown_remaining = dialog.countdown_remaining();
      // Let a worker that posted the close finish before the dialog goes.
      if (dialog.worker_thread().joinable()) dialog.worker_thread().join();
    }
    result.all = install_.Transcript();
    std::size_t skip = 0;
    while (skip < kInitLines.size() && skip < result.all.size() && result.all[skip] == kInitLines[skip]) ++skip;
    result.after_init.assign(result.all.begin() + static_cast<std::ptrdiff_t>(skip), result.all.end());
    return result;
  }

  ScriptedInstall install_;
};

TEST_F(DialogTest, InitialSetUpShowsTitleAndTextsInOrder) {
  RunResult r = Run([](CkestraDlg&) {});
  ASSERT_GE(r.all.size(), kInitLines.size());
  EXPECT_EQ(Joined(std::vector<std::string>(r.all.begin(), r.all.begin() + 6)), Joined(kInitLines));
  EXPECT_EQ(Joined(r.after_init), kEnd + "\n");
}

struct MessageCase {
  const char* name;
  std::function<void(CkestraDlg&)> send;
  std::vector<std::string> events;  // transcript lines after set-up, before the end
  std::vector<std::string> calls;   // services called, besides the close's own
  bool check_calls = true;
};

TEST_F(DialogTest, MessageTable) {
  const std::vector<MessageCase> cases = {
      {"status line", [](CkestraDlg& d) { d.Post(kMsgStatusText, 0, NewTextParam("正在获取更新列表...")); },
       {R"({"event":"text","control":1004,"text":"正在获取更新列表..."})"}, {}},
      {"package name", [](CkestraDlg& d) { d.Post(kMsgStatusText, 1, NewTextParam("patch1.0.6.tq")); },
       {R"({"event":"text","control":1002,"text":"patch1.0.6.tq"})"}, {}},
      {"status with wParam 2 changes nothing",
       [](CkestraDlg& d) { d.Post(kMsgStatusText, 2, NewTextParam("x")); }, {}, {}},
      {"status without text changes nothing", [](CkestraDlg& d) { d.Post(kMsgStatusText, 0, 0); }, {}, {}},
      {"total size shows the low 32 bits",
       [](CkestraDlg& d) { d.Post(kMsgTotalSize, 0, NewSizeParam(5000000000ull)); },
       {R"({"event":"text","control":1003,"text":"705032704 byte"})"}, {}},
      {"total size above 2^31 in its low bits shows them signed",
       [](CkestraDlg& d) { d.Post(kMsgTotalSize, 0, NewSizeParam(0xFFFFFFFFull)); },
       {R"({"event":"text","control":1003,"text":"-1 byte"})"}, {}},
      {"progress half of a million",
       [](CkestraDlg& d) {
         d.Post(kMsgTotalSize, 0, NewSizeParam(1000000));
         d.Send(kMsgProgress, 50, NewTextParam("下: 1.00kB/s"));
       },
       {R"({"event":"text","control":1003,"text":"1000000 byte"})",
        R"({"event":"text","control":1004,"text":"下: 1.00kB/s"})",
        R"({"event":"progress","control":1000,"value":50})",
        R"({"event":"text","control":1005,"text":"500000"})"},
       {}},
      {"progress zero empties the downloaded bytes",
       [](CkestraDlg& d) {
         d.Post(kMsgTotalSize, 0, NewSizeParam(1000000));
         d.Send(kMsgProgress, 0, 0);
       },
       {R"({"event":"text","control":1003,"text":"1000000 byte"})",
        R"({"event":"progress","control":1000,"value":0})", R"({"event":"text","control":1005,"text":""})"},
       {}},
      {"progress before any size shows no bytes",
       [](CkestraDlg& d) { d.Send(kMsgProgress, 70, 0); },
       {R"({"event":"progress","control":1000,"value":70})", R"({"event":"text","control":1005,"text":""})"},
       {}},
      {"download finished switches to installing; later progress is ignored",
       [](CkestraDlg& d) {
         d.Post(kMsgDownloadFinished, 0, 0);
         d.Send(kMsgProgress, 50, NewTextParam("ignored"));
       },
       {R"({"event":"visible","control":1008,"visible":false})",
        R"({"event":"text","control":1005,"text":""})", R"({"event":"progress","control":1000,"value":100})",
        R"({"event":"text","control":1004,"text":"下载数据完毕, 正在进行解压..."})"},
       // Whether the install step runs depends on whether the close is already
       // waiting when the step processes the queue (tested on its own below).
       {}, false},
      {"pack download finished runs the pack installer step",
       [](CkestraDlg& d) { d.Post(kMsgPackFinished, 0, 0); }, {}, {"install_pack"}},
      {"notice text", [](CkestraDlg& d) { d.Post(kMsgNoticeText, 0, NewTextParam("维护公告\r\n第二行")); },
       {R"({"event":"text","control":1020,"text":"维护公告\r\n第二行"})"}, {}},
      {"notice without text changes nothing", [](CkestraDlg& d) { d.Post(kMsgNoticeText, 0, 0); }, {}, {}},
      {"countdown messages leave no trace on screen",
       [](CkestraDlg& d) { d.Post(kMsgCountdown, 0, 120); }, {}, {}},
  };
  for (const MessageCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult r = Run(c.send);
    std::vector<std::string> expected = c.events;
    expected.push_back(kEnd);
    EXPECT_EQ(Joined(r.after_init), Joined(expected));
    if (!c.check_calls) continue;
    std::vector<std::string> calls = c.calls;
    // The close, with the worker's handle still held: the downloader is told
    // to quit and the worker is left behind.
    calls.push_back("cancel_flag");
    calls.push_back("quit_downloader");
    EXPECT_EQ(Joined(r.calls), Joined(calls));
  }
}

TEST_F(DialogTest, CountdownTakesOnlySecondsNotBelowZero) {
  RunResult r = Run([](CkestraDlg& d) {
    d.Post(kMsgCountdown, 0, 120);
    d.Post(kMsgCountdown, 0, -1);
  });
  EXPECT_EQ(r.countdown_total, 120);
  EXPECT_EQ(r.countdown_remaining, 120);
  RunResult zero = Run([](CkestraDlg& d) { d.Post(kMsgCountdown, 0, 0); });
  EXPECT_EQ(zero.countdown_total, 0);
  RunResult untouched = Run([](CkestraDlg&) {});
  EXPECT_EQ(untouched.countdown_total, 30);
}

TEST_F(DialogTest, DownloadFinishedIsIgnoredOnceFinishing) {
  auto installed = std::make_shared<std::atomic<bool>>(false);
  RunResult r = Run(
      [installed](CkestraDlg& d) {
        d.Post(kMsgDownloadFinished, 0, 0);
        kestra::test::WaitUntil([&] { return installed->load(); });
        d.Post(kMsgDownloadFinished, 0, 0);
      },
      "", "", true, [installed](DialogServices& s, RunResult& result) {
        s.install_packages = [&result, installed](CkestraDlg& d) {
          result.calls.push_back("install_packages");
          d.set_finishing(true);  // what completion does
          *installed = true;
        };
      });
  int hidden = 0;
  for (const auto& l : r.after_init)
    if (l == R"({"event":"visible","control":1008,"visible":false})") ++hidden;
  EXPECT_EQ(hidden, 1);
  EXPECT_EQ(Joined(r.calls), "install_packages\ncancel_flag\nquit_downloader\n");
}

TEST_F(DialogTest, CloseWaitingBehindDownloadFinishedInstallsNothing) {
  RunResult r = Run({}, "", "", false, [](DialogServices& s, RunResult&) {
    s.start_worker = [](CkestraDlg& d, int) {
      // Both wait in the queue before the first is served; the close is served
      // while the step processes the waiting messages.
      d.Post(kMsgDownloadFinished, 0, 0);
      d.Post(kMsgClose, 0, 0);
      return std::thread();
    };
  });
  EXPECT_EQ(r.after_init.back(), kEnd);
  for (const auto& call : r.calls) EXPECT_NE(call, "install_packages");
}

TEST_F(DialogTest, CancelConfirmedEndsTheDialogAtOnce) {
  // No worker message ever closes it: only the player's Yes does.
  RunResult r = Run([](CkestraDlg&) {}, "Yes\n", "0 1008\n", /*close=*/false);
  const std::vector<std::string> expected = {
      R"({"event":"click","control":1008,"ignored":false})",
      R"({"event":"messagebox","caption":"取消确认","text":"是否真的希望取消？\n","buttons":"YesNo","icon":"none","answer":"Yes"})",
      kEnd};
  EXPECT_EQ(Joined(r.after_init), Joined(expected));
  // The worker was running: the downloader is told to quit and the worker is left.
  EXPECT_EQ(Joined(r.calls), "cancel_flag\nquit_downloader\n");
}

TEST_F(DialogTest, CancelAnsweredNoKeepsTheDialog) {
  RunResult r = Run({}, "No\nYes\n", "0 1008\n20 1008\n", false);
  const std::vector<std::string> expected = {
      R"({"event":"click","control":1008,"ignored":false})",
      R"({"event":"messagebox","caption":"取消确认","text":"是否真的希望取消？\n","buttons":"YesNo","icon":"none","answer":"No"})",
      R"({"event":"click","control":1008,"ignored":false})",
      R"({"event":"messagebox","caption":"取消确认","text":"是否真的希望取消？\n","buttons":"YesNo","icon":"none","answer":"Yes"})",
      kEnd};
  EXPECT_EQ(Joined(r.after_init), Joined(expected));
  // Without a worker there is nobody to stop.
  EXPECT_EQ(Joined(r.calls), "cancel_flag\n");
}

TEST_F(DialogTest, CancelAfterInstallationBeganIsNotPossible) {
  std::string transcript = install_.transcript_path();
  RunResult r = Run(
      [transcript](CkestraDlg& d) {
        // Close only after the player's click was seen and ignored.
        EXPECT_TRUE(test::WaitForLine(transcript, R"("control":1008,"ignored":true)"));
        d.Post(kMsgClose, 0, 0);
      },
      "Yes\n", "100 1008\n", false, [](DialogServices& s, RunResult&) {
        auto worker = s.start_worker;
        s.start_worker = [worker](CkestraDlg& d, int mode) {
          d.Post(kMsgDownloadFinished, 0, 0);  // before any click can come
          return worker(d, mode);
        };
      });
  bool box = false;
  for (const auto& l : r.after_init) box = box || l.find("messagebox") != std::string::npos;
  EXPECT_FALSE(box) << Joined(r.after_init);
  EXPECT_EQ(r.after_init.back(), kEnd);
}

TEST_F(DialogTest, LinkThatCannotBeOpenedReportsAndStaysUnvisited) {
  bool visited = true;
  RunResult r = Run(
      [this, &visited](CkestraDlg& d) {
        EXPECT_TRUE(test::WaitForLine(install_.transcript_path(), "Unable to open hyperlink"));
        visited = d.Link(kIdPatchLink)->visited();
      },
      "", "0 1010\n", true, [](DialogServices& s, RunResult&) {
        s.open_url = [](std::string_view) { return 26; };
      });
  const std::vector<std::string> expected = {
      R"({"event":"click","control":1010,"ignored":false})",
      R"({"event":"open_url","url":")" + config::endpoints::PatchDownloadPageUrl() + R"("})",
      R"({"event":"messagebox","caption":"《Vandor》更新","text":"Unable to open hyperlink:\n\nA sharing violation occurred. ","buttons":"OK","icon":"warning","answer":"OK"})",
      kEnd};
  EXPECT_EQ(Joined(r.after_init), Joined(expected));
  EXPECT_FALSE(visited);
}

TEST_F(DialogTest, OpenedLinkBecomesVisited) {
  bool visited = false;
  RunResult r = Run(
      [this, &visited](CkestraDlg& d) {
        EXPECT_TRUE(test::WaitForLine(install_.transcript_path(), R"("event":"open_url")"));
        // The flag is set on the UI thread right after the open.
        d.Send(kMsgStatusText, 2, 0);
        visited = d.Link(kIdHomeLink)->visited();
      },
      "", "0 1012\n");
  EXPECT_TRUE(visited);
  EXPECT_EQ(Joined(r.opened), config::endpoints::GameHomePageUrl() + "\n");
}

TEST_F(DialogTest, NoticeScrollRepaintsThroughTimerTwoOnce) {
  RunResult r = Run(
      [this](CkestraDlg& d) {
        d.Post(kMsgPackFinished, 0, 0);
        EXPECT_TRUE(test::WaitForLine(install_.transcript_path(), R"({"event":"timer","id":2,"killed":true})"));
      },
      "", "", true, [](DialogServices& s, RunResult&) {
        // On the UI thread: the player turns the wheel over the notice.
        s.install_pack = [](CkestraDlg& d) { d.NoticeMouse(kIdNotice, ui::gui::NoticeInput::MouseWheel, false); };
      });
  const std::vector<std::string> expected = {R"({"event":"timer","id":2,"period_ms":1})",
                                             R"({"event":"timer","id":2,"killed":true})", kEnd};
  EXPECT_EQ(Joined(r.after_init), Joined(expected));
}

// The real opener: the desktop's xdg-open (a recording stand-in on PATH) gets
// the link; when it fails, the handler registered for web pages does.
TEST_F(DialogTest, LinkClickGoesToTheDesktopOpenerFirst) {
  const test::TempDir& dir = install_.dir();
  std::string record = dir / "opened.txt";
  auto tool = [&](const std::string& name, const std::string& body) {
    ASSERT_TRUE(platform::fs::MakeDirectories(dir / "bin"));
    ASSERT_TRUE(platform::fs::WriteWholeFile(dir / ("bin/" + name), "#!/bin/sh\n" + body));
    ASSERT_TRUE(platform::fs::SetExecutable(dir / ("bin/" + name)));
  };
  tool("xdg-open", "echo \"xdg-open $1\" >> " + record + "\nexit 4\n");
  tool("xdg-mime", "echo web.desktop\n");
  tool("browser", "echo \"browser $1\" >> " + record + "\n");
  dir.Write("share/applications/web.desktop", "[Desktop Entry]\nExec=" + (dir / "bin/browser") + " %u\n");
  std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (dir / "bin:/usr/bin:/bin").c_str(), 1);
  setenv("XDG_DATA_HOME", (dir / "share").c_str(), 1);
  bool visited = false;
  RunResult r = Run(
      [&](CkestraDlg& d) {
        EXPECT_TRUE(test::WaitForLine(record, "browser "));
        d.Send(kMsgStatusText, 2, 0);
        visited = d.Link(kIdManualLink)->visited();
      },
      "", "0 1011\n", true, [](DialogServices& s, RunResult&) { s.open_url = nullptr; });
  setenv("PATH", old_path.c_str(), 1);
  unsetenv("XDG_DATA_HOME");
  std::string url = config::endpoints::ManualUpdatePageUrl();
  EXPECT_EQ(Joined(test::ReadLines(record)), "xdg-open " + url + "\nbrowser " + url + "\n");
  EXPECT_TRUE(visited);
}

TEST_F(DialogTest, LinksAndLogosOpenTheirPages) {
  RunResult r = Run(
      [this](CkestraDlg&) {
        EXPECT_TRUE(test::WaitForLine(install_.transcript_path(), R"("control":1017)"));
        EXPECT_TRUE(test::WaitForLine(install_.transcript_path(), R"(open_url)"));
      },
      "", "0 1010\n0 1011\n0 1012\n0 1019\n0 1021\n0 1016\n0 1017\n");
  const std::vector<std::string> urls = {
      config::endpoints::PatchDownloadPageUrl(), config::endpoints::ManualUpdatePageUrl(),
      config::endpoints::GameHomePageUrl(),      config::endpoints::MaintenanceNewsUrl(),
      config::endpoints::ForumThreadUrl(),       config::endpoints::MakerHomePageUrl(),
      config::endpoints::GameHomePageUrl()};
  EXPECT_EQ(Joined(r.opened), Joined(urls));
  EXPECT_NE(urls[0].find("/download/patch.html"), std::string::npos);
  EXPECT_NE(urls[1].find("/introduce/newcomer/mend.html"), std::string::npos);
  EXPECT_NE(urls[3].find("/news/maint.html"), std::string::npos);
  EXPECT_NE(urls[4].find("/viewthread.php?tid=1345657"), std::string::npos);
  int open_events = 0;
  for (const auto& l : r.after_init) open_events += l.find(R"("event":"open_url")") != std::string::npos;
  EXPECT_EQ(open_events, 7);
}

}  // namespace
}  // namespace kestra::app
