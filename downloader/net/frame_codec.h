// Framing of the messages of packet handles: a 12-byte header of three
// little-endian u32 values, then the bytes. A message is sent as one frame
// (0, length, length); a receiver also takes a message split over several
// frames (non-zero, length of this part, total length), parts appended in
// order until the total is reached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace zelt {

// Header + message, ready to be queued.
std::string EncodeFrame(std::string_view message);

class FrameDecoder {
 public:
  // limit: the largest total a message may announce (a total equal to the
  // limit is accepted).
  explicit FrameDecoder(std::uint32_t limit) : limit_(limit) {}

  using MessageSink = std::function<void(std::string&& message)>;
  // Consumes the bytes; every complete message goes to the sink. False once
  // a frame was rejected (the decoder then stays failed and consumes nothing).
  bool Feed(const char* data, std::size_t size, const MessageSink& sink);

  // Bytes still missing for the current header or part (what one read
  // should ask for at most).
  std::size_t Wanted() const;
  bool failed() const { return failed_; }
  const char* error() const { return error_; }
  void set_limit(std::uint32_t limit) { limit_ = limit; }

  void check_invariant() const;

 private:
  bool Reject(const char* why);
  bool TakeHeader();

  std::uint32_t limit_;
  char header_[12] = {};
  std::size_t header_fill_ = 0;
  bool in_part_ = false;
  std::uint32_t part_left_ = 0;  // bytes of the current part still to come
  std::uint32_t total_ = 0;      // of the message being assembled, 0 = none
  std::string message_;
  bool failed_ = false;
  const char* error_ = "";
};

}  // namespace zelt
