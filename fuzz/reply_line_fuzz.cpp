// The updater's reading of the downloader core's reply lines and the status
// derived from them.
// fuzz-libs: kestra_dlctl
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz/support/byte_reader.h"
#include "updater/downloader_control/reply_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  namespace dlctl = kestra::dlctl;
  kestra::fuzz::ByteReader in(data, size);
  const std::uint8_t free_kb = in.Byte();
  dlctl::ReplyMap replies;
  std::size_t unknown_keys_seen = 0;
  while (!in.empty()) {
    const std::string_view line = in.Field('\n');
    const std::size_t before = replies.size();
    dlctl::ParseReplyLine(line, replies);
    if (replies.size() > before) ++unknown_keys_seen;
    (void)dlctl::ReadInt32(line);
    (void)dlctl::ReadUInt64(line);
    if (auto f = dlctl::ReadFloat(line)) Require(std::isfinite(*f));
  }
  // Unknown keys stop being kept at the bound; the known ones are few.
  Require(replies.size() <= dlctl::kMaxReplyKeys + 16);

  dlctl::DownloaderStatus status;
  bool ask_file_name = true;
  auto free_space = [free_kb](const std::string&) -> std::optional<std::uint64_t> {
    if (free_kb == 0) return std::nullopt;
    return std::uint64_t{free_kb} << 10;
  };
  dlctl::InterpretReplies(replies, status, ask_file_name, "/nonexistent/target", free_space);
  Require(std::isfinite(status.download_rate) && std::isfinite(status.upload_rate));
  Require(std::isfinite(status.percentage) && std::isfinite(status.verify_percentage));
  Require(status.error_class >= 0 && status.error_class < dlctl::kErrorClassCount);
  for (const auto& [key, value] : replies) {
    if (key == "Error")
      (void)dlctl::ClassifyError(value, status.incomplete_bytes, "/nonexistent/target", free_space);
  }
  return 0;
}
