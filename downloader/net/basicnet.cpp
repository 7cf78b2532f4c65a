#include "downloader/net/basicnet.h"

#include <algorithm>
#include <cassert>

#include "downloader/net/net_limits.h"
#include "platform/clock.h"

namespace zelt::basicnet {

namespace pn = platform::net;

#ifdef NDEBUG
#define HANDLE_INVARIANT() ((void)0)
#else
#define HANDLE_INVARIANT() check_invariant()
#endif

// ---------------------------------------------------------------- handle

BasicNetHandle::~BasicNetHandle() { poller_.Unregister(this); }

void BasicNetHandle::Close() {
  socket_.Close();
  state_ = kClosed;
  has_deadline_ = false;
}

void BasicNetHandle::SetQueueLimit(std::uint32_t bytes) { queue_limit_ = bytes; }

std::uint64_t BasicNetHandle::ReadAllowance(std::uint32_t now) {
  std::uint64_t allowance = UINT64_MAX;
  for (BandwidthLimiter* l : read_chain_) allowance = std::min(allowance, l->Remaining(now));
  return allowance;
}

std::uint64_t BasicNetHandle::WriteAllowance(std::uint32_t now) {
  std::uint64_t allowance = UINT64_MAX;
  for (BandwidthLimiter* l : write_chain_) allowance = std::min(allowance, l->Remaining(now));
  return allowance;
}

void BasicNetHandle::ConsumeRead(std::uint64_t bytes, std::uint32_t now) {
  for (BandwidthLimiter* l : read_chain_) l->Consume(bytes, now);
}

void BasicNetHandle::ConsumeWrite(std::uint64_t bytes, std::uint32_t now) {
  for (BandwidthLimiter* l : write_chain_) l->Consume(bytes, now);
}

void BasicNetHandle::RenewDeadline(std::uint32_t now) {
  if (timeout_ms_ == kNoLimit) {
    has_deadline_ = false;
    return;
  }
  has_deadline_ = true;
  deadline_ = now > UINT32_MAX - timeout_ms_ ? UINT32_MAX : now + timeout_ms_;
}

// ---------------------------------------------------------------- TCP

bool BasicTcpHandle::Listen(std::uint16_t port, std::uint32_t ip, int backlog) {
  Close();
  queue_.clear();
  queued_bytes_ = 0;
  pn::Socket s = pn::ListenTcp(Address{ip, port}, backlog);
  if (!s.IsOpen() || !s.SetNonBlocking(true)) return false;
  socket_ = std::move(s);
  state_ = kListening;
  return true;
}

bool BasicTcpHandle::Connect(const Address& to) {
  Close();
  queue_.clear();
  queued_bytes_ = 0;
  reset_ = false;
  pn::Socket s;
  if (!s.OpenTcp() || !s.SetNonBlocking(true)) return false;
  remote_ = to;
  auto result = s.Connect(to);
  if (result == pn::Socket::ConnectResult::Failed) return false;
  socket_ = std::move(s);
  state_ = kConnecting;
  RenewDeadline(poller_.Now());
  return true;
}

bool BasicTcpHandle::Attach(pn::Socket socket) {
  Close();
  queue_.clear();
  queued_bytes_ = 0;
  if (!socket.IsOpen() || !socket.SetNonBlocking(true)) return false;
  if (auto peer = socket.PeerAddress()) remote_ = *peer;
  socket_ = std::move(socket);
  state_ = kConnected;
  return true;
}

void BasicTcpHandle::check_invariant() const {
  std::uint64_t sum = 0;
  for (const Queued& q : queue_) {
    assert(q.sent <= q.bytes.size());
    sum += q.size;
  }
  assert(sum == queued_bytes_);
  assert(!reset_ || state_ == kClosed);
  assert((state_ == kClosed) == !socket_.IsOpen());
}

bool BasicTcpHandle::Send(std::string_view message, std::uint32_t tag) {
  HANDLE_INVARIANT();
  if (state_ != kConnected || message.empty()) return false;
  if (queue_limit_ != kNoLimit && queued_bytes_ + message.size() >= queue_limit_) return false;
  if (message.size() > UINT32_MAX - kFrameHeaderBytes) return false;
  Queued q;
  q.bytes = Wrap(message);
  q.size = static_cast<std::uint32_t>(message.size());
  q.tag = tag;
  queued_bytes_ += q.size;
  queue_.push_back(std::move(q));
  // A queue that never gets a write turn (no quota, a peer that does not
  // read) must still time out.
  if (!has_deadline_) RenewDeadline(poller_.Now());
  return true;
}

std::optional<std::uint16_t> BasicTcpHandle::LocalPort() const {
  auto a = socket_.LocalAddress();
  if (!a) return std::nullopt;
  return a->port;
}

bool BasicTcpHandle::WantRead() {
  if (state_ == kListening) return true;
  return state_ == kConnected && ReadAllowance(poller_.Now()) > 0;
}

bool BasicTcpHandle::WantWrite() {
  if (state_ == kConnecting) return true;
  return state_ == kConnected && !queue_.empty() && WriteAllowance(poller_.Now()) > 0;
}

void BasicTcpHandle::CloseAndReport() {
  Close();
  OnClose();
}

bool BasicTcpHandle::TakeBytes(const char* data, std::size_t size) {
  OnPacket(std::string(data, size));
  return state_ == kConnected;
}

void BasicTcpHandle::OnReadable() {
  if (!socket_.IsOpen()) return;
  if (state_ == kListening) {
    for (;;) {
      Address peer;
      pn::Socket accepted = socket_.Accept(&peer);
      if (!accepted.IsOpen()) break;
      OnAccept(std::move(accepted), peer);
      if (!socket_.IsOpen() || state_ != kListening) break;
    }
    return;
  }
  if (state_ != kConnected) return;
  const std::uint32_t now = poller_.Now();
  std::uint64_t allowance = ReadAllowance(now);
  char buffer[16384];
  while (allowance > 0 && socket_.IsOpen() && state_ == kConnected) {
    std::size_t want = std::min<std::uint64_t>({sizeof buffer, allowance, ReadWanted()});
    if (want == 0) want = 1;
    std::int64_t n = socket_.Recv(buffer, want);
    if (n < 0 && pn::LastError() == pn::kWSAEWOULDBLOCK) return;
    if (n <= 0) {
      CloseAndReport();
      return;
    }
    ConsumeRead(static_cast<std::uint64_t>(n), now);
    allowance -= static_cast<std::uint64_t>(n);
    if (!TakeBytes(buffer, static_cast<std::size_t>(n))) return;
  }
}

void BasicTcpHandle::OnWritable() {
  HANDLE_INVARIANT();
  if (!socket_.IsOpen()) return;
  const std::uint32_t now = poller_.Now();
  if (state_ == kConnecting) {
    if (socket_.PendingError() == 0) {
      state_ = kConnected;
      has_deadline_ = false;
      OnConnect(true);
    } else {
      Close();
      OnConnect(false);
    }
    return;
  }
  if (state_ != kConnected) return;
  RenewDeadline(now);
  std::uint64_t allowance = WriteAllowance(now);
  while (!queue_.empty() && allowance > 0 && socket_.IsOpen() && state_ == kConnected) {
    Queued& q = queue_.front();
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(q.bytes.size() - q.sent, allowance));
    std::int64_t n = socket_.Send(q.bytes.data() + q.sent, want);
    if (n < 0 && pn::LastError() == pn::kWSAEWOULDBLOCK) return;
    if (n <= 0) {
      OnError();
      return;
    }
    ConsumeWrite(static_cast<std::uint64_t>(n), now);
    allowance -= static_cast<std::uint64_t>(n);
    q.sent += static_cast<std::size_t>(n);
    if (q.sent == q.bytes.size()) {
      std::uint32_t tag = q.tag;
      queued_bytes_ -= q.size;
      queue_.pop_front();
      if (queue_.empty()) has_deadline_ = false;
      OnSendResult(true, tag);
    }
  }
}

void BasicTcpHandle::OnException() {
  if (!socket_.IsOpen()) return;
  if (state_ == kConnecting) {
    Close();
    OnConnect(false);
  } else if (state_ == kConnected) {
    CloseAndReport();
  } else {
    OnError();
  }
}

void BasicTcpHandle::OnTimer(std::uint32_t now) {
  if (reset_) {
    reset_ = false;
    OnConnect(false);
    return;
  }
  if (state_ == kConnecting && PastDeadline(now)) {
    has_deadline_ = false;
    Close();
    OnConnect(false);
  } else if (state_ == kConnected && PastDeadline(now) && !queue_.empty()) {
    has_deadline_ = false;
    OnSendResult(false, queue_.front().tag);
  }
}

// ---------------------------------------------------------- TCP packets

BasicTcpPacketHandle::BasicTcpPacketHandle(NetPoller& poller)
    : BasicTcpHandle(poller), decoder_(kDefaultFrameLimit) {}

std::size_t BasicTcpPacketHandle::ReadWanted() const { return std::max<std::size_t>(decoder_.Wanted(), 1); }

bool BasicTcpPacketHandle::TakeBytes(const char* data, std::size_t size) {
  decoder_.set_limit(queue_limit_ == kNoLimit ? kDefaultFrameLimit : queue_limit_);
  bool alive = true;
  bool ok = decoder_.Feed(data, size, [&](std::string&& message) {
    if (!alive) return;
    OnPacket(std::move(message));
    if (state_ != kConnected) alive = false;
  });
  if (!ok) {
    OnError();
    return false;
  }
  return alive;
}

// ---------------------------------------------------------------- UDP

bool BasicUdpHandle::Bind(std::uint16_t port, std::uint32_t ip) {
  Close();
  queue_.clear();
  pn::Socket s;
  if (!s.OpenUdp() || !s.SetNonBlocking(true) || !s.Bind(Address{ip, port})) return false;
  socket_ = std::move(s);
  state_ = kConnected;
  return true;
}

std::optional<std::uint16_t> BasicUdpHandle::LocalPort() const {
  auto a = socket_.LocalAddress();
  if (!a) return std::nullopt;
  return a->port;
}

bool BasicUdpHandle::SendToNow(std::string_view datagram, const Address& to) {
  if (!socket_.IsOpen()) return false;
  std::int64_t n = socket_.SendTo(datagram.data(), datagram.size(), to);
  if (n > 0) ConsumeWrite(static_cast<std::uint64_t>(n), poller_.Now());
  return n == static_cast<std::int64_t>(datagram.size());
}

bool BasicUdpHandle::SendTo(std::string_view datagram, const Address& to) {
  if (!socket_.IsOpen() || datagram.empty()) return false;
  if (queue_limit_ != kNoLimit && queued_bytes_ + datagram.size() >= queue_limit_) return false;
  queued_bytes_ += datagram.size();
  queue_.push_back({std::string(datagram), to});
  return true;
}

bool BasicUdpHandle::WantRead() { return socket_.IsOpen() && ReadAllowance(poller_.Now()) > 0; }

bool BasicUdpHandle::WantWrite() {
  return socket_.IsOpen() && !queue_.empty() && WriteAllowance(poller_.Now()) > 0;
}

void BasicUdpHandle::Fail() {
  queue_.clear();
  queued_bytes_ = 0;
  Close();
  OnError();
}

void BasicUdpHandle::OnReadable() {
  const std::uint32_t now = poller_.Now();
  // One byte more than a datagram may carry tells a too long one apart.
  char buffer[kMaxDatagramBytes + 1];
  while (socket_.IsOpen() && ReadAllowance(now) > 0) {
    Address from;
    std::int64_t n = socket_.RecvFrom(buffer, sizeof buffer, &from);
    if (n < 0 && pn::LastError() == pn::kWSAEWOULDBLOCK) return;
    if (n <= 0 || static_cast<std::size_t>(n) > kMaxDatagramBytes) {
      Fail();
      return;
    }
    ConsumeRead(static_cast<std::uint64_t>(n), now);
    OnRecv(buffer, static_cast<std::size_t>(n), from);
  }
}

void BasicUdpHandle::OnWritable() {
  const std::uint32_t now = poller_.Now();
  while (socket_.IsOpen() && !queue_.empty() && WriteAllowance(now) > 0) {
    Datagram d = std::move(queue_.front());
    queue_.pop_front();
    queued_bytes_ -= d.bytes.size();
    std::int64_t n = socket_.SendTo(d.bytes.data(), d.bytes.size(), d.to);
    if (n < 0 && pn::LastError() == pn::kWSAEWOULDBLOCK) {
      queued_bytes_ += d.bytes.size();
      queue_.push_front(std::move(d));
      return;
    }
    if (n > 0) ConsumeWrite(static_cast<std::uint64_t>(n), now);
    OnSendToResult(n == static_cast<std::int64_t>(d.bytes.size()));
  }
}

void BasicUdpHandle::OnException() {
  if (socket_.IsOpen()) OnError();
}

// ---------------------------------------------------------------- poller

NetPoller::NetPoller(TickSource tick) : tick_(std::move(tick)) {
  if (!tick_) tick_ = [] { return platform::clock::TickCount(); };
}

NetPoller::~NetPoller() = default;

bool NetPoller::Register(BasicNetHandle* handle) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (handle == nullptr) return false;
  for (BasicNetHandle* h : handles_) {
    if (h == handle) return false;
    if (handle->HasSocket() && h->HasSocket() && h->handle() == handle->handle()) return false;
  }
  handles_.push_back(handle);
  handle->AddReadLimiter(&receive_);
  handle->AddWriteLimiter(&send_);
  ++generation_;
  return true;
}

void NetPoller::Unregister(BasicNetHandle* handle) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = std::find(handles_.begin(), handles_.end(), handle);
  if (it == handles_.end()) return;
  handles_.erase(it);
  ++generation_;
}

bool NetPoller::IsRegistered(BasicNetHandle* handle) const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return std::find(handles_.begin(), handles_.end(), handle) != handles_.end();
}

void NetPoller::Poll() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::uint32_t now = Now();
  std::vector<BasicNetHandle*> turn = handles_;
  const std::uint64_t turn_generation = generation_;
  std::vector<pn::PollEntry> entries;
  std::vector<int> entry_of(turn.size(), -1);
  entries.reserve(std::min(turn.size(), kMaxSelectSockets));
  // At most kMaxSelectSockets per set; the start moves each turn, so the
  // handles left out of one turn are served in the next ones.
  std::size_t reads = 0, writes = 0, errors = 0;
  const std::size_t n = turn.size();
  const std::size_t first = n == 0 ? 0 : rotate_ % n;
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t i = (first + k) % n;
    BasicNetHandle* h = turn[i];
    if (!h->HasSocket()) continue;
    pn::PollEntry e{h->handle(), 0, 0};
    if (reads < kMaxSelectSockets && h->WantRead()) {
      e.want |= pn::kReadable;
      ++reads;
    }
    if (writes < kMaxSelectSockets && h->WantWrite()) {
      e.want |= pn::kWritable;
      ++writes;
    }
    bool error_set = errors < kMaxSelectSockets && h->WantError();
    if (error_set) ++errors;
    if (e.want == 0 && !error_set) continue;
    entry_of[i] = static_cast<int>(entries.size());
    entries.push_back(e);
  }
  if (n > 0) rotate_ = (first + 1) % n;
  if (!entries.empty()) pn::Poll(std::span<pn::PollEntry>(entries), 0);

  std::uint64_t seen = turn_generation;
  for (std::size_t i = 0; i < turn.size(); ++i) {
    BasicNetHandle* h = turn[i];
    if (seen != generation_) {
      // The list changed: the handle may be gone.
      if (std::find(handles_.begin(), handles_.end(), h) == handles_.end()) continue;
      seen = generation_;
    }
    unsigned ready = entry_of[i] >= 0 ? entries[static_cast<std::size_t>(entry_of[i])].ready : 0;
    bool skipped = false;
    if (ready & pn::kReadable) {
      h->OnReadable();
      if (seen != generation_) skipped = true;
    }
    if (!skipped && (ready & pn::kWritable)) {
      h->OnWritable();
      if (seen != generation_) skipped = true;
    }
    if (!skipped && (ready & pn::kHangUp)) {
      h->OnException();
      if (seen != generation_) skipped = true;
    }
    if (!skipped) h->OnTimer(now);
  }
}

std::size_t NetPoller::ResetConnecting(const std::vector<Address>* only) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::size_t count = 0;
  for (BasicNetHandle* h : handles_) {
    auto* tcp = dynamic_cast<BasicTcpHandle*>(h);
    if (tcp == nullptr || tcp->state() != kConnecting) continue;
    if (only != nullptr && std::find(only->begin(), only->end(), tcp->remote()) == only->end()) continue;
    tcp->Close();
    static_cast<BasicNetHandle*>(tcp)->OnSocketReset();
    ++count;
  }
  return count;
}

}  // namespace zelt::basicnet
