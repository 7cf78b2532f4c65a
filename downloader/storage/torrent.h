// The torrent: the small XML document that names the CDN servers, the
// trackers, the server configuration file and the seed. Reader and writer
// live together in torrent.cpp so that the two cannot drift apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "downloader/storage/seed_document.h"

namespace zelt {

struct TorrentCdn {
  std::string url;
  std::int32_t factor = 0;
  bool operator==(const TorrentCdn&) const = default;
};

struct TorrentTracker {
  std::string ip;
  std::uint16_t port = 0;
  bool operator==(const TorrentTracker&) const = default;
};

struct TorrentInfo {
  std::vector<TorrentCdn> cdnList;
  std::vector<TorrentTracker> trackers;
  std::uint64_t totalSize = 0;
  std::string defaultConfigFile;
  FileEntry seed;  // the seed file's descriptor; parts stay empty
};

// Parses a torrent text. nullopt when it is not a torrent: not XML, no Root,
// no Exist/File with its four attributes, a seed size of 0, a seed name that
// is not a safe relative path, or neither an Http nor a Tracker element.
std::optional<TorrentInfo> ParseTorrent(std::string_view text);

// The text ParseTorrent reads back into the same record.
std::string WriteTorrent(const TorrentInfo& info);

}  // namespace zelt
