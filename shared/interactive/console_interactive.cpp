#include "shared/interactive/interactive.h"

namespace kestra::interactive {
namespace {

namespace pipe = platform::pipe;

// Bytes taken from the pipe per read.
constexpr std::size_t kReadChunkBytes = 4096;

}  // namespace

NonblockStdin::NonblockStdin(pipe::Handle handle) : handle_(handle) {}

NonblockStdin::~NonblockStdin() { Stop(); }

bool NonblockStdin::Start() {
  if (thread_.joinable()) return true;
  if (handle_ == pipe::kInvalidHandle || !waker_.valid()) return false;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void NonblockStdin::Stop() {
  waker_.Wake();
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mutex_);
  queue_.clear();
  queued_bytes_ = 0;
}

bool NonblockStdin::Pop(std::string& line) {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return false;
  line = std::move(queue_.front());
  queue_.pop_front();
  queued_bytes_ -= line.size() + 1;
  return true;
}

bool NonblockStdin::finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

void NonblockStdin::Run() {
  LineSplitter splitter;
  char buffer[kReadChunkBytes];
  for (;;) {
    std::int64_t got = pipe::ReadSome(handle_, buffer, sizeof buffer, waker_);
    if (got <= 0) break;
    splitter.Feed(std::string_view(buffer, static_cast<std::size_t>(got)));
    std::string line;
    std::lock_guard lock(mutex_);
    while (splitter.Next(line)) {
      // Each line costs its bytes and one for the line feed, so a flood of
      // empty lines is bounded too.
      queued_bytes_ += line.size() + 1;
      queue_.push_back(std::move(line));
      while (queued_bytes_ > kMaxQueuedBytes && !queue_.empty()) {
        queued_bytes_ -= queue_.front().size() + 1;
        queue_.pop_front();
      }
    }
  }
  std::lock_guard lock(mutex_);
  finished_ = true;
}

ConsoleInteractive::ConsoleInteractive(bool parent_role) : parent_role_(parent_role) {
  if (!parent_role_) {
    input_read_ = pipe::StandardInput();
    output_write_ = pipe::StandardOutput();
    error_write_ = pipe::StandardError();
  }
}

ConsoleInteractive::~ConsoleInteractive() {
  Close();
  if (parent_role_) {
    CloseChildEnds();
    pipe::Close(input_write_);
    pipe::Close(output_read_);
    pipe::Close(error_read_);
  }
}

bool ConsoleInteractive::Open() {
  pipe::IgnoreBrokenPipeSignal();
  if (reader_) return true;
  if (parent_role_) {
    if (input_write_ == pipe::kInvalidHandle) {
      auto input = pipe::Create();
      auto output = pipe::Create();
      auto error = pipe::Create();
      if (!input || !output || !error) {
        for (auto* pair : {&input, &output, &error}) {
          if (*pair) {
            pipe::Close((*pair)->read);
            pipe::Close((*pair)->write);
          }
        }
        return false;
      }
      input_read_ = input->read;
      input_write_ = input->write;
      output_read_ = output->read;
      output_write_ = output->write;
      error_read_ = error->read;
      error_write_ = error->write;
      // A child that stops reading must not block the updater's writes.
      pipe::SetNonBlockingWrite(input_write_);
    }
  }
  auto reader = std::make_unique<NonblockStdin>(parent_role_ ? output_read_ : input_read_);
  if (!reader->Start()) return false;
  if (parent_role_) {
    error_drain_ = std::make_unique<NonblockStdin>(error_read_);
    if (!error_drain_->Start()) error_drain_.reset();
  }
  reader_ = std::move(reader);
  return true;
}

bool ConsoleInteractive::ReadLine(std::string& line) {
  return reader_ && reader_->Pop(line);
}

bool ConsoleInteractive::Write(std::string_view bytes) {
  std::lock_guard lock(write_mutex_);
  return pipe::WriteAll(parent_role_ ? input_write_ : output_write_, bytes);
}

void ConsoleInteractive::Close() {
  reader_.reset();
  error_drain_.reset();
}

void ConsoleInteractive::CloseChildEnds() {
  if (!parent_role_) return;
  pipe::Close(input_read_);
  pipe::Close(output_write_);
  pipe::Close(error_write_);
}

}  // namespace kestra::interactive
