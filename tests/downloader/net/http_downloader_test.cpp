// The HTTP range threads against real nginx servers (and scripted servers
// for the misbehaviours nginx will not show), writing into a block store
// that checks every block's MD5.
#include "downloader/net/http_downloader.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/downloader/net/memory_block_store.h"
#include "tests/support/nginx_server.h"
#include "tests/support/script_server.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

using kestra::test::NginxOptions;
using kestra::test::NginxServer;
using kestra::test::Script;
using kestra::test::ScriptServer;
using kestra::test::TempDir;
using test::MemoryBlockStore;

constexpr std::uint32_t kBlock = 65536;
constexpr int kWaitMs = 120000;

std::string Content(std::size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

bool WaitUntil(const std::function<bool()>& done, int timeout_ms = kWaitMs) {
  const std::uint64_t end = platform::clock::SteadyMs() + static_cast<std::uint64_t>(timeout_ms);
  while (!done()) {
    if (platform::clock::SteadyMs() > end) return false;
    platform::clock::SleepMs(20);
  }
  return true;
}

// An nginx whose log lists status, path, Range field and body bytes.
struct LoggedNginx {
  TempDir logs;
  std::unique_ptr<NginxServer> server;
  LoggedNginx(const std::string& root, const std::string& extra = {}) {
    NginxOptions o;
    o.http_config = "log_format ranges '$status $uri $http_range $body_bytes_sent';";
    o.server_config = "access_log " + (logs / "ranges.log") + " ranges;\n" + extra;
    server = std::make_unique<NginxServer>(root, o);
  }
  struct Line {
    std::string status, uri, range;
    std::uint64_t bytes = 0;
  };
  std::vector<Line> Lines() const {
    std::vector<Line> out;
    std::istringstream in(logs.Read("ranges.log"));
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream f(line);
      Line l;
      f >> l.status >> l.uri >> l.range >> l.bytes;
      out.push_back(l);
    }
    return out;
  }
  std::string Url() const { return server->Url(""); }
};

struct Task {
  TempDir root;
  std::map<std::uint32_t, std::string> expected;  // file id -> content
  MemoryBlockStore store;
  std::uint64_t total = 0;
  void Add(const std::string& name, std::size_t size, unsigned seed) {
    std::string c = Content(size, seed);
    root.Write(name, c);
    expected[store.AddFile(name, c, kBlock)] = c;
    total += size;
  }
  void ExpectComplete() {
    ASSERT_TRUE(store.IsComplete());
    for (const auto& [id, c] : expected) EXPECT_TRUE(store.Data(id) == c) << "file " << id;
  }
};

TEST(HttpDownloader, TwoServersShareAMultiFileTaskByteForByte) {
  Task task;
  task.Add("data/big.bin", 3 * 1024 * 1024 + 123, 1);
  task.Add("data/even.bin", 10 * kBlock, 2);
  task.Add("small.txt", 1000, 3);
  LoggedNginx a(task.root.path()), b(task.root.path());
  HttpServerManager servers;
  ASSERT_TRUE(servers.AddServer(a.Url(), 1));
  ASSERT_TRUE(servers.AddServer(b.Url(), 1));
  HttpDownloader dl(task.store, servers);
  dl.Start(4);
  ASSERT_TRUE(WaitUntil([&] { return task.store.IsComplete(); }));
  dl.Stop();
  task.ExpectComplete();
  // Nothing was fetched twice: every byte came once.
  EXPECT_EQ(dl.HttpBytes(), task.total);
  std::uint64_t logged = 0;
  for (const LoggedNginx* s : {&a, &b}) {
    auto lines = s->Lines();
    EXPECT_FALSE(lines.empty());
    for (const auto& l : lines) {
      EXPECT_EQ(l.status, "206") << l.uri << " " << l.range;
      std::uint64_t first = 0, last = 0;
      ASSERT_EQ(std::sscanf(l.range.c_str(), "bytes=%lu-%lu", &first, &last), 2) << l.range;
      // A run starts on a block boundary and covers at most ten blocks.
      EXPECT_EQ(first % kBlock, 0u) << l.range;
      EXPECT_LE(last - first + 1, kMaxBlocksPerRequest * kBlock) << l.range;
      EXPECT_EQ(l.bytes, last - first + 1) << l.range;
      logged += l.bytes;
    }
  }
  EXPECT_EQ(logged, task.total);
}

TEST(HttpDownloader, BlocksHeldByOthersAreReclaimedWhenNothingElseIsLeft) {
  Task task;
  task.Add("one.bin", 20 * kBlock + 7, 4);
  task.Add("two.bin", 5 * kBlock, 5);
  // Every block is out to sources that never deliver (peers that vanished).
  task.store.SetStates(1, std::string(21, 'A'));
  task.store.SetStates(2, "AAVAA");
  LoggedNginx a(task.root.path());
  HttpServerManager servers;
  ASSERT_TRUE(servers.AddServer(a.Url(), 1));
  std::atomic<int> cancels{0};
  HttpDownloader::Hooks hooks;
  hooks.cancel_peer_requests = [&] {
    ++cancels;
    return std::size_t{0};
  };
  HttpDownloader dl(task.store, servers, hooks);
  dl.Start(2);
  ASSERT_TRUE(WaitUntil([&] { return task.store.IsComplete(); }));
  dl.Stop();
  EXPECT_GE(task.store.resets(), 1u);
  EXPECT_GE(cancels.load(), 1);
  // The Verified block of two.bin was never fetched, so only one.bin's bytes
  // are all in memory; two.bin has everything but that block.
  EXPECT_TRUE(task.store.Data(1) == task.expected[1]);
  EXPECT_TRUE(task.store.Data(2).substr(0, 2 * kBlock) == task.expected[2].substr(0, 2 * kBlock));
  EXPECT_TRUE(task.store.Data(2).substr(3 * kBlock) == task.expected[2].substr(3 * kBlock));
  // The block that was Verified before is never asked for.
  for (const auto& l : a.Lines()) {
    if (l.uri == "/two.bin") {
      EXPECT_EQ(l.range.find("bytes=131072"), std::string::npos) << l.range;
    }
  }
}

TEST(HttpDownloader, PriorityRequestIsServedWhileNormalDownloadsArePaused) {
  Task task;
  task.Add("movie.bin", 16 * kBlock, 6);
  LoggedNginx a(task.root.path());
  HttpServerManager servers;
  ASSERT_TRUE(servers.AddServer(a.Url(), 1));
  HttpDownloader dl(task.store, servers);
  dl.SetDownloadingAllowed(false);
  dl.Start(1);
  // Bytes 5*64K+10 .. 8*64K-1: blocks 5, 6 and 7.
  task.store.AddSegment({1, 5 * kBlock + 10, 3 * kBlock - 10, 7});
  dl.TryPriorityAlloc(7);
  ASSERT_TRUE(WaitUntil([&] { return task.store.States(1) == "FFFFFVVVFFFFFFFF"; }))
      << task.store.States(1);
  // Lower levels than asked are not handed over; the paused thread takes
  // no normal work meanwhile.
  task.store.AddSegment({1, 0, kBlock, 2});
  dl.TryPriorityAlloc(5);
  EXPECT_EQ(task.store.States(1), "FFFFFVVVFFFFFFFF");
  dl.SetDownloadingAllowed(true);
  ASSERT_TRUE(WaitUntil([&] { return task.store.IsComplete(); }));
  dl.Stop();
  task.ExpectComplete();
  auto lines = a.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].range, "bytes=327680-524287");
  // The level-2 segment goes before the normal run.
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1].range, "bytes=0-65535");
}

// A second server that misbehaves; the first one is sound. Every case ends
// with the right bytes.
TEST(HttpDownloader, MisbehavingServerNeverCorruptsOrStallsTheDownload) {
  using Holder = std::vector<std::shared_ptr<void>>;
  struct Case {
    const char* name;
    // Starts the bad server; returns its base URL.
    std::function<std::string(Task&, LoggedNginx& good, Holder& keep)> make;
    std::function<void(Task&, LoggedNginx& good, Holder& keep, HttpServerManager& servers)> check;
  };
  auto nginx_bad = [](Holder& keep, const std::string& root, const std::string& extra) {
    auto n = std::make_shared<LoggedNginx>(root, extra);
    keep.push_back(n);
    return n->Url();
  };
  auto script_bad = [](Holder& keep, Script s) {
    auto srv = std::make_shared<ScriptServer>(std::move(s));
    keep.push_back(srv);
    return srv->Url("");
  };
  const Case cases[] = {
      {"404",
       [&](Task& t, LoggedNginx&, Holder& k) { return nginx_bad(k, t.root.path(), "location / { return 404; }"); },
       [](Task&, LoggedNginx&, Holder&, HttpServerManager& servers) {
         // Asked at most once per thread before it was found out.
         EXPECT_LE(servers.Snapshot()[0].requestCount, 3u);
       }},
      {"302 to the sound server",
       [&](Task& t, LoggedNginx& good, Holder& k) {
         return nginx_bad(k, t.root.path(),
                          "location / { return 302 " + good.Url() + "$request_uri; }");
       },
       [](Task&, LoggedNginx& good, Holder& k, HttpServerManager&) {
         // Every range asked of the redirecting server reached the sound one
         // unchanged.
         auto redirects = static_cast<LoggedNginx*>(k[0].get())->Lines();
         EXPECT_FALSE(redirects.empty());
         std::multiset<std::string> served;
         for (const auto& l : good.Lines()) served.insert(l.uri + " " + l.range);
         for (const auto& l : redirects) {
           EXPECT_EQ(l.status, "302");
           EXPECT_EQ(served.count(l.uri + " " + l.range), 1u) << l.uri << " " << l.range;
         }
       }},
      {"corrupt copy",
       [&](Task& t, LoggedNginx&, Holder& k) {
         auto dir = std::make_shared<TempDir>();
         k.push_back(dir);
         for (const auto& [id, c] : t.expected) {
           std::string name;
           t.store.FileName(id, name);
           std::string bad = c;
           for (std::size_t i = 100; i < bad.size(); i += 70000) bad[i] = static_cast<char>(~bad[i]);
           dir->Write(name, bad);
         }
         return nginx_bad(k, dir->path(), "");
       },
       [](Task& t, LoggedNginx&, Holder&, HttpServerManager&) { EXPECT_GT(t.store.md5_failures(), 0u); }},
      {"whole file in a 200 with wrong bytes",
       [&](Task&, LoggedNginx&, Holder& k) {
         std::string body = Content(2 * 1024 * 1024, 99);
         return script_bad(k, Script().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: " +
                                                          std::to_string(body.size()) +
                                                          "\r\nConnection: close\r\n\r\n" + body));
       },
       [](Task& t, LoggedNginx&, Holder&, HttpServerManager&) { EXPECT_GT(t.store.md5_failures(), 0u); }},
      {"connection cut inside the header",
       [&](Task&, LoggedNginx&, Holder& k) {
         return script_bad(k, Script().ReadRequest().Send("HTTP/1.1 206 Part").Reset());
       },
       nullptr},
      {"never answers",
       [&](Task&, LoggedNginx&, Holder& k) { return script_bad(k, Script().ReadRequest().Hold(-1)); },
       [](Task&, LoggedNginx&, Holder&, HttpServerManager& servers) {
         EXPECT_EQ(servers.Snapshot()[0].receivedBytes, 0u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Task task;
    task.Add("a.bin", 2 * 1024 * 1024 + 5, 10);
    task.Add("dir/b.bin", 700000, 11);
    LoggedNginx good(task.root.path());
    Holder keep;
    std::string bad = c.make(task, good, keep);
    HttpServerManager servers;
    // The bad server comes first and weighs more: it is asked first.
    ASSERT_TRUE(servers.AddServer(bad, 5));
    ASSERT_TRUE(servers.AddServer(good.Url(), 1));
    HttpDownloader dl(task.store, servers);
    dl.Start(3);
    ASSERT_TRUE(WaitUntil([&] { return task.store.IsComplete(); })) << task.store.States(1);
    dl.Stop();
    task.ExpectComplete();
    if (c.check) c.check(task, good, keep, servers);
  }
}

TEST(EncodeUrlPath, KeepsNameBytesExact) {
  EXPECT_EQ(EncodeUrlPath("data/a.bin"), "data/a.bin");
  EXPECT_EQ(EncodeUrlPath("a b%#?.txt"), "a%20b%25%23%3F.txt");
  EXPECT_EQ(EncodeUrlPath("dir\\x"), "dir%5Cx");
  EXPECT_EQ(EncodeUrlPath(std::string("\xB8\xFC", 2)), "%B8%FC");
}

}  // namespace
}  // namespace zelt
