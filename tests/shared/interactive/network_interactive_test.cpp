#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/pipe_process.h"
#include "platform/process.h"
#include "shared/interactive/interactive.h"
#include "tests/support/wait_until.h"

namespace kestra::interactive {
namespace {

namespace net = platform::net;
using kestra::test::WaitUntil;

// Polls until a line arrives.
bool ReadLineSoon(IInteractive& channel, std::string& line) {
  return WaitUntil([&] { return channel.ReadLine(line); });
}

// Everything the channel delivers within ms (for checks that nothing comes).
std::vector<std::string> ReadFor(IInteractive& channel, int ms) {
  std::vector<std::string> lines;
  std::string line;
  WaitUntil(
      [&] {
        while (channel.ReadLine(line)) lines.push_back(line);
        return false;
      },
      ms);
  return lines;
}

bool SendRaw(net::Socket& socket, const std::string& bytes) {
  return net::SendAll(socket, bytes, 5000);
}

net::Socket ConnectTo(std::uint16_t port) {
  return net::ConnectTcp({net::kLoopbackIpv4, port}, 5000);
}

// The local address (hex, as the kernel lists it) of the TCP socket listening on port.
std::string ListeningAddress(std::uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, "%04X", port);
  std::getline(table, line);  // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() == 13 && local.substr(9) == wanted) return local.substr(0, 8);
  }
  return {};
}

// A listening channel with a raw peer connected and accepted.
class ConnectedPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener_.Open());
    peer_ = ConnectTo(listener_.port());
    ASSERT_TRUE(peer_.IsOpen());
    std::string line;
    // The first ReadLine after the peer connected accepts it.
    ASSERT_TRUE(WaitUntil([&] {
      listener_.ReadLine(line);
      return listener_.connected();
    }));
  }
  void TearDown() override {
    peer_.Close();
    listener_.Close();
  }

  NetworkInteractive listener_{0};
  net::Socket peer_;
};

TEST(NetworkInteractiveListening, BindsLoopbackOnlyInThePortRange) {
  NetworkInteractive listener(0);
  EXPECT_TRUE(listener.listening_role());
  ASSERT_TRUE(listener.Open());
  EXPECT_GE(listener.port(), 10000);
  EXPECT_LE(listener.port(), 42767);
  EXPECT_EQ(ListeningAddress(listener.port()), "0100007F");  // 127.0.0.1
  listener.Close();
  EXPECT_EQ(ListeningAddress(listener.port()), "");
}

TEST(NetworkInteractiveListening, NothingBeforeThePeerConnects) {
  NetworkInteractive listener(0);
  ASSERT_TRUE(listener.Open());
  std::string line;
  EXPECT_FALSE(listener.ReadLine(line));
  EXPECT_FALSE(listener.Write("stat\n"));  // lost, not queued
  EXPECT_FALSE(listener.connected());
}

TEST(NetworkInteractiveListening, TwoListenersGetDifferentPorts) {
  NetworkInteractive a(0), b(0);
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  EXPECT_NE(a.port(), b.port());
}

TEST_F(ConnectedPair, TwoLinesInOneSegmentComeOneByOne) {
  ASSERT_TRUE(SendRaw(peer_, "[Interactive]UserId=7\n[Interactive]P2PState=14\n"));
  std::string line;
  ASSERT_TRUE(ReadLineSoon(listener_, line));
  EXPECT_EQ(line, "[Interactive]UserId=7");
  ASSERT_TRUE(listener_.ReadLine(line));
  EXPECT_EQ(line, "[Interactive]P2PState=14");
  EXPECT_FALSE(listener_.ReadLine(line));
}

TEST_F(ConnectedPair, SplitLineIsReturnedOnlyAfterItsLineFeed) {
  ASSERT_TRUE(SendRaw(peer_, "[Interactive]Total"));
  EXPECT_TRUE(ReadFor(listener_, 100).empty());
  ASSERT_TRUE(SendRaw(peer_, "Byte=123"));
  EXPECT_TRUE(ReadFor(listener_, 50).empty());
  ASSERT_TRUE(SendRaw(peer_, "\n"));
  std::string line;
  ASSERT_TRUE(ReadLineSoon(listener_, line));
  EXPECT_EQ(line, "[Interactive]TotalByte=123");
}

TEST_F(ConnectedPair, TrailingPartWithoutLineFeedStaysPending) {
  ASSERT_TRUE(SendRaw(peer_, "done\nhalf"));
  std::string line;
  ASSERT_TRUE(ReadLineSoon(listener_, line));
  EXPECT_EQ(line, "done");
  EXPECT_TRUE(ReadFor(listener_, 100).empty());
  ASSERT_TRUE(SendRaw(peer_, "-and-rest\n"));
  ASSERT_TRUE(ReadLineSoon(listener_, line));
  EXPECT_EQ(line, "half-and-rest");
}

TEST_F(ConnectedPair, BurstLargerThanOneReceiveArrivesWhole) {
  std::string burst;
  std::vector<std::string> sent;
  for (int i = 0; i < 300; ++i) {
    sent.push_back("[Interactive]Line=" + std::to_string(i));
    burst += sent.back() + "\n";
  }
  ASSERT_GT(burst.size(), 3 * kReceiveChunkBytes);
  ASSERT_TRUE(SendRaw(peer_, burst));
  std::vector<std::string> got;
  std::string line;
  while (got.size() < sent.size() && ReadLineSoon(listener_, line)) got.push_back(line);
  EXPECT_EQ(got, sent);
}

TEST_F(ConnectedPair, WriteReachesThePeerAsIs) {
  ASSERT_TRUE(listener_.Write("get qf 0\n"));
  char buffer[64] = {};
  std::string received;
  WaitUntil([&] {
    std::int64_t got = peer_.RecvNow(buffer, sizeof buffer);
    if (got > 0) received.append(buffer, static_cast<std::size_t>(got));
    return received.size() >= 9;
  });
  EXPECT_EQ(received, "get qf 0\n");
}

TEST_F(ConnectedPair, GarbageAndOverlongLinesNeitherCrashNorGrowWithoutBound) {
  std::string garbage;
  for (int i = 0; i < 5000; ++i) garbage += static_cast<char>((i * 131 + 7) % 256);
  std::erase(garbage, '\n');
  ASSERT_TRUE(SendRaw(peer_, garbage + "\n"));
  // An overlong line, longer than the bound, then a good line.
  std::string huge(kMaxLineBytes + 5000, 'A');
  ASSERT_TRUE(SendRaw(peer_, huge));
  ASSERT_TRUE(SendRaw(peer_, "\n[Interactive]P2PState=15\n"));
  std::string line;
  ASSERT_TRUE(ReadLineSoon(listener_, line));
  EXPECT_EQ(line, garbage);
  ASSERT_TRUE(ReadLineSoon(listener_, line));
  EXPECT_EQ(line, "[Interactive]P2PState=15");
}

TEST_F(ConnectedPair, PeerThatClosesJustStopsDeliveringLines) {
  ASSERT_TRUE(SendRaw(peer_, "last\n"));
  peer_.Shutdown();
  peer_.Close();
  std::string line;
  ASSERT_TRUE(ReadLineSoon(listener_, line));
  EXPECT_EQ(line, "last");
  EXPECT_TRUE(ReadFor(listener_, 50).empty());
  // Writing to a closed peer fails instead of raising a signal.
  EXPECT_TRUE(WaitUntil([&] { return !listener_.Write("stat\n"); }));
}

TEST_F(ConnectedPair, WriteToAPeerThatNeverReadsFailsInsteadOfHanging) {
  // The peer reads nothing: once its buffers are full each write gives up at
  // its deadline with a Windows Sockets time-out.
  const std::string block(1 << 20, 'w');
  bool written = true;
  int blocks = 0;
  for (; blocks < 512 && written; ++blocks) written = listener_.Write(block);
  EXPECT_FALSE(written);
  EXPECT_EQ(platform::net::LastError(), platform::net::kWSAETIMEDOUT);
}

TEST_F(ConnectedPair, CloseEndsEverything) {
  listener_.Close();
  std::string line;
  EXPECT_FALSE(listener_.ReadLine(line));
  EXPECT_FALSE(listener_.Write("quit\n"));
  listener_.Close();  // twice is harmless
}

TEST(NetworkInteractiveConnecting, ConnectsToTheListenerAndTalksBothWays) {
  NetworkInteractive listener(0);
  ASSERT_TRUE(listener.Open());
  NetworkInteractive client(listener.port());
  EXPECT_FALSE(client.listening_role());
  ASSERT_TRUE(client.Open());
  EXPECT_TRUE(client.connected());
  ASSERT_TRUE(client.Write("[Interactive]P2PState=3"));
  ASSERT_TRUE(client.Write("\n"));
  std::string line;
  ASSERT_TRUE(ReadLineSoon(listener, line));
  EXPECT_EQ(line, "[Interactive]P2PState=3");
  ASSERT_TRUE(listener.Write("stat\n"));
  ASSERT_TRUE(ReadLineSoon(client, line));
  EXPECT_EQ(line, "stat");
}

TEST(NetworkInteractiveConnecting, NoListenerMeansOpenFails) {
  // A port that was just free: bind, note it, close.
  net::Socket probe;
  ASSERT_TRUE(probe.OpenTcp());
  ASSERT_TRUE(probe.Bind({net::kLoopbackIpv4, 0}));
  std::uint16_t port = probe.LocalAddress()->port;
  probe.Close();
  NetworkInteractive client(port);
  EXPECT_FALSE(client.Open());
  std::string line;
  EXPECT_FALSE(client.ReadLine(line));
  EXPECT_FALSE(client.Write("x\n"));
}

TEST(NetworkInteractiveChild, OnlyTheNamedProcessMayTakeTheConnection) {
  NetworkInteractive listener(0);
  ASSERT_TRUE(listener.Open());
  // Another local program connects first and sends lines of its own.
  net::Socket intruder = ConnectTo(listener.port());
  ASSERT_TRUE(intruder.IsOpen());
  ASSERT_TRUE(SendRaw(intruder, "[Interactive]P2PState=15\n"));
  auto pid = platform::pipe_process::StartHidden(
      {KESTRA_TEST_BIN_DIR "/kestra_interactive_echo", std::to_string(listener.port())}, {});
  ASSERT_TRUE(pid);
  listener.SetPeerProcess(*pid);
  std::string line;
  ASSERT_TRUE(WaitUntil([&] {
    listener.Write("ping\n");
    return listener.ReadLine(line);
  }));
  EXPECT_EQ(line, "[Interactive]echo=ping");
  EXPECT_EQ(listener.refused_peers(), 1u);
  ASSERT_TRUE(listener.Write("quit\n"));
  EXPECT_EQ(platform::process::Wait(*pid, 10000), 0);
  intruder.Close();
}

TEST(NetworkInteractiveChild, EchoChildConnectsToItsPort) {
  NetworkInteractive listener(0);
  ASSERT_TRUE(listener.Open());
  auto pid = platform::pipe_process::StartHidden(
      {KESTRA_TEST_BIN_DIR "/kestra_interactive_echo", std::to_string(listener.port())}, {});
  ASSERT_TRUE(pid);
  std::string line;
  // Commands written before the child connects are lost; keep asking.
  ASSERT_TRUE(WaitUntil([&] {
    listener.Write("ping\n");
    return listener.ReadLine(line);
  }));
  EXPECT_EQ(line, "[Interactive]echo=ping");
  ASSERT_TRUE(listener.Write("quit\n"));
  EXPECT_EQ(platform::process::Wait(*pid, 10000), 0);
}

}  // namespace
}  // namespace kestra::interactive
