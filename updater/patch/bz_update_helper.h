// Reader of one patch package: checks the header against the expected
// version, opens the bzip2 stream behind it and hands out the section records
// one at a time, front to back. It never writes. Every failure leaves a
// ready-made message (GBK, with the package's display name) in error_text.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace kestra::patch {

// Bounds of one section record. A section whose name or data is longer is
// refused with the memory variant of the read message, before anything is
// allocated for it.
inline constexpr std::uint32_t kMaxSectionNameLength = 4096;
inline constexpr std::uint32_t kMaxSectionDataLength = 2047u << 20;  // just under 2 GiB

class BzUpdateHelper {
 public:
  BzUpdateHelper();
  virtual ~BzUpdateHelper();
  BzUpdateHelper(const BzUpdateHelper&) = delete;
  BzUpdateHelper& operator=(const BzUpdateHelper&) = delete;

  // path: download directory + "/" + file name; display_name: the file name.
  bool Open(std::uint32_t expected_version, std::string_view display_name,
            std::string_view path);

  // The next complete section record (16 + N + D bytes), valid until the next
  // call; null at the end (end_flag set) or on a failure (error_text set).
  const std::uint8_t* ReadSection();

  bool end_flag() const { return end_flag_; }
  const std::string& error_text() const { return error_text_; }
  std::uint32_t header_magic() const { return header_[0]; }
  std::uint32_t header_version() const { return header_[1]; }
  std::uint32_t header_spare() const { return header_[2]; }

  // Tests lower the data bound to check the refusal without large buffers.
  void set_max_data_length(std::uint32_t bytes) { max_data_length_ = bytes; }

 private:
  // One BZ2_bzRead loop for up to size bytes; returns the count, sets *error.
  std::uint64_t Read(std::uint8_t* buffer, std::uint64_t size, int* error);
  // The section buffer holds at least size bytes afterwards, keeping `keep`
  // bytes of its contents; false when the memory cannot be had.
  bool Reserve(std::uint64_t size, std::uint64_t keep);
  void SetError(const char* format);

  std::uint32_t expected_version_ = 0;
  std::FILE* file_ = nullptr;
  void* bz_ = nullptr;  // BZFILE*
  std::uint32_t header_[3] = {0, 0, 0};
  std::string display_name_;
  std::string error_text_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::uint64_t buffer_size_ = 0;
  bool end_flag_ = false;
  std::uint32_t max_data_length_ = kMaxSectionDataLength;
};

}  // namespace kestra::patch
