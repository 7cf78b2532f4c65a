#include "downloader/storage/download_info.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <thread>
#include <utility>

#include "downloader/framework/log.h"
#include "downloader/net/http_requester.h"
#include "downloader/services/config_service.h"
#include "downloader/services/shell_info.h"
#include "downloader/storage/seed_file.h"
#include "downloader/storage/seed_limits.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "shared/protocol/protocol.h"

namespace zelt {
namespace {

namespace fs = platform::fs;

constexpr const char* kModule = "DownloadInfo";
constexpr int kPasses = 3;
constexpr std::uint32_t kTorrentIdleMs = 3000;
constexpr std::uint32_t kTorrentTotalMs = 30000;
constexpr std::uint32_t kSeedIdleMs = 5000;
constexpr std::uint32_t kSeedChunkBytes = 1024;
constexpr const char* kResumeTempSuffix = ".tmp";

namespace proto = kestra::protocol;

void SendError(const char* value) { InteractiveValue(proto::kKeyError, "%s", value); }

// Keeps a body in memory up to a bound; a longer body is refused.
class BoundedBodySink : public HttpCallback {
 public:
  explicit BoundedBodySink(std::size_t limit) : limit_(limit) {}
  bool OnData(const char* data, std::uint32_t length, std::uint32_t offset) override {
    if (offset != body_.size() || body_.size() + length > limit_) return false;
    body_.append(data, length);
    return true;
  }
  const std::string& body() const { return body_; }
  void Clear() { body_.clear(); }

 private:
  std::size_t limit_;
  std::string body_;
};

// Writes the seed body into the open seed file at its offsets; never beyond
// the size the torrent announced.
class GetSeedSyncCallback : public HttpCallback {
 public:
  GetSeedSyncCallback(fs::File& file, std::uint32_t max_bytes) : file_(file), max_bytes_(max_bytes) {}
  bool OnData(const char* data, std::uint32_t length, std::uint32_t offset) override {
    if (static_cast<std::uint64_t>(offset) + length > max_bytes_) return false;
    return file_.Seek(offset) && file_.WriteAll(std::string_view(data, length));
  }

 private:
  fs::File& file_;
  std::uint32_t max_bytes_;
};

// The runtime's 15-bit generator, seeded per call site.
class SeededRandom {
 public:
  explicit SeededRandom(std::uint32_t seed) : state_(seed) {}
  std::uint32_t Next() {
    state_ = state_ * 214013u + 2531011u;
    return (state_ >> 16) & 0x7FFFu;
  }

 private:
  std::uint32_t state_;
};

std::string JoinUrl(const std::string& base, const std::string& path) { return base + "/" + path; }

}  // namespace

DownloadInfo::DownloadInfo(ConfigService& config, IFileRegistrar& registrar)
    : config_(config), registrar_(registrar) {}

void DownloadInfo::BuildPaths(const std::string& info_folder) {
  const std::string& postfix = config_.params().postfix;
  info_folder_ = info_folder;
  torrent_path_ = info_folder + kTorrentFileName;
  seed_path_ = info_folder + kSeedFileName + postfix;
  seed_past_path_ = info_folder + kSeedPastFileName + postfix;
  resume_path_ = info_folder + kResumeFileName + postfix;
  config_.set_info_file_paths({seed_path_, seed_past_path_, resume_path_});
}

void DownloadInfo::CleanupForRepair(const std::string& info_folder) {
  BuildPaths(info_folder);
  DeleteInfoFiles();
}

void DownloadInfo::DeleteInfoFiles() {
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (info_folder_.empty()) return;
  files_deleted_ = true;
  for (const std::string* path : {&resume_path_, &seed_path_, &seed_past_path_, &torrent_path_}) {
    fs::RemoveFile(*path);
  }
  fs::RemoveFile(resume_path_ + kResumeTempSuffix);
  fs::RemoveEmptyDirectory(info_folder_);
}

bool DownloadInfo::AcquireSeed(const std::string& info_folder) {
  BuildPaths(info_folder);
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    files_deleted_ = false;
  }
  if (!FetchTorrent()) {
    config_.SetState(kGetSeedMd5Fail);
    SendError(proto::kErrDownloadTorrent);
    return false;
  }
  ZLOG(log::kNotice, kModule, "获取Torrent成功");
  config_.LoadConfigFromServer();
  seed_descriptor_ = torrent_.seed;
  if (CheckLocalSeed()) {
    ZLOG(log::kNotice, kModule, "校验种子文件成功");
    return true;
  }
  if (!FetchSeed()) {
    config_.SetState(kDownloadSeedFileFail);
    SendError(proto::kErrDownloadSeed);
    return false;
  }
  ZLOG(log::kNotice, kModule, "校验种子文件成功");
  return true;
}

bool DownloadInfo::ApplyTorrentText(const std::string& text) {
  std::optional<TorrentInfo> parsed = ParseTorrent(text);
  if (!parsed) return false;
  if (!parsed->trackers.empty()) {
    std::vector<TrackerAddress> trackers;
    for (const TorrentTracker& t : parsed->trackers) trackers.push_back({t.ip, t.port});
    config_.set_tracker_list(std::move(trackers));
  }
  if (!parsed->cdnList.empty()) {
    std::vector<CdnEntry> cdns;
    for (const TorrentCdn& c : parsed->cdnList) cdns.push_back({c.url, c.factor});
    config_.set_cdn_list(std::move(cdns));
  }
  config_.set_server_config_address(parsed->defaultConfigFile);
  torrent_ = std::move(*parsed);
  torrent_md5_ = Md5Of(text);
  return true;
}

bool DownloadInfo::FetchTorrent() {
  ZLOG(log::kNotice, kModule, "正在获取种子信息");
  config_.SetState(kGetSeedMd5);
  const bool download_mode = config_.mode() == kModeDownload;
  if (download_mode && fs::Exists(torrent_path_)) {
    std::string text;
    if (fs::ReadWholeFile(torrent_path_, text, kMaxTorrentBytes) && ApplyTorrentText(text)) return true;
  }
  const std::vector<std::string> servers = config_.http_list();
  if (servers.empty()) {
    ZLOG(log::kError, kModule, "Empty http list");
    return false;
  }
  HttpRequester requester;
  BoundedBodySink sink(kMaxTorrentBytes);
  for (int pass = 0; pass < kPasses; ++pass) {
    for (const std::string& base : servers) {
      const std::string url = JoinUrl(base, config_.params().torrent_path);
      ZLOG(log::kNotice, kModule, "Try to get torrent from: %s", url.c_str());
      RequestDescriptor request;
      request.url = url;
      request.idleTimeout = kTorrentIdleMs;
      request.totalTimeout = kTorrentTotalMs;
      request.chunkSize = kSeedChunkBytes;
      request.sink = &sink;
      sink.Clear();
      const std::int32_t result = requester.Get(request);
      if (result < 0) {
        ZLOG(log::kWarning, kModule, "Get torrent try fail, ErrorCode: %d, \nHeader:\n%s", result,
             requester.HeaderText().c_str());
        ZLOG(log::kWarning, kModule, "Can not get torrent from: %s", url.c_str());
        requester.Close();
        continue;
      }
      if (!ApplyTorrentText(sink.body())) {
        ZLOG(log::kWarning, kModule, "Read torrent error");
        continue;
      }
      if (download_mode) {
        if (!fs::MakeDirectories(info_folder_) || !fs::WriteWholeFile(torrent_path_, sink.body())) {
          ZLOG(log::kError, kModule, "Write torrent file error!");
        }
      }
      return true;
    }
    if (pass + 1 < kPasses) {
      ZLOG(log::kNotice, kModule, "Try again %dms later, %d retries remaining.",
           static_cast<int>(retry_pause_ms_), kPasses - pass - 1);
      platform::clock::SleepMs(retry_pause_ms_);
    }
  }
  return false;
}

bool DownloadInfo::CheckLocalSeed() {
  if (!fs::IsRegularFile(seed_path_)) {
    ZLOG(log::kNotice, kModule, "种子文件不存在");
    if (fs::Exists(resume_path_)) {
      ZLOG(log::kNotice, kModule, "续传信息文件存在, 将其删除.");
      fs::RemoveFile(resume_path_);
    }
    return false;
  }
  std::string bytes;
  bool matches = false;
  if (fs::ReadWholeFile(seed_path_, bytes, kMaxSeedFileBytes)) {
    matches = Md5Of(bytes) == seed_descriptor_.md5;
  } else {
    ZLOG(log::kWarning, kModule, "Open seed file to verify error.");
  }
  if (matches) return true;
  ZLOG(log::kNotice, kModule, "种子文件校验不通过");
  if (fs::Exists(resume_path_)) {
    // The resume data belongs to the old seed: both leave together, and the
    // old seed is kept as the previous one.
    ZLOG(log::kNotice, kModule, "种子文件已更新, 且存在旧种子文件");
    fs::RemoveFile(resume_path_);
    fs::RemoveFile(seed_past_path_);
    fs::MoveFile(seed_path_, seed_past_path_, true);
  }
  return false;
}

bool DownloadInfo::FetchSeed() {
  config_.SetState(kDownloadSeedFile);
  const std::vector<std::string> servers = config_.http_list();
  if (servers.empty()) {
    ZLOG(log::kError, kModule, "Http list is empty");
    return false;
  }
  HttpRequester requester;
  for (int pass = 0; pass < kPasses; ++pass) {
    for (const std::string& base : servers) {
      fs::MakeDirectories(info_folder_);
      fs::File file;
      // Truncated on every attempt: a longer stale seed must not survive
      // below a shorter new one.
      if (!file.Open(seed_path_, fs::Access::ReadWrite, fs::Disposition::OpenAlways) || !file.SetLength(0)) {
        ZLOG(log::kError, kModule, "Open seed file to write error.");
        return false;
      }
      const std::string url = JoinUrl(base, seed_descriptor_.name);
      ZLOG(log::kNotice, kModule, "Try to get seed from: %s", url.c_str());
      ZLOG(log::kNotice, kModule, "Requesting seed: %s", url.c_str());
      GetSeedSyncCallback sink(file, std::min<std::uint32_t>(seed_descriptor_.size, kMaxSeedFileBytes));
      RequestDescriptor request;
      request.url = url;
      request.idleTimeout = kSeedIdleMs;
      request.chunkSize = kSeedChunkBytes;
      request.sink = &sink;
      const std::int32_t result = requester.Get(request);
      if (result >= 0) {
        std::string bytes;
        const std::int64_t size = file.Size().value_or(-1);
        bool read_ok = size >= 0 && static_cast<std::uint64_t>(size) <= kMaxSeedFileBytes;
        if (read_ok) {
          bytes.resize(static_cast<std::size_t>(size));
          read_ok = file.Seek(0) && (size == 0 || file.ReadExact(bytes.data(), bytes.size()));
        }
        file.Close();
        if (read_ok && result == size && Md5Of(bytes) == seed_descriptor_.md5) return true;
        ZLOG(log::kWarning, kModule, "seed file md5 check error, http recv length = %d, file read length = %d",
             static_cast<int>(result), static_cast<int>(size));
      } else {
        ZLOG(log::kWarning, kModule, "Get seed try fail, ErrorCode: %d, \nHeader:\n%s", result,
             requester.HeaderText().c_str());
        ZLOG(log::kWarning, kModule, "Can not get seed from: %s", url.c_str());
        file.Close();
        requester.Close();
      }
    }
    if (pass + 1 < kPasses) {
      ZLOG(log::kNotice, kModule, "Try again %dms later, %d retries remaining.",
           static_cast<int>(retry_pause_ms_), kPasses - pass - 1);
      platform::clock::SleepMs(retry_pause_ms_);
    }
  }
  return false;
}

bool DownloadInfo::RegisterFiles() {
  ZLOG(log::kNotice, kModule, "RegisterFiles");
  ZLOG(log::kNotice, kModule, "Read seed begin");
  std::optional<SeedDocument> seed = ReadSeedFile(seed_path_);
  if (!seed) {
    ZLOG(log::kError, kModule, "Read seed error");
    SendError(proto::kErrReadSeed);
    return false;
  }
  ZLOG(log::kNotice, kModule, "Read seed end");
  seed_ = std::move(*seed);

  ZLOG(log::kNotice, kModule, "删除列表中要求删除的文件共%d个", static_cast<int>(seed_.delete_list.size()));
  const std::string& dir = config_.current_dir();
  for (const std::string& name : seed_.delete_list) {
    const std::string path = dir + name;
    if (fs::IsRegularFile(path)) fs::RemoveFile(path);
  }

  const bool loaded = LoadResumeData();
  DropUnknownResumeEntries();

  const std::uint32_t thread_id =
      static_cast<std::uint32_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
  SeededRandom random(platform::clock::TickCount() *
                      static_cast<std::uint32_t>(platform::process::CurrentPid()) * thread_id);
  for (const FileEntry& file : seed_.files) {
    const std::uint32_t r1 = random.Next();
    const std::uint32_t r2 = random.Next();
    EnsureFileResume(file.id, (r1 << 16) | r2);
  }

  if (!loaded) {
    ZLOG(log::kNotice, kModule, "读取续传信息失败");
    if (ReadSeedFile(seed_past_path_)) {
      ZLOG(log::kNotice, kModule, "发现旧的种子文件, 进行种子对比");
    } else {
      ZLOG(log::kNotice, kModule, "读取旧种子文件失败");
    }
  } else {
    ZLOG(log::kNotice, kModule, "读取续传信息成功");
  }
  if (!registrar_.AddMultipleFiles(seed_.files)) {
    ZLOG(log::kError, kModule, "Add multiple file error");
    return false;
  }
  const ResumeData snapshot = resume_data();
  if (!loaded) {
    for (const auto& [file_id, location] : snapshot.http_begin) registrar_.SetHttpBegin(file_id, location);
    ZLOG(log::kNotice, kModule, "校验客户端");
    ZLOG(log::kNotice, kModule, "进行全文件扫描");
    config_.SetState(kAllFileCheckMd5);
    std::map<std::uint32_t, RangeSet> completed = snapshot.completed_parts;
    registrar_.VerifyAll(completed);
    {
      std::lock_guard<std::mutex> lock(resume_mutex_);
      for (auto& [file_id, parts] : completed) resume_.completed_parts[file_id] = std::move(parts);
    }
    SaveResumeData();
    ZLOG(log::kNotice, kModule, "全文件扫描完毕");
  } else {
    ZLOG(log::kNotice, kModule, "根据续传信息恢复下载状态");
    for (const auto& [file_id, location] : snapshot.http_begin) registrar_.SetHttpBegin(file_id, location);
    for (const auto& [file_id, parts] : snapshot.completed_parts) registrar_.RestoreCompleted(file_id, parts);
  }
  registrar_.RecordStartBytes();
  return true;
}

// Resume entries of files the seed does not name, and part ids a file does
// not have, describe nothing that exists: they are dropped rather than kept
// in every later save.
void DownloadInfo::DropUnknownResumeEntries() {
  std::lock_guard<std::mutex> lock(resume_mutex_);
  std::map<std::uint32_t, const FileEntry*> files;
  for (const FileEntry& file : seed_.files) files.emplace(file.id, &file);
  for (auto it = resume_.completed_parts.begin(); it != resume_.completed_parts.end();) {
    auto file = files.find(it->first);
    if (file == files.end()) {
      resume_.http_begin.erase(it->first);
      it = resume_.completed_parts.erase(it);
      continue;
    }
    RangeSet known;
    for (const PartEntry& part : file->second->parts) {
      if (it->second.Contains(part.id)) known.Insert(part.id);
    }
    it->second = std::move(known);
    ++it;
  }
  for (auto it = resume_.http_begin.begin(); it != resume_.http_begin.end();) {
    it = files.count(it->first) != 0 ? std::next(it) : resume_.http_begin.erase(it);
  }
}

void DownloadInfo::check_invariant() const {
#if !defined(NDEBUG) || defined(KESTRA_CHECK_INVARIANTS)
  if (saved_generation_ > generation_) {
    std::fprintf(stderr, "DownloadInfo invariant: saved generation %llu ahead of %llu\n",
                 static_cast<unsigned long long>(saved_generation_), static_cast<unsigned long long>(generation_));
    std::abort();
  }
#endif
}

void DownloadInfo::OnPartWritten(std::uint32_t file_id, std::uint32_t part_id) {
  std::lock_guard<std::mutex> lock(resume_mutex_);
  check_invariant();
  resume_.completed_parts[file_id].Insert(part_id);
  ++generation_;
  if (!saver_.joinable() && !stopping_) saver_ = std::thread([this] { SaverLoop(); });
  resume_changed_.notify_one();
}

void DownloadInfo::SaverLoop() {
  std::unique_lock<std::mutex> lock(resume_mutex_);
  while (true) {
    resume_changed_.wait(lock, [this] { return stopping_ || saved_generation_ != generation_; });
    check_invariant();
    if (saved_generation_ == generation_) return;  // stopping with nothing left
    // The newest data only: every change made meanwhile is in it.
    const std::uint64_t generation = generation_;
    const ResumeData snapshot = resume_;
    lock.unlock();
    const bool ok = WriteResume(snapshot, generation);
    lock.lock();
    if (generation > saved_generation_) {
      saved_generation_ = generation;
      last_save_ok_ = ok;
    }
    resume_saved_.notify_all();
  }
}

bool DownloadInfo::FlushResumeData() {
  std::unique_lock<std::mutex> lock(resume_mutex_);
  const std::uint64_t wanted = generation_;
  if (!saver_.joinable()) return last_save_ok_;
  resume_saved_.wait(lock, [&] { return saved_generation_ >= wanted; });
  return last_save_ok_;
}

DownloadInfo::~DownloadInfo() {
  {
    std::lock_guard<std::mutex> lock(resume_mutex_);
    stopping_ = true;
    resume_changed_.notify_all();
  }
  if (saver_.joinable()) saver_.join();
}

bool DownloadInfo::SaveResumeData() {
  ResumeData snapshot;
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(resume_mutex_);
    snapshot = resume_;
    generation = generation_;
  }
  const bool ok = WriteResume(snapshot, generation);
  std::lock_guard<std::mutex> lock(resume_mutex_);
  if (generation >= saved_generation_) {
    saved_generation_ = generation;
    last_save_ok_ = ok;
  }
  resume_saved_.notify_all();
  return ok;
}

// Written beside the resume file and renamed over it, so that a crash in the
// middle of a save leaves the previous resume file whole.
bool DownloadInfo::WriteResume(const ResumeData& data, std::uint64_t generation) {
  std::lock_guard<std::mutex> lock(write_mutex_);
  if (generation < written_generation_) return true;  // a newer state is on disk
  if (resume_path_.empty() || files_deleted_) return false;
  const std::string text = WriteResumeText(data);
  const std::string temp = resume_path_ + kResumeTempSuffix;
  fs::File file;
  if (!file.Open(temp, fs::Access::Write, fs::Disposition::CreateAlways)) {
    fs::MakeDirectories(info_folder_);
    if (!file.Open(temp, fs::Access::Write, fs::Disposition::CreateAlways)) {
      ZLOG(log::kError, kModule, "Cannot Open File.");
      return false;
    }
  }
  const bool written = file.WriteAll(text) && file.Flush();
  file.Close();
  if (!written || !fs::MoveFile(temp, resume_path_, true)) {
    ZLOG(log::kError, kModule, "Cannot write resume file %s", resume_path_.c_str());
    fs::RemoveFile(temp);
    return false;
  }
  written_generation_ = generation;
  return true;
}

bool DownloadInfo::LoadResumeData() {
  std::string text;
  if (resume_path_.empty() || !fs::ReadWholeFile(resume_path_, text, kMaxResumeBytes)) return false;
  ResumeData data;
  if (!ReadResumeText(text, data)) return false;
  std::lock_guard<std::mutex> lock(resume_mutex_);
  resume_ = std::move(data);
  return true;
}

void DownloadInfo::EnsureFileResume(std::uint32_t file_id, std::uint32_t random_value) {
  std::lock_guard<std::mutex> lock(resume_mutex_);
  resume_.completed_parts[file_id];
  resume_.http_begin.emplace(file_id, random_value);
}

ResumeData DownloadInfo::resume_data() const {
  std::lock_guard<std::mutex> lock(resume_mutex_);
  return resume_;
}

}  // namespace zelt
