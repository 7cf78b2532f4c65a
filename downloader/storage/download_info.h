// DownloadInfo: the torrent, the seed and the resume file of one task.
//
// When the file system starts it calls AcquireSeed (torrent from the local
// copy or the servers, then the server configuration, then the seed checked
// against the torrent or fetched again) and RegisterFiles (seed read, delete
// list applied, files created, progress restored from the resume file or
// rebuilt by a full verification). From then on every written block is
// reported through OnPartWritten, which records it and wakes the resume
// saver: a background thread that rewrites the resume file atomically (temp
// name, then rename) with the newest data. A save that a later one
// supersedes before it starts is skipped, and the write path never waits
// for the disk.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "downloader/storage/file_registrar.h"
#include "downloader/storage/range_set.h"
#include "downloader/storage/resume_file.h"
#include "downloader/storage/seed_document.h"
#include "downloader/storage/torrent.h"

namespace zelt {

class ConfigService;

// Names inside the information folder (D + kInfoFolderName).
inline constexpr const char* kInfoFolderName = "P2PUpdater_Info\\";
inline constexpr const char* kTorrentFileName = ".Torrent";
inline constexpr const char* kSeedFileName = ".Seed";
inline constexpr const char* kSeedPastFileName = ".Seed_Past";
inline constexpr const char* kResumeFileName = ".Download_Info_Data";

class DownloadInfo {
 public:
  DownloadInfo(ConfigService& config, IFileRegistrar& registrar);
  // Waits for the last pending save.
  ~DownloadInfo();
  DownloadInfo(const DownloadInfo&) = delete;
  DownloadInfo& operator=(const DownloadInfo&) = delete;

  // Mode "repair": deletes the resume file, both seeds and the torrent of the
  // folder and removes the folder, before anything else runs.
  void CleanupForRepair(const std::string& info_folder);
  // Deletes the resume file, both seeds, the torrent and the (then empty)
  // information folder of this task: the end of a completed download when
  // DeleteDownloadInfo is set.
  void DeleteInfoFiles();

  // Torrent, server configuration, seed. false after state 6 or 9 (and the
  // "Error" line) have been sent.
  bool AcquireSeed(const std::string& info_folder);
  // Seed read, delete list, files created and their progress restored.
  // false when the seed is unreadable ("ReadSeed") or a file cannot be created.
  bool RegisterFiles();

  // Called by the write thread under the owning file's lock once a block is
  // on disk: records the part and has the resume saver write it. Cheap.
  void OnPartWritten(std::uint32_t file_id, std::uint32_t part_id);
  // Waits until everything recorded so far is in the resume file; false when
  // the last save failed. Called when the file system stops.
  bool FlushResumeData();

  // Writes the resume file now (waiting for the disk).
  bool SaveResumeData();
  bool LoadResumeData();
  void EnsureFileResume(std::uint32_t file_id, std::uint32_t random_value);

  const TorrentInfo& torrent() const { return torrent_; }
  const Md5Digest& torrent_md5() const { return torrent_md5_; }
  const FileEntry& seed_descriptor() const { return seed_descriptor_; }
  const SeedDocument& seed() const { return seed_; }  // filled by RegisterFiles
  const std::string& info_folder() const { return info_folder_; }
  const std::string& torrent_path() const { return torrent_path_; }
  const std::string& seed_path() const { return seed_path_; }
  const std::string& seed_past_path() const { return seed_past_path_; }
  const std::string& resume_path() const { return resume_path_; }
  // A copy taken under the lock.
  ResumeData resume_data() const;

  // Pause between the passes over the server list (1000 ms by default).
  void set_retry_pause_ms(std::uint32_t ms) { retry_pause_ms_ = ms; }

 private:
  void BuildPaths(const std::string& info_folder);
  bool FetchTorrent();
  bool ApplyTorrentText(const std::string& text);
  bool CheckLocalSeed();
  bool FetchSeed();
  void DropUnknownResumeEntries();
  // Writes data (taken at generation) unless something newer is on disk already.
  bool WriteResume(const ResumeData& data, std::uint64_t generation);
  void SaverLoop();
  // The saver's counters (resume_mutex_ held): nothing counts as saved ahead
  // of the data.
  void check_invariant() const;

  ConfigService& config_;
  IFileRegistrar& registrar_;
  std::string info_folder_, torrent_path_, seed_path_, seed_past_path_, resume_path_;
  TorrentInfo torrent_;
  Md5Digest torrent_md5_{};
  FileEntry seed_descriptor_;
  SeedDocument seed_;
  std::uint32_t retry_pause_ms_ = 1000;

  mutable std::mutex resume_mutex_;
  std::condition_variable resume_changed_;  // to the saver: new data or stop
  std::condition_variable resume_saved_;    // to FlushResumeData
  ResumeData resume_;
  std::uint64_t generation_ = 0;        // bumped by every change
  std::uint64_t saved_generation_ = 0;  // what the saver has dealt with
  bool last_save_ok_ = true;
  bool stopping_ = false;
  std::thread saver_;

  std::mutex write_mutex_;  // one writer of the file at a time
  std::uint64_t written_generation_ = 0;
  bool files_deleted_ = false;  // DeleteInfoFiles ran: no save may bring them back
};

}  // namespace zelt
