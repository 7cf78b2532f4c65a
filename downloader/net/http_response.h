// Reading an HTTP/1.1 response from a byte stream: the head (status line and
// fields), then the body by Content-Length, chunked framing, or up to the end
// of the connection. It never touches a socket, so it can be fed any bytes
// (the requester feeds what it receives; the fuzz target feeds anything).
//
// Everything a server sends is bounded (net_limits.h): the head, the chunk
// size lines, the trailer; a malformed response ends in the error state with
// a short reason, never in a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zelt {

struct ContentRange {
  std::uint64_t first = 0, last = 0;  // inclusive
  std::optional<std::uint64_t> total;  // "*" gives none
};

// "bytes A-B/T" or "bytes A-B/*"; nullopt when malformed or B < A.
std::optional<ContentRange> ParseContentRange(std::string_view value);

struct ResponseHead {
  std::string text;          // status line and fields, up to and with the empty line
  std::string status;        // the three status digits
  int code = 0;
  bool http10 = false;
  std::optional<std::uint64_t> content_length;
  bool chunked = false;
  bool connection_close = false;
  bool keep_alive = false;   // "Connection: Keep-Alive" (matters for HTTP/1.0)
  std::string location;
  std::optional<ContentRange> content_range;
  bool has_content_range = false;  // the field was present (maybe malformed)

  // The field's value (first occurrence, case-insensitive name); empty if none.
  std::string Field(std::string_view name) const;
};

// Parses the head text (status line + fields); false with a reason when it is
// not a valid response head.
bool ParseResponseHead(std::string_view text, ResponseHead& head, std::string& why);

class HttpResponseParser {
 public:
  enum class State {
    kHead,      // collecting the head
    kHeadDone,  // head complete: call BeginBody before feeding more
    kBody,
    kDone,      // body complete
    kError,
  };
  // Receives decoded body bytes; false stops the parser (state kError with
  // reason "stopped by sink").
  using BodySink = std::function<bool(const char* data, std::size_t size)>;

  void Reset();

  // Feeds bytes; returns how many were consumed. The parser stops consuming
  // when the head is complete (kHeadDone), the body is complete (kDone) or on
  // an error; bytes left over after kDone belong to no body of ours.
  std::size_t Feed(const char* data, std::size_t size, const BodySink& sink);
  // The connection ended. A body delimited by the end of the connection is
  // complete now; anything else unfinished becomes an error.
  void FeedEnd();

  // After kHeadDone: has_body false (3xx, errors, 204, 304) ends the
  // response at once (kDone).
  void BeginBody(bool has_body);

  State state() const { return state_; }
  const ResponseHead& head() const { return head_; }
  const std::string& error() const { return error_; }
  // Body bytes given to the sink so far.
  std::uint64_t body_bytes() const { return body_bytes_; }
  // True when the body runs until the connection ends.
  bool body_until_close() const { return mode_ == Mode::kUntilClose; }
  bool stopped_by_sink() const { return stopped_by_sink_; }

 private:
  enum class Mode { kLength, kChunked, kUntilClose };
  enum class ChunkState { kSize, kData, kDataEnd, kTrailer };

  std::size_t FeedHead(const char* data, std::size_t size);
  std::size_t FeedChunked(const char* data, std::size_t size, const BodySink& sink);
  bool Deliver(const char* data, std::size_t size, const BodySink& sink);
  void Fail(std::string why);

  State state_ = State::kHead;
  ResponseHead head_;
  std::string buffer_;  // head, or the current chunk line
  std::size_t interim_ = 0;
  std::string error_;
  Mode mode_ = Mode::kLength;
  std::uint64_t remaining_ = 0;  // kLength: body left; kChunked: chunk left
  ChunkState chunk_state_ = ChunkState::kSize;
  std::size_t trailer_bytes_ = 0;
  std::uint64_t body_bytes_ = 0;
  bool stopped_by_sink_ = false;
};

// Where the body bytes of a range request may go. Body byte i of a response
// stands for file offset base + i (base = 0 for a 200, the Content-Range start
// for a 206); only offsets inside [first, last] of the request are accepted,
// each at its own offset. Anything before is skipped, the end of the range
// ends the transfer.
class RangeWindow {
 public:
  RangeWindow(std::uint64_t first, std::uint64_t last, std::uint64_t base)
      : first_(first), last_(last), next_(base) {}
  // The part of a piece of body (at the running offset) to keep: offset into
  // the piece and length. Advances the running offset by size.
  struct Slice {
    std::size_t skip = 0, length = 0;
    std::uint64_t file_offset = 0;
  };
  Slice Take(std::size_t size);
  // True once the running offset has passed the last byte of the range.
  bool Past() const { return next_ > last_; }

 private:
  std::uint64_t first_, last_, next_;
};

}  // namespace zelt
