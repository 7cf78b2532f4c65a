#include "updater/downloader_control/extract.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "fake_core_fixture.h"
#include "platform/fs.h"
#include "platform/pipe_process.h"
#include "platform/private_temp.h"
#include "platform/process.h"
#include "platform/resource.h"

namespace kestra::dlctl {
namespace {

using test::FakeCoreProgram;
using test::FakeCoreSetup;

TEST(DownloaderFileName, IsTheGbkNameWithTheTag) {
  EXPECT_EQ(DownloaderFileName("Vandor-1.0"),
            "Korvel\xCF\xC2\xD4\xD8\xC6\xF7-Vandor-1.0.exe");
}

TEST(ExtractDownloader, WritesTheProgramThatThenRuns) {
  ASSERT_FALSE(FakeCoreProgram().empty());
  FakeCoreSetup setup;
  std::string path;
  ASSERT_TRUE(ExtractDownloader(setup.Environment(), kDownloaderResourceId, path,
                                kDownloaderVersionTag));
  EXPECT_EQ(path, setup.bin_dir() + "/" + DownloaderFileName("Vandor-1.0"));
  std::string written;
  ASSERT_TRUE(platform::fs::ReadWholeFile(path, written));
  EXPECT_EQ(written, FakeCoreProgram());
  // Without a task it ends at once with 0, like the real core.
  auto pid = platform::pipe_process::StartHidden({path}, {});
  ASSERT_TRUE(pid);
  EXPECT_EQ(platform::process::Wait(*pid, 10000), 0);
  // Written again over the old file when nothing runs from it.
  EXPECT_TRUE(ExtractDownloader(setup.Environment(), kDownloaderResourceId, path, "Vandor-1.0"));
}

TEST(ExtractDownloader, MissingResourceOrDirectoryFails) {
  FakeCoreSetup setup;
  ExtractEnvironment environment = setup.Environment();
  std::string path = "untouched";
  EXPECT_FALSE(ExtractDownloader(environment, 154, path, "Vandor-1.0"));
  EXPECT_EQ(path, "untouched");

  environment.temp_directory = [] { return std::optional<std::string>(); };
  EXPECT_FALSE(ExtractDownloader(environment, kDownloaderResourceId, path, "Vandor-1.0"));
  EXPECT_EQ(path, "untouched");

  environment.temp_directory = [] {
    return std::optional<std::string>(std::string(kMaxTempPathBytes + 1, 'd'));
  };
  EXPECT_FALSE(ExtractDownloader(environment, kDownloaderResourceId, path, "Vandor-1.0"));

  ExtractEnvironment empty;
  EXPECT_FALSE(ExtractDownloader(empty, kDownloaderResourceId, path, "Vandor-1.0"));
}

TEST(ExtractDownloader, TagThatLeavesTheDirectoryIsRefused) {
  FakeCoreSetup setup;
  std::string path;
  EXPECT_FALSE(ExtractDownloader(setup.Environment(), kDownloaderResourceId, path, "x/../../y"));
}

TEST(ExtractDownloader, SecondStartWhileTheFirstRunsFailsInExtraction) {
  FakeCoreSetup setup;
  std::string path;
  ASSERT_TRUE(ExtractDownloader(setup.Environment(), kDownloaderResourceId, path, "Vandor-1.0"));
  // An empty script: it waits for "quit" (or its parent's end).
  setup.WriteScript("");
  auto pid = platform::pipe_process::StartHidden({path, "-Dir", setup.target()}, {});
  ASSERT_TRUE(pid);
  setup.Track(*pid);
  std::string second;
  int error = 0;
  EXPECT_FALSE(ExtractDownloader(setup.Environment(), kDownloaderResourceId, second,
                                 "Vandor-1.0", &error));
  EXPECT_EQ(error, ETXTBSY);
  EXPECT_EQ(second, path);  // the path is known even though the write failed
  EXPECT_TRUE(platform::process::IsAlive(*pid));
}

TEST(ExtractDownloader, EmbeddedProgramGoesToTheUsersPrivateDirectory) {
  // The stand-in is linked into this test as resource PROGRAM 153.
  auto embedded = platform::resource::Find("Program", kDownloaderResourceId);
  ASSERT_TRUE(embedded);
  ASSERT_GT(embedded->size(), 4u);
  EXPECT_EQ(embedded->substr(0, 4), "\x7f" "ELF");
  // Our own tag, so that no real updater's file is touched.
  std::string tag = "Test-" + std::to_string(platform::process::CurrentPid());
  std::string path;
  ASSERT_TRUE(ExtractDownloader(kDownloaderResourceId, path, tag));
  auto dir = platform::private_temp::Directory();
  ASSERT_TRUE(dir);
  EXPECT_EQ(path, *dir + "/" + DownloaderFileName(tag));
  auto pid = platform::pipe_process::StartHidden({path}, {});
  ASSERT_TRUE(pid);
  EXPECT_EQ(platform::process::Wait(*pid, 10000), 0);
  platform::fs::RemoveFile(path);
}

}  // namespace
}  // namespace kestra::dlctl
