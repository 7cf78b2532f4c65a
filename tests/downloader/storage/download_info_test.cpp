// DownloadInfo against a real nginx serving tasks laid out by the seed tool:
// torrent and seed fetch with their states and retries, the seed check and
// rotation, registration with the delete list and the resume file.
#include "downloader/storage/download_info.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "downloader/services/config_service.h"
#include "downloader/services/shell_info.h"
#include "downloader/storage/seed_file.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "tests/downloader/services/fake_channel.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"
#include "tools/seed/seed_builder.h"

namespace zelt {
namespace {

namespace fs = platform::fs;
using kestra::test::NginxServer;
using kestra::test::TempDir;

constexpr const char* kTaskName = "p1.tq.data";
constexpr std::uint32_t kBlock = 4096;

// The file system's side of registration, recorded.
class RecordingRegistrar : public IFileRegistrar {
 public:
  bool AddMultipleFiles(const std::vector<FileEntry>& files) override {
    added.push_back(files);
    return add_result;
  }
  void SetHttpBegin(std::uint32_t file_id, std::uint32_t location) override { http_begin[file_id] = location; }
  void RestoreCompleted(std::uint32_t file_id, const RangeSet& parts) override { restored[file_id] = parts; }
  void VerifyAll(std::map<std::uint32_t, RangeSet>& completed) override {
    ++verify_calls;
    for (const auto& [id, parts] : intact) {
      parts.ForEach([&](std::uint32_t lo, std::uint32_t hi) { completed[id].InsertRange(lo, hi); });
    }
  }
  void RecordStartBytes() override { ++start_bytes_calls; }

  bool add_result = true;
  std::map<std::uint32_t, RangeSet> intact;  // what the scan finds on disk
  std::vector<std::vector<FileEntry>> added;
  std::map<std::uint32_t, std::uint32_t> http_begin;
  std::map<std::uint32_t, RangeSet> restored;
  int verify_calls = 0;
  int start_bytes_calls = 0;
};

RangeSet Parts(std::initializer_list<std::uint32_t> ids) {
  RangeSet set;
  for (std::uint32_t id : ids) set.Insert(id);
  return set;
}

std::string Pattern(std::size_t size, char seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 7 + i / 251);
  return s;
}

class DownloadInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOutputLevel(0);
    ShellInfo::Instance().SetChannel(&channel_);
    src_.Write("a.bin", Pattern(3 * kBlock + 100, 'a'));
    src_.Write("sub/b.txt", Pattern(kBlock, 'b'));
  }
  void TearDown() override { ShellInfo::Instance().SetChannel(nullptr); }

  std::string TaskDir() const { return server_root_ / "burrow/task"; }
  std::string Base() const { return nginx_.Url("/burrow/task"); }
  std::string ServerSeed() const { return server_root_.Read(std::string("burrow/task/") + kTaskName + ".seed"); }
  std::string InfoFolder() const { return download_.path() + "\\" + kInfoFolderName; }
  std::string InfoFile(const char* name) const { return download_.Read(std::string("P2PUpdater_Info/") + name); }
  bool HasInfoFile(const char* name) const { return download_.Exists(std::string("P2PUpdater_Info/") + name); }

  void MakeTask(std::vector<std::string> delete_names = {}) {
    kestra::seed::BuildOptions options;
    options.files_dir = src_.path();
    options.block_size = kBlock;
    options.out_dir = TaskDir();
    options.torrent_name = kTaskName;
    options.cdns = {{Base(), 5}};
    options.trackers = {{"127.0.0.1", 7000}};
    options.config_path = "server/config.ini";
    options.delete_names = std::move(delete_names);
    kestra::seed::BuildReport report;
    std::string error;
    ASSERT_TRUE(kestra::seed::Build(options, report, error)) << error;
  }

  // A task whose seed is written as given, unchecked: for seeds the tool refuses to make.
  void MakeRawTask(const SeedDocument& seed) {
    const std::string gz = GzipBytes(WriteSeedText(seed));
    server_root_.Write(std::string("burrow/task/") + kTaskName + ".seed", gz);
    TorrentInfo torrent;
    torrent.cdnList = {{Base(), 1}};
    torrent.seed.name = std::string(kTaskName) + ".seed";
    torrent.seed.size = static_cast<std::uint32_t>(gz.size());
    torrent.seed.md5 = Md5Of(gz);
    server_root_.Write(std::string("burrow/task/") + kTaskName, WriteTorrent(torrent));
  }

  std::unique_ptr<ConfigService> Config(std::int32_t mode = kModeUpdate, std::vector<std::string> urls = {}) {
    Parameters params;
    params.current_dir = download_.path() + "\\";
    params.http_urls = urls.empty() ? std::vector<std::string>{Base()} : urls;
    params.torrent_path = kTaskName;
    params.mode = mode;
    return std::make_unique<ConfigService>(params);
  }

  struct Run {
    std::unique_ptr<ConfigService> config;
    RecordingRegistrar registrar;
    std::unique_ptr<DownloadInfo> info;
  };
  std::unique_ptr<Run> NewRun(std::int32_t mode = kModeUpdate, std::vector<std::string> urls = {}) {
    auto run = std::make_unique<Run>();
    run->config = Config(mode, std::move(urls));
    run->info = std::make_unique<DownloadInfo>(*run->config, run->registrar);
    run->info->set_retry_pause_ms(0);
    channel_.TakeLines();
    return run;
  }

  // Requests for the torrent in nginx's access log. nginx logs a request
  // after answering it, so the count is awaited up to the expected number.
  int TorrentRequests(int expected) const {
    int count = 0;
    for (int waited = 0; waited < 5000; waited += 20) {
      const std::string log = nginx_.AccessLog();
      count = 0;
      const std::string needle = std::string("/burrow/task/") + kTaskName + " ";
      for (std::size_t at = 0; (at = log.find(needle, at)) != std::string::npos; ++at) ++count;
      if (count >= expected) break;
      platform::clock::SleepMs(20);
    }
    return count;
  }

  TempDir server_root_, src_, download_;
  NginxServer nginx_{server_root_.path()};
  test::FakeChannel channel_;
};

TEST_F(DownloadInfoTest, FreshRunFetchesEverythingAndScansThenResumes) {
  MakeTask();
  auto run = NewRun();
  ASSERT_TRUE(run->info->AcquireSeed(InfoFolder()));
  EXPECT_EQ(run->config->StateHistory(), (std::vector<std::int32_t>{kGetSeedMd5, kDownloadSeedFile}));
  EXPECT_EQ(InfoFile(".Seed"), ServerSeed());
  EXPECT_FALSE(HasInfoFile(".Torrent")) << "the torrent is kept only in mode download";
  EXPECT_EQ(run->config->cdn_list(), (std::vector<CdnEntry>{{Base(), 5}}));
  EXPECT_EQ(run->config->tracker_list(), (std::vector<TrackerAddress>{{"127.0.0.1", 7000}}));
  EXPECT_EQ(run->config->server_config_address(), "server/config.ini");
  EXPECT_EQ(run->info->torrent_md5(), Md5Of(server_root_.Read(std::string("burrow/task/") + kTaskName)));
  EXPECT_EQ(run->config->info_file_paths().download_info, InfoFolder() + ".Download_Info_Data");

  // No resume file: every file is created and scanned; the scan's findings are saved.
  run->registrar.intact[1] = Parts({0, 2, 3});
  ASSERT_TRUE(run->info->RegisterFiles());
  ASSERT_EQ(run->registrar.added.size(), 1u);
  const std::vector<FileEntry>& files = run->registrar.added[0];
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].name, "a.bin");
  EXPECT_EQ(files[0].parts.size(), 4u);
  EXPECT_EQ(files[1].name, "sub/b.txt");
  EXPECT_EQ(run->registrar.verify_calls, 1);
  EXPECT_EQ(run->config->StateHistory().back(), kAllFileCheckMd5);
  EXPECT_EQ(run->registrar.http_begin.size(), 2u);
  EXPECT_EQ(run->registrar.start_bytes_calls, 1);
  const std::string resume = InfoFile(".Download_Info_Data");
  EXPECT_NE(resume.find("[1]\r\nCompletePartId = 0|2|3\r\n"), std::string::npos) << resume;
  EXPECT_NE(resume.find("[2]\r\nCompletePartId = \r\n"), std::string::npos) << resume;
  EXPECT_NE(resume.find("[Global]\r\nAllFileId = 1|2\r\n"), std::string::npos) << resume;

  // A block written later reaches the resume file.
  run->info->OnPartWritten(2, 0);
  ASSERT_TRUE(run->info->FlushResumeData());
  EXPECT_NE(InfoFile(".Download_Info_Data").find("[2]\r\nCompletePartId = 0\r\n"), std::string::npos);
  const auto begins = run->registrar.http_begin;

  // The next run finds the seed valid and restores from the resume file without a scan.
  auto again = NewRun();
  ASSERT_TRUE(again->info->AcquireSeed(InfoFolder()));
  EXPECT_EQ(again->config->StateHistory(), (std::vector<std::int32_t>{kGetSeedMd5}));
  ASSERT_TRUE(again->info->RegisterFiles());
  EXPECT_EQ(again->registrar.verify_calls, 0);
  EXPECT_EQ(again->registrar.restored[1], Parts({0, 2, 3}));
  EXPECT_EQ(again->registrar.restored[2], Parts({0}));
  EXPECT_EQ(again->registrar.http_begin, begins);
  EXPECT_EQ(again->config->StateHistory(), (std::vector<std::int32_t>{kGetSeedMd5}));
}

TEST_F(DownloadInfoTest, MissingTorrentEndsInStateSixAfterThreePasses) {
  // No task on the server at all; one more server that refuses connections.
  auto run = NewRun(kModeUpdate, {"http://127.0.0.1:1/none", Base()});
  EXPECT_FALSE(run->info->AcquireSeed(InfoFolder()));
  EXPECT_EQ(run->config->StateHistory(), (std::vector<std::int32_t>{kGetSeedMd5, kGetSeedMd5Fail}));
  EXPECT_EQ(channel_.TakeLines(), (std::vector<std::string>{"[Interactive]P2PState=5", "[Interactive]P2PState=6",
                                                             "[Interactive]Error=DownloadTorrent"}));
  EXPECT_EQ(TorrentRequests(3), 3);
  EXPECT_FALSE(HasInfoFile(".Seed"));
}

TEST_F(DownloadInfoTest, LaterServersAndLaterPassesAreTried) {
  MakeTask();
  // The first server refuses connections, the second answers 404 for the
  // torrent, the third serves it.
  const std::string wrong = nginx_.Url("/burrow/elsewhere");
  auto run = NewRun(kModeUpdate, {"http://127.0.0.1:1/x", wrong, Base()});
  ASSERT_TRUE(run->info->AcquireSeed(InfoFolder()));
  EXPECT_EQ(InfoFile(".Seed"), ServerSeed());
  EXPECT_NE(nginx_.AccessLog().find("/burrow/elsewhere/p1.tq.data"), std::string::npos);

  // A torrent that is not a torrent is passed over like a missing one.
  server_root_.Write("burrow/elsewhere/p1.tq.data", "<Root><Server/></Root>");
  auto bad = NewRun(kModeUpdate, {wrong});
  EXPECT_FALSE(bad->info->AcquireSeed(InfoFolder()));
  EXPECT_EQ(bad->config->StateHistory(), (std::vector<std::int32_t>{kGetSeedMd5, kGetSeedMd5Fail}));
}

TEST_F(DownloadInfoTest, HostileTorrentServersEndInStateSix) {
  // Each server misbehaves in its own way; none of it may crash, hang or
  // leave anything behind.
  TempDir root;
  kestra::test::NginxOptions options;
  options.server_config =
      "location = /loop/p1.tq.data { return 302 /loop/p1.tq.data; }\n"
      "location = /error/p1.tq.data { return 500; }\n";
  TorrentInfo valid;
  valid.cdnList = {{Base(), 1}};
  valid.seed.name = "t.seed";
  valid.seed.size = 10;
  const std::string text = WriteTorrent(valid);
  ASSERT_TRUE(ParseTorrent(text).has_value());
  root.Write("big/p1.tq.data", text + "<!--" + std::string(2u << 20, 'x') + "-->");
  root.Write("junk/p1.tq.data", std::string("\x1f\x8b\x08\x00junk\0\xff", 10));
  root.Write("nofile/p1.tq.data", "<Root><Server><Http url=\"http://127.0.0.1/\"/></Server><Exist/></Root>");
  NginxServer hostile(root.path(), options);
  std::vector<std::string> urls;
  for (const char* path : {"/loop", "/error", "/big", "/junk", "/nofile", "/absent"}) urls.push_back(hostile.Url(path));
  auto run = NewRun(kModeDownload, urls);
  EXPECT_FALSE(run->info->AcquireSeed(InfoFolder()));
  EXPECT_EQ(run->config->StateHistory(), (std::vector<std::int32_t>{kGetSeedMd5, kGetSeedMd5Fail}));
  EXPECT_FALSE(HasInfoFile(".Torrent"));
  EXPECT_FALSE(HasInfoFile(".Seed"));
  EXPECT_TRUE(run->config->cdn_list().empty()) << "nothing of a refused torrent is applied";
}

TEST_F(DownloadInfoTest, TorrentKeptAndReusedOnlyInModeDownload) {
  MakeTask();
  auto first = NewRun(kModeDownload);
  ASSERT_TRUE(first->info->AcquireSeed(InfoFolder()));
  EXPECT_EQ(InfoFile(".Torrent"), server_root_.Read(std::string("burrow/task/") + kTaskName));
  EXPECT_EQ(TorrentRequests(1), 1);

  // The task disappears from the server: mode download goes on from the local torrent...
  fs::RemoveFile(TaskDir() + "/" + kTaskName);
  auto download = NewRun(kModeDownload);
  EXPECT_TRUE(download->info->AcquireSeed(InfoFolder()));
  EXPECT_EQ(TorrentRequests(1), 1);
  EXPECT_EQ(download->config->cdn_list(), (std::vector<CdnEntry>{{Base(), 5}}));

  // ...mode update always asks the servers.
  auto update = NewRun(kModeUpdate);
  EXPECT_FALSE(update->info->AcquireSeed(InfoFolder()));
  EXPECT_EQ(TorrentRequests(4), 4);
}

TEST_F(DownloadInfoTest, SeedRotation) {
  struct Case {
    const char* why;
    bool old_seed, resume, old_past;
    bool expect_past_is_old_seed, expect_resume;
  };
  const Case cases[] = {
      {"changed seed with a resume file", true, true, false, true, false},
      {"changed seed with a resume file replaces an older past seed", true, true, true, true, false},
      {"changed seed without a resume file", true, false, true, false, false},
      {"no seed but a resume file", false, true, false, false, false},
  };
  MakeTask();
  const std::string old_seed = GzipBytes(std::string(5000, 'o'));  // longer than the new one
  ASSERT_GT(old_seed.size(), 0u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    fs::RemoveTree(download_.path() + "/P2PUpdater_Info");
    fs::MakeDirectories(download_.path() + "/P2PUpdater_Info");
    if (c.old_seed) download_.Write("P2PUpdater_Info/.Seed", old_seed + std::string(400, 'x'));
    if (c.resume) download_.Write("P2PUpdater_Info/.Download_Info_Data", "[Global]\r\nAllFileId = \r\n");
    if (c.old_past) download_.Write("P2PUpdater_Info/.Seed_Past", "older");
    auto run = NewRun();
    ASSERT_TRUE(run->info->AcquireSeed(InfoFolder()));
    EXPECT_EQ(run->config->StateHistory(), (std::vector<std::int32_t>{kGetSeedMd5, kDownloadSeedFile}));
    EXPECT_EQ(InfoFile(".Seed"), ServerSeed());
    EXPECT_EQ(HasInfoFile(".Download_Info_Data"), c.expect_resume);
    if (c.expect_past_is_old_seed) {
      EXPECT_EQ(InfoFile(".Seed_Past"), old_seed + std::string(400, 'x'));
    } else if (c.old_past) {
      EXPECT_EQ(InfoFile(".Seed_Past"), "older");
    } else {
      EXPECT_FALSE(HasInfoFile(".Seed_Past"));
    }
  }
}

TEST_F(DownloadInfoTest, SeedThatCannotBeFetchedEndsInStateNine) {
  struct Case {
    const char* why;
    std::string server_seed;  // empty: missing
  };
  MakeTask();
  const std::string good = ServerSeed();
  std::string corrupt = good;
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 1);
  const Case cases[] = {
      {"missing", ""},
      {"different bytes", corrupt},
      {"longer than announced", good + "tail"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    fs::RemoveTree(download_.path() + "/P2PUpdater_Info");
    const std::string seed_path = TaskDir() + "/" + kTaskName + ".seed";
    fs::RemoveFile(seed_path);
    if (!c.server_seed.empty()) fs::WriteWholeFile(seed_path, c.server_seed);
    auto run = NewRun();
    EXPECT_FALSE(run->info->AcquireSeed(InfoFolder()));
    EXPECT_EQ(run->config->StateHistory(),
              (std::vector<std::int32_t>{kGetSeedMd5, kDownloadSeedFile, kDownloadSeedFileFail}));
    const std::vector<std::string> lines = channel_.TakeLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[Interactive]Error=DownloadSeed");
  }
}

TEST_F(DownloadInfoTest, UnsafeOrBrokenSeedIsUnreadableAndTouchesNothing) {
  TempDir outside;
  outside.Write("sentinel", "keep me");
  download_.Write("inside.txt", "keep me too");
  const std::string sentinel = outside / "sentinel";
  FileEntry plain;
  plain.id = 1;
  plain.name = "inside.txt";
  plain.size = 4;
  plain.parts = {{0, 0, 4, {}}};
  struct Case {
    const char* why;
    std::string file_name;            // empty: the plain file
    std::vector<std::string> deletes;
    std::vector<PartEntry> parts;     // empty: the plain file's parts
  };
  const std::string up = "../" + sentinel.substr(sentinel.find_last_of('/', sentinel.rfind('/') - 1) + 1);
  const Case cases[] = {
      {"absolute file name", sentinel, {}, {}},
      {"file name with a drive letter", "C:\\sentinel", {}, {}},
      {"file name leaving through ..", "../../../../../../../../.." + sentinel, {}, {}},
      {"delete list: absolute", "", {"inside.txt", sentinel}, {}},
      {"delete list: ..", "", {"inside.txt", "../" + up}, {}},
      {"delete list: drive letter", "", {"inside.txt", "c:/x"}, {}},
      {"parts with a gap", "", {"inside.txt"}, {{0, 0, 2, {}}, {1, 3, 1, {}}}},
      {"parts past the end", "", {"inside.txt"}, {{0, 0, 2, {}}, {1, 2, 3, {}}}},
      {"a part of length 0", "", {"inside.txt"}, {{0, 0, 4, {}}, {1, 4, 0, {}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    SeedDocument seed;
    FileEntry file = plain;
    if (!c.file_name.empty()) file.name = c.file_name;
    if (!c.parts.empty()) file.parts = c.parts;
    seed.files = {file};
    seed.delete_list = c.deletes;
    MakeRawTask(seed);
    fs::RemoveTree(download_.path() + "/P2PUpdater_Info");
    auto run = NewRun();
    ASSERT_TRUE(run->info->AcquireSeed(InfoFolder()));
    channel_.TakeLines();
    EXPECT_FALSE(run->info->RegisterFiles());
    EXPECT_EQ(channel_.TakeLines(), (std::vector<std::string>{"[Interactive]Error=ReadSeed"}));
    EXPECT_TRUE(run->registrar.added.empty());
    EXPECT_FALSE(HasInfoFile(".Download_Info_Data"));
    EXPECT_EQ(outside.Read("sentinel"), "keep me");
    EXPECT_EQ(download_.Read("inside.txt"), "keep me too");
  }
}

TEST_F(DownloadInfoTest, DeleteListRemovesFilesInsideTheDownloadDirectoryOnly) {
  download_.Write("old/x.dll", "old");
  download_.Write("gone.txt", "old");
  download_.Write("stays.txt", "new");
  fs::MakeDirectories(download_.path() + "/a-directory");
  MakeTask({"old/x.dll", "gone.txt", "never-there.txt", "a-directory"});
  auto run = NewRun();
  ASSERT_TRUE(run->info->AcquireSeed(InfoFolder()));
  ASSERT_TRUE(run->info->RegisterFiles());
  EXPECT_FALSE(download_.Exists("old/x.dll"));
  EXPECT_FALSE(download_.Exists("gone.txt"));
  EXPECT_EQ(download_.Read("stays.txt"), "new");
  EXPECT_TRUE(fs::IsDirectory(download_.path() + "/a-directory"));
}

TEST_F(DownloadInfoTest, ResumeFileRules) {
  MakeTask();
  struct Case {
    const char* why;
    std::string resume;
    bool scan;                                   // a full scan follows
    std::map<std::uint32_t, RangeSet> restored;  // otherwise restored as
  };
  const Case cases[] = {
      {"a line without =", "[Global]\r\nAllFileId = 1\r\nabc\r\n", true, {}},
      {"a bad part id", "[Global]\r\nAllFileId = 1\r\n[1]\r\nCompletePartId = x1\r\n", true, {}},
      {"no Global", "[1]\r\nCompletePartId = 1\r\n", true, {}},
      {"unknown files and parts are dropped",
       "[Global]\r\nAllFileId = 1|77\r\n[1]\r\nCompletePartId = 00|3|4|9\r\nHttpBeginLocation = 7\r\n"
       "[77]\r\nCompletePartId = 1\r\n",
       false,
       {{1, Parts({0, 3})}, {2, RangeSet()}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    auto run = NewRun();
    ASSERT_TRUE(run->info->AcquireSeed(InfoFolder()));
    download_.Write("P2PUpdater_Info/.Download_Info_Data", c.resume);
    ASSERT_TRUE(run->info->RegisterFiles());
    EXPECT_EQ(run->registrar.verify_calls, c.scan ? 1 : 0);
    const std::vector<std::int32_t> history = run->config->StateHistory();
    EXPECT_EQ(std::count(history.begin(), history.end(), kAllFileCheckMd5), c.scan ? 1 : 0);
    if (!c.scan) {
      EXPECT_EQ(run->registrar.restored, c.restored);
      EXPECT_EQ(run->registrar.http_begin[1], 7u);
    }
    // Whatever was read, what is saved next names only the seed's files.
    ASSERT_TRUE(run->info->SaveResumeData());
    const std::string saved = InfoFile(".Download_Info_Data");
    EXPECT_NE(saved.find("AllFileId = 1|2\r\n"), std::string::npos) << saved;
  }
}

TEST_F(DownloadInfoTest, SaveReplacesTheResumeFileWholeOrNotAtAll) {
  MakeTask();
  auto run = NewRun();
  ASSERT_TRUE(run->info->AcquireSeed(InfoFolder()));
  ASSERT_TRUE(run->info->RegisterFiles());
  run->info->OnPartWritten(1, 1);
  ASSERT_TRUE(run->info->FlushResumeData());
  const std::string before = InfoFile(".Download_Info_Data");
  EXPECT_NE(before.find("CompletePartId = 1\r\n"), std::string::npos);
  EXPECT_FALSE(HasInfoFile(".Download_Info_Data.tmp"));

  // The temporary name cannot be written: the save fails and the resume file
  // is left exactly as it was.
  fs::MakeDirectories(download_.path() + "/P2PUpdater_Info/.Download_Info_Data.tmp");
  run->info->OnPartWritten(1, 2);
  EXPECT_FALSE(run->info->FlushResumeData());
  EXPECT_FALSE(run->info->SaveResumeData());
  EXPECT_EQ(InfoFile(".Download_Info_Data"), before);
  fs::RemoveTree(download_.path() + "/P2PUpdater_Info/.Download_Info_Data.tmp");
  // The part is not forgotten: the next save carries it.
  run->info->OnPartWritten(2, 0);
  ASSERT_TRUE(run->info->FlushResumeData());
  EXPECT_NE(InfoFile(".Download_Info_Data").find("CompletePartId = 1|2\r\n"), std::string::npos);
}

TEST_F(DownloadInfoTest, ManyBlocksFromSeveralThreadsAllReachTheResumeFile) {
  MakeTask();
  {
    auto run = NewRun();
    ASSERT_TRUE(run->info->AcquireSeed(InfoFolder()));
    ASSERT_TRUE(run->info->RegisterFiles());
    // Part ids beyond the seed's are kept as recorded; the writers race the saver.
    std::vector<std::thread> writers;
    for (std::uint32_t t = 0; t < 4; ++t) {
      writers.emplace_back([&, t] {
        for (std::uint32_t i = 0; i < 500; ++i) run->info->OnPartWritten(1 + t % 2, t * 500 + i);
      });
    }
    for (std::thread& w : writers) w.join();
    // No flush: the end of DownloadInfo saves what is pending.
  }
  ResumeData data;
  ASSERT_TRUE(ReadResumeText(InfoFile(".Download_Info_Data"), data));
  RangeSet odd, even;
  odd.InsertRange(0, 499);
  odd.InsertRange(1000, 1499);
  even.InsertRange(500, 999);
  even.InsertRange(1500, 1999);
  EXPECT_EQ(data.completed_parts[1], odd);
  EXPECT_EQ(data.completed_parts[2], even);
}

TEST_F(DownloadInfoTest, RepairCleanupRemovesTheInformationFolder) {
  MakeTask();
  auto run = NewRun(kModeDownload);
  ASSERT_TRUE(run->info->AcquireSeed(InfoFolder()));
  ASSERT_TRUE(run->info->RegisterFiles());
  download_.Write("P2PUpdater_Info/.Seed_Past", "old");
  download_.Write("game.dat", "data");
  for (const char* name : {".Torrent", ".Seed", ".Seed_Past", ".Download_Info_Data"}) {
    ASSERT_TRUE(HasInfoFile(name)) << name;
  }
  auto repair = NewRun(kModeRepair);
  repair->info->CleanupForRepair(InfoFolder());
  EXPECT_FALSE(fs::Exists(download_.path() + "/P2PUpdater_Info"));
  EXPECT_EQ(download_.Read("game.dat"), "data");
}

TEST_F(DownloadInfoTest, DeletedInformationStaysDeleted) {
  MakeTask();
  auto run = NewRun();
  ASSERT_TRUE(run->info->AcquireSeed(InfoFolder()));
  ASSERT_TRUE(run->info->RegisterFiles());
  run->info->OnPartWritten(1, 0);
  // At the end of a completed download: a block completion that is still
  // being saved must not bring the folder back.
  run->info->DeleteInfoFiles();
  run->info->OnPartWritten(1, 1);
  EXPECT_FALSE(run->info->FlushResumeData());
  EXPECT_FALSE(fs::Exists(download_.path() + "/P2PUpdater_Info"));
}

}  // namespace
}  // namespace zelt
