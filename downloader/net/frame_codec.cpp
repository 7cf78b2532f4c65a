#include "downloader/net/frame_codec.h"

#include <algorithm>
#include <cassert>

#include "downloader/net/net_limits.h"

namespace zelt {
namespace {

void PutU32(char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint32_t GetU32(const char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

}  // namespace

std::string EncodeFrame(std::string_view message) {
  std::string out(kFrameHeaderBytes, '\0');
  PutU32(&out[0], 0);
  PutU32(&out[4], static_cast<std::uint32_t>(message.size()));
  PutU32(&out[8], static_cast<std::uint32_t>(message.size()));
  out.append(message);
  return out;
}

void FrameDecoder::check_invariant() const {
  assert(header_fill_ <= kFrameHeaderBytes);
  assert(total_ == 0 || message_.size() <= total_);
  assert(!in_part_ || message_.size() + part_left_ <= total_);
}

bool FrameDecoder::Reject(const char* why) {
  failed_ = true;
  error_ = why;
  message_.clear();
  message_.shrink_to_fit();
  return false;
}

std::size_t FrameDecoder::Wanted() const {
  if (failed_) return 0;
  return in_part_ ? part_left_ : kFrameHeaderBytes - header_fill_;
}

bool FrameDecoder::TakeHeader() {
  std::uint32_t first = GetU32(header_);
  std::uint32_t part = GetU32(header_ + 4);
  std::uint32_t total = GetU32(header_ + 8);
  header_fill_ = 0;
  if (part == 0) return Reject("part length 0");
  if (total == 0) return Reject("total 0");
  if (part > total) return Reject("part longer than the total");
  if (total > limit_) return Reject("total over the limit");
  if (first == 0) {
    if (total_ != 0) return Reject("single frame inside a split message");
    if (part != total) return Reject("single frame with part length != total");
  } else {
    if (total_ != 0 && total != total_) return Reject("total changed within a message");
    if (static_cast<std::uint64_t>(message_.size()) + part > total) return Reject("part overruns the total");
  }
  if (total_ == 0) {
    total_ = total;
    message_.clear();
    message_.reserve(std::min<std::size_t>(total, 64 * 1024));
  }
  in_part_ = true;
  part_left_ = part;
  return true;
}

bool FrameDecoder::Feed(const char* data, std::size_t size, const MessageSink& sink) {
#ifndef NDEBUG
  check_invariant();
#endif
  if (failed_) return false;
  std::size_t pos = 0;
  while (pos < size) {
    if (!in_part_) {
      std::size_t take = std::min(size - pos, kFrameHeaderBytes - header_fill_);
      std::copy(data + pos, data + pos + take, header_ + header_fill_);
      header_fill_ += take;
      pos += take;
      if (header_fill_ == kFrameHeaderBytes && !TakeHeader()) return false;
      continue;
    }
    std::size_t take = std::min<std::size_t>(size - pos, part_left_);
    message_.append(data + pos, take);
    pos += take;
    part_left_ -= static_cast<std::uint32_t>(take);
    if (part_left_ == 0) {
      in_part_ = false;
      if (message_.size() == total_) {
        total_ = 0;
        std::string done;
        done.swap(message_);
        if (sink) sink(std::move(done));
      }
    }
  }
  return true;
}

}  // namespace zelt
