// The line channel between the updater and the downloader core.
//
// A message is one line of bytes ended by a single line feed (0x0A); nothing
// else frames it. ReadLine never blocks: it hands out one complete line when
// there is one and returns false otherwise, so both programs can poll the
// channel from loops that also do other work.
//
// Every transport bounds what it holds for its peer: a line longer than
// kMaxLineBytes without a line feed is discarded whole (up to and including
// the line feed that finally ends it), so a hostile or broken peer can neither
// grow our memory without limit nor smuggle the tail of an overlong line in as
// a line of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/net.h"
#include "platform/pipe_process.h"

namespace kestra::interactive {

// Longest line either side accepts, line feed not counted.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;
// Bytes taken from a socket per ReadLine call.
inline constexpr std::size_t kReceiveChunkBytes = 1024;
// The pipe reader keeps at most this many bytes of complete lines that nobody
// has read yet; older lines are dropped first when more arrive.
inline constexpr std::size_t kMaxQueuedBytes = 1024 * 1024;

// Splits a byte stream into lines, holding at most kMaxLineBytes of an
// unfinished line. Not thread-safe; each transport guards its own.
class LineSplitter {
 public:
  // Appends received bytes.
  void Feed(std::string_view bytes);
  // Removes the first complete line (without its line feed) into line.
  bool Next(std::string& line);
  // A complete line is waiting.
  bool has_line() const;
  // Bytes of the unfinished line held now.
  std::size_t pending_bytes() const;
  // Lines thrown away for being longer than kMaxLineBytes.
  std::uint64_t dropped_lines() const { return dropped_lines_; }

 private:
  std::deque<std::string> lines_;
  std::string partial_;
  bool discarding_ = false;  // inside an overlong line, until its line feed
  std::uint64_t dropped_lines_ = 0;
};

class IInteractive {
 public:
  virtual ~IInteractive() = default;
  // Sets the transport up.
  virtual bool Open() = 0;
  // One complete line without its line feed, or false at once.
  virtual bool ReadLine(std::string& line) = 0;
  // Sends the bytes as they are (no terminator added); true when the
  // transport took all of them.
  virtual bool Write(std::string_view bytes) = 0;
  // Tears the transport down. The owner destroys a channel only after Close.
  virtual void Close() = 0;
};

// TCP over the loopback interface. Port 0 at construction selects the
// listening role (the updater): Open binds 127.0.0.1 on a random free port in
// 10000-42767 and listens; the first ReadLine after the peer has connected
// accepts it (peers from outside 127.0.0.0/8 are refused). Any other port
// selects the connecting role (the downloader core): Open connects to
// 127.0.0.1 at that port.
//
// ReadLine receives at most kReceiveChunkBytes per call, and only while no
// complete line is waiting, so what it holds stays bounded however fast the
// peer writes. A peer that closes is not reported; it just sends no more lines.
//
// Write may be called from another thread than ReadLine (the updater's cancel
// path sends "quit" from its UI thread); an internal lock covers the sockets.
// Write waits at most a second for room: a peer that stops reading costs the
// line, never a hung caller. Failures leave their Windows Sockets code in
// platform::net::LastError() of the calling thread.
class NetworkInteractive : public IInteractive {
 public:
  explicit NetworkInteractive(std::uint16_t port);
  ~NetworkInteractive() override;
  NetworkInteractive(const NetworkInteractive&) = delete;
  NetworkInteractive& operator=(const NetworkInteractive&) = delete;

  bool Open() override;
  bool ReadLine(std::string& line) override;
  bool Write(std::string_view bytes) override;
  void Close() override;

  // Listening role: the port chosen by Open. Connecting role: the given port.
  std::uint16_t port() const;
  bool listening_role() const { return listening_role_; }
  // A peer is connected (accepted or connected to).
  bool connected() const;
  // Listening role: from now on only a connection whose far end is held by
  // process pid is accepted (the updater names the core it started, so that
  // another local program cannot take the core's place); 0 accepts any
  // loopback peer.
  void SetPeerProcess(int pid);
  // Connections refused: the peer was not a loopback address or not the
  // named process.
  std::uint64_t refused_peers() const;

 private:
  bool OpenListening();
  bool OpenConnecting();
  // Accepts a waiting connection; caller holds mutex_.
  bool AcceptLocked();

  mutable std::mutex mutex_;
  platform::net::Socket listen_socket_;
  platform::net::Socket connected_socket_;
  std::uint16_t port_ = 0;
  const bool listening_role_;
  LineSplitter pending_;
  std::uint64_t refused_peers_ = 0;
  int peer_pid_ = 0;
};

// A reader thread that turns what arrives on one pipe handle into a queue of
// complete lines. When the pipe closes or fails the thread ends; lines already
// queued can still be taken, an unfinished line is dropped.
class NonblockStdin {
 public:
  explicit NonblockStdin(platform::pipe::Handle handle);
  ~NonblockStdin();  // stops the thread
  NonblockStdin(const NonblockStdin&) = delete;
  NonblockStdin& operator=(const NonblockStdin&) = delete;

  // Starts the thread; false when it cannot be started.
  bool Start();
  // Ends the thread (a read in progress is interrupted) and discards the queue.
  void Stop();
  // Takes the oldest queued line.
  bool Pop(std::string& line);
  // The pipe has closed or failed and the thread has ended.
  bool finished() const;

 private:
  void Run();

  platform::pipe::Handle handle_;
  platform::pipe::Waker waker_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::deque<std::string> queue_;
  std::size_t queued_bytes_ = 0;
  bool finished_ = false;
};

// The child's standard streams over anonymous pipes.
//
// Parent role (the updater): Open creates three pipes; the child's ends
// (child_stdin/child_stdout/child_stderr) become the child's standard input,
// output and error when it is started (platform/pipe_process.h), after which
// the parent calls CloseChildEnds. The parent writes commands to the child's
// input and reads lines from its output; what arrives on the error pipe is
// taken off it (so a child that writes there never blocks) and thrown away.
// Writes from the parent never block: a child that does not read makes Write
// fail rather than hang the updater.
//
// Child role (the downloader core): reads lines from the process's standard
// input and writes to its standard output.
class ConsoleInteractive : public IInteractive {
 public:
  explicit ConsoleInteractive(bool parent_role);
  ~ConsoleInteractive() override;  // also closes the parent's pipe ends
  ConsoleInteractive(const ConsoleInteractive&) = delete;
  ConsoleInteractive& operator=(const ConsoleInteractive&) = delete;

  bool Open() override;
  bool ReadLine(std::string& line) override;
  bool Write(std::string_view bytes) override;
  void Close() override;

  bool parent_role() const { return parent_role_; }
  // Parent role, after Open: the ends handed to the child.
  platform::pipe::Handle child_stdin() const { return input_read_; }
  platform::pipe::Handle child_stdout() const { return output_write_; }
  platform::pipe::Handle child_stderr() const { return error_write_; }
  // Parent role: closes our copies of the child's ends once the child has
  // them, so that the child's exit ends the reader.
  void CloseChildEnds();

 private:
  std::unique_ptr<NonblockStdin> reader_;
  std::unique_ptr<NonblockStdin> error_drain_;  // parent role
  const bool parent_role_;
  std::mutex write_mutex_;
  // Input pipe (child's standard input), output pipe (child's standard
  // output), error pipe (child's standard error). In the child role
  // input_read_ is our standard input and output_write_ our standard output.
  platform::pipe::Handle input_read_ = platform::pipe::kInvalidHandle;
  platform::pipe::Handle input_write_ = platform::pipe::kInvalidHandle;
  platform::pipe::Handle output_read_ = platform::pipe::kInvalidHandle;
  platform::pipe::Handle output_write_ = platform::pipe::kInvalidHandle;
  platform::pipe::Handle error_read_ = platform::pipe::kInvalidHandle;
  platform::pipe::Handle error_write_ = platform::pipe::kInvalidHandle;
};

}  // namespace kestra::interactive
