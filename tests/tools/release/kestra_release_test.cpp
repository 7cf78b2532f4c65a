// kestra-release as the release engineers run it: real kestra-pack and
// kestra-seed underneath, the result served by a real nginx and fetched with
// the updater's own HTTP client at the addresses the updater computes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "platform/fs.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tools/release/patch_list_document.h"
#include "updater/config/urls.h"
#include "updater/net/comm_http.h"

namespace kestra::release {
namespace {

const std::string kBin = KESTRA_BIN_DIR;

struct ToolRun {
  int code = -1;
  std::string out, err;
};

ToolRun Execute(const test::TempDir& dir, const std::string& arguments) {
  const std::string line = "cd '" + dir.path() + "' && '" + kBin + "/kestra-release' " + arguments +
                           " >run.out 2>run.err; echo $? >run.rc";
  EXPECT_EQ(std::system(line.c_str()), 0) << line;
  ToolRun run;
  run.code = std::atoi(dir.Read("run.rc").c_str());
  run.out = dir.Read("run.out");
  run.err = dir.Read("run.err");
  return run;
}

struct Fetched {
  bool ok = false;
  std::string body;
  std::string error;
};

// What the updater's own client gets at url.
Fetched Fetch(const std::string& url) {
  config::SplitUrlResult split = config::SplitUrl(url);
  Fetched f;
  if (!split.ok()) {
    f.error = "unreadable url " + url;
    return f;
  }
  NetModel::CommHttp http(split.host, split.port_text, {10, 0}, {10, 0});
  http.Request(NetModel::BuildGetRequest(split.host, split.path));
  f.ok = http.ok();
  f.body = http.GetBody();
  f.error = http.GetError();
  return f;
}

std::string Gunzip(const std::string& data) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return {};
  std::string out;
  char buffer[65536];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - z.avail_out);
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END ? out : std::string();
}

std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> names;
  std::vector<std::string> pending = {""};
  while (!pending.empty()) {
    std::string rel = pending.back();
    pending.pop_back();
    auto entries = platform::fs::ListDirectory(rel.empty() ? root : root + "/" + rel);
    if (!entries) continue;
    for (const auto& e : *entries) {
      std::string name = rel.empty() ? e.name : rel + "/" + e.name;
      if (e.is_directory) pending.push_back(name);
      std::string content;
      if (!e.is_directory) platform::fs::ReadWholeFile(root + "/" + name, content);
      names.push_back(name + (e.is_directory ? "/" : " " + std::to_string(content.size()) + " " +
                                                          std::to_string(std::hash<std::string>{}(content))));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

class KestraReleaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::fs::MakeDirectories(dir_ / "www");
    std::mt19937 rng(5);
    auto random = [&](std::size_t n) {
      std::string s(n, '\0');
      for (char& c : s) c = static_cast<char>(rng());
      return s;
    };
    const std::string archive = random(40000);
    // Four installation trees: 1.0.4, 1.0.5, 1.0.6 and 1.0.6 with micro patch 3.
    const char* versions[] = {"1.0.4", "1.0.5", "1.0.6", "1.0.6m3"};
    for (int i = 0; i < 4; ++i) {
      const std::string t = std::string("t") + versions[i] + "/";
      std::string v = versions[i];
      dir_.Write(t + "update.ini", "[Setting]\r\nVersion=" + v.substr(0, 5) + "\r\n");
      std::string changed = archive;
      for (int k = 0; k <= i; ++k) changed[static_cast<std::size_t>(k) * 9000] = static_cast<char>('A' + k);
      dir_.Write(t + "data/world.paz", changed);
      dir_.Write(t + "vd.exe", "client " + v);
    }
  }

  std::string Publish(const std::string& version, const std::string& old_tree,
                      const std::string& new_tree, const std::string& more = "") {
    return "publish --www www --old " + old_tree + " --new " + new_tree + " --version " + version +
           " --block-size 4096 " + more;
  }

  test::TempDir dir_;
};

TEST_F(KestraReleaseTest, OneRootServesListPackagesAndTasks) {
  test::NginxServer server(dir_ / "www");
  const std::string base = server.Url("");

  ToolRun r = Execute(dir_, Publish("1.0.5", "t1.0.4", "t1.0.5",
                                    "--url " + base + " --sharing 0 --countdown 0"));
  ASSERT_EQ(r.code, 0) << r.err;
  r = Execute(dir_, Publish("1.0.6", "t1.0.5", "t1.0.6"));  // the address from the list
  ASSERT_EQ(r.code, 0) << r.err;
  r = Execute(dir_, Publish("1.0.6", "t1.0.6", "t1.0.6m3", "--micro 3"));
  ASSERT_EQ(r.code, 0) << r.err;

  const std::string p5 = base + "/tqm/patch1.0.5.tq";
  const std::string p6 = base + "/tqm/patch1.0.6.tq";
  Fetched list = Fetch(base + "/tqm/btpatch_list6.txt");
  ASSERT_TRUE(list.ok) << list.error;
  EXPECT_EQ(list.body, "#bturl " + base + "\r\n##0 0 share\r\n1.0.5 " + p5 + "\r\n1.0.6 " + p6 +
                           "\r\n");

  // Every package the updater may ask for: the two of the list and the micro
  // patch named as the updater names it (its base's url, a dot, the number).
  for (const std::string& url : {p5, p6, p6 + ".3"}) {
    SCOPED_TRACE(url);
    std::string local;
    ASSERT_TRUE(platform::fs::ReadWholeFile(dir_ / ("www" + url.substr(base.size())), local));
    Fetched package = Fetch(url);
    ASSERT_TRUE(package.ok) << package.error;
    EXPECT_EQ(package.body, local);

    // The task: torrent at the updater's task address, the seed beside it,
    // and the data at the CDN address the torrent names.
    const std::string task = config::TaskUrlForPatch(url, base);
    Fetched torrent = Fetch(task);
    ASSERT_TRUE(torrent.ok) << task << ": " << torrent.error;
    const std::string cdn = base + "/burrow/tqm";
    EXPECT_NE(torrent.body.find("\"" + cdn + "\""), std::string::npos) << torrent.body;
    const std::string http_base = task.substr(0, task.rfind('/'));
    Fetched seed = Fetch(http_base + "/" + config::UrlFileName(task) + ".seed");
    ASSERT_TRUE(seed.ok) << seed.error;
    const std::string seed_xml = Gunzip(seed.body);
    EXPECT_NE(seed_xml.find(config::UrlFileName(url)), std::string::npos) << seed_xml;
    Fetched data = Fetch(cdn + "/" + config::UrlFileName(url));
    ASSERT_TRUE(data.ok) << data.error;
    EXPECT_EQ(data.body, local);

    // Sharing hands the core the package address plus ".data".
    Fetched shared = Fetch(url + ".data");
    ASSERT_TRUE(shared.ok) << shared.error;
    EXPECT_EQ(shared.body, torrent.body);
  }

  // Each package is what the package builder makes for its version.
  const std::string list_cmd = "cd '" + dir_.path() + "' && '" + kBin +
                               "/kestra-pack' list --version 1.0.6 www/tqm/patch1.0.6.tq.3 >/dev/null";
  EXPECT_EQ(std::system(list_cmd.c_str()), 0);
}

TEST_F(KestraReleaseTest, KeepsWhatAHandWrittenListCarries) {
  dir_.Write("www/lists/main.txt",
             "#bturl http://127.0.0.1:8\n#httpurl http://127.0.0.1:9/\n##1 120 w\n"
             "1.0.3 http://127.0.0.1:7/old/patch1.0.3.tq\n1.0.4 http://127.0.0.1:8/lists/patch1.0.4.tq\n");
  ToolRun r = Execute(dir_, Publish("1.0.5", "t1.0.4", "t1.0.5", "--list lists/main.txt"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(dir_.Read("www/lists/main.txt"),
            "#bturl http://127.0.0.1:8\r\n#httpurl http://127.0.0.1:9/\r\n##1 120 w\r\n"
            "1.0.3 http://127.0.0.1:7/old/patch1.0.3.tq\r\n"
            "1.0.4 http://127.0.0.1:8/lists/patch1.0.4.tq\r\n"
            "1.0.5 http://127.0.0.1:8/lists/patch1.0.5.tq\r\n");
  EXPECT_TRUE(dir_.Exists("www/lists/patch1.0.5.tq"));
  EXPECT_TRUE(dir_.Exists("www/burrow/lists/patch1.0.5.tq.data"));
  EXPECT_TRUE(dir_.Exists("www/burrow/lists/patch1.0.5.tq"));
  EXPECT_NE(r.out.find("http://127.0.0.1:8/burrow//lists/patch1.0.5.tq.data"), std::string::npos)
      << r.out;
}

TEST_F(KestraReleaseTest, BadArgumentsExitTwoAndTouchNothing) {
  const std::string ok = "--www www --old t1.0.4 --new t1.0.5";
  const struct {
    std::string args;
    const char* message;
  } cases[] = {
      {"", "no command"},
      {"push " + ok + " --version 1.0.5", "unknown command"},
      {"publish " + ok, "--version is required"},
      {"publish --old t1.0.4 --new t1.0.5 --version 1.0.5", "--www is required"},
      {"publish " + ok + " --version 1.0", "is not X.Y.Z"},
      {"publish " + ok + " --version 1.256.0", "is not X.Y.Z"},
      {"publish " + ok + " --version 0.0.0", "is not X.Y.Z"},
      {"publish " + ok + " --version 1.0.5x", "is not X.Y.Z"},
      {"publish " + ok + " --version 1.0.5 --colour red", "unknown option --colour"},
      {"publish " + ok + " --version 1.0.5 --version 1.0.6", "given twice"},
      {"publish " + ok + " --version 1.0.5 --micro", "--micro needs a value"},
      {"publish " + ok + " --version 1.0.5 --micro 0", "--micro needs a number"},
      {"publish " + ok + " --version 1.0.5 --micro -2", "--micro needs a number"},
      {"publish " + ok + " --version 1.0.5 --list ../list.txt", "relative path inside ROOT"},
      {"publish " + ok + " --version 1.0.5 --list /etc/list.txt", "relative path inside ROOT"},
      {"publish " + ok + " --version 1.0.5 --url ftp://127.0.0.1", "is not an http://"},
      {"publish " + ok + " --version 1.0.5 --url http://", "is not an http://"},
      {"publish " + ok + " --version 1.0.5 --sharing 3", "--sharing is 0, 1 or 2"},
      {"publish " + ok + " --version 1.0.5 --countdown 99999", "--countdown needs seconds"},
      {"publish " + ok + " --version 1.0.5 --block-size 12", "--block-size needs"},
      {"publish --www www --old nowhere --new t1.0.5 --version 1.0.5", "--old nowhere is not a directory"},
      {"publish --www nowhere --old t1.0.4 --new t1.0.5 --version 1.0.5", "--www nowhere is not a directory"},
      {"publish " + ok + " --version 1.0.5 --tracker 127.0.0.1", "is not IP:PORT"},
  };
  const std::vector<std::string> before = Tree(dir_.path());
  for (const auto& c : cases) {
    ToolRun r = Execute(dir_, c.args);
    EXPECT_EQ(r.code, 2) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << c.args;
    std::vector<std::string> after = Tree(dir_.path());
    std::erase_if(after, [](const std::string& n) { return n.starts_with("run."); });
    std::vector<std::string> expected = before;
    std::erase_if(expected, [](const std::string& n) { return n.starts_with("run."); });
    EXPECT_EQ(after, expected) << c.args;
  }
}

TEST_F(KestraReleaseTest, RefusalsLeaveTheServerAsItWas) {
  const std::string list = "#bturl http://127.0.0.1:8\r\n##0 0 share\r\n"
                           "1.0.5 http://127.0.0.1:8/tqm/patch1.0.5.tq\r\n";
  const struct {
    const char* name;
    std::string list;  // empty: no list
    std::string args;
    const char* message;
  } cases[] = {
      {"new list without address", "", Publish("1.0.5", "t1.0.4", "t1.0.5"), "needs --url"},
      {"same version", list, Publish("1.0.5", "t1.0.4", "t1.0.5"), "is not newer than the list's last, 1.0.5"},
      {"older version", list, Publish("1.0.4", "t1.0.4", "t1.0.5"), "is not newer"},
      {"micro of an older version", list, Publish("1.0.4", "t1.0.4", "t1.0.5", "--micro 2"),
       "belongs to the list's last version (1.0.5)"},
      {"micro without a list", "", Publish("1.0.5", "t1.0.4", "t1.0.5", "--micro 2 --url http://127.0.0.1:8"),
       "last version (none)"},
      {"other address", list, Publish("1.0.6", "t1.0.5", "t1.0.6", "--url http://127.0.0.1:9"),
       "differs from the list's #bturl"},
      {"list without #bturl", "1.0.5 http://127.0.0.1:8/tqm/patch1.0.5.tq\r\n",
       Publish("1.0.6", "t1.0.5", "t1.0.6"), "names no #bturl"},
      {"micro base elsewhere", "#bturl http://127.0.0.1:8 1.0.5 http://127.0.0.1:7/patch1.0.5.tq",
       Publish("1.0.5", "t1.0.5", "t1.0.6", "--micro 1"), "is not on this server"},
      {"binary list", std::string("1.0.5 x\0\xff", 9), Publish("1.0.6", "t1.0.5", "t1.0.6"), "NUL"},
      {"huge list", std::string(kMaxPatchListBytes + 1, '#'), Publish("1.0.6", "t1.0.5", "t1.0.6"),
       "cannot read the patch list"},
      {"list ending in half a pair", list + "1.0.5", Publish("1.0.6", "t1.0.5", "t1.0.6"),
       "lacks a word"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::fs::RemoveTree(dir_ / "www");
    platform::fs::MakeDirectories(dir_ / "www");
    if (!c.list.empty()) dir_.Write("www/tqm/btpatch_list6.txt", c.list);
    const std::vector<std::string> before = Tree(dir_ / "www");
    ToolRun r = Execute(dir_, c.args);
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(Tree(dir_ / "www"), before);
  }
}

TEST_F(KestraReleaseTest, ABuilderThatFailsLeavesNothingBehind) {
  // A file the package builder cannot read: its message, then ours.
  dir_.Write("www/tqm/btpatch_list6.txt", "#bturl http://127.0.0.1:8\r\n##0 0 share\r\n");
  std::filesystem::create_symlink("/nonexistent/file", dir_ / "t1.0.5/broken");
  const std::vector<std::string> before = Tree(dir_ / "www");
  ToolRun r = Execute(dir_, Publish("1.0.5", "t1.0.4", "t1.0.5"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("kestra-pack: cannot read"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("kestra-pack make failed"), std::string::npos) << r.err;
  EXPECT_EQ(Tree(dir_ / "www"), before);
}

}  // namespace
}  // namespace kestra::release
