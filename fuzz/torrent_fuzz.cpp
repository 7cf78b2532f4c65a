// The torrent document the core fetches from the update servers.
// fuzz-libs: kestra_storage
#include <cstddef>
#include <cstdint>
#include <string>

#include "downloader/storage/seed_file.h"
#include "downloader/storage/seed_limits.h"
#include "downloader/storage/torrent.h"
#include "fuzz/support/byte_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  const std::string_view text = kestra::fuzz::AsText(data, size);
  const std::optional<zelt::TorrentInfo> info = zelt::ParseTorrent(text);
  if (!info) return 0;
  Require(text.size() <= zelt::kMaxTorrentBytes);
  Require(!info->cdnList.empty() || !info->trackers.empty());
  Require(info->cdnList.size() + info->trackers.size() <= zelt::kMaxTorrentServers);
  Require(info->seed.size != 0 && zelt::IsSafeRelativeName(info->seed.name));
  // What is accepted survives the writer: the tool and the core agree.
  const std::optional<zelt::TorrentInfo> back = zelt::ParseTorrent(zelt::WriteTorrent(*info));
  Require(back.has_value());
  Require(back->cdnList == info->cdnList && back->trackers == info->trackers);
  Require(back->seed.name == info->seed.name && back->seed.size == info->seed.size &&
          back->seed.md5 == info->seed.md5 && back->totalSize == info->totalSize);
  return 0;
}
