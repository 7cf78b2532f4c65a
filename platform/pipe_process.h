// Anonymous pipes and child processes started with chosen standard handles.
// (platform/process.h starts, lists and watches processes in general; this
// file adds what the pipe transport of the control channel needs.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::pipe {

using Handle = int;
inline constexpr Handle kInvalidHandle = -1;

struct Pair {
  Handle read = kInvalidHandle;
  Handle write = kInvalidHandle;
};

// A pipe whose two ends are not inherited by children started later (the
// start below hands the chosen ends over explicitly).
std::optional<Pair> Create();
// Closes and sets the handle to kInvalidHandle; nothing for an invalid one.
void Close(Handle& handle);
// Makes writes to the handle fail instead of blocking when the pipe is full.
bool SetNonBlockingWrite(Handle handle);

Handle StandardInput();
Handle StandardOutput();
Handle StandardError();

// Writes everything; false on error (a pipe whose reader has gone gives false,
// never SIGPIPE). With a non-blocking handle a full pipe is an error.
bool WriteAll(Handle handle, std::string_view data);

// Wakes a reader blocked in ReadSome from another thread.
class Waker {
 public:
  Waker();
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  bool valid() const { return pair_.read != kInvalidHandle; }
  void Wake();
  bool woken() const;
  Handle wait_handle() const { return pair_.read; }

 private:
  Pair pair_;
};

// Blocks until bytes arrive on handle, the pipe ends, or waker is woken.
// Returns the bytes read (> 0), 0 at the end of the pipe, -1 on error or when
// woken.
std::int64_t ReadSome(Handle handle, void* buffer, std::size_t size,
                      const Waker& waker);

// Ignores SIGPIPE for the whole process (writes to a closed pipe or socket
// then fail with an error instead of ending the program). Idempotent.
void IgnoreBrokenPipeSignal();

}  // namespace platform::pipe

namespace platform::pipe_process {

struct StdHandles {
  // kInvalidHandle: the child gets /dev/null there.
  pipe::Handle input = pipe::kInvalidHandle;
  pipe::Handle output = pipe::kInvalidHandle;
  pipe::Handle error = pipe::kInvalidHandle;
};

// Starts argv[0] (a path; not searched in PATH) hidden: no window, and no
// output of the child reaches our terminal except through the given handles.
// The child inherits our environment and current directory and no descriptor
// other than its three standard handles. Returns the child's id, or nullopt
// with the system error code in error_code.
std::optional<int> StartHidden(const std::vector<std::string>& argv,
                               const StdHandles& handles, int* error_code = nullptr);

}  // namespace platform::pipe_process
