// The updater's own HTTP client for its small text documents (patch list,
// pack list, maintenance notice): one GET over one TCP socket, the whole
// response read into memory until the server closes, accepted only with
// "200 OK" on the status line, the body decoded from gzip where announced.
// Failures never throw: they leave the ok flag false and English text in the
// error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net.h"
#include "updater/net/simple_http.h"
#include "updater/net/time_budget.h"

namespace NetModel {

// The largest response taken in (status line, headers and body together).
inline constexpr std::size_t kMaxResponseBytes = 16u << 20;
// Bytes asked for by each read.
inline constexpr std::size_t kReceiveChunkBytes = 4096;
// The longest status-line text kept as the error text of a refused status.
inline constexpr std::size_t kMaxStatusErrorBytes = 200;

inline constexpr char kTimeOutText[] = "Time Out!!!";
inline constexpr char kResponseTooLargeText[] = "Response too large";
// Error texts of an accepted response whose body cannot be decoded.
inline constexpr char kBadChunkedBodyText[] = "Bad chunked body";
inline constexpr char kBadGzipBodyText[] = "Bad gzip body";

// What a complete response text says. ok only with "200 OK" on the status
// line and a body that decodes (chunked framing, then gzip where announced);
// otherwise error holds the refused status line from its first space, or the
// text of the decoding failure, and body is empty.
struct ResponseReading {
  bool ok = false;
  std::string error;
  std::string body;
};
ResponseReading ReadResponse(std::string_view response);

// The request every caller sends: path with its leading "/", host without
// the port.
std::string BuildGetRequest(std::string_view host, std::string_view path);

class CommHttp : public SimpleHttp {
 public:
  // host: a name or a dotted IPv4 address; port: decimal text.
  CommHttp(std::string_view host, std::string_view port, TimeValue connect_timeout,
           TimeValue data_timeout);
  ~CommHttp() override;
  CommHttp(const CommHttp&) = delete;
  CommHttp& operator=(const CommHttp&) = delete;

  // Stores the request text and runs the whole exchange; blocks for at most
  // the two budgets.
  void Request(std::string_view request_text);

  // True only after a response whose status line carries "200 OK" and whose
  // body could be decoded.
  bool ok() const { return ok_; }
  // The body after the first blank line, decoded; empty when the request
  // failed or the response has no blank line.
  std::string GetBody() const { return ok_ ? body_ : std::string(); }
  std::string GetError() const { return error_; }
  // Everything received, as it arrived.
  const std::string& response_text() const { return response_; }

  void Connect() override;
  void SendRequest() override;
  void ReceiveResponse() override;
  void Close() override;

  // Seams for tests: the name lookup used for hosts that are not a dotted
  // address, and the millisecond tick count the budget is measured with.
  using Resolver = std::function<std::optional<std::uint32_t>(std::string_view host)>;
  using TickSource = std::function<std::uint32_t()>;
  void SetResolver(Resolver resolver) { resolver_ = std::move(resolver); }
  void SetTickSource(TickSource ticks) { ticks_ = std::move(ticks); }

 private:
  void Execute();
  void CheckStatus();
  // Appends the text for the socket layer's last error and closes.
  void FailWithSocketError();
  void FailWith(std::string_view text);
  std::optional<std::uint32_t> HostAddress();

  std::string host_;
  std::string port_;
  TimeValue connect_timeout_;
  TimeValue remaining_;
  TimeValue data_timeout_;
  std::string request_;
  std::string response_;
  platform::net::Socket socket_;
  std::string error_;
  std::string body_;
  bool ok_ = false;

  Resolver resolver_;
  TickSource ticks_;
};

}  // namespace NetModel
