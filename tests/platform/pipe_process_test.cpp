#include "platform/pipe_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/process.h"

namespace platform {
namespace {

std::string ReadAll(pipe::Handle handle) {
  pipe::Waker never;
  std::string text;
  char buffer[256];
  std::int64_t got;
  while ((got = pipe::ReadSome(handle, buffer, sizeof buffer, never)) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

TEST(PipeProcess, ChildGetsTheGivenHandlesAndDevNullElsewhere) {
  auto out = pipe::Create();
  ASSERT_TRUE(out);
  // Standard input is /dev/null: read finds its end at once.
  auto pid = pipe_process::StartHidden(
      {"/bin/sh", "-c", "read x; echo \"in:$x:$?\"; echo to-error >&2"},
      {pipe::kInvalidHandle, out->write, pipe::kInvalidHandle});
  ASSERT_TRUE(pid);
  pipe::Close(out->write);
  EXPECT_EQ(ReadAll(out->read), "in::1\n");
  EXPECT_EQ(process::Wait(*pid, 10000), 0);
  pipe::Close(out->read);
}

TEST(PipeProcess, OnlyTheStandardHandlesAreInherited) {
  auto out = pipe::Create();
  auto other = pipe::Create();  // must not reach the child
  ASSERT_TRUE(out && other);
  auto pid = pipe_process::StartHidden(
      {"/bin/sh", "-c", "exec ls /proc/self/fd"}, {pipe::kInvalidHandle, out->write, out->write});
  ASSERT_TRUE(pid);
  pipe::Close(out->write);
  std::string listing = ReadAll(out->read);
  EXPECT_EQ(process::Wait(*pid, 10000), 0);
  // 0, 1, 2 and the directory ls itself reads.
  EXPECT_EQ(listing, "0\n1\n2\n3\n");
  pipe::Close(out->read);
  pipe::Close(other->read);
  pipe::Close(other->write);
}

TEST(PipeProcess, MissingProgramReportsTheSystemError) {
  int error = 0;
  auto pid = pipe_process::StartHidden({"/nonexistent/kestra-core"}, {}, &error);
  EXPECT_FALSE(pid);
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(pipe_process::StartHidden({}, {}, &error));
}

TEST(Pipe, WakerEndsABlockedRead) {
  auto pair = pipe::Create();
  ASSERT_TRUE(pair);
  pipe::Waker waker;
  ASSERT_TRUE(waker.valid());
  EXPECT_FALSE(waker.woken());
  waker.Wake();
  EXPECT_TRUE(waker.woken());
  char byte;
  EXPECT_EQ(pipe::ReadSome(pair->read, &byte, 1, waker), -1);
  pipe::Close(pair->read);
  pipe::Close(pair->write);
  EXPECT_EQ(pair->read, pipe::kInvalidHandle);
}

TEST(Pipe, NonBlockingWriteFailsOnAFullPipe) {
  auto pair = pipe::Create();
  ASSERT_TRUE(pair);
  ASSERT_TRUE(pipe::SetNonBlockingWrite(pair->write));
  std::string block(4096, 'p');
  bool failed = false;
  for (int i = 0; i < 1000 && !failed; ++i) failed = !pipe::WriteAll(pair->write, block);
  EXPECT_TRUE(failed);
  pipe::Close(pair->read);
  pipe::Close(pair->write);
}

TEST(Pipe, WriteToAPipeWithoutReaderFails) {
  auto pair = pipe::Create();
  ASSERT_TRUE(pair);
  pipe::Close(pair->read);
  EXPECT_FALSE(pipe::WriteAll(pair->write, "quit\n"));  // no SIGPIPE
  pipe::Close(pair->write);
}

}  // namespace
}  // namespace platform
