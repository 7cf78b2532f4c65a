// Non-blocking socket handles served by one poller: TCP streams, TCP with
// framed messages, and UDP. The poller looks at every registered handle once
// per turn (a zero time-out wait), moves bytes within the bandwidth quotas of
// the handles' limiter chains, and calls the owners back through the virtual
// operations. Everything runs under the poller's lock: the turn and its
// callbacks on the driver thread, and calls of owners from other threads,
// which take the lock first. Callbacks run with the lock held.
//
// A handle never throws; every failure ends in OnError, OnClose,
// OnConnect(false), OnSendResult(false) or OnSendToResult(false).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "downloader/net/bandwidth_limiter.h"
#include "downloader/net/frame_codec.h"
#include "platform/net.h"

namespace zelt::basicnet {

using platform::net::Address;

class NetPoller;

enum HandleState : int { kClosed = 0, kConnecting = 1, kListening = 2, kConnected = 3 };

inline constexpr std::uint32_t kNoLimit = 0xFFFFFFFFu;

class BasicNetHandle {
 public:
  explicit BasicNetHandle(NetPoller& poller) : poller_(poller) {}
  // Leaves the poller's list.
  virtual ~BasicNetHandle();
  BasicNetHandle(const BasicNetHandle&) = delete;
  BasicNetHandle& operator=(const BasicNetHandle&) = delete;

  // Socket error outside connect and close; the owner drops the handle.
  virtual void OnError() {}
  virtual bool WantRead() = 0;
  virtual bool WantWrite() = 0;
  virtual bool WantError() { return true; }
  virtual void OnReadable() {}
  virtual void OnWritable() {}
  virtual void OnException() {}
  virtual void OnTimer(std::uint32_t /*now*/) {}

  void Close();
  int state() const { return state_; }
  bool HasSocket() const { return socket_.IsOpen(); }
  platform::net::Handle handle() const { return socket_.handle(); }

  // Queued bytes plus a new message may not reach the limit (kNoLimit: no
  // limit on sending; received frames are then bounded by kDefaultFrameLimit).
  void SetQueueLimit(std::uint32_t bytes);
  std::uint32_t queue_limit() const { return queue_limit_; }
  void SetTimeout(std::uint32_t ms) { timeout_ms_ = ms; }
  std::uint64_t queued_bytes() const { return queued_bytes_; }

  void AddReadLimiter(BandwidthLimiter* limiter) { read_chain_.push_back(limiter); }
  void AddWriteLimiter(BandwidthLimiter* limiter) { write_chain_.push_back(limiter); }
  // The smallest remaining quota of the chain (no limiter: unlimited).
  std::uint64_t ReadAllowance(std::uint32_t now);
  std::uint64_t WriteAllowance(std::uint32_t now);

  NetPoller& poller() { return poller_; }

 protected:
  friend class NetPoller;
  void ConsumeRead(std::uint64_t bytes, std::uint32_t now);
  void ConsumeWrite(std::uint64_t bytes, std::uint32_t now);
  // now + time-out, held at the largest tick value when it would wrap.
  void RenewDeadline(std::uint32_t now);
  bool PastDeadline(std::uint32_t now) const { return has_deadline_ && now > deadline_; }
  virtual void OnSocketReset() {}

  NetPoller& poller_;
  platform::net::Socket socket_;
  int state_ = kClosed;
  std::uint32_t queue_limit_ = kNoLimit;
  std::uint64_t queued_bytes_ = 0;
  std::uint32_t timeout_ms_ = kNoLimit;
  bool has_deadline_ = false;
  std::uint32_t deadline_ = 0;
  std::vector<BandwidthLimiter*> read_chain_, write_chain_;
};

// A TCP stream: listen and accept, connect, queued sends. Bytes read are
// handed to OnPacket as they come; the packet handle below frames them.
class BasicTcpHandle : public BasicNetHandle {
 public:
  explicit BasicTcpHandle(NetPoller& poller) : BasicNetHandle(poller) {}

  // Listens on ip:port (port 0: any; read it back with LocalPort()).
  bool Listen(std::uint16_t port, std::uint32_t ip = platform::net::kAnyIpv4, int backlog = 64);
  // Starts a non-blocking connect; the result comes through OnConnect.
  bool Connect(const Address& to);
  // Takes an accepted socket as a connected one.
  bool Attach(platform::net::Socket socket);
  // Queues a message; refused when not connected, when it is empty, or when
  // the queued bytes plus the message would reach the queue limit.
  bool Send(std::string_view message, std::uint32_t tag = 0);
  std::optional<std::uint16_t> LocalPort() const;
  const Address& remote() const { return remote_; }

  virtual void OnPacket(std::string&& /*message*/) {}
  virtual void OnAccept(platform::net::Socket /*socket*/, const Address& /*peer*/) {}
  virtual void OnConnect(bool /*ok*/) {}
  virtual void OnSendResult(bool /*ok*/, std::uint32_t /*tag*/) {}
  virtual void OnClose() {}

  bool WantRead() override;
  bool WantWrite() override;
  void OnReadable() override;
  void OnWritable() override;
  void OnException() override;
  void OnTimer(std::uint32_t now) override;

  // The queued count is the sum of the queued messages; a message is never
  // sent further than its bytes; only a connecting handle waits on a connect.
  void check_invariant() const;

 protected:
  // Bytes of one read of a connected socket (raw stream: one OnPacket).
  // False when the handle must stop reading (it was closed or failed).
  virtual bool TakeBytes(const char* data, std::size_t size);
  virtual std::string Wrap(std::string_view message) { return std::string(message); }
  // How many bytes the next read should ask for at most.
  virtual std::size_t ReadWanted() const { return 16384; }
  void OnSocketReset() override { reset_ = true; }
  void CloseAndReport();

  struct Queued {
    std::string bytes;  // as sent (framed)
    std::size_t sent = 0;
    std::uint32_t size = 0;  // message bytes counted in queued_bytes_
    std::uint32_t tag = 0;
  };
  std::deque<Queued> queue_;
  Address remote_;
  bool reset_ = false;  // closed by DelSysSentTcp while connecting
};

// TCP with framed messages: OnPacket receives whole messages; a rejected
// frame reports OnError.
class BasicTcpPacketHandle : public BasicTcpHandle {
 public:
  explicit BasicTcpPacketHandle(NetPoller& poller);

 protected:
  bool TakeBytes(const char* data, std::size_t size) override;
  std::string Wrap(std::string_view message) override { return EncodeFrame(message); }
  std::size_t ReadWanted() const override;

 private:
  FrameDecoder decoder_;
};

class BasicUdpHandle : public BasicNetHandle {
 public:
  explicit BasicUdpHandle(NetPoller& poller) : BasicNetHandle(poller) {}

  // Binds ip:port (all local addresses by default; port 0: any).
  bool Bind(std::uint16_t port, std::uint32_t ip = platform::net::kAnyIpv4);
  std::optional<std::uint16_t> LocalPort() const;
  // Sends at once; true when the whole datagram was taken.
  bool SendToNow(std::string_view datagram, const Address& to);
  // Queued; each result comes through OnSendToResult.
  bool SendTo(std::string_view datagram, const Address& to);

  virtual void OnRecv(const char* /*data*/, std::size_t /*size*/, const Address& /*from*/) {}
  virtual void OnSendToResult(bool /*ok*/) {}

  bool WantRead() override;
  bool WantWrite() override;
  void OnReadable() override;
  void OnWritable() override;
  void OnException() override;

 private:
  struct Datagram {
    std::string bytes;
    Address to;
  };
  void Fail();
  std::deque<Datagram> queue_;
};

// The poll list, the service's own limiters and the lock.
class NetPoller {
 public:
  using TickSource = std::function<std::uint32_t()>;
  explicit NetPoller(TickSource tick = {});
  ~NetPoller();

  // Adds the handle and chains the receive and send limiters to it; refused
  // for a handle, or a socket, already registered.
  bool Register(BasicNetHandle* handle);
  void Unregister(BasicNetHandle* handle);
  bool IsRegistered(BasicNetHandle* handle) const;

  // One turn: a zero time-out wait over every handle, then the callbacks.
  void Poll();

  std::recursive_mutex& mutex() { return mutex_; }
  BandwidthLimiter& receive_limiter() { return receive_; }
  BandwidthLimiter& send_limiter() { return send_; }
  std::uint32_t Now() const { return tick_(); }
  std::size_t size() const { return handles_.size(); }

  // Closes this process's connects still in progress (all of them, or those
  // whose remote address and port are listed); each handle then reports
  // OnConnect(false). Returns how many were closed.
  std::size_t ResetConnecting(const std::vector<Address>* only);

 private:
  TickSource tick_;
  mutable std::recursive_mutex mutex_;
  std::vector<BasicNetHandle*> handles_;
  std::uint64_t generation_ = 0;  // changes with the list
  std::size_t rotate_ = 0;        // first handle of the next turn's sets
  BandwidthLimiter receive_, send_;
};

}  // namespace zelt::basicnet
