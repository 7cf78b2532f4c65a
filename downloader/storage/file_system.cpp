#include "downloader/storage/file_system.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "downloader/framework/log.h"
#include "downloader/services/config_service.h"
#include "downloader/services/parameters.h"
#include "downloader/services/shell_info.h"
#include "downloader/storage/download_info.h"
#include "platform/block_file.h"
#include "platform/clock.h"
#include "shared/protocol/protocol.h"

namespace zelt {

namespace proto = kestra::protocol;

namespace {

constexpr const char* kModule = "FileSystem";
// The pending-write watch runs at most this often.
constexpr std::int64_t kWatchIntervalSeconds = 2;
// Upper bound of the scan's hashing threads.
constexpr unsigned kMaxVerifyThreads = 8;

// One lock for every group of error lines in the process.
std::mutex& ErrorStatusMutex() {
  static std::mutex m;
  return m;
}

[[noreturn]] void InvariantFailed(const char* what) {
  std::fprintf(stderr, "FileSystem invariant failed: %s\n", what);
  std::abort();
}

double Ratio(std::uint64_t part, std::uint64_t whole) {
  if (part == whole) return 1.0;
  return whole == 0 ? 1.0 : static_cast<double>(part) / static_cast<double>(whole);
}

// A relative seed name stays below the download directory: not absolute, no
// drive letter, no ".." step.
bool SafeRelativeName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
  if (name.size() >= 2 && name[1] == ':') return false;
  std::size_t begin = 0;
  while (begin <= name.size()) {
    std::size_t end = name.find_first_of("/\\", begin);
    if (end == std::string::npos) end = name.size();
    if (name.compare(begin, end - begin, "..") == 0) return false;
    begin = end + 1;
  }
  return true;
}

}  // namespace

FileSystem::FileSystem() : allocator_(std::make_unique<GlobalBlockAllocator>(files_)) {}

FileSystem::~FileSystem() { ReleaseFiles(); }

void FileSystem::Configure(const std::string& download_dir, int fsys) {
  download_dir_ = download_dir;
  info_folder_ = download_dir + kInfoFolder;
  fsys_ = fsys;
}

void FileSystem::set_completion_listener(CompletionListener listener) {
  std::lock_guard<std::mutex> lock(hooks_mutex_);
  listener_ = std::move(listener);
}

void FileSystem::set_priority_listener(std::function<void(std::uint32_t level)> listener) {
  std::lock_guard<std::mutex> lock(hooks_mutex_);
  priority_listener_ = std::move(listener);
}

void FileSystem::set_status_writer(StatusWriter writer) {
  std::lock_guard<std::mutex> lock(hooks_mutex_);
  status_writer_ = std::move(writer);
}

// ---------------------------------------------------------------------------
// Life cycle

int FileSystem::Init() { return framework::kPhaseDone; }

int FileSystem::Start() {
  const int wait = driver_ != nullptr ? driver_->WaitFor(kConfigServiceName, framework::kStateStarted)
                                      : framework::kPhaseDone;
  if (wait != framework::kPhaseDone) return wait;
  config_ = registry_ != nullptr ? registry_->Find<ConfigService>(kConfigServiceName) : nullptr;
  if (config_ == nullptr) {
    ZLOG(log::kError, kModule, "FileSystem::Start no configuration service");
    if (driver_ != nullptr) driver_->Stop();
    return framework::kPhaseFailed;
  }
  if (!Prepare(*config_)) {
    if (driver_ != nullptr) driver_->Stop();
    return framework::kPhaseFailed;
  }
  if (config_->params().generate_download_info) {
    // Only the resume data was wanted: it is written, the program ends.
    DrainWrites();
    info_->FlushResumeData();
    if (driver_ != nullptr) driver_->Stop();
    return framework::kPhaseFailed;
  }
  return framework::kPhaseDone;
}

bool FileSystem::Prepare(ConfigService& config) {
  config_ = &config;
  Configure(config.current_dir(), config.params().fsys_mode);
  info_ = std::make_unique<DownloadInfo>(config, *this);
  if (config.mode() == kModeRepair) info_->CleanupForRepair(info_folder_);
  if (!info_->AcquireSeed(info_folder_) || !info_->RegisterFiles()) return false;
  ZLOG(log::kNotice, kModule, "注册下载文件成功");
  return true;
}

int FileSystem::Run() {
  PendingWriteWatch();
  return framework::kPhaseNotYet;
}

int FileSystem::Stop() {
  ZLOG(log::kNotice, kModule, "FileSystem::Stop");
  ReleaseFiles();
  ZLOG(log::kNotice, kModule, "FileSystem::Stop 1");
  return framework::kPhaseDone;
}

int FileSystem::Release() {
  // A start that failed never reaches Stop; its files are let go here.
  ReleaseFiles();
  return framework::kPhaseDone;
}

void FileSystem::ReleaseFiles() {
  if (stopped_) return;
  stopped_ = true;
  // What is queued reaches the disk before the files close, and the resume
  // file records all of it.
  write_thread_.Stop();
  for (File* f : files_.Ordered()) f->Close();
  if (info_) info_->FlushResumeData();
}

void FileSystem::DrainWrites() {
  while (write_thread_.pending_bytes() > 0) platform::clock::SleepMs(1);
  // Jobs of zero bytes (flushes) may still run; a closing back-end waits for them.
}

void FileSystem::PendingWriteWatch() {
  const std::int64_t now = platform::clock::UnixSeconds();
  if (last_watch_second_ >= 0 && now - last_watch_second_ < kWatchIntervalSeconds) return;
  last_watch_second_ = now;
  const std::uint64_t pending = write_thread_.pending_bytes();
  if (pending <= kPendingWriteLimit) {
    ZLOG(log::kTrace, kModule, "FileSystem Pending Size = %" PRId64, static_cast<std::int64_t>(pending));
  } else {
    ZLOG(log::kWarning, kModule, "FileSystem Pending too much Size = %" PRId64, static_cast<std::int64_t>(pending));
  }
}

// ---------------------------------------------------------------------------
// Registration

bool FileSystem::AddMultipleFiles(const std::vector<FileEntry>& files) {
  if (config_ != nullptr) config_->SetState(kCreateFile);
  for (const FileEntry& entry : files) {
    if (!AddSingleFile(entry)) return false;
  }
  return true;
}

bool FileSystem::AddSingleFile(const FileEntry& entry) {
  ZLOG(log::kInfo, kModule, "FileSystem::AddSingleFile id=%d name=%s block_cnt=%u size=%u",
       static_cast<int>(entry.id), entry.name.c_str(), static_cast<unsigned>(entry.parts.size()), entry.size);
  // A file with bytes but no parts could never complete; a name that leaves
  // the download directory must never be opened.
  if (!SafeRelativeName(entry.name) || (entry.size > 0 && entry.parts.empty())) {
    ZLOG(log::kError, kModule, "Create File Error");
    return false;
  }
  if (files_.Find(entry.id) != nullptr) {
    ZLOG(log::kError, kModule, "Add file error, file id already exist.");
    return false;
  }
  auto file = std::make_unique<File>(*this, entry, download_dir_);
  if (!file->Open(fsys_, write_thread_)) {
    ZLOG(log::kError, kModule, "Create File Error");
    return false;
  }
  if (!files_.Add(std::move(file))) return false;
  std::lock_guard<std::mutex> lock(counters_mutex_);
  total_bytes_ += entry.size;
  return true;
}

void FileSystem::SetHttpBegin(std::uint32_t file_id, std::uint32_t location) {
  if (File* f = files_.Find(file_id)) f->SetHttpBegin(location);
}

void FileSystem::RestoreCompleted(std::uint32_t file_id, const RangeSet& parts) {
  if (File* f = files_.Find(file_id)) f->RestoreCompleted(parts);
}

void FileSystem::RecordStartBytes() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  written_at_start_ = written_bytes_;
}

void FileSystem::VerifyAll(std::map<std::uint32_t, RangeSet>& completed) {
  const std::vector<File*> files = files_.Ordered();
  // Every block of every file that existed, in file order.
  struct Item {
    std::size_t file;
    std::uint32_t block;
  };
  std::vector<Item> items;
  for (std::size_t f = 0; f < files.size(); ++f) {
    if (!files[f]->existed_before()) continue;
    for (std::uint32_t b = 0; b < files[f]->block_count(); ++b)
      if (files[f]->block(b)->length() > 0) items.push_back({f, b});
  }
  const std::uint64_t range = std::max<std::uint64_t>(total_bytes(), 1);
  // Claims hand out the blocks in order; the claimant reports the file name
  // and the progress, so the lines come in the order of the files.
  std::mutex claim_mutex;
  std::size_t next_item = 0;
  std::size_t named_files = 0;
  std::uint64_t progress = 0;
  std::uint64_t reported = 0;
  std::mutex result_mutex;
  auto name_files_up_to = [&](std::size_t count) {
    for (; named_files < count; ++named_files) SendStatus(proto::kKeyVerifyFilename, files[named_files]->name());
  };
  auto report = [&](bool final_line) {
    if (!final_line && static_cast<double>(progress - reported) < 0.01 * static_cast<double>(range)) return;
    reported = progress;
    char value[64];
    std::snprintf(value, sizeof value, "%f", static_cast<double>(progress) / static_cast<double>(range));
    SendStatus(proto::kKeyVerifyPercentage, value);
  };
  auto worker = [&](bool lower_priority) {
    if (lower_priority) platform::LowerThreadPriority();
    std::vector<char> scratch;
    for (;;) {
      Item item{};
      {
        std::lock_guard<std::mutex> lock(claim_mutex);
        if (next_item >= items.size()) return;
        item = items[next_item++];
        name_files_up_to(item.file + 1);
        progress += files[item.file]->block(item.block)->length();
        report(false);
      }
      File& file = *files[item.file];
      if (file.VerifyBlockOnDisk(item.block, scratch)) {
        std::lock_guard<std::mutex> lock(result_mutex);
        completed[file.id()].Insert(file.block(item.block)->part_id());
      }
    }
  };
  unsigned threads = verify_threads_ != 0 ? verify_threads_ : std::thread::hardware_concurrency();
  threads = std::clamp(threads, 1u, kMaxVerifyThreads);
  // The scan runs below normal priority on threads of its own, so the
  // service thread keeps its priority afterwards.
  std::vector<std::thread> pool;
  for (unsigned i = 0; i < threads; ++i) pool.emplace_back(worker, true);
  for (auto& t : pool) t.join();
  name_files_up_to(files.size());
  report(true);
}

// ---------------------------------------------------------------------------
// Data

bool FileSystem::Write(std::uint32_t file_id, const char* data, std::uint32_t offset, std::uint32_t length) {
  File* f = files_.Find(file_id);
  if (f == nullptr) {
    ZLOG(log::kError, kModule, "FileSystem::Write File not found. FileID: %d", static_cast<int>(file_id));
    return false;
  }
  f->Write(data, offset, length);
  return true;
}

bool FileSystem::Read(std::uint32_t file_id, char* buffer, std::uint32_t length, std::uint32_t offset) {
  File* f = files_.Find(file_id);
  return f != nullptr && f->Read(buffer, length, offset);
}

void FileSystem::AddVerified(std::int64_t bytes) {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  if (bytes < 0 && static_cast<std::uint64_t>(-bytes) > verified_bytes_) {
#if !defined(NDEBUG) || defined(KESTRA_CHECK_INVARIANTS)
    InvariantFailed("received bytes below zero");
#endif
    verified_bytes_ = 0;
    return;
  }
  verified_bytes_ = static_cast<std::uint64_t>(static_cast<std::int64_t>(verified_bytes_) + bytes);
}

void FileSystem::AddWritten(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  written_bytes_ += bytes;
}

void FileSystem::AnnounceBlock(File& file, std::uint32_t index) {
  file.SetHaveBit(index);
  CompletionListener listener;
  {
    std::lock_guard<std::mutex> lock(hooks_mutex_);
    listener = listener_;
  }
  if (listener) listener(file.id(), index);
}

void FileSystem::PartWritten(File& file, std::uint32_t part_id) {
  if (info_) info_->OnPartWritten(file.id(), part_id);
}

void FileSystem::SendStatus(const std::string& key, const std::string& value) {
  StatusWriter writer;
  {
    std::lock_guard<std::mutex> lock(hooks_mutex_);
    writer = status_writer_;
  }
  if (writer) writer(key, value);
  else InteractiveValue(key.c_str(), "%s", value.c_str());
}

void FileSystem::SendErrorStatus(const std::vector<std::pair<std::string, std::string>>& lines) {
  std::lock_guard<std::mutex> lock(ErrorStatusMutex());
  for (const auto& [key, value] : lines) SendStatus(key, value);
}

// ---------------------------------------------------------------------------
// Counters and reports

IFileSystemService::ByteCounters FileSystem::Counters() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  ByteCounters c;
  c.total = total_bytes_;
  c.received = verified_bytes_;
  c.complete = written_bytes_;
  c.complete_at_start = written_at_start_;
  return c;
}

bool FileSystem::IsComplete() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  return verified_bytes_ == total_bytes_;
}

double FileSystem::Percentage() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  return Ratio(verified_bytes_, total_bytes_);
}

double FileSystem::PercentageDownloaded() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  return Ratio(written_bytes_, total_bytes_);
}

double FileSystem::CurUpdatePercentage() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  if (verified_bytes_ < written_at_start_) return 0.0;
  return Ratio(verified_bytes_ - written_at_start_, total_bytes_ - written_at_start_);
}

std::uint64_t FileSystem::total_bytes() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  return total_bytes_;
}

std::uint64_t FileSystem::verified_bytes() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  return verified_bytes_;
}

std::uint64_t FileSystem::written_bytes() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  return written_bytes_;
}

std::uint64_t FileSystem::written_at_start() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  return written_at_start_;
}

bool FileSystem::FileName(std::uint32_t index, std::string& name) {
  const std::vector<File*> files = files_.Ordered();
  if (index >= files.size()) return false;
  name = files[index]->name();
  return true;
}

void FileSystem::SetQuickLevel(std::uint32_t level) {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  quick_level_ = level;
}

std::uint32_t FileSystem::quick_level() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  return quick_level_;
}

bool FileSystem::SetPriority(const std::string& name, std::uint32_t start, std::uint32_t length,
                             std::uint32_t level) {
  File* target = nullptr;
  for (File* f : files_.Ordered()) {
    if (f->name() == name) {
      target = f;
      break;
    }
  }
  if (target == nullptr || length == 0 || start >= target->size()) return false;
  const std::uint32_t clipped = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(length, std::uint64_t{target->size()} - start));
  target->AddPriority({start, clipped, level});
  std::function<void(std::uint32_t)> listener;
  {
    std::lock_guard<std::mutex> lock(hooks_mutex_);
    priority_segments_.push_back({target->id(), start, clipped, level});
    listener = priority_listener_;
  }
  if (listener) listener(level);
  return true;
}

std::vector<FileSystem::PrioritySegment> FileSystem::PrioritySegments() {
  std::lock_guard<std::mutex> lock(hooks_mutex_);
  return priority_segments_;
}

std::string FileSystem::BlockStatusText() {
  std::string out;
  for (File* f : files_.Ordered()) {
    std::vector<std::uint8_t> bits((f->block_count() + 3) / 4, 0);
    f->StateBitmap(bits.data(), f->block_count());
    out += f->name();
    out += '\n';
    char hex[3];
    for (std::uint8_t b : bits) {
      std::snprintf(hex, sizeof hex, "%02X", b);
      out += hex;
    }
    out += '\n';
  }
  return out;
}

bool FileSystem::HaveBitmap(std::uint32_t file_id, std::vector<std::uint8_t>& out) {
  File* f = files_.Find(file_id);
  if (f == nullptr) return false;
  out = f->HaveBitmap();
  return true;
}

bool FileSystem::StateBitmap(std::uint32_t file_id, std::uint8_t* out, std::size_t entries) {
  File* f = files_.Find(file_id);
  return f != nullptr && f->StateBitmap(out, entries);
}

void FileSystem::FreeAllocatedBlocks() {
  for (File* f : files_.Ordered()) {
    auto lock = f->Lock();
    for (std::uint32_t i = 0; i < f->block_count(); ++i) f->block(i)->ReleaseAllocation();
  }
}

void FileSystem::LogUncompleteBlock() {
  for (File* f : files_.Ordered()) {
    std::string list;
    for (std::uint32_t i = 0; i < f->block_count(); ++i) {
      const BlockState s = f->block(i)->state();
      if (s == BlockState::kVerified || s == BlockState::kWritten) continue;
      list += std::to_string(i) + (s == BlockState::kAllocated ? "A " : "F ");
    }
    if (!list.empty()) ZLOG(log::kInfo, kModule, "Uncomplete blocks of %u: %s", f->id(), list.c_str());
  }
}

void FileSystem::DeleteDownloadInfo() {
  if (info_) info_->DeleteInfoFiles();
}

void FileSystem::check_invariant() {
  std::lock_guard<std::mutex> lock(counters_mutex_);
  if (verified_bytes_ > total_bytes_) InvariantFailed("received above the total");
  if (written_bytes_ > verified_bytes_) InvariantFailed("written above received");
  if (written_at_start_ > written_bytes_) InvariantFailed("written at start above written");
}

}  // namespace zelt
