#include "downloader/storage/file_io.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace zelt {

namespace {

constexpr std::uint64_t kZeroFillChunk = 1048576;

}  // namespace

// ---------------------------------------------------------------------------
WriteFileThread::~WriteFileThread() { Stop(); }

void WriteFileThread::Queue(std::uint64_t bytes, std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_) {
      if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
      pending_ += bytes;
      jobs_.emplace_back(bytes, std::move(job));
      wake_.notify_one();
      return;
    }
  }
  job();  // after Stop nothing is lost: the caller does the work
}

void WriteFileThread::Loop() {
  for (;;) {
    std::pair<std::uint64_t, std::function<void()>> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job.second();
    pending_ -= job.first;
  }
}

void WriteFileThread::Stop() {
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    stopped_ = true;
    wake_.notify_all();
    t = std::move(thread_);
  }
  if (t.joinable()) t.join();
}

// ---------------------------------------------------------------------------
std::optional<std::uint64_t> FilePub::GetSize() {
  std::shared_lock<std::shared_mutex> lock(handle_mutex_);
  auto size = file_.Size();
  if (!size) Fail(file_.error());
  return size;
}

void FilePub::SetOption(int option, bool on) {
  if (option < 0 || option >= 32) return;
  if (on) options_ |= 1u << option;
  else options_ &= ~(1u << option);
}

void FilePub::Close() {
  std::unique_lock<std::shared_mutex> lock(handle_mutex_);
  file_.Close();
}

bool FilePub::OpenAs(const std::string& path, bool writable) {
  std::unique_lock<std::shared_mutex> lock(handle_mutex_);
  path_ = path;
  if (!file_.Open(path, writable)) {
    Fail(file_.error());
    return false;
  }
  return true;
}

void FilePub::Complete(std::uint64_t tag, int error) {
  if (error != 0) Fail(error);
  if (completion_) completion_(tag, error);
}

// ---------------------------------------------------------------------------
bool RawFileIO::Open(const std::string& path) { return OpenAs(path, true); }

bool RawFileIO::SetSize(std::uint64_t size) {
  std::unique_lock<std::shared_mutex> lock(handle_mutex_);
  auto current = file_.Size();
  if (!current) return Fail(file_.error()), false;
  if (*current >= size) {
    if (*current > size && !file_.SetSize(size)) return Fail(file_.error()), false;
    return true;
  }
  // Grow by writing zeros, so the space is really taken now.
  std::vector<char> zeros(static_cast<std::size_t>(std::min(kZeroFillChunk, size - *current)), 0);
  std::uint64_t at = *current;
  while (at < size) {
    const std::uint64_t n = std::min<std::uint64_t>(zeros.size(), size - at);
    if (!file_.WriteAt(zeros.data(), static_cast<std::size_t>(n), at)) return Fail(file_.error()), false;
    at += n;
    if (status_) {
      char value[64];
      std::snprintf(value, sizeof value, ": %" PRIu64 "/%" PRIu64, at, size);
      status_("CreateFile", path_ + value);
    }
  }
  return true;
}

void RawFileIO::Write(const char* data, std::uint32_t length, std::uint64_t offset, std::uint64_t tag) {
  int error = 0;
  {
    std::shared_lock<std::shared_mutex> lock(handle_mutex_);
    if (!file_.IsOpen() || !file_.writable()) error = 6;  // invalid handle
    else if (!file_.WriteAt(data, length, offset)) error = file_.error();
  }
  Complete(tag, error);
}

bool RawFileIO::Read(char* buffer, std::uint32_t length, std::uint64_t offset) {
  std::shared_lock<std::shared_mutex> lock(handle_mutex_);
  if (!file_.ReadAt(buffer, length, offset)) return Fail(file_.error()), false;
  return true;
}

bool RawFileIO::Flush() {
  std::shared_lock<std::shared_mutex> lock(handle_mutex_);
  if (!file_.Flush()) return Fail(file_.error()), false;
  return true;
}

bool RawFileIO::ReopenReadOnly() { return OpenAs(path_, false); }

// ---------------------------------------------------------------------------
int FileRaw64::WriteAt(platform::BlockFile& file, const char* data, std::uint32_t length,
                       std::uint64_t offset) {
  return file.WriteAt(data, length, offset) ? 0 : file.error();
}

int FileRaw64::ReadAt(platform::BlockFile& file, char* buffer, std::uint32_t length, std::uint64_t offset) {
  return file.ReadAt(buffer, length, offset) ? 0 : file.error();
}

int FileRaw64::Flush(platform::BlockFile& file) { return file.Flush() ? 0 : file.error(); }

int FileMap64::WriteAt(platform::BlockFile& file, const char* data, std::uint32_t length,
                       std::uint64_t offset) {
  if (length == 0) return 0;
  // Space first: a store into a mapped page the disk cannot hold would
  // kill the process instead of failing the write.
  auto size = file.Size();
  if (!size) return file.error();
  if (offset + length > *size) return 38;  // writes stay inside the file
  if (!file.Reserve(offset, length)) return file.error();
  platform::MappedView view;
  if (!view.Map(file, offset, length, true)) return view.error();
  std::memcpy(view.data(), data, length);
  return 0;
}

int FileMap64::ReadAt(platform::BlockFile& file, char* buffer, std::uint32_t length, std::uint64_t offset) {
  if (length == 0) return 0;
  auto size = file.Size();
  if (!size) return file.error();
  if (offset + length > *size) return 38;  // a mapping past the end would fault
  platform::MappedView view;
  if (!view.Map(file, offset, length, false)) return view.error();
  std::memcpy(buffer, view.data(), length);
  return 0;
}

int FileMap64::Flush(platform::BlockFile& file) { return file.Flush() ? 0 : file.error(); }

// ---------------------------------------------------------------------------
File64Interface::~File64Interface() { Drain(); }

bool File64Interface::Open(const std::string& path) { return OpenAs(path, true); }

bool File64Interface::SetSize(std::uint64_t size) {
  Drain();
  std::unique_lock<std::shared_mutex> lock(handle_mutex_);
  if (!file_.SetSize(size)) return Fail(file_.error()), false;
  return true;
}

void File64Interface::Write(const char* data, std::uint32_t length, std::uint64_t offset, std::uint64_t tag) {
  {
    std::lock_guard<std::mutex> lock(queued_mutex_);
    ++queued_;
  }
  thread_.Queue(length, [this, data, length, offset, tag] {
    int error = 0;
    {
      std::shared_lock<std::shared_mutex> lock(handle_mutex_);
      if (!file_.IsOpen() || !file_.writable()) error = 6;
      else error = engine_->WriteAt(file_, data, length, offset);
    }
    Complete(tag, error);
    std::lock_guard<std::mutex> lock(queued_mutex_);
    if (--queued_ == 0) queued_cv_.notify_all();
  });
}

bool File64Interface::Read(char* buffer, std::uint32_t length, std::uint64_t offset) {
  std::shared_lock<std::shared_mutex> lock(handle_mutex_);
  const int error = engine_->ReadAt(file_, buffer, length, offset);
  if (error != 0) return Fail(error), false;
  return true;
}

bool File64Interface::Flush() {
  // In queue order: the flush follows the writes queued before it.
  {
    std::lock_guard<std::mutex> lock(queued_mutex_);
    ++queued_;
  }
  thread_.Queue(0, [this] {
    {
      std::shared_lock<std::shared_mutex> lock(handle_mutex_);
      if (file_.IsOpen() && file_.writable()) {
        const int error = engine_->Flush(file_);
        if (error != 0) Fail(error);
      }
    }
    std::lock_guard<std::mutex> lock(queued_mutex_);
    if (--queued_ == 0) queued_cv_.notify_all();
  });
  return true;
}

bool File64Interface::ReopenReadOnly() {
  // Called from a completion; only waits for writes other than the running one.
  return OpenAs(path_, false);
}

void File64Interface::Close() {
  Drain();
  FilePub::Close();
}

void File64Interface::Drain() {
  std::unique_lock<std::mutex> lock(queued_mutex_);
  queued_cv_.wait(lock, [this] { return queued_ == 0; });
}

std::unique_ptr<IFile> MakeFileBackend(int fsys, WriteFileThread& thread, StatusSink status) {
  switch (fsys) {
    case 0:
      return std::make_unique<RawFileIO>(std::move(status));
    case 2:
      return std::make_unique<File64Interface>(std::make_unique<FileMap64>(), thread);
    default:
      return std::make_unique<File64Interface>(std::make_unique<FileRaw64>(), thread);
  }
}

}  // namespace zelt
