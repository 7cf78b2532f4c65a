#include "platform/net.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace net = platform::net;

net::Address Loopback(std::uint16_t port) { return net::Address{net::kLoopbackIpv4, port}; }

// A listener on a free loopback port.
struct Listener {
  net::Socket socket = net::ListenTcp(Loopback(0));
  std::uint16_t port() const { return socket.LocalAddress()->port; }
};

// A loopback port nobody listens on (it was free a moment ago).
std::uint16_t ClosedPort() {
  Listener l;
  return l.port();
}

TEST(NetErrorCodes, ErrnoMapsToWindowsSocketsCodes) {
  struct Case {
    int err;
    int code;
  } cases[] = {
      {0, 0},
      {EINTR, net::kWSAEINTR},
      {EINVAL, net::kWSAEINVAL},
      {EMFILE, net::kWSAEMFILE},
      {ENFILE, net::kWSAEMFILE},
      {EAGAIN, net::kWSAEWOULDBLOCK},
      {EWOULDBLOCK, net::kWSAEWOULDBLOCK},
      {EINPROGRESS, net::kWSAEINPROGRESS},
      {ENOTSOCK, net::kWSAENOTSOCK},
      {EBADF, net::kWSAENOTSOCK},
      {EPROTOTYPE, net::kWSAEPROTOTYPE},
      {EPROTONOSUPPORT, net::kWSAEPROTONOSUPPORT},
      {EAFNOSUPPORT, net::kWSAEAFNOSUPPORT},
      {EADDRINUSE, net::kWSAEADDRINUSE},
      {EADDRNOTAVAIL, net::kWSAEADDRNOTAVAIL},
      {ENETDOWN, net::kWSAENETDOWN},
      {ENETUNREACH, net::kWSAENETUNREACH},
      {ECONNABORTED, net::kWSAECONNABORTED},
      {ECONNRESET, net::kWSAECONNRESET},
      {EPIPE, net::kWSAECONNRESET},
      {ENOBUFS, net::kWSAENOBUFS},
      {ENOTCONN, net::kWSAENOTCONN},
      {ETIMEDOUT, net::kWSAETIMEDOUT},
      {ECONNREFUSED, net::kWSAECONNREFUSED},
      {EHOSTUNREACH, net::kWSAEHOSTUNREACH},
      {ENOENT, ENOENT},  // no counterpart: passed on unchanged
  };
  for (const Case& c : cases) EXPECT_EQ(net::ErrorFromErrno(c.err), c.code) << "errno " << c.err;
  EXPECT_EQ(net::kWSAETIMEDOUT, 10060);
  EXPECT_EQ(net::kWSAECONNREFUSED, 10061);
  EXPECT_EQ(net::kWSAEWOULDBLOCK, 10035);
  EXPECT_EQ(net::kWSAHOST_NOT_FOUND, 11001);
}

TEST(NetAddress, ParsesNumericAddressesLikeInetAddr) {
  struct Case {
    const char* text;
    bool ok;
    std::uint32_t ip;
  } cases[] = {
      {"127.0.0.1", true, 0x7F000001},
      {"127.1", true, 0x7F000001},
      {"198.51.100.3", true, 0xC6336403},  // parsed only; nothing is sent
      {"255.255.255.255", true, 0xFFFFFFFF},
      {"0177.0.0.1", true, 0x7F000001},  // octal part
      {"", false, 0},
      {"1.2.3.4.5", false, 0},
      {"300.1.1.1", false, 0},
      {"1..2", false, 0},
      {"localhost", false, 0},
      {"127.0.0.1 ", false, 0},
  };
  for (const Case& c : cases) {
    auto ip = net::ParseIpv4(c.text);
    EXPECT_EQ(ip.has_value(), c.ok) << c.text;
    if (ip && c.ok) {
      EXPECT_EQ(*ip, c.ip) << c.text;
    }
  }
  EXPECT_EQ((net::Address{0x7F000001, 8080}.ToString()), "127.0.0.1:8080");
}

TEST(NetAddress, ParsesPortsStrictly) {
  struct Case {
    const char* text;
    int port;  // -1: refused
  } cases[] = {{"80", 80},   {"65535", 65535}, {"1", 1},   {"0", -1},     {"65536", -1},
               {"", -1},     {"80a", -1},      {"-80", -1}, {" 80", -1},  {"123456", -1},
               {"00080", 80}};
  for (const Case& c : cases) {
    auto port = net::ParsePort(c.text);
    if (c.port < 0) {
      EXPECT_FALSE(port.has_value()) << c.text;
    } else {
      ASSERT_TRUE(port.has_value()) << c.text;
      EXPECT_EQ(*port, c.port) << c.text;
    }
  }
}

TEST(NetAddress, ResolvesLocalNamesAndNumbers) {
  // "localhost" comes from the hosts file; no name server is asked.
  auto ip = net::ResolveIpv4("localhost");
  ASSERT_TRUE(ip.has_value()) << net::LastError();
  EXPECT_EQ(*ip >> 24, 127u);
  EXPECT_EQ(net::ResolveIpv4("127.0.0.1"), std::optional<std::uint32_t>(0x7F000001));

  net::SetLastError(0);
  EXPECT_FALSE(net::ResolveIpv4("").has_value());
  EXPECT_EQ(net::LastError(), net::kWSAHOST_NOT_FOUND);
  net::SetLastError(0);
  EXPECT_FALSE(net::ResolveIpv4(std::string(net::kMaxHostName + 1, 'a')).has_value());
  EXPECT_EQ(net::LastError(), net::kWSAHOST_NOT_FOUND);
}

TEST(NetTcp, ConnectAcceptSendReceiveAndOrderlyClose) {
  Listener listener;
  ASSERT_TRUE(listener.socket.IsOpen());
  EXPECT_EQ(listener.socket.LocalAddress()->ip, net::kLoopbackIpv4);

  net::Socket client = net::ConnectTcp(Loopback(listener.port()), 2000);
  ASSERT_TRUE(client.IsOpen()) << net::LastError();
  net::Address peer;
  net::Socket server = net::AcceptWithin(listener.socket, 2000, &peer);
  ASSERT_TRUE(server.IsOpen()) << net::LastError();
  EXPECT_EQ(peer, *client.LocalAddress());
  EXPECT_EQ(*server.PeerAddress(), *client.LocalAddress());

  ASSERT_TRUE(net::SendAll(client, "hello server", 2000));
  char buffer[64];
  std::string got;
  while (got.size() < 12) {
    std::int64_t n = net::RecvWithin(server, buffer, sizeof buffer, 2000);
    ASSERT_GT(n, 0);
    got.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, "hello server");

  ASSERT_TRUE(server.ShutdownWrite());
  EXPECT_EQ(net::RecvWithin(client, buffer, sizeof buffer, 2000), 0);  // orderly end
}

TEST(NetTcp, RefusedConnectionReportsConnectionRefused) {
  const std::uint16_t port = ClosedPort();
  net::SetLastError(0);
  net::Socket blocking = net::ConnectTcp(Loopback(port), 2000);
  EXPECT_FALSE(blocking.IsOpen());
  EXPECT_EQ(net::LastError(), net::kWSAECONNREFUSED);

  // The non-blocking way: in progress (or failed at once), then the outcome.
  net::Socket socket;
  ASSERT_TRUE(socket.OpenTcp());
  ASSERT_TRUE(socket.SetNonBlocking(true));
  net::SetLastError(0);
  auto result = socket.Connect(Loopback(port));
  ASSERT_NE(result, net::Socket::ConnectResult::Connected);
  if (result == net::Socket::ConnectResult::InProgress) {
    EXPECT_EQ(net::LastError(), net::kWSAEWOULDBLOCK);
    ASSERT_GT(socket.Wait(net::kWritable, 2000000), 0);
    EXPECT_EQ(socket.PendingError(), net::kWSAECONNREFUSED);
  }
  EXPECT_EQ(net::LastError(), net::kWSAECONNREFUSED);
}

TEST(NetTcp, WaitsRunOutWithTimedOut) {
  Listener listener;
  net::Socket client = net::ConnectTcp(Loopback(listener.port()), 2000);
  ASSERT_TRUE(client.IsOpen());
  net::Socket server = net::AcceptWithin(listener.socket, 2000);
  ASSERT_TRUE(server.IsOpen());

  net::SetLastError(0);
  EXPECT_EQ(client.Wait(net::kReadable, 20000), 0);
  EXPECT_EQ(net::LastError(), net::kWSAETIMEDOUT);

  char byte;
  net::SetLastError(0);
  EXPECT_EQ(net::RecvWithin(client, &byte, 1, 20), -1);
  EXPECT_EQ(net::LastError(), net::kWSAETIMEDOUT);

  net::SetLastError(0);
  EXPECT_FALSE(net::AcceptWithin(listener.socket, 20).IsOpen());
  EXPECT_EQ(net::LastError(), net::kWSAETIMEDOUT);

  // A zero wait only looks.
  EXPECT_EQ(client.Wait(net::kWritable, 0), static_cast<int>(net::kWritable));
}

TEST(NetTcp, NonBlockingReceiveWithNothingWaitingWouldBlock) {
  Listener listener;
  net::Socket client = net::ConnectTcp(Loopback(listener.port()), 2000);
  net::Socket server = net::AcceptWithin(listener.socket, 2000);
  ASSERT_TRUE(client.IsOpen() && server.IsOpen());
  ASSERT_TRUE(client.SetNonBlocking(true));
  char buffer[16];
  net::SetLastError(0);
  EXPECT_EQ(client.Recv(buffer, sizeof buffer), -1);
  EXPECT_EQ(net::LastError(), net::kWSAEWOULDBLOCK);

  ASSERT_TRUE(listener.socket.SetNonBlocking(true));
  net::SetLastError(0);
  EXPECT_FALSE(listener.socket.Accept().IsOpen());
  EXPECT_EQ(net::LastError(), net::kWSAEWOULDBLOCK);
}

TEST(NetTcp, SendAllMovesLargeDataThroughANonBlockingSocket) {
  Listener listener;
  net::Socket client = net::ConnectTcp(Loopback(listener.port()), 2000);
  net::Socket server = net::AcceptWithin(listener.socket, 2000);
  ASSERT_TRUE(client.IsOpen() && server.IsOpen());
  ASSERT_TRUE(client.SetNonBlocking(true));

  std::string data(8 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  std::string got;
  std::thread reader([&] {
    std::vector<char> buffer(65536);
    for (;;) {
      std::int64_t n = net::RecvWithin(server, buffer.data(), buffer.size(), 10000);
      if (n <= 0) break;
      got.append(buffer.data(), static_cast<std::size_t>(n));
    }
  });
  EXPECT_TRUE(net::SendAll(client, data, 10000));
  client.ShutdownWrite();
  reader.join();
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
}

TEST(NetTcp, ResetConnectionIsReportedAsConnectionReset) {
  Listener listener;
  net::Socket client = net::ConnectTcp(Loopback(listener.port()), 2000);
  net::Socket server = net::AcceptWithin(listener.socket, 2000);
  ASSERT_TRUE(client.IsOpen() && server.IsOpen());
  ASSERT_TRUE(server.SetAbortiveClose());
  server.Close();
  char buffer[16];
  net::SetLastError(0);
  EXPECT_EQ(net::RecvWithin(client, buffer, sizeof buffer, 2000), -1);
  EXPECT_EQ(net::LastError(), net::kWSAECONNRESET);
  // Sending on the broken connection fails without a signal ending the test.
  net::SetLastError(0);
  EXPECT_EQ(client.Send("x", 1), -1);
  EXPECT_NE(net::LastError(), 0);
}

TEST(NetTcp, SecondListenerOnTheSamePortIsRefused) {
  Listener first;
  net::SetLastError(0);
  net::Socket second = net::ListenTcp(Loopback(first.port()));
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(net::LastError(), net::kWSAEADDRINUSE);
}

TEST(NetPoll, ReportsWhichSocketsAreReady) {
  Listener listener;
  net::Socket a = net::ConnectTcp(Loopback(listener.port()), 2000);
  net::Socket a_server = net::AcceptWithin(listener.socket, 2000);
  net::Socket b = net::ConnectTcp(Loopback(listener.port()), 2000);
  net::Socket b_server = net::AcceptWithin(listener.socket, 2000);
  ASSERT_TRUE(a.IsOpen() && a_server.IsOpen() && b.IsOpen() && b_server.IsOpen());

  ASSERT_TRUE(net::SendAll(b_server, "x", 2000));
  net::PollEntry entries[] = {{a.handle(), net::kReadable, 0}, {b.handle(), net::kReadable, 0}};
  ASSERT_EQ(net::Poll(entries, 2000000), 1);
  EXPECT_EQ(entries[0].ready, 0u);
  EXPECT_EQ(entries[1].ready & net::kReadable, net::kReadable);

  // A peer that went away makes the socket readable (the read then gives 0).
  a_server.Close();
  net::PollEntry closed[] = {{a.handle(), net::kReadable, 0}};
  ASSERT_EQ(net::Poll(closed, 2000000), 1);
  char byte;
  EXPECT_EQ(a.Recv(&byte, 1), 0);

  net::SetLastError(0);
  net::PollEntry bad[] = {{net::kInvalidHandle + 1000000, net::kReadable, 0}};
  EXPECT_EQ(net::Poll(bad, 0), -1);
  EXPECT_EQ(net::LastError(), net::kWSAENOTSOCK);
}

TEST(NetUdp, DatagramsTravelOverLoopback) {
  net::Socket receiver;
  ASSERT_TRUE(receiver.OpenUdp());
  ASSERT_TRUE(receiver.Bind(Loopback(0)));
  const net::Address to = *receiver.LocalAddress();

  net::Socket sender;
  ASSERT_TRUE(sender.OpenUdp());
  ASSERT_TRUE(sender.Bind(Loopback(0)));
  ASSERT_EQ(sender.SendTo("ping", 4, to), 4);

  ASSERT_GT(receiver.Wait(net::kReadable, 2000000), 0);
  char buffer[16];
  net::Address from;
  ASSERT_EQ(receiver.RecvFrom(buffer, sizeof buffer, &from), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  EXPECT_EQ(from, *sender.LocalAddress());
}

TEST(NetSocket, OwnershipMovesAndClosesOnce) {
  net::Socket a;
  ASSERT_TRUE(a.OpenTcp());
  const net::Handle h = a.handle();
  net::Socket b = std::move(a);
  EXPECT_FALSE(a.IsOpen());
  EXPECT_EQ(b.handle(), h);
  net::Socket c;
  c = std::move(b);
  EXPECT_EQ(c.handle(), h);
  c.Close();
  EXPECT_FALSE(c.IsOpen());
  c.Close();  // a second close does nothing
}

}  // namespace
