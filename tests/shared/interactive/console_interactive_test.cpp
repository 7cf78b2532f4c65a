#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/pipe_process.h"
#include "platform/process.h"
#include "shared/interactive/interactive.h"
#include "tests/support/wait_until.h"

namespace kestra::interactive {
namespace {

namespace pp = platform::pipe_process;

using kestra::test::WaitUntil;

bool ReadLineSoon(IInteractive& channel, std::string& line,
                  int max_ms = kestra::test::kDefaultWaitMs) {
  return WaitUntil([&] { return channel.ReadLine(line); }, max_ms);
}

// A parent-role channel with a child started on its pipes.
struct Child {
  ConsoleInteractive channel{true};
  std::optional<int> pid;

  bool Start(const std::vector<std::string>& argv) {
    if (!channel.Open()) return false;
    pid = pp::StartHidden(argv, {channel.child_stdin(), channel.child_stdout(),
                                 channel.child_stderr()});
    channel.CloseChildEnds();
    return pid.has_value();
  }
  bool StartShell(const std::string& script) { return Start({"/bin/sh", "-c", script}); }
  std::optional<int> Wait() { return platform::process::Wait(*pid, 20000); }
  ~Child() {
    if (pid && platform::process::IsAlive(*pid)) platform::process::Kill(*pid);
    if (pid) platform::process::Wait(*pid, 5000);
    channel.Close();
  }
};

TEST(ConsoleInteractiveParent, TwoLinesInOneWriteComeOneByOne) {
  Child child;
  ASSERT_TRUE(child.StartShell("printf 'a=1\\nb=2\\n'"));
  std::string line;
  ASSERT_TRUE(ReadLineSoon(child.channel, line));
  EXPECT_EQ(line, "a=1");
  ASSERT_TRUE(ReadLineSoon(child.channel, line));
  EXPECT_EQ(line, "b=2");
  EXPECT_EQ(child.Wait(), 0);
}

TEST(ConsoleInteractiveParent, SplitLineAndTrailingPartAtTheEnd) {
  Child child;
  // "ab" and "c" arrive in separate writes; the last part never gets its
  // line feed and is dropped when the pipe closes.
  ASSERT_TRUE(child.StartShell("printf 'ab'; sleep 0.2; printf 'c\\nno-end'"));
  std::string line;
  ASSERT_TRUE(ReadLineSoon(child.channel, line));
  EXPECT_EQ(line, "abc");
  EXPECT_EQ(child.Wait(), 0);
  // Nothing more comes: the unfinished line died with the pipe.
  EXPECT_FALSE(WaitUntil([&] { return child.channel.ReadLine(line); }, 100)) << line;
}

TEST(ConsoleInteractiveParent, WritesReachTheChildsInput) {
  Child child;
  ASSERT_TRUE(child.StartShell("read first; read second; echo \"got:$first:$second\""));
  ASSERT_TRUE(child.channel.Write("stat\nget tb\n"));
  std::string line;
  ASSERT_TRUE(ReadLineSoon(child.channel, line));
  EXPECT_EQ(line, "got:stat:get tb");
  EXPECT_EQ(child.Wait(), 0);
}

TEST(ConsoleInteractiveParent, ChildWritingMuchToItsErrorStreamIsNotBlocked) {
  Child child;
  // 512 KiB on standard error, far more than a pipe holds, then a line on
  // standard output.
  ASSERT_TRUE(child.StartShell("head -c 524288 /dev/zero >&2; echo finished"));
  std::string line;
  ASSERT_TRUE(ReadLineSoon(child.channel, line, 60000));
  EXPECT_EQ(line, "finished");
  EXPECT_EQ(child.Wait(), 0);
}

TEST(ConsoleInteractiveParent, ChildThatNeverReadsMakesWritesFailNotHang) {
  Child child;
  ASSERT_TRUE(child.StartShell("sleep 30"));
  const std::string command(1000, 'x');
  bool failed = false;
  // A pipe holds 64 KiB by default; with a bounded loop this ends either way.
  for (int i = 0; i < 10000 && !failed; ++i) failed = !child.channel.Write(command + "\n");
  EXPECT_TRUE(failed);
}

TEST(ConsoleInteractiveParent, WriteAfterTheChildEndedFailsWithoutASignal) {
  Child child;
  ASSERT_TRUE(child.StartShell("exit 0"));
  EXPECT_EQ(child.Wait(), 0);
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) failed = !child.channel.Write("quit\n");
  EXPECT_TRUE(failed);
}

TEST(ConsoleInteractiveChild, EchoChildOverItsStandardStreams) {
  Child child;
  ASSERT_TRUE(child.Start({KESTRA_TEST_BIN_DIR "/kestra_interactive_echo"}));
  ASSERT_TRUE(child.channel.Write("get qf 0\n"));
  ASSERT_TRUE(child.channel.Write("stat\n"));
  std::string line;
  ASSERT_TRUE(ReadLineSoon(child.channel, line));
  EXPECT_EQ(line, "[Interactive]echo=get qf 0");
  ASSERT_TRUE(ReadLineSoon(child.channel, line));
  EXPECT_EQ(line, "[Interactive]echo=stat");
  ASSERT_TRUE(child.channel.Write("quit\n"));
  EXPECT_EQ(child.Wait(), 0);
}

TEST(ConsoleInteractive, CloseIsSafeBeforeOpenAndTwice) {
  ConsoleInteractive parent(true);
  parent.Close();
  std::string line;
  EXPECT_FALSE(parent.ReadLine(line));
  EXPECT_FALSE(parent.Write("x\n"));  // no pipe yet
  ASSERT_TRUE(parent.Open());
  EXPECT_TRUE(parent.Open());  // already open
  parent.Close();
  parent.Close();
  EXPECT_FALSE(parent.ReadLine(line));
}

TEST(NonblockStdin, StopInterruptsABlockedRead) {
  auto pair = platform::pipe::Create();
  ASSERT_TRUE(pair);
  {
    NonblockStdin reader(pair->read);
    ASSERT_TRUE(reader.Start());
    EXPECT_FALSE(WaitUntil([&] { return reader.finished(); }, 20));  // it stays blocked
    reader.Stop();  // returns although nobody ever writes or closes the pipe
  }
  platform::pipe::Close(pair->read);
  platform::pipe::Close(pair->write);
}

TEST(NonblockStdin, QueuedLinesSurviveTheEndOfThePipe) {
  auto pair = platform::pipe::Create();
  ASSERT_TRUE(pair);
  NonblockStdin reader(pair->read);
  ASSERT_TRUE(reader.Start());
  ASSERT_TRUE(platform::pipe::WriteAll(pair->write, "one\ntwo\npartial"));
  platform::pipe::Close(pair->write);
  ASSERT_TRUE(WaitUntil([&] { return reader.finished(); }));
  std::string line;
  ASSERT_TRUE(reader.Pop(line));
  EXPECT_EQ(line, "one");
  ASSERT_TRUE(reader.Pop(line));
  EXPECT_EQ(line, "two");
  EXPECT_FALSE(reader.Pop(line));  // the unfinished line is dropped
  platform::pipe::Close(pair->read);
}

TEST(NonblockStdin, QueueKeepsTheNewestLinesWithinItsBound) {
  auto pair = platform::pipe::Create();
  ASSERT_TRUE(pair);
  NonblockStdin reader(pair->read);
  ASSERT_TRUE(reader.Start());
  const int kLines = 3000;  // of 1000 bytes each: about three times the bound
  std::thread writer([&] {
    for (int i = 0; i < kLines; ++i) {
      std::string line = std::to_string(i);
      line.resize(999, '.');
      platform::pipe::WriteAll(pair->write, line + "\n");
    }
    platform::pipe::Close(pair->write);
  });
  writer.join();
  ASSERT_TRUE(WaitUntil([&] { return reader.finished(); }));
  std::vector<std::string> lines;
  std::string line;
  while (reader.Pop(line)) lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  EXPECT_LE(lines.size() * 1000, kMaxQueuedBytes);
  EXPECT_LT(lines.size(), static_cast<std::size_t>(kLines));
  EXPECT_EQ(lines.back().substr(0, 4), "2999");
  platform::pipe::Close(pair->read);
}

}  // namespace
}  // namespace kestra::interactive
