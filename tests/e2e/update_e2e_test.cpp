// Whole updates with the updater program and its real downloader core: a
// real nginx on loopback serves the patch list, the packages and their tasks
// (published by kestra-release from installation trees written here) and the
// pack installers (tasks by kestra-seed); the script frontend plays the
// player and writes what the player saw; a stand-in "vd.exe" records that the
// client was started. The one run that needs a download held open uses the
// build that carries the stand-in core (standin_core.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/charset.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

namespace {

using kestra::test::NginxServer;
using kestra::test::TempDir;
namespace fs = platform::fs;
namespace process = platform::process;

using Tree = std::map<std::string, std::string>;  // relative path -> content

constexpr char kListPath[] = "/tqm/btpatch_list6.txt";

std::string Bytes(std::size_t size, unsigned seed) {
  std::string out(size, '\0');
  unsigned x = seed;
  for (char& c : out) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return out;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& needle) {
  for (const auto& l : lines)
    if (l.find(needle) != std::string::npos) return true;
  return false;
}

std::vector<int> Bar(const std::vector<std::string>& lines, int control) {
  std::vector<int> values;
  const std::string key = "\"event\":\"progress\",\"control\":" + std::to_string(control) + ",\"value\":";
  for (const auto& l : lines) {
    std::size_t at = l.find(key);
    if (at != std::string::npos) values.push_back(std::stoi(l.substr(at + key.size())));
  }
  return values;
}

std::string Box(const char* caption, const char* text) {
  return std::string("\"event\":\"messagebox\",\"caption\":\"") + caption + "\",\"text\":\"" + text + "\"";
}

// Waits (bounded) for a file that a started program writes.
bool WaitForFile(const std::string& path, int max_ms = 15000) {
  for (int waited = 0; waited < max_ms; waited += 20) {
    if (fs::Exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int RunProgram(const std::vector<std::string>& argv) {
  auto pid = process::Start(argv, {});
  if (!pid) return -1;
  return process::Wait(*pid, 120000).value_or(-1);
}

// One update server (nginx over www/) and one installation (inst/).
class UpdateE2E : public ::testing::Test {
 protected:
  // Whatever lies under /burrow/slow/ comes at a trickle (per connection).
  UpdateE2E() : nginx_(Www(), SlowFolder()) {}

  static kestra::test::NginxOptions SlowFolder() {
    kestra::test::NginxOptions options;
    options.server_config = "location /burrow/slow/ { limit_rate 16k; }";
    return options;
  }

  std::string Www() {
    root_.Write("www/index.txt", "");
    return root_ / "www";
  }
  std::string Url(const std::string& path) const { return nginx_.Url(path); }
  std::string inst() const { return root_ / "inst"; }

  // update.ini of every tree: the list and notice addresses of this server.
  std::string Ini(const char* version, const std::string& extra = "") const {
    return std::string("[Setting]\r\nVersion=") + version + "\r\nUpdateURL=" + update_url_ + "\r\n" +
           update_url2_ + "InfoURL=" + Url("/notice.txt") + "\r\n" + extra;
  }

  // The game at each version; the micro patch 3 of 1.0.6 on top.
  Tree Version104() const {
    return {{"update.ini", Ini("1.0.4") + ini_sections_},
            {"bin/game.dat", Bytes(64 * 1024, 1)},
            {"res/a.txt", "a104"},
            {"res/old.txt", "old"}};
  }
  Tree Version105() const {
    Tree t = Version104();
    t["update.ini"] = Ini("1.0.5") + ini_sections_;
    t["bin/game.dat"].replace(1000, 16, Bytes(16, 2));
    t["res/a.txt"] = "a105";
    t["res/b.txt"] = "b105";
    return t;
  }
  Tree Version106() const {
    Tree t = Version105();
    t["update.ini"] = Ini("1.0.6") + ini_sections_;
    t["bin/game.dat"].replace(30000, 32, Bytes(32, 3));
    t["res/a.txt"] = "a106";
    t.erase("res/old.txt");
    return t;
  }
  Tree Version106Micro3() const {
    Tree t = Version106();
    t["update.ini"] = Ini("1.0.6", "SubVersion=3\r\n") + ini_sections_;
    t["bin/game.dat"].replace(50000, 8, Bytes(8, 4));
    t["res/a.txt"] = "a106-micro3";
    return t;
  }

  void WriteTree(const std::string& relative, const Tree& tree) {
    for (const auto& [path, content] : tree) root_.Write(relative + "/" + path, content);
  }

  // Files of tree in the installation, and none of the others named.
  void ExpectInstalled(const Tree& tree, const std::vector<std::string>& absent = {}) {
    for (const auto& [path, content] : tree) {
      std::string on_disk = root_.Read("inst/" + path);
      EXPECT_TRUE(on_disk == content) << path << " differs (" << on_disk.size() << " bytes)";
    }
    for (const auto& path : absent) EXPECT_FALSE(root_.Exists("inst/" + path)) << path;
  }

  // Publishes a version on the server: with the real core, kestra-release
  // (package, task under burrow/, list line); for the stand-in, which needs
  // no task, the package alone from kestra-pack.
  void Package(const Tree& old_tree, const Tree& new_tree, const char* version, int micro = 0) {
    static int serial = 0;
    const std::string old_dir = "trees/" + std::to_string(++serial);
    const std::string new_dir = "trees/" + std::to_string(++serial);
    WriteTree(old_dir, old_tree);
    WriteTree(new_dir, new_tree);
    if (real_core_) {
      std::vector<std::string> argv = {std::string(KESTRA_BIN_DIR) + "/kestra-release", "publish", "--www",
                                       root_ / "www", "--old", root_ / old_dir, "--new", root_ / new_dir,
                                       "--version", version, "--url", Url(""), "--list",
                                       folder_ + "/btpatch_list6.txt"};
      if (micro != 0) argv.insert(argv.end(), {"--micro", std::to_string(micro)});
      ASSERT_EQ(RunProgram(argv), 0) << "kestra-release publish " << version;
      return;
    }
    std::string out = root_ / (std::string("www/tqm/patch") + version + ".tq");
    std::vector<std::string> argv = {std::string(KESTRA_BIN_DIR) + "/kestra-pack", "make", "--old",
                                     root_ / old_dir, "--new", root_ / new_dir, "--version", version};
    if (micro != 0) {
      argv.insert(argv.end(), {"--micro", std::to_string(micro)});
      out += "." + std::to_string(micro);
    }
    argv.insert(argv.end(), {"-o", out});
    fs::MakeDirectories(root_ / "www/tqm");
    ASSERT_EQ(RunProgram(argv), 0) << "kestra-pack make " << version;
  }

  void PublishAll() {
    Package(Version104(), Version105(), "1.0.5");
    Package(Version105(), Version106(), "1.0.6");
    Package(Version106(), Version106Micro3(), "1.0.6", 3);
  }

  std::string PatchUrl(const char* version) const {
    return Url("/" + folder_ + "/patch" + version + ".tq");
  }

  // The usual list: task base, control line, versions oldest first.
  void WriteList(const std::string& control, const std::vector<std::string>& versions,
                 const std::string& extra_lines = "") {
    std::string list = "#bturl " + Url("") + "\r\n" + control + "\r\n1.0.3 " + PatchUrl("1.0.3") + "\r\n";
    for (const auto& v : versions) list += v + " " + PatchUrl(v.c_str()) + "\r\n";
    root_.Write("www/" + folder_ + "/btpatch_list6.txt", list + extra_lines);
  }

  void Install(const Tree& tree) {
    WriteTree("inst", tree);
    root_.Write("inst/vd.exe", "#!/bin/sh\necho \"$PWD $#\" >> client-started.txt\n");
    fs::SetExecutable(inst() + "/vd.exe");
  }

  // Runs the updater in the installation as the launcher would; the
  // transcript comes back as GBK lines.
  std::vector<std::string> RunUpdater(const std::vector<std::string>& args, const std::string& answers = "",
                                      const std::string& clicks = "", const std::string& hold = "") {
    root_.Write("answers.txt", answers);
    root_.Write("clicks.txt", clicks);
    fs::RemoveFile(root_ / "t.jsonl");
    // A temporary directory of this test's own: the core is written out
    // there, away from other updaters running on the machine.
    fs::MakeDirectories(root_ / "tmp");
    std::string command = "cd '" + root_.path() + "' && TMPDIR='" + (root_ / "tmp") + "' " +
                          "KESTRA_UI=script KESTRA_UI_TRANSCRIPT=t.jsonl " +
                          "KESTRA_UI_ANSWERS=answers.txt KESTRA_UI_CLICKS=clicks.txt KESTRA_LOCAL_IP=127.0.0.1 " +
                          "KESTRA_CLIENTLOG_URL=http://127.0.0.1:9/ClientLog/main.py " +
                          "KESTRA_STANDIN_LOG='" + (root_ / "standin.log") + "' " +
                          "KESTRA_STANDIN_HOLD='" + hold + "' '" +
                          (real_core_ ? std::string(KESTRA_BIN_DIR) + "/kestra"
                                      : std::string(KESTRA_TEST_BIN_DIR) + "/kestra_with_standin_core") +
                          "'";
    for (const auto& a : args) command += " '" + a + "'";
    command += " >/dev/null 2>&1";
    auto pid = process::Start({"/bin/sh", "-c", command}, {});
    EXPECT_TRUE(pid.has_value());
    if (pid) {
      EXPECT_EQ(process::Wait(*pid, 600000).value_or(-1), 0);
    }
    std::vector<std::string> lines = ReadLines(root_ / "t.jsonl");
    for (auto& l : lines) l = platform::charset::Utf8ToGbk(l);
    return lines;
  }

  std::vector<std::string> StandinLog() const { return ReadLines(root_ / "standin.log"); }
  std::vector<std::string> StandinLines(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& l : StandinLog())
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }
  // Packages that arrived in the download directory.
  std::vector<std::string> Downloaded(const std::vector<std::string>& names) const {
    std::vector<std::string> out;
    for (const auto& n : names)
      if (fs::IsRegularFile(inst() + "/download/" + n)) out.push_back(n);
    return out;
  }
  bool ClientStarted() { return WaitForFile(inst() + "/client-started.txt"); }
  std::string ClientRecord() const { return root_.Read("inst/client-started.txt"); }

  TempDir root_;
  NginxServer nginx_;
  std::string update_url_ = nginx_.Url(kListPath);
  std::string update_url2_;
  std::string ini_sections_;
  // The real updater program with the real core; false: the build that
  // carries the stand-in (for runs that need a download held open).
  bool real_core_ = true;
  std::string folder_ = "tqm";  // where the list and the packages lie
};

TEST_F(UpdateE2E, TwoPatchesAndMicroPatchThenTheNextRunRestores) {
  PublishAll();
  WriteList("##1 0 x", {"1.0.5", "1.0.6"});
  Install(Version104());

  std::vector<std::string> t = RunUpdater({"0", inst(), "3"});
  const std::vector<std::string> packages = {"patch1.0.5.tq", "patch1.0.6.tq", "patch1.0.6.tq.3"};
  EXPECT_EQ(Downloaded(packages), packages);
  EXPECT_TRUE(Has(t, R"({"event":"progress","control":1000,"value":100})"));
  EXPECT_EQ(Bar(t, 1001), (std::vector<int>{33, 66, 100, 0}));
  // The size of each package reached the dialog, however fast it arrived
  // (that of the last one may come only after the install step has begun).
  int sizes_shown = 0;
  for (const auto& l : t)
    if (l.find(R"("control":1003,"text":")") != std::string::npos && l.find(" byte\"") != std::string::npos &&
        l.find(R"("text":"0 byte")") == std::string::npos)
      ++sizes_shown;
  EXPECT_GE(sizes_shown, 2);
  EXPECT_TRUE(Has(t, Box("恭喜", "更新成功!")));
  ExpectInstalled(Version106Micro3(), {"res/old.txt"});
  EXPECT_TRUE(root_.Exists("inst/data/checkinfo.lst")) << "no backup of the micro patch";
  ASSERT_TRUE(ClientStarted());
  EXPECT_EQ(ClientRecord(), inst() + " 0\n");
  EXPECT_FALSE(Has(t, "\"caption\":\"Vandor更新失败\""));

  // The next run, without a micro patch, rolls the micro patch back.
  fs::RemoveFile(inst() + "/client-started.txt");
  t = RunUpdater({"0", inst(), "0"});
  EXPECT_FALSE(Has(t, "开始下载"));
  EXPECT_TRUE(Has(t, "\"text\":\"正在恢复备份文件...\""));
  EXPECT_TRUE(Has(t, Box("恭喜", "更新成功!")));
  ExpectInstalled(Version106(), {"res/old.txt"});
  EXPECT_TRUE(ClientStarted());
}

TEST_F(UpdateE2E, FirstListAddressRefusedSecondAnswers) {
  update_url_ = "http://127.0.0.1:1/tqm/btpatch_list6.txt";
  update_url2_ = "UpdateURL2=" + Url(kListPath) + "\r\n";
  Package(Version104(), Version105(), "1.0.5");
  WriteList("##1 0 x", {"1.0.5"});
  Install(Version104());
  std::vector<std::string> t = RunUpdater({"0", inst()});
  EXPECT_FALSE(Has(t, "\"caption\":\"Vandor更新失败\""));
  EXPECT_TRUE(Has(t, Box("恭喜", "更新成功!")));
  ExpectInstalled(Version105());
  EXPECT_TRUE(ClientStarted());
}

TEST_F(UpdateE2E, NoListAddressAnswers) {
  update_url_ = "http://127.0.0.1:1/tqm/btpatch_list6.txt";
  Install(Version104());
  std::vector<std::string> t = RunUpdater({"0", inst()});
  // All four addresses fall back to the default or are refused: error 11.
  EXPECT_TRUE(Has(t, "\"caption\":\"Vandor更新失败\",\"text\":\"获取更新列表失败，"));
  EXPECT_TRUE(Has(t, "编号：11"));
  EXPECT_FALSE(root_.Exists("inst/client-started.txt"));
  ExpectInstalled(Version104());
}

TEST_F(UpdateE2E, NothingNewer) {
  struct Case {
    std::vector<std::string> args;
    bool success;
  };
  Package(Version104(), Version105(), "1.0.5");
  for (const Case& c : {Case{{"0", inst()}, false}, Case{{"0", inst(), "0"}, true}}) {
    SCOPED_TRACE(c.args.size());
    WriteList("##1 0 x", {"1.0.5"});
    Install(Version105());
    fs::RemoveFile(inst() + "/client-started.txt");
    std::vector<std::string> t = RunUpdater(c.args);
    EXPECT_EQ(Has(t, Box("kestra", "没有补丁需要更新")), !c.success);
    EXPECT_EQ(Has(t, Box("恭喜", "更新成功!")), c.success);
    EXPECT_FALSE(Has(t, "开始下载"));
    ExpectInstalled(Version105());
    if (c.success) {
      EXPECT_TRUE(ClientStarted());
    } else {
      EXPECT_FALSE(root_.Exists("inst/client-started.txt"));
    }
  }
}

TEST_F(UpdateE2E, UrlWithoutFileNameAfterTheEarlierPatches) {
  Package(Version104(), Version105(), "1.0.5");
  WriteList("##1 0 x", {"1.0.5"}, "1.0.6 " + Url("/tqm/") + "\r\n");
  Install(Version104());
  std::vector<std::string> t = RunUpdater({"0", inst()});
  EXPECT_TRUE(root_.Exists("inst/download/patch1.0.5.tq"));
  EXPECT_TRUE(Has(t, "\"text\":\"开始下载 patch1.0.5.tq\""));
  EXPECT_TRUE(Has(t, Box("kestra", "url错误")));
  ExpectInstalled(Version104());
  EXPECT_FALSE(root_.Exists("inst/client-started.txt"));
}

TEST_F(UpdateE2E, MissingPackageOnTheServer) {
  Package(Version104(), Version105(), "1.0.5");
  WriteList("##1 0 x", {"1.0.5", "1.0.6"});
  Install(Version104());
  std::vector<std::string> t = RunUpdater({"0", inst()});
  EXPECT_EQ(Downloaded({"patch1.0.5.tq", "patch1.0.6.tq"}), std::vector<std::string>{"patch1.0.5.tq"});
  EXPECT_TRUE(Has(t, "\"caption\":\"Vandor更新失败\",\"text\":\"下载patch1.0.6.tq失败"));
  EXPECT_TRUE(Has(t, "编号：12"));
  ExpectInstalled(Version104());
  EXPECT_FALSE(root_.Exists("inst/client-started.txt"));
}

TEST_F(UpdateE2E, DownloadDirectoryCannotBeCreated) {
  Package(Version104(), Version105(), "1.0.5");
  WriteList("##1 0 x", {"1.0.5"});
  Install(Version104());
  root_.Write("inst/download", "a file where the folder belongs");
  std::vector<std::string> t = RunUpdater({"0", inst()});
  EXPECT_TRUE(Has(t, "\"caption\":\"Vandor更新失败\",\"text\":\"下载patch1.0.5.tq失败"));
  EXPECT_TRUE(Has(t, "编号：12"));
  ExpectInstalled(Version104());
  EXPECT_EQ(root_.Read("inst/download"), "a file where the folder belongs");
  EXPECT_FALSE(root_.Exists("inst/client-started.txt"));
}

TEST_F(UpdateE2E, CancelDuringTheSecondOfThreeDownloads) {
  real_core_ = false;
  PublishAll();
  WriteList("##1 0 x", {"1.0.5", "1.0.6"}, "1.0.7 " + PatchUrl("1.0.7") + "\r\n");
  Install(Version104());
  // The second download stays at 50 % until the core is told to quit; the
  // player cancels well after it began.
  const std::string held = Url("/burrow//tqm/patch1.0.6.tq.data");
  std::vector<std::string> t = RunUpdater({"0", inst()}, "Yes\n", "12000 1008\n", held);
  EXPECT_EQ(StandinLines("start"), (std::vector<std::string>{"start " + Url("/burrow//tqm/patch1.0.5.tq.data"),
                                                             "start " + held}));
  // The first core was told to quit after its download. The held one is
  // told so by the close; the updater ends right after, so the line can be
  // lost with the connection, and the core then ends as its parent is gone.
  // Either way no core outlives the updater.
  for (int waited = 0; waited < 15000 && StandinLines("end").size() < 2; waited += 20)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::vector<std::string> ends = StandinLines("end");
  ASSERT_EQ(ends.size(), 2u) << "a core outlived the updater";
  EXPECT_EQ(ends[0], "end after quit");
  EXPECT_TRUE(Has(t, Box("取消确认", "是否真的希望取消？\\n") + ",\"buttons\":\"YesNo\",\"icon\":\"none\",\"answer\":\"Yes\""));
  EXPECT_FALSE(Has(t, "\"caption\":\"Vandor更新失败\""));
  EXPECT_FALSE(Has(t, "更新成功!"));
  ExpectInstalled(Version104());
  EXPECT_FALSE(root_.Exists("inst/client-started.txt"));
}

TEST_F(UpdateE2E, CancelDuringTheSecondOfThreeDownloadsWithTheRealCore) {
  // The second package is large and its task's data trickles: the player's
  // cancel, well after the start, finds it still downloading.
  folder_ = "slow";
  update_url_ = Url("/slow/btpatch_list6.txt");
  Tree next = Version106();
  next["res/big.bin"] = Bytes(3u << 20, 9);
  Package(Version104(), Version105(), "1.0.5");
  Package(Version105(), next, "1.0.6");
  WriteList("##1 0 x", {"1.0.5", "1.0.6"}, "1.0.7 " + PatchUrl("1.0.7") + "\r\n");
  Install(Version104());
  std::vector<std::string> t = RunUpdater({"0", inst()}, "Yes\n", "12000 1008\n");
  EXPECT_TRUE(Has(t, "\"text\":\"开始下载 patch1.0.6.tq\""));
  EXPECT_FALSE(Has(t, "开始下载 patch1.0.7.tq"));
  // The core lays the second package out at its full size when it starts;
  // it never became the package.
  EXPECT_NE(root_.Read("inst/download/patch1.0.6.tq"), root_.Read("www/slow/patch1.0.6.tq"));
  EXPECT_TRUE(Has(t, Box("取消确认", "是否真的希望取消？\\n") + ",\"buttons\":\"YesNo\",\"icon\":\"none\",\"answer\":\"Yes\""));
  EXPECT_FALSE(Has(t, "\"caption\":\"Vandor更新失败\""));
  EXPECT_FALSE(Has(t, "下载数据完毕"));
  EXPECT_FALSE(Has(t, "更新成功!"));
  ExpectInstalled(Version104());
  EXPECT_FALSE(root_.Exists("inst/client-started.txt"));
}

TEST_F(UpdateE2E, PackageFailingHalfWayIsUndone) {
  Package(Version104(), Version105(), "1.0.5");
  Tree next = Version106();
  next["zz/new.txt"] = "new in 1.0.6";
  Package(Version105(), next, "1.0.6");
  WriteList("##1 0 x", {"1.0.5", "1.0.6"});
  Install(Version104());
  // Where 1.0.6 adds its last file the installation has a folder: the
  // package fails after it has written its other files.
  root_.Write("inst/zz/new.txt/keep", "");
  std::vector<std::string> t = RunUpdater({"0", inst()}, "Cancel\nCancel\nNo\n");
  EXPECT_TRUE(Has(t, "编号：23"));
  EXPECT_TRUE(Has(t, Box("提示", "更新过程发生错误，是否启动客户端修复工具进行修复？")));
  EXPECT_TRUE(Has(t, R"({"event":"text","control":1004,"text":"关闭中..."})"));
  EXPECT_FALSE(Has(t, "更新成功!"));
  // 1.0.5 stays; everything 1.0.6 had written is put back.
  ExpectInstalled(Version105());
  EXPECT_FALSE(root_.Exists("inst/download/rollback/update.ini"));
  EXPECT_FALSE(root_.Exists("inst/client-started.txt"));
}

TEST_F(UpdateE2E, FailedRestoreCancelled) {
  Package(Version104(), Version105(), "1.0.5");
  WriteList("##1 0 x", {"1.0.5"});
  // SubVersion says a micro patch is applied, but there is no backup.
  Tree installed = Version105();
  installed["update.ini"] = Ini("1.0.5", "SubVersion=3\r\n");
  Install(installed);
  std::vector<std::string> t = RunUpdater({"0", inst(), "0"}, "Cancel\n");
  EXPECT_TRUE(Has(t, Box("错误", "恢复备份文件失败,请您先关闭正在运行的客户端，再重试。")));
  EXPECT_TRUE(Has(t, "\"caption\":\"Vandor更新失败\",\"text\":\"恢复备份文件失败\\n\\n编号：21"));
  EXPECT_TRUE(Has(t, R"({"event":"end","result":0})"));
  EXPECT_FALSE(Has(t, "更新成功!"));
  ExpectInstalled(installed);
  EXPECT_FALSE(root_.Exists("inst/client-started.txt"));
}

TEST_F(UpdateE2E, SharingDuringTheCountdown) {
  PublishAll();
  WriteList("##1 60 x", {"1.0.5", "1.0.6"});
  Install(Version104());
  std::vector<std::string> t = RunUpdater({"0", inst()});
  // The core was started on the first package's task beside the package.
  EXPECT_NE(nginx_.AccessLog().find("GET /tqm/patch1.0.5.tq.data "), std::string::npos)
      << nginx_.AccessLog();
  std::vector<int> bar = Bar(t, 1001);
  ASSERT_EQ(bar.size(), 3u + 60u);
  EXPECT_EQ(bar[3], 1);
  EXPECT_EQ(bar.back(), 100);
  EXPECT_TRUE(Has(t, R"({"event":"timer","id":1,"period_ms":1000})"));
  EXPECT_TRUE(Has(t, Box("恭喜", "更新成功!")));
  ExpectInstalled(Version106());
  EXPECT_TRUE(ClientStarted());
}

TEST_F(UpdateE2E, PackInstallers) {
  struct Case {
    const char* name;
    const char* type_code;
    std::string section;   // update.ini section of the pack
    std::string script;    // the installer
    bool success;
    const char* marker;    // file the installer leaves in the install root
  };
  const std::vector<Case> cases = {
      {"expansion installs", "2", "[HdExp]\r\nExpCheckFile=hd.pak\r\nExpCheckName=新资料片\r\nExpUrl=",
       "#!/bin/sh\necho installed > hd.pak\nexit 0\n", true, "hd.pak"},
      {"expansion installer fails", "2", "[HdExp]\r\nExpCheckFile=hd.pak\r\nExpUrl=",
       "#!/bin/sh\necho tried > tried.txt\nexit 1\n", false, "tried.txt"},
      {"sd resource pack", "ffffffff", "[SdRes]\r\nExpUrl=", "#!/bin/sh\necho sd > sd-res.txt\n", true,
       "sd-res.txt"},
      {"hd resource pack", "fffffffe", "[HdRes]\r\nExpUrl=", "#!/bin/sh\necho hd > hd-res.txt\n", true,
       "hd-res.txt"},
  };

  int serial = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "setup" + std::to_string(++serial) + ".sh";
    const std::string installer = "/exp/" + name;
    root_.Write("www" + installer, c.script);
    // Its task, where the updater looks for it ("/exp//burrow/" + name +
    // ".data"), made by kestra-seed; the core fetches the blocks beside it.
    root_.Write("installers/" + name + "/" + name, c.script);
    root_.Write("www/exp/burrow/" + name, c.script);
    ASSERT_EQ(RunProgram({std::string(KESTRA_BIN_DIR) + "/kestra-seed", "make", "--files",
                          root_ / ("installers/" + name), "--block-size", "65536", "--out",
                          root_ / "www/exp/burrow", "--torrent", name + ".data", "--cdn",
                          Url("/exp/burrow")}),
              0);
    root_.Write(std::string("www") + kListPath, "##1 0 x\r\n");
    ini_sections_ = c.section + Url(installer) + "\r\n";
    fs::RemoveTree(inst());
    fs::RemoveFile(root_ / "standin.log");
    Install(Version104());
    std::vector<std::string> t = RunUpdater({c.type_code, inst()});
    EXPECT_TRUE(fs::IsRegularFile(inst() + "/download/" + name));
    EXPECT_TRUE(WaitForFile(inst() + "/" + c.marker)) << "the installer did not run in the install root";
    EXPECT_EQ(Has(t, Box("恭喜", "更新成功!")), c.success);
    EXPECT_EQ(Has(t, Box("提示", "资料片更新发生错误")), !c.success);
    if (c.success) {
      EXPECT_TRUE(ClientStarted());
    } else {
      EXPECT_FALSE(root_.Exists("inst/client-started.txt"));
    }
  }
  // The expansion is installed now: the next run finds nothing to fetch.
  ini_sections_ = cases[0].section + Url("/exp/setup1.sh") + "\r\n";
  fs::RemoveTree(inst());
  Install(Version104());
  root_.Write("inst/hd.pak", "installed");
  std::vector<std::string> t = RunUpdater({"2", inst()});
  EXPECT_TRUE(Has(t, Box("提示", "没有发现需要更新的资料片")));
}

}  // namespace
