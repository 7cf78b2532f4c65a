// The HTTP threads over the real file system service and its allocator:
// which ranges they ask the server for, block by block.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "downloader/net/http_downloader.h"
#include "downloader/p2p/download_store.h"
#include "downloader/storage/file_system.h"
#include "platform/clock.h"
#include "tests/downloader/storage/storage_fixture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

using kestra::test::NginxOptions;
using kestra::test::NginxServer;
using kestra::test::TempDir;

constexpr std::uint32_t kBlock = 4096;

bool WaitUntil(const std::function<bool()>& done, int timeout_ms = 60000) {
  const std::uint64_t end = platform::clock::SteadyMs() + static_cast<std::uint64_t>(timeout_ms);
  while (!done()) {
    if (platform::clock::SteadyMs() > end) return false;
    platform::clock::SleepMs(20);
  }
  return true;
}

// Block ranges asked of the server, in order, as "first-last" block numbers.
std::vector<std::string> Runs(const TempDir& logs) {
  std::vector<std::string> out;
  std::istringstream in(logs.Read("ranges.log"));
  std::string line;
  while (std::getline(in, line)) {
    unsigned long first = 0, last = 0;
    if (std::sscanf(line.c_str(), "bytes=%lu-%lu", &first, &last) != 2) {
      out.push_back("? " + line);
      continue;
    }
    out.push_back(std::to_string(first / kBlock) + "-" + std::to_string(last / kBlock));
  }
  return out;
}

struct Fixture {
  TempDir www, logs, dl;
  std::string content = test::Content(12 * kBlock, 3);
  FileSystem fs;
  std::unique_ptr<NginxServer> server;
  std::unique_ptr<IDownloadStore> store;
  HttpServerManager servers;
  Fixture() {
    www.Write("ring.bin", content);
    NginxOptions o;
    o.http_config = "log_format ranges '$http_range';";
    o.server_config = "access_log " + (logs / "ranges.log") + " ranges;";
    server = std::make_unique<NginxServer>(www.path(), o);
    fs.Configure(dl.path() + "/", 0);
    EXPECT_TRUE(fs.AddMultipleFiles({test::MakeEntry(1, "ring.bin", content, kBlock)}));
    store = MakeFileSystemStore(fs);
    EXPECT_TRUE(servers.AddServer(server->Url(""), 1));
  }
};

TEST(HttpRuns, RunsNeverWrapNorSkipABlockThatIsNotFree) {
  Fixture f;
  // HTTP starts at block 9; block 4 is already complete; block 6 is out to
  // a source that never delivers.
  f.fs.SetHttpBegin(1, 9);
  ASSERT_TRUE(f.fs.Write(1, f.content.data() + 4 * kBlock, 4 * kBlock, kBlock));
  ASSERT_NE(f.fs.allocator().AllocBlock(1, 6), nullptr);

  HttpDownloader dl(*f.store, f.servers);
  dl.Start(1);
  ASSERT_TRUE(WaitUntil([&] { return f.fs.IsComplete(); }));
  dl.Stop();
  // 9-11 ends at the file's end instead of wrapping to block 0; 0-3 stops
  // before the complete block 4, 5 before the held block 6, 7-8 before the
  // HTTP begin; block 6 is taken back only when nothing else is left.
  EXPECT_EQ(Runs(f.logs), (std::vector<std::string>{"9-11", "0-3", "5-5", "7-8", "6-6"}));
  f.fs.DrainWrites();
  std::string on_disk;
  {
    std::ifstream in(f.dl / "ring.bin", std::ios::binary);
    on_disk.assign(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_TRUE(on_disk == f.content);
}

TEST(HttpRuns, SetPriorityHandsTheRangeToAnIdleThreadAtOnce) {
  Fixture f;
  HttpDownloader dl(*f.store, f.servers);
  f.store->SetPriorityListener([&](std::uint32_t level) { dl.TryPriorityAlloc(level); });
  dl.SetDownloadingAllowed(false);  // the write queue is full: no normal work
  dl.Start(2);
  // Bytes in blocks 2 to 4 of the file, as the controlling program asks.
  ASSERT_TRUE(f.fs.SetPriority("ring.bin", 2 * kBlock + 100, 2 * kBlock, 5));
  ASSERT_TRUE(WaitUntil([&] {
    std::vector<std::uint8_t> bits(3, 0);
    f.fs.StateBitmap(1, bits.data(), 12);
    // 2 bits per block: blocks 2, 3, 4 Verified (2) or Written (3), the rest Free.
    for (std::uint32_t i = 0; i < 12; ++i) {
      int state = (bits[i / 4] >> (2 * (i % 4))) & 3;
      bool wanted = i >= 2 && i <= 4;
      if (wanted ? state < 2 : state != 0) return false;
    }
    return true;
  }));
  EXPECT_EQ(Runs(f.logs), std::vector<std::string>{"2-4"});
  dl.SetDownloadingAllowed(true);
  ASSERT_TRUE(WaitUntil([&] { return f.fs.IsComplete(); }));
  dl.Stop();
}

}  // namespace
}  // namespace zelt
