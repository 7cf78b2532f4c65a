// The session, installation, completion and the pack flow inside the real
// main dialog on the script frontend, with the outside world swapped: list
// fetches, downloads, package application, backup and client start are
// recorded fakes. What the player saw is read from the transcript.
#include "updater/app/session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tests/updater/app/dialog_harness.h"
#include "updater/app/dialog.h"
#include "updater/app/install.h"
#include "updater/app/packs.h"
#include "updater/config/settings.h"
#include "updater/config/update_context.h"

namespace kestra::app {
namespace {

using test::Joined;
using test::ScriptedInstall;

constexpr char kServer[] = "http://127.0.0.1:8080";
constexpr char kDefaultListUrl[] = "http://127.0.0.1:9/tqm/btpatch_list6.txt";

std::uint32_t V(const char* text) { return config::ParseVersion(text); }

// How a fake download ends.
enum class DownloadEnd { Complete, Fail, CancelByPlayer };

struct World {
  // Answers of the list addresses, by url; a url not here is refused.
  std::map<std::string, std::string> lists;
  std::map<std::string, std::string> settings;  // [Setting] keys of update.ini
  std::uint32_t installed = V("1.0.4");
  bool clients_closed = true;
  // Download ends by task url (Complete when not named).
  std::map<std::string, DownloadEnd> downloads;
  std::string failing_package;  // apply fails for this name
  int sub_version = 0;
  int restore_failures = 0;     // restores that fail before one succeeds (-1: always)
  int backup_failures = 0;
  std::uint32_t version_after = V("1.0.6");
  unsigned random = 0;
  int installer_exit = 0;

  // What happened.
  std::mutex mutex;
  std::vector<std::string> calls;
  void Note(std::string what) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(what));
  }
  std::vector<std::string> CallsStarting(const std::string& prefix) {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto& c : calls)
      if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
  }
};

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UpdateContext& c = MutableContext();
    c.download_directory = install_.dir().path() + "\\download";
    c.micro_argument = -1;
    c.resource_set_flags = 0;
    c.base_resource_version = 0;
    c.hd_resource_version = 0;
  }
  void TearDown() override {
    UpdateContext& c = MutableContext();
    c.download_directory.clear();
    c.micro_argument = -1;
    c.resource_set_flags = 0;
  }

  SessionServices FakeSession(World& w, SessionState& state) {
    SessionServices s;
    s.sleep = [](std::uint32_t) {};
    s.wait_for_clients = [&w](ui::Dialog&) { return w.clients_closed; };
    s.installed_version = [&w] { return w.installed; };
    s.read_setting = [&w](std::string_view key, std::string_view def) {
      auto it = w.settings.find(std::string(key));
      return it == w.settings.end() ? std::string(def) : it->second;
    };
    s.fetch_list = [&w](std::string_view url, int connect_s, int data_s) {
      w.Note("fetch " + std::string(url) + " " + std::to_string(connect_s) + "/" + std::to_string(data_s));
      auto it = w.lists.find(std::string(url));
      if (it == w.lists.end()) return ListFetchResult{false, "", "refused"};
      return ListFetchResult{true, it->second, ""};
    };
    s.download = [&w, &state, this](ui::Dialog& dialog, const std::string& task, const std::string& dir) {
      w.Note("download " + task + " -> " + dir);
      auto it = w.downloads.find(task);
      DownloadEnd end = it == w.downloads.end() ? DownloadEnd::Complete : it->second;
      if (end == DownloadEnd::CancelByPlayer) {
        // The player confirms the cancel while this download runs; the flow
        // returns once the close handler has set the cancel flag.
        dialog.Post(kMsgClose, 0, 0);
        for (;;) {
          std::lock_guard lock(state.lock());
          if (state.cancel) return;
        }
      }
      if (end == DownloadEnd::Fail) return;
      if (run_mode_ != 0) {
        // The flow's part in a pack run: the expansion result and 2029.
        dialog.Post(kMsgPackFinished, 0, 0);
        state.expansion_result = true;
        return;
      }
      // The flow's part: one download less, 2026 after the last.
      std::lock_guard lock(state.lock());
      if (state.remaining_downloads > 0) --state.remaining_downloads;
      if (state.remaining_downloads == 0) dialog.Post(kMsgDownloadFinished, 0, 0);
    };
    s.show_update_error = [&w](int number, std::string_view text) {
      w.Note("error " + std::to_string(number) + " " + std::string(text));
    };
    s.make_directory = [&w](const std::string& dir) { w.Note("mkdir " + dir); };
    s.default_task_base = "http://127.0.0.1:9/";
    s.default_list_url = kDefaultListUrl;
    return s;
  }

  InstallServices FakeInstall(World& w, SessionState& state, const SessionServices& session) {
    InstallServices s;
    s.read_sub_version = [&w] { return w.sub_version; };
    s.restore_backup = [&w] {
      w.Note("restore");
      if (w.restore_failures == 0) return true;
      if (w.restore_failures > 0) --w.restore_failures;
      return false;
    };
    s.backup_for_micro_patch = [&w](const PatchEntry& micro) {
      w.Note("backup " + config::FormatVersion(micro.version) + " " + std::to_string(micro.micro_number));
      if (w.backup_failures == 0) return true;
      if (w.backup_failures > 0) --w.backup_failures;
      return false;
    };
    s.apply_package = [&w](ui::Dialog&, std::string_view name, std::uint32_t version) {
      w.Note("apply " + std::string(name) + " " + config::FormatVersion(version));
      return name != w.failing_package;
    };
    s.read_update_version = [&w] { return w.version_after; };
    s.write_resource_version = [&w](std::uint32_t version, std::string_view file) {
      w.Note("resource " + std::string(file) + " " + config::FormatVersion(version));
      return true;
    };
    s.show_update_error = [&w](int number, std::string_view text) {
      w.Note("error " + std::to_string(number) + " " + std::string(text));
    };
    s.offer_repair = [&w](ui::Dialog&) { w.Note("repair"); };
    s.start_client = [&w] { w.Note("client"); };
    s.random = [&w] { return w.random; };
    s.wait_worker_end = [this](int ms) { return worker_done_.WaitFor(ms); };
    s.start_sharing_worker = [&state, session, this](CkestraDlg& dialog) {
      worker_done_.Reset();
      return std::thread([&state, &dialog, session, this] {
        RunSharingWorker(dialog, state, session);
        worker_done_.Set();
      });
    };
    s.countdown_period_ms = 5;
    return s;
  }

  // Runs the main dialog with the session (run mode 0) or the pack flow.
  // With mark_after_worker_, a marker status text and a close are posted
  // after the worker returned: the marker reaches the transcript only when
  // the worker left the dialog open.
  std::vector<std::string> Run(World& w, int run_mode = 0, int type_code = 0,
                               const std::string& answers = "") {
    run_mode_ = run_mode;
    SessionState state;
    SessionServices session = FakeSession(w, state);
    InstallServices install = FakeInstall(w, state, session);
    DialogServices services;
    services.fetch_notice = [](const config::SplitUrlResult&, std::string_view) {
      return NoticeFetchResult{false, "", "refused"};
    };
    services.set_cancel_flag = [&state] {
      std::lock_guard lock(state.lock());
      state.cancel = true;
    };
    services.quit_downloader = [&w] { w.Note("quit"); };
    services.start_worker = [&, run_mode, type_code](CkestraDlg& dialog, int) {
      worker_done_.Reset();
      return std::thread([&, run_mode, type_code] {
        if (run_mode == 0) {
          RunUpdateSession(dialog, state, session);
        } else {
          RunPackFlow(dialog, state, session, type_code, run_mode);
        }
        worker_done_.Set();
        w.Note("worker end");
      });
    };
    services.install_packages = [&](CkestraDlg& dialog) { InstallPackages(dialog, state, install); };
    services.install_pack = [&](CkestraDlg& dialog) {
      InstallPack(dialog, state, install, [&w](const std::string& path) {
        w.Note("installer " + path);
        return w.installer_exit;
      });
    };
    services.countdown_tick = [&](CkestraDlg& dialog) { CountdownTick(dialog, install); };

    std::unique_ptr<ui::Frontend> frontend = install_.Frontend(answers);
    {
      CkestraDlg dialog(run_mode, services, frontend.get());
      std::thread closer([&] {
        worker_done_.WaitFor(60000);
        if (!mark_after_worker_) {
          // A safety bound against a dialog nobody ends, not a timing check:
          // the marker then fails the test.
          for (int i = 0; i < 3000 && !dialog.ended(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          if (dialog.ended()) return;
        }
        dialog.Post(kMsgStatusText, 0, NewTextParam("MARKER"));
        dialog.Post(kMsgClose, 0, 0);
      });
      result_ = dialog.RunModal();
      // A worker stopped "at once" by the close is joined here, after it
      // finished by itself.
      worker_done_.WaitFor(60000);
      worker_done_.Set();
      closer.join();
      if (dialog.worker_thread().joinable()) dialog.worker_thread().join();
      sharing_url_ = state.sharing_url;
      patch_list_ = state.patch_list;
    }
    return install_.Transcript();
  }

  static bool Has(const std::vector<std::string>& lines, const std::string& needle) {
    for (const auto& l : lines)
      if (l.find(needle) != std::string::npos) return true;
    return false;
  }
  // Values of the progress events of a control, in order.
  static std::vector<int> Bar(const std::vector<std::string>& lines, int control) {
    std::vector<int> values;
    const std::string key = "\"event\":\"progress\",\"control\":" + std::to_string(control) + ",\"value\":";
    for (const auto& l : lines) {
      std::size_t at = l.find(key);
      if (at != std::string::npos) values.push_back(std::stoi(l.substr(at + key.size())));
    }
    return values;
  }
  static std::string Box(const char* caption, const char* text) {
    return std::string("\"event\":\"messagebox\",\"caption\":\"") + caption + "\",\"text\":\"" + text + "\"";
  }

  ScriptedInstall install_;
  WorkerDone worker_done_;
  int result_ = -1;
  int run_mode_ = 0;
  bool mark_after_worker_ = false;
  std::string sharing_url_;
  std::vector<PatchEntry> patch_list_;
};

const std::string kThreePatches = std::string("#bturl ") + kServer +
                                  "\r\n1.0.3 " + kServer + "/tqm/patch1.0.3.tq\r\n1.0.5 " + kServer +
                                  "/tqm/patch1.0.5.tq\r\n1.0.6 " + kServer + "/tqm/patch1.0.6.tq\r\n";

TEST_F(SessionTest, TwoPatchesAndAMicroPatchEndInSuccessAndTheClient) {
  World w;
  w.lists[kDefaultListUrl] = kThreePatches;
  MutableContext().micro_argument = 3;
  std::vector<std::string> t = Run(w);
  const std::string dir = install_.dir().path() + "\\download/";
  EXPECT_EQ(w.CallsStarting("download"),
            (std::vector<std::string>{
                "download " + std::string(kServer) + "/burrow//tqm/patch1.0.5.tq.data -> " + dir,
                "download " + std::string(kServer) + "/burrow//tqm/patch1.0.6.tq.data -> " + dir,
                "download " + std::string(kServer) + "/burrow//tqm/patch1.0.6.tq.3.data -> " + dir}));
  EXPECT_EQ(w.CallsStarting("apply"), (std::vector<std::string>{"apply patch1.0.5.tq 1.0.5",
                                                                 "apply patch1.0.6.tq 1.0.6",
                                                                 "apply patch1.0.6.tq.3 1.0.6"}));
  EXPECT_EQ(w.CallsStarting("backup"), std::vector<std::string>{"backup 1.0.6 3"});
  EXPECT_TRUE(w.CallsStarting("restore").empty());
  EXPECT_EQ(Bar(t, kIdInstallBar), (std::vector<int>{33, 66, 100, 0}));
  EXPECT_TRUE(Has(t, Box("恭喜", "更新成功!") + ",\"buttons\":\"OK\",\"icon\":\"info\""));
  EXPECT_EQ(w.CallsStarting("client").size(), 1u);
  EXPECT_FALSE(Has(t, "MARKER"));
  // What the player read on the way.
  for (const char* text : {"正在检查当前版本号...", "正在获取更新列表...", "开始下载 patch1.0.5.tq",
                           "开始下载 patch1.0.6.tq.3", "下载数据完毕, 正在进行解压...", "正在备份文件..."})
    EXPECT_TRUE(Has(t, std::string("\"text\":\"") + text + "\"")) << text;
  EXPECT_TRUE(Has(t, R"({"event":"text","control":1002,"text":"patch1.0.6.tq.3"})"));
  EXPECT_TRUE(Has(t, R"({"event":"text","control":1006,"text":"安装中"})"));
  EXPECT_TRUE(Has(t, R"({"event":"end","result":1})"));
  // Success and the client come after the last package, never before.
  const auto& calls = w.calls;
  auto pos = [&](const std::string& c) { return std::find(calls.begin(), calls.end(), c) - calls.begin(); };
  EXPECT_LT(pos("apply patch1.0.6.tq.3 1.0.6"), pos("client"));
  EXPECT_LT(pos("backup 1.0.6 3"), pos("apply patch1.0.6.tq.3 1.0.6"));
}

TEST_F(SessionTest, ListAddressesAreTriedInTurn) {
  struct Case {
    const char* name;
    std::vector<std::string> answering;  // keys whose address answers
    std::vector<std::string> fetched;    // keys tried
    bool error;
  };
  const std::vector<Case> cases = {
      {"first answers", {"UpdateURL"}, {"UpdateURL"}, false},
      {"second answers", {"UpdateURL2"}, {"UpdateURL", "UpdateURL2"}, false},
      {"fourth answers", {"UpdateURL4"}, {"UpdateURL", "UpdateURL2", "UpdateURL3", "UpdateURL4"}, false},
      {"none answers", {}, {"UpdateURL", "UpdateURL2", "UpdateURL3", "UpdateURL4"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    for (const char* key : {"UpdateURL", "UpdateURL2", "UpdateURL3", "UpdateURL4"})
      w.settings[key] = std::string("http://127.0.0.1:1/") + key;
    for (const auto& key : c.answering) w.lists["http://127.0.0.1:1/" + key] = kThreePatches;
    std::vector<std::string> t = Run(w);
    std::vector<std::string> expected;
    for (const auto& key : c.fetched) expected.push_back("fetch http://127.0.0.1:1/" + key + " 25/86");
    EXPECT_EQ(w.CallsStarting("fetch"), expected);
    if (c.error) {
      EXPECT_EQ(w.CallsStarting("error"), std::vector<std::string>{"error 11 获取更新列表失败，refused"});
      EXPECT_TRUE(w.CallsStarting("download").empty());
    } else {
      EXPECT_TRUE(w.CallsStarting("error").empty());
      EXPECT_EQ(w.CallsStarting("download").size(), 2u);
      EXPECT_EQ(w.CallsStarting("client").size(), 1u);
    }
    EXPECT_FALSE(Has(t, "MARKER"));
  }
}

TEST_F(SessionTest, RefusedListsCountAsFailedAddresses) {
  World w;
  w.settings["UpdateURL"] = "http://127.0.0.1:1/big";
  w.settings["UpdateURL2"] = "http://127.0.0.1:1/good";
  w.lists["http://127.0.0.1:1/big"] = std::string(kMaxPatchListBytes + 1, ' ');
  w.lists["http://127.0.0.1:1/good"] = kThreePatches;
  Run(w);
  EXPECT_EQ(w.CallsStarting("fetch").size(), 2u);
  EXPECT_EQ(w.CallsStarting("apply").size(), 2u);

  World all_big;
  all_big.lists[kDefaultListUrl] = std::string(kMaxPatchListBytes + 1, '1');
  Run(all_big);
  EXPECT_EQ(all_big.CallsStarting("error"),
            std::vector<std::string>{"error 11 获取更新列表失败，Patch list too large"});
}

TEST_F(SessionTest, NothingNewer) {
  struct Case {
    int micro;
    bool box;        // "没有补丁需要更新"
    bool installs;   // 2026 and the success
  };
  for (const Case& c : {Case{-1, true, false}, Case{0, false, true}}) {
    SCOPED_TRACE(c.micro);
    World w;
    w.installed = V("1.0.6");
    w.lists[kDefaultListUrl] = kThreePatches;
    MutableContext().micro_argument = c.micro;
    std::vector<std::string> t = Run(w);
    EXPECT_TRUE(w.CallsStarting("download").empty());
    EXPECT_EQ(Has(t, Box("kestra", "没有补丁需要更新")), c.box);
    EXPECT_EQ(Has(t, Box("恭喜", "更新成功!")), c.installs);
    EXPECT_EQ(w.CallsStarting("client").size(), c.installs ? 1u : 0u);
    EXPECT_TRUE(w.CallsStarting("apply").empty());
    EXPECT_FALSE(Has(t, "MARKER"));
  }
}

TEST_F(SessionTest, MicroPatchAloneWhenNothingIsNewer) {
  World w;
  w.installed = V("1.0.6");
  w.lists[kDefaultListUrl] = kThreePatches;
  MutableContext().micro_argument = 3;
  std::vector<std::string> t = Run(w);
  EXPECT_EQ(w.CallsStarting("download"),
            std::vector<std::string>{"download " + std::string(kServer) + "/burrow//tqm/patch1.0.6.tq.3.data -> " +
                                     install_.dir().path() + "\\download/"});
  EXPECT_EQ(w.CallsStarting("apply"), std::vector<std::string>{"apply patch1.0.6.tq.3 1.0.6"});
  EXPECT_EQ(Bar(t, kIdInstallBar), (std::vector<int>{100, 0}));
  EXPECT_EQ(w.CallsStarting("client").size(), 1u);
}

TEST_F(SessionTest, UrlWithoutFileNameEndsAfterTheEarlierPatches) {
  World w;
  w.lists[kDefaultListUrl] = std::string("1.0.5 ") + kServer + "/tqm/patch1.0.5.tq\n1.0.6 " + kServer +
                             "/tqm/\n1.0.7 " + kServer + "/tqm/patch1.0.7.tq\n";
  std::vector<std::string> t = Run(w);
  EXPECT_EQ(w.CallsStarting("download").size(), 1u);
  EXPECT_TRUE(Has(t, Box("kestra", "url错误")));
  EXPECT_TRUE(w.CallsStarting("apply").empty());
  EXPECT_TRUE(w.CallsStarting("client").empty());
  EXPECT_FALSE(Has(t, "MARKER"));
}

TEST_F(SessionTest, FailedDownloadShowsErrorTwelve) {
  World w;
  w.lists[kDefaultListUrl] = kThreePatches;
  w.downloads[std::string(kServer) + "/burrow//tqm/patch1.0.6.tq.data"] = DownloadEnd::Fail;
  std::vector<std::string> t = Run(w);
  EXPECT_EQ(w.CallsStarting("error"), std::vector<std::string>{"error 12 下载patch1.0.6.tq失败"});
  EXPECT_EQ(w.CallsStarting("download").size(), 2u);
  EXPECT_TRUE(w.CallsStarting("apply").empty());
  EXPECT_TRUE(w.CallsStarting("client").empty());
  EXPECT_FALSE(Has(t, "MARKER"));
}

TEST_F(SessionTest, CancelDuringTheSecondOfThreeDownloads) {
  World w;
  w.lists[kDefaultListUrl] = kThreePatches + "1.0.7 " + kServer + "/tqm/patch1.0.7.tq\n";
  w.downloads[std::string(kServer) + "/burrow//tqm/patch1.0.6.tq.data"] = DownloadEnd::CancelByPlayer;
  std::vector<std::string> t = Run(w);
  EXPECT_EQ(w.CallsStarting("download").size(), 2u);
  EXPECT_TRUE(w.CallsStarting("error").empty());
  EXPECT_EQ(w.CallsStarting("quit").size(), 1u);
  EXPECT_TRUE(w.CallsStarting("apply").empty());
  EXPECT_TRUE(w.CallsStarting("client").empty());
  EXPECT_FALSE(Has(t, "\"event\":\"messagebox\""));
  EXPECT_TRUE(Has(t, R"({"event":"end","result":1})"));
}

TEST_F(SessionTest, ClientProgramsStillRunning) {
  World w;
  w.clients_closed = false;
  w.lists[kDefaultListUrl] = kThreePatches;
  mark_after_worker_ = true;
  std::vector<std::string> t = Run(w);
  EXPECT_TRUE(Has(t, Box("错误", "用户取消更新")));
  EXPECT_TRUE(w.CallsStarting("fetch").empty());
  EXPECT_FALSE(Has(t, "MARKER"));
}

TEST_F(SessionTest, UnknownVersionLeavesTheDialogOpen) {
  World w;
  w.installed = 0;
  w.lists[kDefaultListUrl] = kThreePatches;
  mark_after_worker_ = true;
  std::vector<std::string> t = Run(w);
  EXPECT_TRUE(Has(t, Box("错误", "检查当前版本号错误")));
  EXPECT_TRUE(w.CallsStarting("fetch").empty());
  // The session posted no close: the harness's marker came after it.
  EXPECT_TRUE(Has(t, "MARKER"));
}

TEST_F(SessionTest, FailingPackageOffersRepairAndKeepsEarlierOnes) {
  World w;
  w.lists[kDefaultListUrl] = kThreePatches + "1.0.7 " + kServer + "/tqm/patch1.0.7.tq\n";
  w.failing_package = "patch1.0.6.tq";
  MutableContext().resource_set_flags = 3;
  std::vector<std::string> t = Run(w);
  EXPECT_EQ(w.CallsStarting("apply"),
            (std::vector<std::string>{"apply patch1.0.5.tq 1.0.5", "apply patch1.0.6.tq 1.0.6"}));
  EXPECT_EQ(w.CallsStarting("repair").size(), 1u);
  EXPECT_TRUE(w.CallsStarting("client").empty());
  EXPECT_TRUE(w.CallsStarting("resource").empty());
  EXPECT_EQ(Bar(t, kIdInstallBar), std::vector<int>{33});
  EXPECT_TRUE(Has(t, R"({"event":"text","control":1004,"text":"关闭中..."})"));
  EXPECT_FALSE(Has(t, "更新成功!"));
}

TEST_F(SessionTest, RestoreAndBackupFailures) {
  struct Case {
    const char* name;
    int sub_version;
    int restore_failures;
    int backup_failures;
    const char* answers;
    std::vector<std::string> errors;
    int restores;
    bool client;
  };
  const std::vector<Case> cases = {
      {"restore after one retry", 2, 1, 0, "Retry\n", {}, 2, true},
      {"restore given up", 2, -1, 0, "Retry\nCancel\n", {"error 21 恢复备份文件失败"}, 2, false},
      {"backup given up", 0, 0, -1, "Cancel\n", {"error 21 创建备份文件失败"}, 0, false},
      {"sub version -1 restores nothing", -1, -1, 0, "", {}, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.lists[kDefaultListUrl] = kThreePatches;
    w.sub_version = c.sub_version;
    w.restore_failures = c.restore_failures;
    w.backup_failures = c.backup_failures;
    MutableContext().micro_argument = 3;
    std::vector<std::string> t = Run(w, 0, 0, c.answers);
    EXPECT_EQ(w.CallsStarting("error"), c.errors);
    EXPECT_EQ(static_cast<int>(w.CallsStarting("restore").size()), c.restores);
    EXPECT_EQ(w.CallsStarting("client").size(), c.client ? 1u : 0u);
    if (!c.errors.empty()) {
      // The loop ends with 0 without the close handler.
      EXPECT_EQ(result_, 0);
      EXPECT_TRUE(Has(t, R"({"event":"end","result":0})"));
    }
    if (c.restore_failures < 0 && c.restores > 0) {
      EXPECT_TRUE(w.CallsStarting("apply").empty());
    }
    if (c.backup_failures < 0) {
      // The list packages stay applied; the micro patch is not.
      EXPECT_EQ(w.CallsStarting("apply").size(), 2u);
      EXPECT_TRUE(Has(t, "恢复备份文件失败") == false);
      EXPECT_TRUE(Has(t, "创建备份文件失败,请您先关闭正在运行的客户端，再重试。"));
    }
  }
}

TEST_F(SessionTest, ResourceVersionsFollowUpdateIni) {
  struct Case {
    std::uint32_t flags;
    const char* base;
    const char* hd;
    std::vector<std::string> writes;
  };
  const std::vector<Case> cases = {
      {3, "1.0.4", "1.0.4", {"resource res.ini 1.0.6", "resource hdres/res.ini 1.0.6"}},
      {3, "1.0.6", "1.0.4", {"resource hdres/res.ini 1.0.6"}},
      {1, "1.0.4", "1.0.4", {"resource res.ini 1.0.6"}},
      {0, "1.0.4", "1.0.4", {}},
  };
  for (const Case& c : cases) {
    World w;
    w.lists[kDefaultListUrl] = kThreePatches;
    UpdateContext& ctx = MutableContext();
    ctx.resource_set_flags = c.flags;
    ctx.base_resource_version = V(c.base);
    ctx.hd_resource_version = V(c.hd);
    Run(w);
    EXPECT_EQ(w.CallsStarting("resource"), c.writes) << c.flags << " " << c.base;
  }
  MutableContext().base_resource_version = 0;
  MutableContext().hd_resource_version = 0;
}

TEST_F(SessionTest, CountdownWithSharing) {
  struct Case {
    const char* name;
    std::string control;
    unsigned random;
    std::string shared;  // url of the shared package, "" for none
  };
  const std::string p5 = std::string(kServer) + "/tqm/patch1.0.5.tq";
  const std::string p6 = std::string(kServer) + "/tqm/patch1.0.6.tq";
  const std::vector<Case> cases = {
      {"mode 1 shares the first", "##1 60 x\n", 0, p5},
      {"mode 2 picks among all but the last", "##2 60 x\n", 0, p5},
      {"mode 2 never the last", "##2 60 x\n", 1, ""},
      {"mode 0", "##0 60 x\n", 0, ""},
      {"below the threshold", "##1 59 x\n", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    w.random = c.random;
    w.lists[kDefaultListUrl] = c.control + kThreePatches;
    std::vector<std::string> t = Run(w);
    const bool counts = c.control.find(" 59 ") == std::string::npos;
    std::vector<std::string> sharing;
    if (!c.shared.empty()) {
      sharing.push_back("download " + c.shared + ".data -> " + install_.dir().path() +
                        "\\download/" + c.shared.substr(c.shared.rfind('/') + 1));
    }
    std::vector<std::string> downloads = w.CallsStarting("download");
    EXPECT_EQ(std::vector<std::string>(downloads.begin() + 2, downloads.end()), sharing);
    EXPECT_EQ(sharing_url_, c.shared);
    std::vector<int> bar = Bar(t, kIdInstallBar);
    if (counts) {
      // 50, 100 from the packages, 0 at completion, then one step a second.
      ASSERT_EQ(bar.size(), 3u + 60u);
      EXPECT_EQ(bar[3], 1);    // (60 - 59) * 100 / 60
      EXPECT_EQ(bar[60], 96);  // (60 - 2) * 100 / 60
      EXPECT_EQ(bar.back(), 100);
      EXPECT_TRUE(Has(t, R"({"event":"timer","id":1,"period_ms":5})"));
    } else {
      EXPECT_EQ(bar, (std::vector<int>{50, 100, 0}));
    }
    EXPECT_TRUE(Has(t, Box("恭喜", "更新成功!")));
    EXPECT_EQ(w.CallsStarting("client").size(), 1u);
  }
}

TEST(SharingPick, Table) {
  struct {
    int mode;
    std::size_t entries;
    unsigned random;
    int pick;
  } cases[] = {
      {1, 3, 7, 0}, {1, 0, 0, -1}, {2, 1, 0, -1}, {2, 4, 2, 2}, {2, 4, 3, -1}, {2, 4, 5, 1}, {0, 3, 0, -1}, {7, 3, 0, -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SharingPick(c.mode, c.entries, c.random), c.pick) << c.mode << " " << c.entries << " " << c.random;
}

TEST_F(SessionTest, ExpansionAndResourcePacks) {
  struct Case {
    const char* name;
    int type_code;
    int run_mode;
    std::string ini;        // sections of update.ini besides [Setting]
    bool check_file_exists;
    int installer_exit;
    bool download_completes;
    std::string package;    // package name field; "" when no pack is found
    std::string task;       // task url of the download
    std::vector<std::string> boxes;
    std::vector<std::string> errors;
    bool client;
  };
  const std::string exp = "http://127.0.0.1:1/exp/setup.sh";
  const std::vector<Case> cases = {
      {"sd expansion installs", 1, 1, "[SdExp]\r\nExpCheckFile=sd.pak\r\nExpCheckName=资料片一\r\nExpUrl=" + exp + "\r\n",
       false, 0, true, "资料片一", "http://127.0.0.1:1/exp//burrow/setup.sh.data", {"恭喜"}, {}, true},
      {"hd expansion installer fails", 5, 1, "[HdExp]\r\nExpCheckFile=hd.pak\r\nExpUrl=" + exp + "\r\n", false, 1,
       true, "资源包", "http://127.0.0.1:1/exp//burrow/setup.sh.data", {"资料片更新发生错误"}, {}, false},
      {"expansion already installed", 1, 1, "[SdExp]\r\nExpCheckFile=sd.pak\r\nExpUrl=" + exp + "\r\n", true, 0,
       true, "", "", {"没有发现需要更新的资料片"}, {}, false},
      {"expansion without check file", 2, 1, "[HdExp]\r\nExpUrl=" + exp + "\r\n", false, 0, true, "", "",
       {"没有发现需要更新的资料片"}, {}, false},
      {"expansion download fails", 2, 1, "[HdExp]\r\nExpCheckFile=hd.pak\r\nExpCheckName=X\r\nExpUrl=" + exp + "\r\n",
       false, 0, false, "X", "http://127.0.0.1:1/exp//burrow/setup.sh.data", {}, {"error 11 下载X失败"}, false},
      {"sd resource pack", -1, 2, "[SdRes]\r\nExpUrl=http://127.0.0.1:1/res/sd.sh\r\n", false, 0, true,
       "VandorSd版资源包", "http://127.0.0.1:1/res//burrow/sd.sh.data", {"恭喜"}, {}, true},
      {"hd resource pack", -2, 2, "[HdRes]\r\nExpUrl=http://127.0.0.1:1/res/hd.sh\r\n", false, 0, true,
       "VandorHd版资源包", "http://127.0.0.1:1/res//burrow/hd.sh.data", {"恭喜"}, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    install_.dir().Write("update.ini", "[Setting]\r\nVersion=1.0.0\r\n" + c.ini);
    if (c.check_file_exists) install_.dir().Write("sd.pak", "x");
    World w;
    w.installer_exit = c.installer_exit;
    w.lists[kDefaultListUrl] = "##1 0 x\n";
    if (!c.task.empty()) w.downloads[c.task] = c.download_completes ? DownloadEnd::Complete : DownloadEnd::Fail;
    std::vector<std::string> t = Run(w, c.run_mode, c.type_code);
    if (c.task.empty()) {
      EXPECT_TRUE(w.CallsStarting("download").empty());
    } else {
      EXPECT_EQ(w.CallsStarting("download"),
                std::vector<std::string>{"download " + c.task + " -> " + install_.dir().path() + "\\download"});
      EXPECT_EQ(w.CallsStarting("fetch"), std::vector<std::string>{"fetch " + std::string(kDefaultListUrl) + " 15/60"});
    }
    if (!c.package.empty()) {
      EXPECT_TRUE(Has(t, R"({"event":"text","control":1002,"text":")" + c.package + "\"}"));
    }
    for (const auto& box : c.boxes) EXPECT_TRUE(Has(t, "\"caption\":\"" + box) || Has(t, "\"text\":\"" + box)) << box;
    EXPECT_EQ(w.CallsStarting("error"), c.errors);
    EXPECT_EQ(w.CallsStarting("client").size(), c.client ? 1u : 0u);
    if (c.installer_exit != 0 || c.client) {
      const std::string name = c.task.substr(c.task.rfind('/') + 1, c.task.size() - c.task.rfind('/') - 6);
      EXPECT_EQ(w.CallsStarting("installer"),
                std::vector<std::string>{"installer " + install_.dir().path() + "\\download/" + name});
    } else {
      EXPECT_TRUE(w.CallsStarting("installer").empty());
    }
    EXPECT_FALSE(Has(t, "MARKER"));
    platform::fs::RemoveFile(install_.dir() / "sd.pak");
  }
}

}  // namespace
}  // namespace kestra::app
