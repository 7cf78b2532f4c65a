#include "platform/loopback_socket.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/pipe_process.h"
#include "platform/process.h"

namespace platform::loopback {
namespace {

struct Pair {
  Socket listener = kInvalidSocket;
  Socket client = kInvalidSocket;
  Socket server = kInvalidSocket;
  ~Pair() {
    ShutdownAndClose(client);
    ShutdownAndClose(server);
    ShutdownAndClose(listener);
  }
};

void Connect(Pair& pair) {
  pair.listener = CreateTcp();
  ASSERT_NE(pair.listener, kInvalidSocket);
  ASSERT_TRUE(BindLoopback(pair.listener, 0));
  ASSERT_TRUE(Listen(pair.listener, 1));
  auto port = LocalPort(pair.listener);
  ASSERT_TRUE(port);
  EXPECT_EQ(Accept(pair.listener, pair.server), AcceptResult::NoneWaiting);
  pair.client = ConnectLoopback(*port);
  ASSERT_NE(pair.client, kInvalidSocket);
  ASSERT_TRUE(IsReadable(pair.listener, 5000));
  ASSERT_EQ(Accept(pair.listener, pair.server), AcceptResult::Accepted);
}

TEST(LoopbackSocket, ConnectAcceptSendReceive) {
  Pair pair;
  Connect(pair);
  ASSERT_EQ(Send(pair.client, "hello\n", 6), 6);
  ASSERT_TRUE(IsReadable(pair.server, 5000));
  char buffer[16] = {};
  EXPECT_EQ(Receive(pair.server, buffer, sizeof buffer), 6);
  EXPECT_EQ(std::string(buffer, 6), "hello\n");
  EXPECT_FALSE(IsReadable(pair.server, 0));
}

TEST(LoopbackSocket, ClosedPeerReadsAsEndAndSendFailsWithoutSignal) {
  Pair pair;
  Connect(pair);
  ShutdownAndClose(pair.client);
  EXPECT_EQ(pair.client, kInvalidSocket);
  ASSERT_TRUE(IsReadable(pair.server, 5000));
  char buffer[4];
  EXPECT_EQ(Receive(pair.server, buffer, sizeof buffer), 0);
  std::int64_t result = 0;
  for (int i = 0; i < 20 && result >= 0; ++i) result = Send(pair.server, "x", 1, 10);
  EXPECT_EQ(result, -1);
}

TEST(LoopbackSocket, SendToAPeerThatNeverReadsGivesUp) {
  Pair pair;
  Connect(pair);
  std::string block(1 << 20, 'b');
  std::int64_t total = 0;
  std::int64_t sent = 0;
  // Fills the peer's buffers; each call waits at most 50 ms for room.
  for (int i = 0; i < 200; ++i) {
    sent = Send(pair.client, block.data(), block.size(), 50);
    if (sent < static_cast<std::int64_t>(block.size())) break;
    total += sent;
  }
  EXPECT_LT(sent, static_cast<std::int64_t>(block.size()));
  EXPECT_LT(total, 200LL << 20);
}

TEST(LoopbackSocket, PeerHolderIsTheProcessThatConnected) {
  Pair pair;
  Connect(pair);
  EXPECT_TRUE(IsPeerHeldBy(pair.server, process::CurrentPid()));
  auto other = pipe_process::StartHidden({"/bin/sleep", "30"}, {});
  ASSERT_TRUE(other);
  EXPECT_FALSE(IsPeerHeldBy(pair.server, *other));
  process::Kill(*other);
  process::Wait(*other, 5000);
  EXPECT_FALSE(IsPeerHeldBy(pair.server, 0));
  EXPECT_FALSE(IsPeerHeldBy(kInvalidSocket, process::CurrentPid()));
}

TEST(LoopbackSocket, InvalidSocketsFailCleanly) {
  Socket none = kInvalidSocket;
  EXPECT_FALSE(BindLoopback(none, 0));
  EXPECT_FALSE(Listen(none, 1));
  EXPECT_FALSE(LocalPort(none));
  EXPECT_FALSE(IsReadable(none, 0));
  Socket accepted;
  EXPECT_EQ(Accept(none, accepted), AcceptResult::Failed);
  char byte;
  EXPECT_EQ(Receive(none, &byte, 1), -1);
  EXPECT_EQ(Send(none, "x", 1), -1);
  ShutdownAndClose(none);
}

}  // namespace
}  // namespace platform::loopback
