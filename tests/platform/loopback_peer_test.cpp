// The control channel's side of the socket layer: taking only connections
// that are waiting, refusing far ends that are not ours, sends with a
// deadline, receives that never wait.
#include <gtest/gtest.h>

#include <string>

#include "platform/net.h"
#include "platform/pipe_process.h"
#include "platform/process.h"
#include "tests/support/wait_until.h"

namespace {

namespace net = platform::net;
using kestra::test::WaitUntil;

struct Pair {
  net::Socket listener, client, server;
};

// A connected pair through AcceptLoopbackPeer on a non-blocking listener.
void Connect(Pair& pair) {
  pair.listener = net::ListenTcp({net::kLoopbackIpv4, 0}, 1);
  ASSERT_TRUE(pair.listener.IsOpen());
  ASSERT_TRUE(pair.listener.SetNonBlocking(true));
  EXPECT_EQ(net::AcceptLoopbackPeer(pair.listener, pair.server), net::AcceptResult::NoneWaiting);
  EXPECT_FALSE(pair.server.IsOpen());
  pair.client = net::ConnectTcp(*pair.listener.LocalAddress(), 5000);
  ASSERT_TRUE(pair.client.IsOpen()) << net::LastError();
  net::AcceptResult result = net::AcceptResult::NoneWaiting;
  ASSERT_TRUE(WaitUntil([&] {
    result = net::AcceptLoopbackPeer(pair.listener, pair.server);
    return result != net::AcceptResult::NoneWaiting;
  }));
  ASSERT_EQ(result, net::AcceptResult::Accepted);
  EXPECT_TRUE(net::IsLoopbackIp(pair.server.PeerAddress()->ip));
}

TEST(LoopbackPeer, AcceptedSocketBlocksAndReceivesNowWithoutWaiting) {
  Pair pair;
  Connect(pair);
  char buffer[16] = {};
  net::SetLastError(0);
  EXPECT_EQ(pair.server.RecvNow(buffer, sizeof buffer), -1);  // nothing yet, no wait
  EXPECT_EQ(net::LastError(), net::kWSAEWOULDBLOCK);
  ASSERT_TRUE(net::SendAll(pair.client, "hello\n", 1000));
  // The accepted socket is blocking: a plain receive waits for the bytes.
  EXPECT_EQ(pair.server.Recv(buffer, sizeof buffer), 6);
  EXPECT_EQ(std::string(buffer, 6), "hello\n");
}

TEST(LoopbackPeer, ClosedPeerReadsAsEndAndSendFailsWithoutSignal) {
  Pair pair;
  Connect(pair);
  ASSERT_TRUE(pair.client.Shutdown());
  pair.client.Close();
  char buffer[4];
  std::int64_t got = -1;
  ASSERT_TRUE(WaitUntil([&] { return (got = pair.server.RecvNow(buffer, sizeof buffer)) == 0; }));
  // The first sends may still be taken by the system; then the reset shows.
  net::SetLastError(0);
  EXPECT_TRUE(WaitUntil([&] { return !net::SendAll(pair.server, "x", 10); }));
  EXPECT_EQ(net::LastError(), net::kWSAECONNRESET);
}

TEST(LoopbackPeer, SendToAPeerThatNeverReadsEndsAtItsDeadline) {
  Pair pair;
  Connect(pair);
  // A blocking socket: without the deadline the send would wait for ever.
  const std::string block(1 << 20, 'b');
  bool sent = true;
  int blocks = 0;
  for (; blocks < 512 && sent; ++blocks) sent = net::SendAll(pair.client, block, 50);
  EXPECT_FALSE(sent);
  EXPECT_EQ(net::LastError(), net::kWSAETIMEDOUT);
  EXPECT_LT(blocks, 512);
}

TEST(LoopbackPeer, FarEndMustBeHeldByTheNamedProcess) {
  Pair pair;
  Connect(pair);
  EXPECT_TRUE(net::IsPeerHeldBy(pair.server, platform::process::CurrentPid()));
  auto other = platform::pipe_process::StartHidden({"/bin/sleep", "30"}, {});
  ASSERT_TRUE(other);
  EXPECT_FALSE(net::IsPeerHeldBy(pair.server, *other));
  platform::process::Kill(*other);
  platform::process::Wait(*other, 5000);
  EXPECT_FALSE(net::IsPeerHeldBy(pair.server, 0));
  EXPECT_FALSE(net::IsPeerHeldBy(net::Socket(), platform::process::CurrentPid()));
  // Once our end is gone there is no far end to find.
  pair.client.Close();
  EXPECT_TRUE(WaitUntil([&] { return !net::IsPeerHeldBy(pair.server, platform::process::CurrentPid()); }));
}

TEST(LoopbackPeer, ClosedSocketsFailCleanly) {
  net::Socket none, accepted;
  net::SetLastError(0);
  EXPECT_EQ(net::AcceptLoopbackPeer(none, accepted), net::AcceptResult::Failed);
  EXPECT_EQ(net::LastError(), net::kWSAENOTSOCK);
  char byte;
  EXPECT_EQ(none.RecvNow(&byte, 1), -1);
  EXPECT_EQ(none.SendNow("x", 1), -1);
  EXPECT_FALSE(net::SendAll(none, "x", 10));
  EXPECT_FALSE(none.Shutdown());
  EXPECT_TRUE(net::IsLoopbackIp(0x7F000001));
  EXPECT_TRUE(net::IsLoopbackIp(0x7FFFFFFE));
  EXPECT_FALSE(net::IsLoopbackIp(0x80000001));
  EXPECT_FALSE(net::IsLoopbackIp(0x0A000001));
}

}  // namespace
