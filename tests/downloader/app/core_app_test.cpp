// The downloader core as a program: start-up refusals, the control
// connection, the log, the interrupt keys and the end with its parent.
#include "downloader/app/core_app.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "shared/interactive/interactive.h"
#include "tests/downloader/platform/probe_support.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace zelt {
namespace {

using kestra::interactive::NetworkInteractive;
using kestra::test::TempDir;
using kestra::test::WaitUntil;

const std::string kCore = std::string(KESTRA_BIN_DIR) + "/kestra-downloader";
constexpr int kWaitMs = 30000;

std::optional<int> StartCore(const std::vector<std::string>& args, const TempDir& cwd) {
  std::vector<std::string> argv = {kCore};
  argv.insert(argv.end(), args.begin(), args.end());
  platform::process::StartOptions options;
  options.working_directory = cwd.path();
  return platform::process::Start(argv, options);
}

// Accepts the core's connection; false when none came within the bound.
// The core's log as soon as it holds the text (the core writes it while it
// starts its services, which goes on after it has connected).
std::string WaitForLog(const TempDir& cwd, const std::string& text) {
  std::string log;
  WaitUntil(
      [&] {
        log = cwd.Read("p2p.log");
        return log.find(text) != std::string::npos;
      },
      kWaitMs, 10);
  return log;
}

bool WaitConnected(NetworkInteractive& listener) {
  std::string line;
  return WaitUntil(
      [&] {
        listener.ReadLine(line);
        return listener.connected();
      },
      kWaitMs, 10);
}

// Sends a signal by name with the system's kill program.
void Signal(const char* name, int pid) {
  auto killer = platform::process::Start({"kill", std::string("-") + name, std::to_string(pid)});
  ASSERT_TRUE(killer);
  EXPECT_EQ(platform::process::Wait(*killer, kWaitMs), std::optional<int>(0));
}

TEST(CoreAppTest, WithoutHttpUrlOrDirectoryItEndsAtOnceWithoutConnecting) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-Dir", "dl", "-Torrent", "t.torrent"},
      {"-HttpUrl"},
      {"-HttpUrl", "http://127.0.0.1:1/", "-Dir", "\"\""},
      {"-HttpUrl", "http://127.0.0.1:1/", "-Dir", " "},
  };
  for (const auto& args : cases) {
    TempDir cwd;
    NetworkInteractive listener(0);
    ASSERT_TRUE(listener.Open());
    std::vector<std::string> full = args;
    full.push_back("-InteractivePort");
    full.push_back(std::to_string(listener.port()));
    auto pid = StartCore(full, cwd);
    ASSERT_TRUE(pid);
    EXPECT_EQ(platform::process::Wait(*pid, kWaitMs), std::optional<int>(0));
    std::string line;
    listener.ReadLine(line);  // would accept a connection that was made
    EXPECT_FALSE(listener.connected());
    listener.Close();
  }
}

TEST(CoreAppTest, ConnectsToTheControlPortLogsAndIgnoresInterrupts) {
  TempDir cwd;
  NetworkInteractive listener(0);
  ASSERT_TRUE(listener.Open());
  auto pid = StartCore({"-Dir", cwd / "dl", "-HttpUrl", "http://127.0.0.1:1/a", "-Torrent",
                        "t.torrent", "-Mode", "-HttpThread", "4", "-InteractivePort",
                        std::to_string(listener.port())},
                       cwd);
  ASSERT_TRUE(pid);
  ASSERT_TRUE(WaitConnected(listener));

  // The core is past its start: its log is in its working directory.
  std::string log = WaitForLog(cwd, "ConfigService::Init");
  EXPECT_NE(log.find("param.http=http://127.0.0.1:1/a"), std::string::npos) << log;
  EXPECT_NE(log.find("param.torrent_path=t.torrent"), std::string::npos);
  EXPECT_NE(log.find("param.http_thread_num=4"), std::string::npos);
  EXPECT_NE(log.find("param.mode=1"), std::string::npos);
  EXPECT_NE(log.find("ConfigService::Init"), std::string::npos);

  // Garbage on the channel does it no harm.
  EXPECT_TRUE(listener.Write(std::string(5000, '\xff') + "\n\n\nstat bogus -1\n"));

  // Ctrl+C and Ctrl+\ are ignored; a termination request still ends it. Had
  // the interrupt ended the core, its code would be 128 + 2.
  Signal("INT", *pid);
  Signal("QUIT", *pid);
  Signal("TERM", *pid);
  EXPECT_EQ(platform::process::Wait(*pid, kWaitMs), std::optional<int>(128 + 15));
  listener.Close();
}

TEST(CoreAppTest, NetworkServiceStartsWithThePinnedLocalAddress) {
  TempDir cwd;
  auto pid = StartCore({"-Dir", cwd / "dl", "-HttpUrl", "http://127.0.0.1:1/", "-LocalIp", "127.0.0.1"}, cwd);
  ASSERT_TRUE(pid);
  std::string log = WaitForLog(cwd, "NetworkService::Start 6");
  EXPECT_NE(log.find("param.local_ip=127.0.0.1"), std::string::npos) << log;
  EXPECT_NE(log.find("NetworkService::Start self_ip=127.0.0.1"), std::string::npos) << log;
  EXPECT_LT(log.find("NetworkService::Init"), log.find("NetworkService::Start self_ip="));
  Signal("TERM", *pid);
  EXPECT_EQ(platform::process::Wait(*pid, kWaitMs), std::optional<int>(128 + 15));
}

TEST(CoreAppTest, RunsWithoutAChannelWhenNobodyListens) {
  TempDir cwd;
  std::uint16_t port = 0;
  {
    NetworkInteractive listener(0);
    ASSERT_TRUE(listener.Open());
    port = listener.port();
    listener.Close();
  }
  auto pid = StartCore({"-Dir", cwd / "dl", "-HttpUrl", "http://127.0.0.1:1/", "-InteractivePort",
                        std::to_string(port)},
                       cwd);
  ASSERT_TRUE(pid);
  bool started = WaitUntil(
      [&] {
        std::string log = cwd.Read("p2p.log");
        return log.find("the control channel could not be opened") != std::string::npos &&
               log.find("ConfigService::Start") != std::string::npos;
      },
      kWaitMs, 10);
  EXPECT_TRUE(started) << cwd.Read("p2p.log");
  EXPECT_FALSE(test::Ended(*pid));
  Signal("TERM", *pid);
  EXPECT_EQ(platform::process::Wait(*pid, kWaitMs), std::optional<int>(128 + 15));
}

TEST(CoreAppTest, EndsWhenItsParentEnds) {
  TempDir cwd;
  NetworkInteractive listener(0);
  ASSERT_TRUE(listener.Open());
  // A shell starts the core and then becomes "sleep", the core's parent.
  std::string script = "'" + kCore + "' -Dir '" + (cwd / "dl") +
                       "' -HttpUrl http://127.0.0.1:1/ -InteractivePort " +
                       std::to_string(listener.port()) + " & echo $! > '" + (cwd / "pid") +
                       "'; exec sleep 600";
  platform::process::StartOptions options;
  options.working_directory = cwd.path();
  auto parent = platform::process::Start({"/bin/sh", "-c", script}, options);
  ASSERT_TRUE(parent);
  ASSERT_TRUE(WaitConnected(listener));  // running its services
  auto core_text = test::WaitForFile(cwd, "pid");
  ASSERT_TRUE(core_text);
  int core = std::stoi(*core_text);
  EXPECT_FALSE(test::Ended(core));

  ASSERT_TRUE(platform::process::Kill(*parent));
  platform::process::Wait(*parent, kWaitMs);
  EXPECT_TRUE(test::WaitEnded(core));
  listener.Close();
}

}  // namespace
}  // namespace zelt
