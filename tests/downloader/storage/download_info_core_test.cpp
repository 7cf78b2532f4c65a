// The real downloader core on tasks made by kestra-seed and served by nginx:
// the start steps of the task's files as the updater sees them (states and
// "Error" lines), the seed rotation, repair mode, and a seed that names
// files outside the download directory.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "downloader/storage/seed_file.h"
#include "downloader/storage/torrent.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

namespace fs = platform::fs;
using kestra::test::NginxServer;
using kestra::test::TempDir;

const std::string kBin = KESTRA_BIN_DIR;
constexpr std::uint32_t kBlock = 16384;
// A bound for a hung program, not a measure.
constexpr int kExitWaitMs = 120000;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

std::optional<int> RunShell(const std::string& command, const std::string& cwd, const std::string& out_file) {
  platform::process::StartOptions options;
  options.working_directory = cwd;
  auto pid = platform::process::Start({"sh", "-c", "exec " + command + " >" + Quote(out_file) + " 2>&1"}, options);
  if (!pid) return std::nullopt;
  return platform::process::Wait(*pid, kExitWaitMs);
}

// "[Interactive]" lines as key=value, in order, for the keys asked for.
std::vector<std::string> Lines(const std::string& output, std::initializer_list<const char*> keys) {
  std::vector<std::string> out;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string tag = "[Interactive]";
    if (line.rfind(tag, 0) != 0) continue;
    for (const char* key : keys) {
      if (line.compare(tag.size(), std::string(key).size() + 1, std::string(key) + "=") == 0) {
        out.push_back(line.substr(tag.size()));
      }
    }
  }
  return out;
}

std::string Content(std::size_t size, unsigned salt) {
  std::string s(size, '\0');
  std::uint32_t x = 0x9E3779B9u * (salt + 1);
  for (char& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

class DownloadInfoCoreTest : public ::testing::Test {
 protected:
  void SetUp() override { nginx_ = std::make_unique<NginxServer>(serve_.path()); }

  // Publishes the files of src_ as task t.data under /task.
  void Publish() {
    const std::string make = Quote(kBin + "/kestra-seed") + " make --files " + Quote(src_.path()) +
                             " --block-size " + std::to_string(kBlock) + " --out " + Quote(serve_ / "task") +
                             " --torrent t.data --cdn " + Quote(nginx_->Url("/task"));
    ASSERT_EQ(RunShell(make, work_.path(), work_ / "make.txt"), std::optional<int>(0)) << work_.Read("make.txt");
  }
  std::string ServedSeed() const { return serve_.Read("task/t.data.seed"); }

  std::string RunCore(const std::string& extra = "") {
    const std::string core = Quote(kBin + "/kestra-downloader") + " -Dir " + Quote(download_.path() + "/") +
                             " -HttpUrl " + Quote(nginx_->Url("/task")) +
                             " -Torrent t.data -LocalIp 127.0.0.1 -GenerateDownloadInfo " + extra;
    EXPECT_EQ(RunShell(core, download_.path(), work_ / "core.txt"), std::optional<int>(0));
    return work_.Read("core.txt");
  }

  std::string Info(const char* name) const { return download_.Read(std::string("P2PUpdater_Info/") + name); }
  bool HasInfo(const char* name) const { return download_.Exists(std::string("P2PUpdater_Info/") + name); }

  TempDir src_, serve_, work_, download_;
  std::unique_ptr<NginxServer> nginx_;
};

TEST_F(DownloadInfoCoreTest, MissingTorrentEndsWithStatesFiveAndSix) {
  const std::string out = RunCore();
  EXPECT_EQ(Lines(out, {"P2PState", "Error"}),
            (std::vector<std::string>{"P2PState=5", "P2PState=6", "Error=DownloadTorrent"}))
      << out;
  EXPECT_FALSE(HasInfo(".Seed"));
}

TEST_F(DownloadInfoCoreTest, ChangedSeedRotatesOnlyWithAResumeFile) {
  src_.Write("a.bin", Content(5 * kBlock + 10, 1));
  src_.Write("b.bin", Content(kBlock, 2));
  Publish();
  const std::string v1 = ServedSeed();
  std::string out = RunCore();
  EXPECT_EQ(Lines(out, {"P2PState"}), (std::vector<std::string>{"P2PState=5", "P2PState=8", "P2PState=11", "P2PState=12"}))
      << out;
  EXPECT_EQ(Info(".Seed"), v1);
  ASSERT_TRUE(HasInfo(".Download_Info_Data"));
  EXPECT_FALSE(HasInfo(".Seed_Past"));

  // A new version with a resume file of the old one: the old seed becomes
  // the previous seed, the resume file goes, so everything is checked again.
  src_.Write("a.bin", Content(5 * kBlock + 10, 3));
  Publish();
  const std::string v2 = ServedSeed();
  ASSERT_NE(v1, v2);
  out = RunCore();
  EXPECT_EQ(Lines(out, {"P2PState"}), (std::vector<std::string>{"P2PState=5", "P2PState=8", "P2PState=11", "P2PState=12"}))
      << out;
  EXPECT_EQ(Info(".Seed"), v2);
  EXPECT_EQ(Info(".Seed_Past"), v1);
  EXPECT_TRUE(HasInfo(".Download_Info_Data"));

  // Another version without a resume file: the seed is simply replaced and
  // the previous seed stays what it was.
  fs::RemoveFile(download_ / "P2PUpdater_Info/.Download_Info_Data");
  src_.Write("b.bin", Content(2 * kBlock, 4));
  Publish();
  const std::string v3 = ServedSeed();
  out = RunCore();
  EXPECT_EQ(Lines(out, {"P2PState"}), (std::vector<std::string>{"P2PState=5", "P2PState=8", "P2PState=11", "P2PState=12"}))
      << out;
  EXPECT_EQ(Info(".Seed"), v3);
  EXPECT_EQ(Info(".Seed_Past"), v1);

  // Unchanged: nothing is fetched or checked.
  out = RunCore();
  EXPECT_EQ(Lines(out, {"P2PState"}), (std::vector<std::string>{"P2PState=5", "P2PState=11"})) << out;
}

TEST_F(DownloadInfoCoreTest, RepairModeStartsFromNothingAndChecksEverything) {
  const std::string a = Content(3 * kBlock, 5);
  src_.Write("a.bin", a);
  Publish();
  std::string out = RunCore("-Mode download");
  ASSERT_TRUE(HasInfo(".Torrent")) << out;
  download_.Write("P2PUpdater_Info/.Seed_Past", "an old seed");
  download_.Write("a.bin", a);  // the file is complete on disk now
  // The resume file still says nothing is complete; repair must not believe it.
  const std::string stale_resume = Info(".Download_Info_Data");

  out = RunCore("-Mode repair");
  EXPECT_EQ(Lines(out, {"P2PState"}), (std::vector<std::string>{"P2PState=5", "P2PState=8", "P2PState=11", "P2PState=12"}))
      << out;
  EXPECT_FALSE(HasInfo(".Seed_Past"));
  EXPECT_FALSE(HasInfo(".Torrent")) << "repair fetches the torrent and does not keep it";
  EXPECT_EQ(Info(".Seed"), ServedSeed());
  const std::string resume = Info(".Download_Info_Data");
  EXPECT_NE(resume, stale_resume);
  EXPECT_NE(resume.find("CompletePartId = 0|1|2\r\n"), std::string::npos) << resume;
  EXPECT_EQ(download_.Read("a.bin"), a);
}

TEST_F(DownloadInfoCoreTest, SeedNamingFilesOutsideTheDirectoryIsUnreadable) {
  TempDir outside;
  outside.Write("victim.txt", "untouched");
  download_.Write("mine.txt", "untouched too");
  struct Case {
    const char* why;
    std::string file_name;
    std::string delete_name;
  };
  const std::string victim = outside / "victim.txt";
  const Case cases[] = {
      {"absolute file name", victim, ""},
      {"file name through ..", "../" + victim.substr(victim.rfind('/', victim.rfind('/') - 1) + 1), ""},
      {"absolute delete name", "mine.txt", victim},
      {"delete name through ..", "mine.txt", "sub/../../x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    SeedDocument seed;
    FileEntry file;
    file.id = 1;
    file.name = c.file_name;
    file.size = 4;
    file.parts = {{0, 0, 4, Md5Of("abcd")}};
    seed.files = {file};
    if (!c.delete_name.empty()) seed.delete_list = {"mine.txt", c.delete_name};
    const std::string gz = GzipBytes(WriteSeedText(seed));
    serve_.Write("task/t.data.seed", gz);
    TorrentInfo torrent;
    torrent.cdnList = {{nginx_->Url("/task"), 1}};
    torrent.seed.name = "t.data.seed";
    torrent.seed.size = static_cast<std::uint32_t>(gz.size());
    torrent.seed.md5 = Md5Of(gz);
    serve_.Write("task/t.data", WriteTorrent(torrent));
    fs::RemoveTree(download_ / "P2PUpdater_Info");

    const std::string out = RunCore();
    EXPECT_EQ(Lines(out, {"P2PState", "Error"}),
              (std::vector<std::string>{"P2PState=5", "P2PState=8", "Error=ReadSeed"}))
        << out;
    EXPECT_EQ(outside.Read("victim.txt"), "untouched");
    EXPECT_EQ(download_.Read("mine.txt"), "untouched too");
    EXPECT_FALSE(HasInfo(".Download_Info_Data"));
  }
}

}  // namespace
}  // namespace zelt
