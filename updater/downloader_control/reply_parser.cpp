#include "updater/downloader_control/reply_parser.h"

#include <array>
#include <charconv>
#include <cmath>

#include "shared/protocol/protocol.h"

namespace kestra::dlctl {
namespace {

namespace proto = kestra::protocol;

constexpr std::string_view kBlanks = " \t\r\n";

std::string_view Trim(std::string_view text) {
  std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// The keys InterpretReplies reads.
constexpr std::array<std::string_view, 13> kKnownKeys = {
    proto::kKeyP2PState,         proto::kKeyErrorCode,       proto::kKeyDownloadBandWidth,
    proto::kKeyUploadBandWidth,  proto::kKeyVerifyPercentage, proto::kKeyPercentage,
    proto::kKeyPercentageDownloaded, proto::kKeyTotalByte,   proto::kKeyIncompleteByte,
    proto::kKeyFileName,         proto::kKeyError,           proto::kKeyErrorFile,
    proto::kKeyCurUpdatePercentage};

bool IsKnownKey(std::string_view key) {
  for (std::string_view known : kKnownKeys) {
    if (known == key) return true;
  }
  return false;
}

const std::string* Lookup(const ReplyMap& replies, const char* key) {
  auto it = replies.find(key);
  return it == replies.end() ? nullptr : &it->second;
}

template <typename T, typename Reader>
void ReadInto(const ReplyMap& replies, const char* key, T& field, Reader reader) {
  if (const std::string* value = Lookup(replies, key)) {
    if (auto number = reader(*value)) field = *number;
  }
}

std::string_view SkipPlus(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return text;
}

}  // namespace

void ParseReplyLine(std::string_view line, ReplyMap& replies) {
  std::size_t open = line.find(proto::kTagOpen);
  std::size_t close = line.find(proto::kTagClose);
  if (open == std::string_view::npos || close == std::string_view::npos) return;
  std::string_view rest = Trim(line.substr(close + 1));
  std::size_t equals = rest.find(proto::kKeyValueSeparator);
  if (equals == std::string_view::npos) return;
  std::string key(Trim(rest.substr(0, equals)));
  std::string_view value = Trim(rest.substr(equals + 1));
  auto it = replies.find(key);
  if (it != replies.end()) {
    it->second.assign(value);
    return;
  }
  if (!IsKnownKey(key) && replies.size() >= kMaxReplyKeys) return;
  replies.emplace(std::move(key), std::string(value));
}

std::optional<std::int32_t> ReadInt32(std::string_view text) {
  text = Trim(text);
  std::string_view digits = SkipPlus(text);
  if (digits.size() != text.size() && !digits.empty() && digits.front() == '-') return std::nullopt;
  std::int32_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 10);
  if (error != std::errc() || end == digits.data()) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> ReadUInt64(std::string_view text) {
  text = SkipPlus(Trim(text));
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

std::optional<float> ReadFloat(std::string_view text) {
  text = Trim(text);
  std::string_view digits = SkipPlus(text);
  if (digits.size() != text.size() && !digits.empty() && digits.front() == '-') return std::nullopt;
  float value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value,
                                      std::chars_format::general);
  if (error != std::errc() || end == digits.data() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<std::int32_t> ClassifyError(std::string_view value,
                                          std::uint64_t incomplete_bytes,
                                          const std::string& target_dir,
                                          const FreeSpaceFunction& free_space) {
  if (value == proto::kErrWriteFile) {
    std::optional<std::uint64_t> space;
    if (free_space) space = free_space(target_dir);
    if (!space || *space >= incomplete_bytes) return kWriteFileError;
    return kDiskFull;
  }
  if (value == proto::kErrOpenFile) return kOpenFileError;
  if (value == proto::kErrSetFileSize) return kSetFileSizeError;
  if (value == proto::kErrReadSeed) return kReadSeedError;
  if (value == proto::kErrDownloadTorrent) return kDownloadTorrentError;
  if (value == proto::kErrDownloadSeed) return kDownloadSeedError;
  return std::nullopt;
}

void InterpretReplies(const ReplyMap& replies, DownloaderStatus& status, bool& ask_file_name,
                      const std::string& target_dir, const FreeSpaceFunction& free_space) {
  ReadInto(replies, proto::kKeyP2PState, status.state, ReadInt32);
  ReadInto(replies, proto::kKeyErrorCode, status.error_code, ReadInt32);
  ReadInto(replies, proto::kKeyDownloadBandWidth, status.download_rate, ReadFloat);
  ReadInto(replies, proto::kKeyUploadBandWidth, status.upload_rate, ReadFloat);
  ReadInto(replies, proto::kKeyVerifyPercentage, status.verify_percentage, ReadFloat);
  ReadInto(replies, proto::kKeyPercentage, status.percentage, ReadFloat);
  ReadInto(replies, proto::kKeyPercentageDownloaded, status.percentage_downloaded, ReadFloat);
  ReadInto(replies, proto::kKeyTotalByte, status.total_bytes, ReadUInt64);
  ReadInto(replies, proto::kKeyIncompleteByte, status.incomplete_bytes, ReadUInt64);
  if (const std::string* name = Lookup(replies, proto::kKeyFileName); name && *name != proto::kNoFileName) {
    status.file_name = *name;
    ask_file_name = false;
  }
  if (const std::string* error = Lookup(replies, proto::kKeyError)) {
    if (auto error_class =
            ClassifyError(*error, status.incomplete_bytes, target_dir, free_space)) {
      status.error_class = *error_class;
    }
  }
  if (const std::string* file = Lookup(replies, proto::kKeyErrorFile)) status.error_file = *file;
}

}  // namespace kestra::dlctl
