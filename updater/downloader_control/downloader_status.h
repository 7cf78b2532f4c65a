// The updater's view of the downloader core: the replies it has received and
// the status record a poll derives from them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "shared/protocol/protocol.h"

namespace kestra::dlctl {

// What an "Error" line of the downloader core means to the updater.
enum DownloaderErrorClass : std::int32_t {
  kNoError = 0,
  kDiskFull = 1,          // "WriteFile" while the free space is below the missing bytes
  kOpenFileError = 2,     // "OpenFile"
  kSetFileSizeError = 3,  // "SetFileSize"
  kWriteFileError = 4,    // "WriteFile" otherwise (file in use)
  kDownloadTorrentError = 5,
  kDownloadSeedError = 6,
  kReadSeedError = 7,
};
inline constexpr int kErrorClassCount = 8;

struct DownloaderStatus {
  float download_rate = 0;          // "DownloadBandWidth", kB/s
  float upload_rate = 0;            // "UploadBandWidth", kB/s
  std::uint64_t incomplete_bytes = 0;  // "IncompleteByte"
  std::uint64_t total_bytes = 0;       // "TotalByte"
  float percentage_downloaded = 0;  // "PercentageDownloaded", 0-100
  float percentage = 0;             // "Percentage", 0-100
  float verify_percentage = 0;      // "VerifyPercentage", 0-1
  std::int32_t state = 0;           // "P2PState", 0-17
  std::int32_t error_class = kNoError;  // derived from "Error"
  std::int32_t error_code = 0;      // "ErrorCode"
  std::string file_name;            // "FileName"
  std::string error_file;           // "ErrorFile"

  void Reset() { *this = DownloaderStatus{}; }
};

// Latest value received for each key.
using ReplyMap = std::map<std::string, std::string>;

// Download state numbers of the downloader core that the updater acts on.
inline constexpr std::int32_t kStateScanning = protocol::kAllFileCheckMd5;
inline constexpr std::int32_t kStateDownloading = protocol::kDownloading;
inline constexpr std::int32_t kStateCompleted = protocol::kDownloadCompleted;
inline constexpr int kStateCount = protocol::kDownloadStateCount;

}  // namespace kestra::dlctl
