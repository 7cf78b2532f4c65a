#include "downloader/net/http_response.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "downloader/net/net_limits.h"

namespace zelt {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Decimal digits only, no sign, no overflow.
std::optional<std::uint64_t> ParseDecimal(std::string_view s) {
  if (s.empty() || s.size() > 19) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return v;
}

// A token list field contains the token (case-insensitive, comma-separated).
bool HasToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    std::size_t comma = value.find(',');
    std::string_view item = Trim(value.substr(0, comma));
    if (EqualNoCase(item, token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

std::optional<ContentRange> ParseContentRange(std::string_view value) {
  value = Trim(value);
  if (value.size() < 6 || !EqualNoCase(value.substr(0, 6), "bytes ")) return std::nullopt;
  value.remove_prefix(6);
  value = Trim(value);
  std::size_t dash = value.find('-');
  std::size_t slash = value.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
    return std::nullopt;
  auto first = ParseDecimal(value.substr(0, dash));
  auto last = ParseDecimal(value.substr(dash + 1, slash - dash - 1));
  if (!first || !last || *last < *first) return std::nullopt;
  ContentRange range{*first, *last, std::nullopt};
  std::string_view total = value.substr(slash + 1);
  if (total != "*") {
    auto t = ParseDecimal(total);
    if (!t || *t <= *last) return std::nullopt;
    range.total = *t;
  }
  return range;
}

std::string ResponseHead::Field(std::string_view name) const {
  std::string_view rest(text);
  std::size_t eol = rest.find('\n');
  if (eol == std::string_view::npos) return {};
  rest.remove_prefix(eol + 1);
  while (!rest.empty()) {
    eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (EqualNoCase(Trim(line.substr(0, colon)), name)) return std::string(Trim(line.substr(colon + 1)));
  }
  return {};
}

bool ParseResponseHead(std::string_view text, ResponseHead& head, std::string& why) {
  head = ResponseHead();
  head.text = std::string(text);
  std::size_t eol = text.find('\n');
  std::string_view status_line = Trim(text.substr(0, eol));
  if (status_line.size() < 12 || status_line.substr(0, 5) != "HTTP/") {
    why = "bad status line";
    return false;
  }
  head.http10 = status_line.substr(0, 8) == "HTTP/1.0";
  std::size_t space = status_line.find(' ');
  if (space == std::string_view::npos || space + 4 > status_line.size()) {
    why = "bad status line";
    return false;
  }
  head.status = std::string(status_line.substr(space + 1, 3));
  for (char c : head.status) {
    if (c < '0' || c > '9') {
      why = "bad status code";
      return false;
    }
  }
  if (space + 4 < status_line.size() && status_line[space + 4] != ' ') {
    why = "bad status code";
    return false;
  }
  head.code = std::stoi(head.status);
  if (head.code < 100) {
    why = "bad status code";
    return false;
  }

  std::string_view rest = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
  while (!rest.empty()) {
    eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
    if (Trim(line).empty()) break;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      why = "bad header field";
      return false;
    }
    std::string_view name = Trim(line.substr(0, colon));
    std::string_view value = Trim(line.substr(colon + 1));
    if (EqualNoCase(name, "Content-Length")) {
      auto n = ParseDecimal(value);
      if (!n || (head.content_length && *head.content_length != *n)) {
        why = "bad Content-Length";
        return false;
      }
      head.content_length = n;
    } else if (EqualNoCase(name, "Transfer-Encoding")) {
      if (HasToken(value, "chunked")) head.chunked = true;
    } else if (EqualNoCase(name, "Connection")) {
      if (HasToken(value, "close")) head.connection_close = true;
      if (HasToken(value, "keep-alive")) head.keep_alive = true;
    } else if (EqualNoCase(name, "Location")) {
      if (head.location.empty()) head.location = std::string(value);
    } else if (EqualNoCase(name, "Content-Range")) {
      if (head.has_content_range) {
        why = "repeated Content-Range";
        return false;
      }
      head.has_content_range = true;
      head.content_range = ParseContentRange(value);
    }
  }
  return true;
}

void HttpResponseParser::Reset() { *this = HttpResponseParser(); }

void HttpResponseParser::Fail(std::string why) {
  if (state_ == State::kError) return;
  state_ = State::kError;
  error_ = std::move(why);
}

std::size_t HttpResponseParser::Feed(const char* data, std::size_t size, const BodySink& sink) {
  std::size_t used = 0;
  while (used < size) {
    switch (state_) {
      case State::kHead:
        used += FeedHead(data + used, size - used);
        break;
      case State::kBody:
        if (mode_ == Mode::kChunked) {
          used += FeedChunked(data + used, size - used, sink);
        } else {
          std::size_t take = size - used;
          if (mode_ == Mode::kLength) take = static_cast<std::size_t>(std::min<std::uint64_t>(take, remaining_));
          if (!Deliver(data + used, take, sink)) return used + take;
          used += take;
          if (mode_ == Mode::kLength) {
            remaining_ -= take;
            if (remaining_ == 0) state_ = State::kDone;
          }
        }
        break;
      case State::kHeadDone:
      case State::kDone:
      case State::kError:
        return used;
    }
  }
  return used;
}

std::size_t HttpResponseParser::FeedHead(const char* data, std::size_t size) {
  // Take bytes up to and including the first "\n\n" or "\n\r\n" end.
  std::size_t used = 0;
  while (used < size) {
    char c = data[used++];
    buffer_.push_back(c);
    if (buffer_.size() > kMaxHttpHeaderBytes) {
      Fail("response header too long");
      return used;
    }
    if (c != '\n') continue;
    std::size_t n = buffer_.size();
    bool end = (n >= 2 && buffer_[n - 2] == '\n') ||
               (n >= 3 && buffer_[n - 2] == '\r' && buffer_[n - 3] == '\n');
    if (!end) continue;
    if (buffer_.size() <= 2) {  // empty lines before the status line
      buffer_.clear();
      continue;
    }
    std::string why;
    if (!ParseResponseHead(buffer_, head_, why)) {
      Fail(why);
      return used;
    }
    buffer_.clear();
    // Interim answers (100 Continue and friends) come before the real one.
    if (head_.code >= 100 && head_.code < 200 && head_.code != 101) {
      if (++interim_ > kMaxHttpInterimResponses) {
        Fail("too many interim responses");
        return used;
      }
      continue;
    }
    state_ = State::kHeadDone;
    return used;
  }
  return used;
}

void HttpResponseParser::BeginBody(bool has_body) {
  if (state_ != State::kHeadDone) return;
  if (!has_body) {
    state_ = State::kDone;
    return;
  }
  if (head_.chunked) {
    mode_ = Mode::kChunked;
    chunk_state_ = ChunkState::kSize;
  } else if (head_.content_length) {
    mode_ = Mode::kLength;
    remaining_ = *head_.content_length;
  } else {
    mode_ = Mode::kUntilClose;
  }
  state_ = State::kBody;
  if (mode_ == Mode::kLength && remaining_ == 0) state_ = State::kDone;
}

bool HttpResponseParser::Deliver(const char* data, std::size_t size, const BodySink& sink) {
  if (size == 0) return true;
  body_bytes_ += size;
  if (sink && !sink(data, size)) {
    stopped_by_sink_ = true;
    Fail("stopped by sink");
    return false;
  }
  return true;
}

std::size_t HttpResponseParser::FeedChunked(const char* data, std::size_t size, const BodySink& sink) {
  std::size_t used = 0;
  while (used < size && state_ == State::kBody) {
    switch (chunk_state_) {
      case ChunkState::kSize: {
        char c = data[used++];
        if (c != '\n') {
          buffer_.push_back(c);
          if (buffer_.size() > kMaxHttpChunkLine) {
            Fail("chunk size line too long");
            return used;
          }
          continue;
        }
        std::string_view line = Trim(buffer_);
        std::size_t ext = line.find(';');
        std::string_view hex = Trim(line.substr(0, ext));
        if (hex.empty() || hex.size() > 8) {
          Fail("bad chunk size");
          return used;
        }
        std::uint64_t v = 0;
        for (char h : hex) {
          int d;
          if (h >= '0' && h <= '9') d = h - '0';
          else if (h >= 'a' && h <= 'f') d = h - 'a' + 10;
          else if (h >= 'A' && h <= 'F') d = h - 'A' + 10;
          else {
            Fail("bad chunk size");
            return used;
          }
          v = v * 16 + static_cast<std::uint64_t>(d);
        }
        buffer_.clear();
        remaining_ = v;
        if (v == 0) {
          chunk_state_ = ChunkState::kTrailer;
          trailer_bytes_ = 0;
        } else {
          chunk_state_ = ChunkState::kData;
        }
        break;
      }
      case ChunkState::kData: {
        std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size - used, remaining_));
        if (!Deliver(data + used, take, sink)) return used + take;
        used += take;
        remaining_ -= take;
        if (remaining_ == 0) chunk_state_ = ChunkState::kDataEnd;
        break;
      }
      case ChunkState::kDataEnd: {
        // The CRLF after a chunk's data.
        char c = data[used++];
        if (c == '\r' && buffer_.empty()) {
          buffer_.push_back(c);
        } else if (c == '\n') {
          buffer_.clear();
          chunk_state_ = ChunkState::kSize;
        } else {
          Fail("bad chunk end");
          return used;
        }
        break;
      }
      case ChunkState::kTrailer: {
        // Trailer fields up to an empty line; their content is not used.
        char c = data[used++];
        if (++trailer_bytes_ > kMaxHttpHeaderBytes) {
          Fail("chunked trailer too long");
          return used;
        }
        if (c != '\n') {
          buffer_.push_back(c);
          continue;
        }
        bool empty = Trim(buffer_).empty();
        buffer_.clear();
        if (empty) state_ = State::kDone;
        break;
      }
    }
  }
  return used;
}

void HttpResponseParser::FeedEnd() {
  if (state_ == State::kBody && mode_ == Mode::kUntilClose) {
    state_ = State::kDone;
    return;
  }
  if (state_ == State::kHead || state_ == State::kBody) Fail("connection closed");
}

RangeWindow::Slice RangeWindow::Take(std::size_t size) {
  Slice s;
  std::uint64_t begin = next_;
  std::uint64_t end = next_ + size;  // exclusive
  next_ = end;
  std::uint64_t lo = std::max(begin, first_);
  std::uint64_t hi = last_ == std::numeric_limits<std::uint64_t>::max() ? end : std::min(end, last_ + 1);
  if (lo >= hi) return s;
  s.skip = static_cast<std::size_t>(lo - begin);
  s.length = static_cast<std::size_t>(hi - lo);
  s.file_offset = lo;
  return s;
}

}  // namespace zelt
