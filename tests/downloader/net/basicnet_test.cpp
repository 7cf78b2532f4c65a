// Socket handles on loopback: framed messages between real sockets, the
// rejection of bad frames arriving over the wire, queue limits, connect
// time-outs, resets of connects in progress, UDP bounds and read quotas.
#include "downloader/net/basicnet.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "downloader/net/network_service.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "tests/support/wait_until.h"

namespace zelt::basicnet {
namespace {

namespace pn = platform::net;

// Turns the poller until the condition holds.
template <typename Condition>
bool PumpUntil(NetPoller& poller, Condition condition) {
  return kestra::test::WaitUntil([&] {
    poller.Poll();
    return condition();
  });
}

class PacketEnd : public BasicTcpPacketHandle {
 public:
  explicit PacketEnd(NetPoller& poller) : BasicTcpPacketHandle(poller) { poller.Register(this); }
  void OnPacket(std::string&& m) override { messages.push_back(std::move(m)); }
  void OnConnect(bool ok) override { connects.push_back(ok); }
  void OnSendResult(bool ok, std::uint32_t tag) override { sent.emplace_back(ok, tag); }
  void OnClose() override { ++closes; }
  void OnError() override {
    ++errors;
    Close();
  }
  std::vector<std::string> messages;
  std::vector<bool> connects;
  std::vector<std::pair<bool, std::uint32_t>> sent;
  int closes = 0, errors = 0;
};

// Accepts connections into packet handles of its own.
class Listener : public BasicTcpHandle {
 public:
  explicit Listener(NetPoller& poller) : BasicTcpHandle(poller) {
    poller.Register(this);
    EXPECT_TRUE(Listen(0, pn::kLoopbackIpv4));
  }
  void OnAccept(pn::Socket socket, const Address&) override {
    auto end = std::make_unique<PacketEnd>(poller());
    end->SetQueueLimit(limit);
    end->Attach(std::move(socket));
    accepted.push_back(std::move(end));
  }
  Address address() const { return Address{pn::kLoopbackIpv4, *LocalPort()}; }
  std::uint32_t limit = kNoLimit;
  std::vector<std::unique_ptr<PacketEnd>> accepted;
};

TEST(BasicNet, FramedMessagesBetweenHandles) {
  NetPoller poller;
  Listener listener(poller);
  PacketEnd client(poller);
  ASSERT_TRUE(client.Connect(listener.address()));
  EXPECT_EQ(client.state(), kConnecting);
  EXPECT_FALSE(client.Send("early"));  // not connected yet
  ASSERT_TRUE(PumpUntil(poller, [&] { return !client.connects.empty() && !listener.accepted.empty(); }));
  EXPECT_EQ(client.connects, std::vector<bool>{true});
  EXPECT_EQ(client.state(), kConnected);

  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  EXPECT_TRUE(client.Send("hello", 7));
  EXPECT_TRUE(client.Send(big, 8));
  EXPECT_FALSE(client.Send(""));
  EXPECT_EQ(client.queued_bytes(), 5u + big.size());
  PacketEnd& server = *listener.accepted[0];
  ASSERT_TRUE(PumpUntil(poller, [&] { return server.messages.size() == 2; }));
  EXPECT_EQ(server.messages[0], "hello");
  EXPECT_EQ(server.messages[1], big);
  ASSERT_TRUE(PumpUntil(poller, [&] { return client.sent.size() == 2; }));
  EXPECT_EQ(client.sent[0], std::make_pair(true, 7u));
  EXPECT_EQ(client.sent[1], std::make_pair(true, 8u));
  EXPECT_EQ(client.queued_bytes(), 0u);

  // The far end closes: OnClose, and the handle is closed.
  server.Close();
  ASSERT_TRUE(PumpUntil(poller, [&] { return client.closes == 1; }));
  EXPECT_EQ(client.state(), kClosed);
}

TEST(BasicNet, QueueLimitEdge) {
  NetPoller poller;
  Listener listener(poller);
  PacketEnd client(poller);
  ASSERT_TRUE(client.Connect(listener.address()));
  ASSERT_TRUE(PumpUntil(poller, [&] { return !client.connects.empty(); }));
  client.SetQueueLimit(100);
  EXPECT_FALSE(client.Send(std::string(100, 'x')));  // would reach the limit
  EXPECT_TRUE(client.Send(std::string(99, 'x')));    // one byte short of it
  EXPECT_FALSE(client.Send("y"));                     // 99 + 1 reaches it
  EXPECT_EQ(client.queued_bytes(), 99u);
}

std::string Header(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  std::string h(12, '\0');
  const std::uint32_t v[3] = {a, b, c};
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 4; ++k) h[4 * i + k] = static_cast<char>((v[i] >> (8 * k)) & 0xFF);
  return h;
}

TEST(BasicNet, BadFramesFromThePeerDropTheHandle) {
  constexpr std::uint32_t kLimit = 64;
  struct Case {
    const char* name;
    std::string wire;
    bool error;
    std::size_t messages;
  };
  const Case cases[] = {
      {"total 0", Header(0, 0, 0), true, 0},
      {"part length 0", Header(1, 0, 8), true, 0},
      {"part overruns", Header(1, 6, 8) + "abcdef" + Header(1, 6, 8) + "ghijkl", true, 0},
      {"total over the queue limit", Header(0, kLimit + 1, kLimit + 1) + std::string(kLimit + 1, 'x'), true, 0},
      {"total equal to the queue limit", Header(0, kLimit, kLimit) + std::string(kLimit, 'x'), false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NetPoller poller;
    Listener listener(poller);
    listener.limit = kLimit;
    pn::Socket raw = pn::ConnectTcp(listener.address(), 5000);
    ASSERT_TRUE(raw.IsOpen());
    ASSERT_TRUE(PumpUntil(poller, [&] { return !listener.accepted.empty(); }));
    ASSERT_TRUE(pn::SendAll(raw, c.wire, 5000));
    PacketEnd& server = *listener.accepted[0];
    ASSERT_TRUE(PumpUntil(poller, [&] { return server.errors > 0 || server.messages.size() == c.messages; }));
    if (c.error) {
      EXPECT_EQ(server.errors, 1);
      EXPECT_EQ(server.state(), kClosed);
    } else {
      EXPECT_EQ(server.errors, 0);
      EXPECT_EQ(server.messages[0], std::string(kLimit, 'x'));
    }
  }
}

// A loopback listener whose accept queue is full: further connects stay in
// SYN-SENT (their SYNs are dropped), like a server that never answers.
struct FullListener {
  FullListener() {
    listener = pn::ListenTcp(Address{pn::kLoopbackIpv4, 0}, 0);
    address = *listener.LocalAddress();
    for (int i = 0; i < 3; ++i) {
      pn::Socket s;
      EXPECT_TRUE(s.OpenTcp() && s.SetNonBlocking(true));
      s.Connect(address);
      fillers.push_back(std::move(s));
    }
    // Let the handshakes of the fillers that fit settle.
    for (auto& s : fillers) s.Wait(pn::kWritable, 200 * 1000);
  }
  pn::Socket listener;
  Address address;
  std::vector<pn::Socket> fillers;
};

TEST(BasicNet, ConnectToANeverAnsweringAddressTimesOut) {
  FullListener full;
  NetPoller poller;
  PacketEnd client(poller);
  client.SetTimeout(300);
  ASSERT_TRUE(client.Connect(full.address));
  ASSERT_TRUE(PumpUntil(poller, [&] { return !client.connects.empty(); }));
  EXPECT_EQ(client.connects, std::vector<bool>{false});
  EXPECT_EQ(client.state(), kClosed);
  EXPECT_FALSE(client.HasSocket());
}

TEST(BasicNet, DelSysSentTcpClosesOnlyOurConnectsInProgressToTheListedAddresses) {
  FullListener full;
  NetworkService service;
  NetPoller& poller = service.poller();
  PacketEnd stuck(poller), other(poller);
  Listener live(poller);
  PacketEnd connected(poller);
  ASSERT_TRUE(stuck.Connect(full.address));
  ASSERT_TRUE(connected.Connect(live.address()));
  ASSERT_TRUE(PumpUntil(poller, [&] { return !connected.connects.empty(); }));
  ASSERT_TRUE(other.Connect(full.address));
  const int pid = platform::process::CurrentPid();

  EXPECT_EQ(service.DelSysSentTcp(pid + 1), 0u);  // not ours to touch
  const std::vector<Address> elsewhere = {Address{pn::kLoopbackIpv4, static_cast<std::uint16_t>(full.address.port + 1)}};
  EXPECT_EQ(service.DelSysSentTcp(pid, &elsewhere), 0u);
  const std::vector<Address> listed = {full.address};
  EXPECT_EQ(service.DelSysSentTcp(pid, &listed), 2u);
  EXPECT_EQ(stuck.state(), kClosed);
  EXPECT_EQ(connected.state(), kConnected);  // not connecting: left alone
  ASSERT_TRUE(PumpUntil(poller, [&] { return !stuck.connects.empty() && !other.connects.empty(); }));
  EXPECT_EQ(stuck.connects, std::vector<bool>{false});
  EXPECT_EQ(other.connects, std::vector<bool>{false});

  ASSERT_TRUE(stuck.Connect(full.address));
  EXPECT_EQ(service.DelSysSentTcp(pid), 1u);  // every connect in progress
}

class UdpEnd : public BasicUdpHandle {
 public:
  explicit UdpEnd(NetPoller& poller) : BasicUdpHandle(poller) {
    poller.Register(this);
    EXPECT_TRUE(Bind(0, pn::kLoopbackIpv4));
  }
  void OnRecv(const char* data, std::size_t size, const Address& from) override {
    datagrams.emplace_back(data, size);
    senders.push_back(from);
  }
  void OnSendToResult(bool ok) override { results.push_back(ok); }
  void OnError() override { ++errors; }
  Address address() const { return Address{pn::kLoopbackIpv4, *LocalPort()}; }
  std::vector<std::string> datagrams;
  std::vector<Address> senders;
  std::vector<bool> results;
  int errors = 0;
};

TEST(BasicNet, UdpDatagramsUpTo512Bytes) {
  NetPoller poller;
  UdpEnd a(poller), b(poller);
  EXPECT_TRUE(a.SendToNow(std::string(512, 'm'), b.address()));
  EXPECT_TRUE(a.SendTo("queued", b.address()));
  ASSERT_TRUE(PumpUntil(poller, [&] { return b.datagrams.size() == 2; }));
  EXPECT_EQ(b.datagrams[0], std::string(512, 'm'));
  EXPECT_EQ(b.datagrams[1], "queued");
  EXPECT_EQ(b.senders[0], a.address());
  EXPECT_EQ(a.results, std::vector<bool>{true});
  // One byte more is a receive error: the socket is closed, OnError.
  EXPECT_TRUE(a.SendToNow(std::string(513, 'x'), b.address()));
  ASSERT_TRUE(PumpUntil(poller, [&] { return b.errors > 0; }));
  EXPECT_EQ(b.errors, 1);
  EXPECT_FALSE(b.HasSocket());
  EXPECT_EQ(b.datagrams.size(), 2u);
}

class RawEnd : public BasicTcpHandle {
 public:
  explicit RawEnd(NetPoller& poller) : BasicTcpHandle(poller) { poller.Register(this); }
  void OnPacket(std::string&& m) override { received += m.size(); }
  std::uint64_t received = 0;
};

TEST(BasicNet, ReadQuotaOf1024BytesPerSecondAllows2048PerWindow) {
  std::uint32_t clock = 20000;  // a window boundary
  NetPoller poller([&] { return clock; });
  pn::Socket listener = pn::ListenTcp(Address{pn::kLoopbackIpv4, 0});
  RawEnd reader(poller);
  BandwidthLimiter limiter(1024);
  reader.AddReadLimiter(&limiter);
  pn::Socket peer;
  {
    pn::Socket a = pn::ConnectTcp(*listener.LocalAddress(), 5000);
    peer = pn::AcceptWithin(listener, 5000);
    ASSERT_TRUE(reader.Attach(std::move(a)));
  }
  ASSERT_TRUE(pn::SendAll(peer, std::string(10000, 'z'), 5000));
  // However many turns run, one window carries 2048 bytes.
  ASSERT_TRUE(PumpUntil(poller, [&] { return reader.received >= 2048; }));
  for (int i = 0; i < 200; ++i) {
    poller.Poll();
    clock += 9;  // stays inside the window 20000..21999
  }
  EXPECT_EQ(reader.received, 2048u);
  clock = 22000;
  ASSERT_TRUE(PumpUntil(poller, [&] { return reader.received == 4096; }));
  for (int i = 0; i < 50; ++i) poller.Poll();
  EXPECT_EQ(reader.received, 4096u);
  EXPECT_EQ(limiter.MeasuredRate(22000), 1024u);
  // The service's own receive limiter counted the same bytes.
  EXPECT_EQ(poller.receive_limiter().MeasuredRate(22001), 1024u);
}

TEST(BasicNet, QueuedMessageWithoutWriteTurnsFailsAtTheDeadline) {
  std::uint32_t clock = 1000;
  NetPoller poller([&] { return clock; });
  Listener listener(poller);
  PacketEnd client(poller);
  ASSERT_TRUE(client.Connect(listener.address()));
  ASSERT_TRUE(PumpUntil(poller, [&] { return !client.connects.empty(); }));
  BandwidthLimiter closed(0);  // no write quota at all
  client.AddWriteLimiter(&closed);
  client.SetTimeout(500);
  ASSERT_TRUE(client.Send("stuck", 42));
  clock = 1500;  // at the deadline, not past it
  for (int i = 0; i < 5; ++i) poller.Poll();
  EXPECT_TRUE(client.sent.empty());
  clock = 1501;
  poller.Poll();
  ASSERT_EQ(client.sent.size(), 1u);
  EXPECT_EQ(client.sent[0], std::make_pair(false, 42u));
  EXPECT_EQ(client.state(), kConnected);  // the owner decides
}

TEST(BasicNet, RegisterRefusesTheSameHandleTwice) {
  NetPoller poller;
  RawEnd a(poller);
  EXPECT_FALSE(poller.Register(&a));
  EXPECT_EQ(poller.size(), 1u);
}

}  // namespace
}  // namespace zelt::basicnet
