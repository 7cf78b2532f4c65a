// Sockets: IPv4 TCP and UDP, with errors reported as Windows Sockets codes.
//
// Every failing call of this layer stores the Windows Sockets code of the
// failure as the thread's last error (LastError(), the WSAGetLastError of this
// layer); successful calls leave it alone. errno and resolver codes are
// mapped to those codes in one place (ErrorFromErrno, ErrorFromResolver), so
// the texts the programs show are keyed by the same numbers on every platform.
// A wait that runs out stores kWSAETIMEDOUT.
//
// Addresses are IPv4; a port of 0 asks the system for any free port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform::net {

// Windows Sockets error codes.
inline constexpr int kWSAEINTR = 10004;
inline constexpr int kWSAEBADF = 10009;
inline constexpr int kWSAEACCES = 10013;
inline constexpr int kWSAEFAULT = 10014;
inline constexpr int kWSAEINVAL = 10022;
inline constexpr int kWSAEMFILE = 10024;
inline constexpr int kWSAEWOULDBLOCK = 10035;
inline constexpr int kWSAEINPROGRESS = 10036;
inline constexpr int kWSAEALREADY = 10037;
inline constexpr int kWSAENOTSOCK = 10038;
inline constexpr int kWSAEDESTADDRREQ = 10039;
inline constexpr int kWSAEMSGSIZE = 10040;
inline constexpr int kWSAEPROTOTYPE = 10041;
inline constexpr int kWSAENOPROTOOPT = 10042;
inline constexpr int kWSAEPROTONOSUPPORT = 10043;
inline constexpr int kWSAESOCKTNOSUPPORT = 10044;
inline constexpr int kWSAEOPNOTSUPP = 10045;
inline constexpr int kWSAEPFNOSUPPORT = 10046;
inline constexpr int kWSAEAFNOSUPPORT = 10047;
inline constexpr int kWSAEADDRINUSE = 10048;
inline constexpr int kWSAEADDRNOTAVAIL = 10049;
inline constexpr int kWSAENETDOWN = 10050;
inline constexpr int kWSAENETUNREACH = 10051;
inline constexpr int kWSAENETRESET = 10052;
inline constexpr int kWSAECONNABORTED = 10053;
inline constexpr int kWSAECONNRESET = 10054;
inline constexpr int kWSAENOBUFS = 10055;
inline constexpr int kWSAEISCONN = 10056;
inline constexpr int kWSAENOTCONN = 10057;
inline constexpr int kWSAESHUTDOWN = 10058;
inline constexpr int kWSAETIMEDOUT = 10060;
inline constexpr int kWSAECONNREFUSED = 10061;
inline constexpr int kWSAELOOP = 10062;
inline constexpr int kWSAENAMETOOLONG = 10063;
inline constexpr int kWSAEHOSTDOWN = 10064;
inline constexpr int kWSAEHOSTUNREACH = 10065;
inline constexpr int kWSASYSNOTREADY = 10091;
inline constexpr int kWSAVERNOTSUPPORTED = 10092;
inline constexpr int kWSANOTINITIALISED = 10093;
inline constexpr int kWSAHOST_NOT_FOUND = 11001;
inline constexpr int kWSATRY_AGAIN = 11002;
inline constexpr int kWSANO_RECOVERY = 11003;
inline constexpr int kWSANO_DATA = 11004;

// The thread's last socket error (0 before the first failure).
int LastError();
void SetLastError(int code);

// The one mapping from errno values to Windows Sockets codes. An errno value
// without a counterpart is returned unchanged (it is below 10000, so it never
// collides with a Windows Sockets code).
int ErrorFromErrno(int errno_value);
// Maps a getaddrinfo result (EAI_*) to a Windows Sockets code; errno_value is
// used for EAI_SYSTEM.
int ErrorFromResolver(int eai_code, int errno_value);

inline constexpr std::uint32_t kLoopbackIpv4 = 0x7F000001;  // 127.0.0.1
inline constexpr std::uint32_t kAnyIpv4 = 0;

// An address of 127.0.0.0/8 (host byte order).
constexpr bool IsLoopbackIp(std::uint32_t ip) { return (ip >> 24) == 127; }

struct Address {
  std::uint32_t ip = kLoopbackIpv4;  // host byte order
  std::uint16_t port = 0;            // host byte order

  bool operator==(const Address&) const = default;
  std::string IpText() const;  // dotted quad
  std::string ToString() const;  // "a.b.c.d:port"
};

// Reads a numeric IPv4 address the way inet_addr does ("127.0.0.1",
// "127.1", octal and hex parts); nullopt when it is not one.
std::optional<std::uint32_t> ParseIpv4(std::string_view text);

// Resolves a host name (or numeric address) to its first IPv4 address.
// On failure sets the last error (kWSAHOST_NOT_FOUND and friends) and
// returns nullopt. Host names longer than kMaxHostName are refused.
inline constexpr std::size_t kMaxHostName = 1023;
std::optional<std::uint32_t> ResolveIpv4(std::string_view host);

// A decimal port 1..65535 with nothing else in the text; nullopt otherwise.
std::optional<std::uint16_t> ParsePort(std::string_view text);

using Handle = int;
inline constexpr Handle kInvalidHandle = -1;

// Readiness flags for Wait and Poll.
enum : unsigned {
  kReadable = 1u,
  kWritable = 2u,
  kHangUp = 4u,  // the peer closed or the socket failed (only ever reported)
};

// Waits for timeout_us microseconds at most (negative: for ever, 0: just
// look). Returns the number of entries with something ready (their `ready`
// is set), 0 when the time ran out (last error kWSAETIMEDOUT), -1 on error.
// An interrupted wait is resumed with what is left of the time.
struct PollEntry {
  Handle handle = kInvalidHandle;
  unsigned want = 0;   // kReadable | kWritable
  unsigned ready = 0;  // filled in
};
int Poll(std::span<PollEntry> entries, std::int64_t timeout_us);

// One socket, owned: closed by the destructor. Move-only.
class Socket {
 public:
  Socket() = default;
  explicit Socket(Handle handle) : handle_(handle) {}
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;

  // A new IPv4 socket (closing one held before). False on failure.
  bool OpenTcp();
  bool OpenUdp();
  bool IsOpen() const { return handle_ != kInvalidHandle; }
  Handle handle() const { return handle_; }
  // Gives up ownership without closing.
  Handle Release();
  void Close();

  bool SetNonBlocking(bool on);
  bool SetReuseAddress(bool on);
  bool SetNoDelay(bool on);
  // Closing afterwards resets the connection instead of ending it cleanly.
  bool SetAbortiveClose();

  enum class ConnectResult { Connected, InProgress, Failed };
  // On a non-blocking socket a connect that has not finished yet gives
  // InProgress with the last error kWSAEWOULDBLOCK (as the system's own
  // sockets report it); wait for kWritable, then ask PendingError().
  ConnectResult Connect(const Address& to);
  // The outcome of a finished non-blocking connect: 0 when connected,
  // otherwise its Windows Sockets code (also stored as the last error).
  int PendingError();

  bool Bind(const Address& local);
  bool Listen(int backlog);
  // A connected socket, or a closed one on failure (kWSAEWOULDBLOCK when a
  // non-blocking listener has nobody waiting).
  Socket Accept(Address* peer = nullptr);

  // Bytes sent or received, -1 on failure; Recv gives 0 when the peer
  // closed. A non-blocking socket that cannot go on fails with
  // kWSAEWOULDBLOCK. Send never raises a signal on a broken connection.
  std::int64_t Send(const void* data, std::size_t size);
  std::int64_t Recv(void* buffer, std::size_t size);
  // As Send and Recv, but never waiting, whatever the socket's mode:
  // kWSAEWOULDBLOCK when nothing could be sent or nothing has arrived.
  std::int64_t SendNow(const void* data, std::size_t size);
  std::int64_t RecvNow(void* buffer, std::size_t size);
  std::int64_t SendTo(const void* data, std::size_t size, const Address& to);
  std::int64_t RecvFrom(void* buffer, std::size_t size, Address* from);

  bool ShutdownWrite();
  // Ends both directions (a receive blocked in another thread returns).
  bool Shutdown();

  std::optional<Address> LocalAddress() const;
  std::optional<Address> PeerAddress() const;

  // Waits until this socket is ready for `want` (kReadable, kWritable).
  // Returns the ready flags, 0 when the time ran out (last error
  // kWSAETIMEDOUT), or -1 on error.
  int Wait(unsigned want, std::int64_t timeout_us) const;

 private:
  Handle handle_ = kInvalidHandle;
};

// Convenience calls built on Socket, for servers and clients of the
// programs and their tests. Time-outs are in milliseconds (negative: none).

// A TCP connection to `to`, blocking again once connected. Closed socket on
// failure (kWSAETIMEDOUT when the time ran out).
Socket ConnectTcp(const Address& to, int timeout_ms);

// A listening TCP socket on ip:port (port 0: any free port; read it back
// with LocalAddress()). Closed socket on failure.
Socket ListenTcp(const Address& local, int backlog = 16);

// Accepts one connection within the time. Closed socket on failure or when
// the time ran out.
Socket AcceptWithin(Socket& listener, int timeout_ms, Address* peer = nullptr);

// Sends everything before the deadline, waiting for room as needed; the
// socket may be blocking or not, a peer that stops reading cannot hold the
// caller longer than timeout_ms (negative: no deadline). False on failure or
// when the time ran out (kWSAETIMEDOUT); part of the data may have gone out.
bool SendAll(Socket& socket, std::string_view data, int timeout_ms);

// Receives up to `size` bytes once something has arrived. -1 on failure or
// when the time ran out, 0 when the peer closed.
std::int64_t RecvWithin(Socket& socket, void* buffer, std::size_t size, int timeout_ms);

// Loopback peers: the control channel between the updater and the core.

enum class AcceptResult { Accepted, NoneWaiting, RefusedPeer, Failed };
// Accepts one connection that is already waiting, without waiting for one. A
// peer whose address is outside 127.0.0.0/8 is closed at once and reported as
// RefusedPeer. The accepted socket blocks.
AcceptResult AcceptLoopbackPeer(Socket& listener, Socket& accepted);

// True when the far end of an accepted loopback connection is a socket held
// by process pid. When the system does not let us look, the answer is true:
// nothing can be told.
bool IsPeerHeldBy(const Socket& accepted, int pid);

}  // namespace platform::net
