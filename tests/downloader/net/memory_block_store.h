// A block store for driving the HTTP threads in tests: files cut into
// blocks with their MD5, block states written one character per block
// ("F" Free, "A" Allocated, "V" Verified), received bytes assembled and
// checked like the file system does, a forward HTTP cursor per file that
// never wraps. Everything under one lock.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "downloader/net/http_block_source.h"

namespace zelt::test {

inline std::array<unsigned char, 16> Md5Of(const char* data, std::size_t n) {
  std::array<unsigned char, 16> out{};
  unsigned int len = 0;
  EVP_Digest(data, n, out.data(), &len, EVP_md5(), nullptr);
  return out;
}

class MemoryBlockStore : public IHttpBlockSource {
 public:
  struct Block {
    std::uint32_t start = 0, length = 0;
    std::array<unsigned char, 16> md5{};
    char state = 'F';
    std::vector<char> have;  // per byte
    std::uint32_t missing = 0;
  };
  struct File {
    std::string name;
    std::string expected;  // the content the MD5s were taken from
    std::string data;      // assembled content
    std::vector<Block> blocks;
    std::uint32_t cursor = 0;
  };

  // Adds a file whose blocks are cut from content; returns its id.
  std::uint32_t AddFile(const std::string& name, const std::string& content, std::uint32_t block) {
    std::lock_guard<std::mutex> lock(mutex_);
    File f;
    f.name = name;
    f.expected = content;
    f.data.assign(content.size(), '\0');
    for (std::uint32_t s = 0; s < content.size(); s += block) {
      Block b;
      b.start = s;
      b.length = std::min<std::uint32_t>(block, static_cast<std::uint32_t>(content.size()) - s);
      b.md5 = Md5Of(content.data() + s, b.length);
      b.have.assign(b.length, 0);
      b.missing = b.length;
      f.blocks.push_back(std::move(b));
    }
    std::uint32_t id = next_id_++;
    files_[id] = std::move(f);
    return id;
  }

  // Block states of a file, one character each.
  std::string States(std::uint32_t file_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string s;
    for (const Block& b : files_.at(file_id).blocks) s += b.state;
    return s;
  }
  // Sets states from a string (e.g. to hand blocks to imaginary peers).
  void SetStates(std::uint32_t file_id, const std::string& states) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& blocks = files_.at(file_id).blocks;
    for (std::size_t i = 0; i < states.size() && i < blocks.size(); ++i) blocks[i].state = states[i];
  }
  void SetCursor(std::uint32_t file_id, std::uint32_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_.at(file_id).cursor = index;
  }
  std::string Data(std::uint32_t file_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.at(file_id).data;
  }
  std::uint32_t md5_failures() {
    std::lock_guard<std::mutex> lock(mutex_);
    return md5_failures_;
  }
  std::uint32_t resets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
  }
  // Every run handed out, as "file:first-last".
  std::vector<std::string> Runs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return runs_;
  }
  void AddSegment(const PrioritySegment& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    segments_.push_back(s);
    std::sort(segments_.begin(), segments_.end(), PrioritySegmentBefore);
  }

  bool IsComplete() override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, f] : files_) {
      for (const Block& b : f.blocks) {
        if (b.state != 'V') return false;
      }
    }
    return true;
  }

  std::size_t AllocRun(std::vector<HttpBlockRef>& out, std::size_t max) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, f] : files_) {
      std::size_t before = out.size();
      while (f.cursor < f.blocks.size() && f.blocks[f.cursor].state == 'V') ++f.cursor;
      for (std::uint32_t i = f.cursor; i < f.blocks.size() && out.size() - before < max; ++i) {
        Block& b = f.blocks[i];
        if (b.state == 'F') {
          b.state = 'A';
          out.push_back({id, i, b.start, b.length});
        } else if (out.size() > before) {
          break;
        }
      }
      if (out.size() > before) {
        runs_.push_back(std::to_string(id) + ":" + std::to_string(out[before].index) + "-" +
                        std::to_string(out.back().index));
        return out.size() - before;
      }
    }
    return 0;
  }
  bool AllocBlock(std::uint32_t file_id, std::uint32_t index, HttpBlockRef& out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file_id);
    if (it == files_.end() || index >= it->second.blocks.size()) return false;
    Block& b = it->second.blocks[index];
    if (b.state != 'F') return false;
    b.state = 'A';
    out = {file_id, index, b.start, b.length};
    return true;
  }
  bool BlockIndexAt(std::uint32_t file_id, std::uint32_t offset, std::uint32_t& index) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file_id);
    if (it == files_.end()) return false;
    for (std::uint32_t i = 0; i < it->second.blocks.size(); ++i) {
      const Block& b = it->second.blocks[i];
      if (offset >= b.start && offset - b.start < b.length) {
        index = i;
        return true;
      }
    }
    return false;
  }
  bool BlockAt(std::uint32_t file_id, std::uint32_t index, HttpBlockRef& out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file_id);
    if (it == files_.end() || index >= it->second.blocks.size()) return false;
    const Block& b = it->second.blocks[index];
    out = {file_id, index, b.start, b.length};
    return true;
  }
  void FreeIfAllocated(const HttpBlockRef& ref) override {
    std::lock_guard<std::mutex> lock(mutex_);
    Block& b = files_.at(ref.file_id).blocks.at(ref.index);
    if (b.state == 'A') b.state = 'F';
  }
  void ResetAllAllocated() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++resets_;
    for (auto& [id, f] : files_) {
      for (Block& b : f.blocks) {
        if (b.state == 'A') b.state = 'F';
      }
    }
  }
  bool Write(std::uint32_t file_id, const char* data, std::uint32_t offset, std::uint32_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file_id);
    if (it == files_.end()) return false;
    File& f = it->second;
    for (Block& b : f.blocks) {
      std::uint64_t lo = std::max<std::uint64_t>(offset, b.start);
      std::uint64_t hi = std::min<std::uint64_t>(std::uint64_t{offset} + length, std::uint64_t{b.start} + b.length);
      if (lo >= hi || b.state == 'V') continue;
      for (std::uint64_t p = lo; p < hi; ++p) {
        f.data[p] = data[p - offset];
        if (!b.have[p - b.start]) {
          b.have[p - b.start] = 1;
          --b.missing;
        }
      }
      if (b.missing == 0) {
        if (Md5Of(f.data.data() + b.start, b.length) == b.md5) {
          b.state = 'V';
        } else {
          ++md5_failures_;
          b.state = 'F';
          b.have.assign(b.length, 0);
          b.missing = b.length;
        }
      }
    }
    return true;
  }
  bool FileName(std::uint32_t file_id, std::string& name) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(file_id);
    if (it == files_.end()) return false;
    name = it->second.name;
    return true;
  }
  std::vector<PrioritySegment> PrioritySegments() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return segments_;
  }

 private:
  std::mutex mutex_;
  std::map<std::uint32_t, File> files_;
  std::uint32_t next_id_ = 1;
  std::uint32_t md5_failures_ = 0;
  std::uint32_t resets_ = 0;
  std::vector<std::string> runs_;
  std::vector<PrioritySegment> segments_;
};

}  // namespace zelt::test
