// What the range downloads need of the block storage: allocation of runs of
// blocks, their return, the data sink and the priority segments. The file
// system service provides it (through a small adapter of the P2P client);
// keeping the HTTP threads on this narrow view lets them be driven against
// any block store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelt {

// One block handed to an HTTP request.
struct HttpBlockRef {
  std::uint32_t file_id = 0;
  std::uint32_t index = 0;  // position in the file's block list
  std::uint32_t start = 0;  // file offset
  std::uint32_t length = 0;
};

// A byte range of a file that "setpriority" asked to fetch first.
struct PrioritySegment {
  std::uint32_t file_id = 0;
  std::uint32_t start = 0;
  std::uint32_t length = 0;
  std::uint32_t level = 0;
};

// Highest level first, then shortest, then start, then file id.
inline bool PrioritySegmentBefore(const PrioritySegment& a, const PrioritySegment& b) {
  if (a.level != b.level) return a.level > b.level;
  if (a.length != b.length) return a.length < b.length;
  if (a.start != b.start) return a.start < b.start;
  return a.file_id < b.file_id;
}

class IHttpBlockSource {
 public:
  virtual ~IHttpBlockSource() = default;
  // Every byte of every file verified.
  virtual bool IsComplete() = 0;
  // A contiguous run of Free blocks of one file, walking forward from its
  // HTTP cursor and never wrapping to block 0; they become Allocated.
  virtual std::size_t AllocRun(std::vector<HttpBlockRef>& out, std::size_t max) = 0;
  // The block with the index if it is Free (it becomes Allocated).
  virtual bool AllocBlock(std::uint32_t file_id, std::uint32_t index, HttpBlockRef& out) = 0;
  // Index of the block holding the file offset; false for an unknown file
  // or an offset past its end.
  virtual bool BlockIndexAt(std::uint32_t file_id, std::uint32_t offset, std::uint32_t& index) = 0;
  // The block with the index (any state); false past the file's last block.
  virtual bool BlockAt(std::uint32_t file_id, std::uint32_t index, HttpBlockRef& out) = 0;
  // A block that is still Allocated goes back to Free.
  virtual void FreeIfAllocated(const HttpBlockRef& block) = 0;
  // Every Allocated block of every file goes back to Free; blocks neither
  // Verified nor Written are logged.
  virtual void ResetAllAllocated() = 0;
  // Received bytes at their file offset; false for an unknown file.
  virtual bool Write(std::uint32_t file_id, const char* data, std::uint32_t offset,
                     std::uint32_t length) = 0;
  // The file's name in the seed (relative path on the servers).
  virtual bool FileName(std::uint32_t file_id, std::string& name) = 0;
  // The registered priority segments, in their order.
  virtual std::vector<PrioritySegment> PrioritySegments() = 0;
};

}  // namespace zelt
