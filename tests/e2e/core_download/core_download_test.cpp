// The real downloader core fetching a task that kestra-seed made, from
// loopback nginx servers, driven over its control channel like the updater
// drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "tests/e2e/core_download/core_fixture.h"
#include "tests/support/temp_dir.h"

namespace kestra::e2e {
namespace {

using test::TempDir;

constexpr std::uint32_t kBlock = 262144;

std::vector<std::string> CoreArgs(const TempDir& work, const std::string& http_url,
                                  std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"-Dir", work / "dl", "-HttpUrl", http_url, "-Torrent", "task.torrent",
                                   "-HttpThread", "4", "-DownloadLimit", "1048576", "-LocalIp", "127.0.0.1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

void ExpectFiles(const TaskFiles& task, const TempDir& work) {
  for (const auto& [name, content] : task.files) {
    std::string got = ReadFile(work / ("dl/" + name));
    EXPECT_EQ(got.size(), content.size()) << name;
    EXPECT_TRUE(got == content) << name << " differs";
  }
}

// The states a run went through, without repeats of the last.
std::string StateText(const std::vector<int>& states) {
  std::string s;
  for (int v : states) s += std::to_string(v) + " ";
  return s;
}

TEST(CoreDownload, MultiFileTaskFromTwoServersThenQuit) {
  TempDir work, www;
  const TaskFiles task = MakeFiles({{"data/big.pak", 40 * 1024 * 1024 + 777},
                                    {"data/mid.pak", 12 * 1024 * 1024},
                                    {"readme.txt", 1500}},
                                   7);
  LoggedNginx a(www.path()), b(www.path());
  std::string why;
  ASSERT_TRUE(PublishTask(task, www.path(), kBlock, {a.Url("/task") + "<1>", b.Url("/task") + "<1>"}, why)) << why;

  Core core(work.path());
  ASSERT_TRUE(core.Start(CoreArgs(work, a.Url("/task"), {"-DeleteDownloadInfo"})));
  ASSERT_TRUE(core.WaitLine("P2PState=15")) << StateText(core.States());
  // Every command of the control protocol is answered once the core runs.
  std::size_t mark = core.lines().size();
  core.Send("stat");
  ASSERT_TRUE(core.WaitLine("ConnectNum=", mark));
  EXPECT_EQ(core.Last("IncompleteByte"), "0");
  EXPECT_EQ(core.Last("P2PState"), "15");
  ASSERT_TRUE(core.Last("Percentage"));
  EXPECT_DOUBLE_EQ(std::atof(core.Last("Percentage")->c_str()), 100.0);
  mark = core.lines().size();
  core.Send("get tb");
  core.Send("setquicklevel 0");
  ASSERT_TRUE(core.WaitLine("failed", mark));
  mark = core.lines().size();
  core.Send("setpriority readme.txt 0 100 3");
  EXPECT_TRUE(core.WaitLine("ed", mark));  // "succeeded" or "failed": answered
  core.Send("set oil 0");
  core.Send("quit");
  ASSERT_TRUE(core.WaitLine("P2PState=17"));
  EXPECT_EQ(core.Wait(60000), std::optional<int>(0));

  ExpectFiles(task, work);
  std::vector<int> states = core.States();
  std::vector<int> expected = {5, 8, 11, 12, 14, 15, 16, 17};
  if (std::find(states.begin(), states.end(), 12) == states.end()) expected.erase(expected.begin() + 3);
  EXPECT_EQ(states, expected) << StateText(states);
  // Both servers served the data; together they sent every byte once.
  const std::uint64_t from_a = a.BytesUnder("/task/data/") + a.BytesUnder("/task/readme.txt");
  const std::uint64_t from_b = b.BytesUnder("/task/data/") + b.BytesUnder("/task/readme.txt");
  EXPECT_GT(from_a, 0u);
  EXPECT_GT(from_b, 0u);
  EXPECT_EQ(from_a + from_b, task.Total());
  // DeleteDownloadInfo: the information folder went away at completion.
  EXPECT_FALSE(platform::fs::Exists(work / "dl/P2PUpdater_Info"));

  // A second run over the finished files fetches no data and completes at once.
  const std::uint64_t served = from_a + from_b;
  Core again(work.path());
  ASSERT_TRUE(again.Start(CoreArgs(work, a.Url("/task"))));
  ASSERT_TRUE(again.WaitLine("P2PState=15")) << StateText(again.States());
  again.Send("quit");
  EXPECT_EQ(again.Wait(60000), std::optional<int>(0));
  EXPECT_EQ(a.BytesUnder("/task/data/") + a.BytesUnder("/task/readme.txt") + b.BytesUnder("/task/data/") +
                b.BytesUnder("/task/readme.txt"),
            served);
  ExpectFiles(task, work);
}

TEST(CoreDownload, KilledInTheMiddleAndStartedAgainFetchesNothingTwice) {
  TempDir work, www;
  constexpr std::uint32_t kSmallBlock = 65536;
  const TaskFiles task = MakeFiles({{"one.pak", 40 * 1024 * 1024}, {"two.pak", 24 * 1024 * 1024 + 3}}, 21);
  // Slow enough that the kill lands in the middle.
  LoggedNginx a(www.path(), "limit_rate 3m;");
  std::string why;
  ASSERT_TRUE(PublishTask(task, www.path(), kSmallBlock, {a.Url("/task")}, why)) << why;

  std::uint64_t on_disk = 0;  // bytes on disk shortly before the kill
  {
    Core core(work.path());
    ASSERT_TRUE(core.Start(CoreArgs(work, a.Url("/task"))));
    ASSERT_TRUE(core.WaitLine("P2PState=14"));
    ASSERT_TRUE(WaitUntil([&] {
      std::size_t mark = core.lines().size();
      core.Send("stat");
      if (!core.WaitLine("ConnectNum=", mark, 10000)) return true;
      auto incomplete = core.Last("IncompleteByte");
      if (!incomplete) return false;
      on_disk = task.Total() - std::strtoull(incomplete->c_str(), nullptr, 10);
      return on_disk >= task.Total() * 3 / 10;
    }));
    ASSERT_LT(on_disk, task.Total());
    core.KillHard();
    EXPECT_EQ(core.Wait(30000), std::optional<int>(128 + 9));
  }
  const std::uint64_t first_run = a.BytesUnder("/task/one.pak") + a.BytesUnder("/task/two.pak");

  Core core(work.path());
  ASSERT_TRUE(core.Start(CoreArgs(work, a.Url("/task"))));
  ASSERT_TRUE(core.WaitLine("P2PState=15")) << StateText(core.States());
  core.Send("quit");
  EXPECT_EQ(core.Wait(60000), std::optional<int>(0));
  ExpectFiles(task, work);
  // What was on disk at the kill is never fetched again: the second run asks
  // for the rest only (what the first run had in flight or still waiting for
  // the disk is part of that rest), with at most its own requests' worth of
  // overlap.
  const std::uint64_t second_run = a.BytesUnder("/task/one.pak") + a.BytesUnder("/task/two.pak") - first_run;
  const std::uint64_t in_flight = 4ull * 10 * kSmallBlock;
  EXPECT_LE(second_run, task.Total() - on_disk + in_flight) << "first run " << first_run << ", on disk " << on_disk;
  EXPECT_GE(second_run, task.Total() - first_run);
  // The second run started from the resume data: no full verification.
  std::vector<int> states = core.States();
  EXPECT_EQ(std::find(states.begin(), states.end(), 12), states.end()) << StateText(states);
}

// The task also names a tracker (nobody answers there): the HTTP download
// does not wait for peers.
TEST(CoreDownload, CorruptAndMissingCopiesAreRepairedFromTheSoundServer) {
  TempDir work, www, bad_www;
  const TaskFiles task = MakeFiles({{"game/a.pak", 9 * 1024 * 1024 + 11}, {"game/b.pak", 3 * 1024 * 1024}}, 40);
  LoggedNginx good(www.path());
  LoggedNginx corrupt(bad_www.path());
  LoggedNginx gone(www.path(), "location /task/game/ { return 404; }");
  std::string why;
  ASSERT_TRUE(PublishTask(task, www.path(), kBlock,
                          {corrupt.Url("/task") + "<5>", gone.Url("/task") + "<5>", good.Url("/task") + "<1>"},
                          why, {"127.0.0.1:9"}))
      << why;
  // The corrupt server holds the same tree with a flipped byte in every block.
  TaskFiles bad = task;
  for (auto& [name, content] : bad.files) {
    for (std::size_t start = 0; start < content.size(); start += kBlock) {
      // Short last blocks too, or the good server need not send them.
      std::size_t i = start + std::min<std::size_t>(1000, content.size() - start - 1);
      content[i] = static_cast<char>(~content[i]);
    }
  }
  ASSERT_TRUE(PublishTask(bad, bad_www.path(), kBlock, {corrupt.Url("/task")}, why)) << why;

  Core core(work.path());
  ASSERT_TRUE(core.Start(CoreArgs(work, good.Url("/task"))));
  ASSERT_TRUE(core.WaitLine("P2PState=15")) << StateText(core.States());
  core.Send("quit");
  EXPECT_EQ(core.Wait(60000), std::optional<int>(0));
  ExpectFiles(task, work);
  EXPECT_GT(corrupt.BytesUnder("/task/game/"), 0u);  // it was asked, and not believed
  EXPECT_GE(good.BytesUnder("/task/game/"), task.Total());
}

}  // namespace
}  // namespace kestra::e2e
