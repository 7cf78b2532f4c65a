// Bounds of everything DownloadInfo reads from the servers or from disk: a
// document beyond them is refused, never loaded.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelt {

inline constexpr std::size_t kMaxTorrentBytes = 1u << 20;        // torrent text
inline constexpr std::size_t kMaxTorrentServers = 256;           // Http + Tracker elements
inline constexpr std::size_t kMaxSeedFileBytes = 32u << 20;      // seed as stored (gzip)
inline constexpr std::size_t kMaxSeedTextBytes = 48u << 20;      // seed once inflated
inline constexpr std::size_t kMaxSeedFiles = 1u << 17;           // target files of one seed
inline constexpr std::size_t kMaxSeedParts = 1u << 19;           // parts of all files together
inline constexpr std::size_t kMaxDeleteNames = 1u << 16;         // delete-list entries
inline constexpr std::size_t kMaxNameBytes = 1024;               // one relative path
inline constexpr std::size_t kMaxUrlBytes = 2048;                // one CDN URL or tracker address
inline constexpr std::size_t kMaxResumeBytes = 16u << 20;        // resume file text

}  // namespace zelt
