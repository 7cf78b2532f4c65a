#include "updater/net/comm_http.h"

#include <algorithm>

#include "platform/clock.h"
#include "updater/net/body_decoding.h"
#include "updater/net/socket_error_text.h"

namespace NetModel {

namespace net = platform::net;

std::string BuildGetRequest(std::string_view host, std::string_view path) {
  std::string request = "GET ";
  request.append(path);
  request.append(" HTTP/1.1\r\nHost: ");
  request.append(host);
  request.append("\r\nAccept-Encoding: gzip\r\nConnection: Close\r\n\r\n");
  return request;
}

CommHttp::CommHttp(std::string_view host, std::string_view port, TimeValue connect_timeout,
                   TimeValue data_timeout)
    : host_(host),
      port_(port),
      connect_timeout_(connect_timeout),
      remaining_(connect_timeout),
      data_timeout_(data_timeout),
      resolver_([](std::string_view name) { return net::ResolveIpv4(name); }),
      ticks_([] { return platform::clock::TickCount(); }) {}

CommHttp::~CommHttp() = default;  // the socket closes itself

void CommHttp::Request(std::string_view request_text) {
  request_.assign(request_text);
  Execute();
}

void CommHttp::Execute() {
  Connect();
  if (!socket_.IsOpen()) return;
  if (!data_timeout_.IsZero()) remaining_ = data_timeout_;
  SendRequest();
  if (!socket_.IsOpen()) return;
  ReceiveResponse();
  if (!socket_.IsOpen()) return;
  Close();
  CheckStatus();
}

void CommHttp::FailWithSocketError() { FailWith(SocketErrorText()); }

void CommHttp::FailWith(std::string_view text) {
  error_.append(text);
  Close();
}

std::optional<std::uint32_t> CommHttp::HostAddress() {
  const bool literal = host_.find_first_not_of(".0123456789") == std::string::npos;
  if (!literal) return resolver_(host_);
  std::optional<std::uint32_t> ip = net::ParseIpv4(host_);
  // Digits and dots that make no address (empty, "1.2.3.4.5", "300.1.1.1")
  // name no reachable host.
  if (!ip) net::SetLastError(net::kWSAEADDRNOTAVAIL);
  return ip;
}

void CommHttp::Connect() {
  if (!socket_.OpenTcp()) {
    error_.append(SocketErrorText());
    return;
  }
  if (!socket_.SetNonBlocking(true)) return FailWithSocketError();

  std::optional<std::uint32_t> ip = HostAddress();
  if (!ip) return FailWithSocketError();
  std::optional<std::uint16_t> port = net::ParsePort(port_);
  if (!port) {
    net::SetLastError(net::kWSAEADDRNOTAVAIL);  // what a connect to port 0 reports
    return FailWithSocketError();
  }

  switch (socket_.Connect(net::Address{*ip, *port})) {
    case net::Socket::ConnectResult::Connected:
      return;
    case net::Socket::ConnectResult::Failed:
      return FailWithSocketError();
    case net::Socket::ConnectResult::InProgress:
      break;
  }

  const std::uint32_t start = ticks_();
  const int ready = socket_.Wait(net::kWritable, WaitLimitMicroseconds(remaining_));
  if (ready <= 0) return FailWithSocketError();  // failed, or the wait ran out
  // Writable also when the connection was refused: ask for the outcome.
  if (socket_.PendingError() != 0) return FailWithSocketError();
  const TimeValue elapsed = ElapsedBetween(start, ticks_());
  if (IsExhausted(elapsed, remaining_)) return FailWith(kTimeOutText);
  remaining_ = Reduce(remaining_, elapsed);
}

void CommHttp::SendRequest() {
  if (request_.empty()) return;
  // One send of the whole text on the non-blocking socket; a short send
  // fails (the request is small and the send buffer empty).
  const std::int64_t sent = socket_.Send(request_.data(), request_.size());
  if (sent != static_cast<std::int64_t>(request_.size())) {
    if (sent >= 0) net::SetLastError(net::kWSAENOBUFS);
    FailWithSocketError();
  }
}

void CommHttp::ReceiveResponse() {
  char buffer[kReceiveChunkBytes];
  for (;;) {
    const std::uint32_t before_wait = ticks_();
    const int ready = socket_.Wait(net::kReadable, WaitLimitMicroseconds(remaining_));
    if (ready <= 0) return FailWithSocketError();  // failed, or the wait ran out
    const std::uint32_t after_wait = ticks_();

    const std::int64_t n = socket_.Recv(buffer, sizeof buffer);
    if (n < 0) return FailWithSocketError();
    if (n == 0) return;  // the server closed: the normal end
    if (static_cast<std::size_t>(n) > kMaxResponseBytes - response_.size())
      return FailWith(kResponseTooLargeText);
    response_.append(buffer, static_cast<std::size_t>(n));

    const TimeValue elapsed = ElapsedBetween(before_wait, after_wait);
    if (IsExhausted(elapsed, remaining_)) return FailWith(kTimeOutText);
    remaining_ = Reduce(remaining_, elapsed);
  }
}

void CommHttp::Close() { socket_.Close(); }

void CommHttp::CheckStatus() {
  ResponseReading reading = ReadResponse(response_);
  ok_ = reading.ok;
  body_ = std::move(reading.body);
  if (!ok_ && !reading.error.empty()) error_ = std::move(reading.error);
}

ResponseReading ReadResponse(std::string_view response) {
  ResponseReading reading;
  const std::size_t newline = response.find('\n');
  // "200 OK" anywhere on the first line (anywhere at all without a line end).
  if (response.rfind("200 OK", newline) == std::string_view::npos) {
    const std::size_t space = response.find(' ');
    if (space == std::string_view::npos || newline == std::string_view::npos || space + 1 >= newline)
      return reading;
    // The status line from its first space, without the line end.
    std::size_t end = newline;
    if (response[end - 1] == '\r') --end;
    reading.error = response.substr(space, std::min(end - space, kMaxStatusErrorBytes));
    return reading;
  }

  const std::size_t blank = response.find("\r\n\r\n");
  if (blank == std::string_view::npos) {
    reading.ok = true;  // accepted, with nothing after the headers
    return reading;
  }
  const std::string_view headers = response.substr(0, blank);
  std::string_view body = response.substr(blank + 4);

  std::string joined;
  if (IsChunked(headers)) {
    if (!DecodeChunked(body, joined)) {
      reading.error = kBadChunkedBodyText;
      return reading;
    }
    body = joined;
  }
  if (headers.find("Content-Encoding: gzip") == std::string_view::npos) {
    reading.body.assign(body);
  } else if (!GunzipBody(body, reading.body)) {
    reading.body.clear();
    reading.error = kBadGzipBodyText;
    return reading;
  }
  reading.ok = true;
  return reading;
}

}  // namespace NetModel
