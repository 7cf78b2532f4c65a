// The back-ends that keep a target file on disk, chosen by the Fsys setting:
//   0 RawFileIO: synchronous writes on the caller's thread under a lock;
//   1 File64Interface over FileRaw64: writes queued to the write thread;
//   2 File64Interface over FileMap64: as 1, through memory-mapped views.
// Every write ends in the completion callback with a system error code (0 ok).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>

#include "platform/block_file.h"

namespace zelt {

// (tag given to Write, system error code or 0)
using WriteCompletion = std::function<void(std::uint64_t tag, int error)>;
// Status line sink for the zero fill of RawFileIO ("CreateFile").
using StatusSink = std::function<void(const std::string& key, const std::string& value)>;

class IFile {
 public:
  virtual ~IFile() = default;
  // Opens for writing, creating the file when it is missing.
  virtual bool Open(const std::string& path) = 0;
  virtual bool IsOpen() const = 0;
  virtual std::optional<std::uint64_t> GetSize() = 0;
  virtual bool SetSize(std::uint64_t size) = 0;
  // The data must stay valid until the completion callback has run.
  virtual void Write(const char* data, std::uint32_t length, std::uint64_t offset, std::uint64_t tag) = 0;
  // Synchronous; waits for nothing queued.
  virtual bool Read(char* buffer, std::uint32_t length, std::uint64_t offset) = 0;
  // Writes back what is written (after what is queued, for the queued back-ends).
  virtual bool Flush() = 0;
  virtual void SetOption(int option, bool on) = 0;
  virtual void SetCompletionCallback(WriteCompletion callback) = 0;
  // Closes and opens the same file for reading only (all blocks written).
  virtual bool ReopenReadOnly() = 0;
  virtual void Close() = 0;
  // System error code of the last failed call.
  virtual int LastError() const = 0;
};

// One background thread for the queued back-ends: writes run in the order
// they were queued; pendingBytes is what is queued and not yet written.
class WriteFileThread {
 public:
  WriteFileThread() = default;
  ~WriteFileThread();
  WriteFileThread(const WriteFileThread&) = delete;
  WriteFileThread& operator=(const WriteFileThread&) = delete;

  // bytes: the write's length (counted as pending until the job has run).
  void Queue(std::uint64_t bytes, std::function<void()> job);
  // Runs what is queued, then ends the thread; later jobs run on the caller.
  void Stop();
  std::uint64_t pending_bytes() const { return pending_.load(); }

 private:
  void Loop();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<std::uint64_t, std::function<void()>>> jobs_;
  std::atomic<std::uint64_t> pending_{0};
  bool stopping_ = false;
  bool stopped_ = false;
  std::thread thread_;
};

// Fields and plumbing shared by the back-ends.
class FilePub : public IFile {
 public:
  bool IsOpen() const override { return file_.IsOpen(); }
  std::optional<std::uint64_t> GetSize() override;
  void SetOption(int option, bool on) override;
  void SetCompletionCallback(WriteCompletion callback) override { completion_ = std::move(callback); }
  void Close() override;
  int LastError() const override { return error_.load(); }

 protected:
  bool OpenAs(const std::string& path, bool writable);
  void Complete(std::uint64_t tag, int error);
  int Fail(int code) {
    error_.store(code);
    return code;
  }

  std::string path_;
  // Shared by I/O calls (positional, so they may run together), exclusive
  // while the descriptor is replaced or closed.
  std::shared_mutex handle_mutex_;
  platform::BlockFile file_;
  WriteCompletion completion_;
  std::atomic<int> error_{0};
  std::uint32_t options_ = 0;
};

class RawFileIO : public FilePub {
 public:
  explicit RawFileIO(StatusSink status = {}) : status_(std::move(status)) {}
  bool Open(const std::string& path) override;
  // Growing appends zeros in 1 MiB chunks, reporting "CreateFile" after each.
  bool SetSize(std::uint64_t size) override;
  void Write(const char* data, std::uint32_t length, std::uint64_t offset, std::uint64_t tag) override;
  bool Read(char* buffer, std::uint32_t length, std::uint64_t offset) override;
  bool Flush() override;
  bool ReopenReadOnly() override;

 private:
  StatusSink status_;
};

// The storage engine under File64Interface: synchronous positional I/O.
class FileEngine {
 public:
  virtual ~FileEngine() = default;
  // 0 or the system error code.
  virtual int WriteAt(platform::BlockFile& file, const char* data, std::uint32_t length,
                      std::uint64_t offset) = 0;
  virtual int ReadAt(platform::BlockFile& file, char* buffer, std::uint32_t length,
                     std::uint64_t offset) = 0;
  virtual int Flush(platform::BlockFile& file) = 0;
};

class FileRaw64 : public FileEngine {
 public:
  int WriteAt(platform::BlockFile& file, const char* data, std::uint32_t length, std::uint64_t offset) override;
  int ReadAt(platform::BlockFile& file, char* buffer, std::uint32_t length, std::uint64_t offset) override;
  int Flush(platform::BlockFile& file) override;
};

class FileMap64 : public FileEngine {
 public:
  int WriteAt(platform::BlockFile& file, const char* data, std::uint32_t length, std::uint64_t offset) override;
  int ReadAt(platform::BlockFile& file, char* buffer, std::uint32_t length, std::uint64_t offset) override;
  int Flush(platform::BlockFile& file) override;
};

class File64Interface : public FilePub {
 public:
  // The engine buffer: what one file may have queued before its writes are
  // still accepted but no longer counted as cheap (kept for the statistics).
  static constexpr std::uint64_t kEngineBufferLimit = 8388608;

  File64Interface(std::unique_ptr<FileEngine> engine, WriteFileThread& thread)
      : engine_(std::move(engine)), thread_(thread) {}
  ~File64Interface() override;
  bool Open(const std::string& path) override;
  bool SetSize(std::uint64_t size) override;
  void Write(const char* data, std::uint32_t length, std::uint64_t offset, std::uint64_t tag) override;
  bool Read(char* buffer, std::uint32_t length, std::uint64_t offset) override;
  bool Flush() override;
  bool ReopenReadOnly() override;
  void Close() override;

 private:
  // Waits until every job this file queued has run.
  void Drain();

  std::unique_ptr<FileEngine> engine_;
  WriteFileThread& thread_;
  std::mutex queued_mutex_;
  std::condition_variable queued_cv_;
  std::uint64_t queued_ = 0;
};

// The back-end for an Fsys value (0, 1, 2; anything else counts as 1).
std::unique_ptr<IFile> MakeFileBackend(int fsys, WriteFileThread& thread, StatusSink status);

}  // namespace zelt
