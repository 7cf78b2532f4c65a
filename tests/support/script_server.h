// A small scripted TCP server on 127.0.0.1 for tests: it accepts
// connections and plays a script of steps on each (read the request, send,
// drip slowly, sleep, hold the connection open, close or reset), for the
// server behaviours a real web server will not show on demand. Every request
// a ReadRequest step reads is kept, parsed, for the test to examine.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace kestra::test {

// One HTTP request as a ReadRequest step read it.
struct CapturedRequest {
  std::string request_line;
  std::string headers;  // the raw header lines, CRLF-separated, without the blank line
  std::string body;     // Content-Length bytes (cut at what arrived)
};

struct ScriptStep {
  enum class Kind { ReadRequest, Send, Drip, Sleep, Hold, Reset };
  Kind kind = Kind::Send;
  std::string bytes;        // Send, Drip
  int ms = 0;               // Drip: pause between pieces; Sleep, Hold: duration (-1: until stopped)
  std::size_t piece = 1;    // Drip: bytes per piece
};

class Script {
 public:
  // Reads an HTTP request: the head up to its blank line, then as many body
  // bytes as its Content-Length names (at most 1 MiB); stops early when the
  // peer closes, the head passes 64 KiB or 10 s passed.
  Script& ReadRequest();
  // ReadRequest, then Send(response): a plain HTTP answer.
  static Script Answer(std::string response);
  Script& Send(std::string bytes);
  // Sends `bytes` piece by piece, pausing `interval_ms` after each piece.
  Script& Drip(std::string bytes, int interval_ms, std::size_t piece = 1);
  Script& Sleep(int ms);
  // Keeps the connection open without sending, reading whatever arrives,
  // until the peer closes, `ms` passed (-1: until the server stops).
  Script& Hold(int ms = -1);
  // Resets the connection (RST) instead of closing it.
  Script& Reset();

  const std::vector<ScriptStep>& steps() const { return steps_; }

 private:
  std::vector<ScriptStep> steps_;
};

// After its last step a connection is closed cleanly (unread input is read
// first so the close is a FIN, not a reset), unless the step was Reset.
class ScriptServer {
 public:
  explicit ScriptServer(Script script);
  // Connection i plays scripts[i]; later connections play the last script.
  explicit ScriptServer(std::vector<Script> scripts);
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::string host() const { return "127.0.0.1"; }
  std::string port_text() const { return std::to_string(port_); }
  // "http://127.0.0.1:PORT" + path
  std::string Url(std::string_view path) const;

  int accepted() const { return accepted_.load(); }
  // Bytes received on connection i so far (empty for an unknown i).
  std::string received(int connection) const;
  // Waits until `count` connections have played their scripts to the end.
  bool WaitFinished(int count, int timeout_ms) const;

  // The requests read so far, in the order in which they were complete.
  std::vector<CapturedRequest> Requests() const;
  // Waits until at least n requests were read or timeout_ms passed; returns
  // the requests read by then.
  std::vector<CapturedRequest> WaitForRequests(std::size_t n, int timeout_ms) const;

 private:
  struct Connection {
    std::string received;
    bool finished = false;
  };
  void AcceptLoop();
  void Play(platform::net::Socket socket, const Script& script, int index);
  bool Stopping() const { return stop_.load(); }
  // Sleeps in small slices; false when the server is stopping.
  bool Pause(int ms) const;
  void Record(int index, const char* data, std::size_t size);

  std::vector<Script> scripts_;
  platform::net::Socket listener_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::vector<CapturedRequest> requests_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// A loopback port on which nothing listens (bound, then closed).
std::uint16_t UnusedLoopbackPort();

}  // namespace kestra::test
