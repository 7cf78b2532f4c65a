#include "updater/patch/bz_update_helper.h"

#include <bzlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "platform/file_stream.h"
#include "platform/fs.h"
#include "updater/patch/package_format.h"

namespace kestra::patch {

namespace {

// BZ2_bzRead takes an int count; longer reads go in pieces of this size.
constexpr std::uint64_t kMaxReadPiece = 1u << 30;

}  // namespace

BzUpdateHelper::BzUpdateHelper() = default;

BzUpdateHelper::~BzUpdateHelper() {
  if (bz_ != nullptr) {
    int error = BZ_OK;
    BZ2_bzReadClose(&error, static_cast<BZFILE*>(bz_));
  }
  if (file_ != nullptr) std::fclose(file_);
}

void BzUpdateHelper::SetError(const char* format) {
  char buffer[1024];
  std::snprintf(buffer, sizeof buffer, format, display_name_.c_str());
  error_text_ = buffer;
}

bool BzUpdateHelper::Open(std::uint32_t expected_version, std::string_view display_name,
                          std::string_view path) {
  expected_version_ = expected_version;
  display_name_ = std::string(display_name);

  file_ = platform::fs::OpenReadStream(path);
  if (file_ == nullptr) {
    SetError("打开更新数据文件[%s]失败!\n请确认更新时游戏不在运行。");
    return false;
  }
  std::uint8_t header[kPackageHeaderSize];
  if (std::fread(header, kPackageHeaderSize, 1, file_) != 1) {
    SetError("读取 %s 文件头信息失败");
    return false;
  }
  for (int i = 0; i < 3; ++i) header_[i] = ReadLe32(header + 4 * i);
  const std::string_view magic(reinterpret_cast<const char*>(header), 4);
  if (magic != kMagicDu1t && magic != kMagicZb1t) {
    SetError("%s 不是合法的更新文件");
    return false;
  }
  if (header_[1] != expected_version_) {
    SetError("%s 版本号不正确!");
    return false;
  }

  int error = BZ_OK;
  BZFILE* bz = BZ2_bzReadOpen(&error, file_, 0, 0, nullptr, 0);
  switch (error) {
    case BZ_OK:
      bz_ = bz;
      return true;
    case BZ_CONFIG_ERROR:
      SetError("%s BZ_CONFIG_ERROR!");
      break;
    case BZ_IO_ERROR:
      SetError("%s ferror(f) is nonzero!");
      break;
    case BZ_MEM_ERROR:
      SetError("%s 解压内存不足!");
      break;
    case BZ_PARAM_ERROR:
      SetError("%s BZ_PARAM_ERROR!");
      break;
    default:
      break;
  }
  if (bz != nullptr) {
    int ignored = BZ_OK;
    BZ2_bzReadClose(&ignored, bz);
  }
  return false;
}

std::uint64_t BzUpdateHelper::Read(std::uint8_t* buffer, std::uint64_t size, int* error) {
  *error = BZ_OK;
  std::uint64_t done = 0;
  do {
    const int piece = static_cast<int>(std::min(size - done, kMaxReadPiece));
    const int got = BZ2_bzRead(error, static_cast<BZFILE*>(bz_), buffer + done, piece);
    if (got > 0) done += static_cast<std::uint64_t>(got);
    if (*error != BZ_OK) break;
  } while (done < size);
  return done;
}

bool BzUpdateHelper::Reserve(std::uint64_t size, std::uint64_t keep) {
  if (size <= buffer_size_) return true;
  // Not zero-filled: every byte handed out is read first, and untouched pages
  // of a large buffer cost no memory.
  std::unique_ptr<std::uint8_t[]> grown(new (std::nothrow) std::uint8_t[size]);
  if (!grown) return false;
  if (keep > 0) std::memcpy(grown.get(), buffer_.get(), keep);
  buffer_ = std::move(grown);
  buffer_size_ = size;
  return true;
}

const std::uint8_t* BzUpdateHelper::ReadSection() {
  if (bz_ == nullptr) {
    error_text_ = "读取UpdateSec头出错";
    return nullptr;
  }
  // A zeroed head for every section; the previous record is given up. The
  // memory itself is kept for the next record (the largest section decides
  // the peak either way, and pages already in use need no new faults).
  if (!Reserve(kSectionFixedSize, 0)) {
    error_text_ = "内存不足, 读取UpdateSec头出错";
    return nullptr;
  }
  std::memset(buffer_.get(), 0, kSectionFixedSize);

  int error = BZ_OK;
  std::uint64_t count = Read(buffer_.get(), kSectionHeadReadSize, &error);
  if (error == BZ_STREAM_END) {
    end_flag_ = true;
    return nullptr;
  }
  if (error != BZ_OK || count != kSectionHeadReadSize) {
    error_text_ = error == BZ_MEM_ERROR ? "内存不足, 读取UpdateSec头出错" : "读取UpdateSec头出错";
    return nullptr;
  }

  const std::uint32_t name_length = ReadLe32(buffer_.get() + 8);
  if (name_length > kMaxSectionNameLength ||
      !Reserve(kSectionFixedSize + std::uint64_t{name_length}, kSectionHeadReadSize)) {
    error_text_ = "内存不足, 读取UpdateSec 长度出错";
    return nullptr;
  }
  const std::uint64_t rest = std::uint64_t{name_length} + 3;
  count = Read(buffer_.get() + kSectionHeadReadSize, rest, &error);
  if (error != BZ_OK || count != rest) {
    error_text_ = error == BZ_MEM_ERROR ? "内存不足, 读取UpdateSec 长度出错" : "读取UpdateSec 长度出错";
    return nullptr;
  }

  const std::uint64_t head = kSectionFixedSize + std::uint64_t{name_length};
  const std::uint32_t data_length = ReadLe32(buffer_.get() + 12 + name_length);
  if (data_length > max_data_length_ || !Reserve(head + data_length, head)) {
    error_text_ = "内存不足, 读取UpdateSec Data出错";
    return nullptr;
  }
  count = data_length == 0 ? 0 : Read(buffer_.get() + head, data_length, &error);
  if (count != data_length) {
    error_text_ = error == BZ_MEM_ERROR ? "内存不足, 读取UpdateSec Data出错" : "读取UpdateSec Data出错";
    return nullptr;
  }
  // The error of the data read is not examined: a stream end reported with
  // the last data bytes still yields the record.
  return buffer_.get();
}

}  // namespace kestra::patch
