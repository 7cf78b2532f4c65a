// The real downloader core with -GenerateDownloadInfo on a task made by
// kestra-seed and served by nginx: the file system registers and checks the
// files already on disk and the resume file lists exactly the intact blocks.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/process.h"
#include "storage_fixture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

namespace zelt {
namespace {

using kestra::test::NginxServer;
using kestra::test::TempDir;

const std::string kBin = KESTRA_BIN_DIR;
constexpr std::uint32_t kBlock = 65536;
// A bound for a hung program, not a measure: the runs take well under a second.
constexpr int kExitWaitMs = 120000;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Runs a command line through the shell in cwd with its output in out_file.
std::optional<int> RunShell(const std::string& command, const std::string& cwd, const std::string& out_file) {
  platform::process::StartOptions options;
  options.working_directory = cwd;
  auto pid = platform::process::Start({"sh", "-c", "exec " + command + " >" + Quote(out_file) + " 2>&1"}, options);
  if (!pid) return std::nullopt;
  return platform::process::Wait(*pid, kExitWaitMs);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

// Values of "[Interactive]KEY=VALUE" lines for the key, in order.
std::vector<std::string> Values(const std::string& output, const std::string& key) {
  std::vector<std::string> out;
  const std::string prefix = "[Interactive]" + key + "=";
  for (const std::string& line : Lines(output))
    if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
  return out;
}

// file id -> completed part ids, as the resume file lists them.
std::map<std::uint32_t, std::set<std::uint32_t>> ReadResume(const std::string& text) {
  std::map<std::uint32_t, std::set<std::uint32_t>> out;
  std::uint32_t section = 0;
  bool in_file = false;
  for (const std::string& line : Lines(text)) {
    if (line.size() > 2 && line.front() == '[') {
      in_file = line != "[Global]";
      if (in_file) section = static_cast<std::uint32_t>(std::stoul(line.substr(1)));
      continue;
    }
    const std::string key = "CompletePartId = ";
    if (in_file && line.rfind(key, 0) == 0) {
      auto& parts = out[section];
      std::istringstream ids(line.substr(key.size()));
      for (std::string id; std::getline(ids, id, '|');)
        if (!id.empty()) parts.insert(static_cast<std::uint32_t>(std::stoul(id)));
    }
  }
  return out;
}

std::set<std::uint32_t> Range(std::uint32_t first, std::uint32_t last, std::set<std::uint32_t> minus = {}) {
  std::set<std::uint32_t> out;
  for (std::uint32_t i = first; i <= last; ++i)
    if (minus.count(i) == 0) out.insert(i);
  return out;
}

class GenerateDownloadInfoTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    a_ = test::Content(20 * kBlock + 777, 21);  // 21 blocks
    b_ = test::Content(3 * kBlock, 22);         // 3 blocks
    c_ = test::Content(5 * kBlock, 23);         // 5 blocks
    src_.Write("a.bin", a_);
    src_.Write("sub/b.bin", b_);
    src_.Write("c.bin", c_);
    platform::fs::MakeDirectories(serve_ / "task");
    nginx_ = std::make_unique<NginxServer>(serve_.path());
    const std::string make = Quote(kBin + "/kestra-seed") + " make --files " + Quote(src_.path()) +
                             " --block-size " + std::to_string(kBlock) + " --out " + Quote(serve_ / "task") +
                             " --torrent t.data --cdn " + Quote(nginx_->Url("/task"));
    ASSERT_EQ(RunShell(make, work_.path(), work_ / "make.txt"), std::optional<int>(0)) << work_.Read("make.txt");
    // The seed tool numbers the files; learn which id each name got.
    ASSERT_EQ(RunShell(Quote(kBin + "/kestra-seed") + " list " + Quote(serve_ / "task/t.data"), work_.path(),
                       work_ / "list.txt"),
              std::optional<int>(0));
    for (const std::string& line : Lines(work_.Read("list.txt"))) {
      std::istringstream words(line);
      std::string kind, id, size, md5, name;
      if (words >> kind >> id >> size >> md5 >> name && kind == "file") ids_[name] = std::stoul(id);
    }
    ASSERT_EQ(ids_.size(), 3u) << work_.Read("list.txt");
  }

  // Runs the core in download_ and returns its output.
  std::string RunCore() {
    const std::string core = Quote(kBin + "/kestra-downloader") + " -Dir " + Quote(download_.path() + "/") +
                             " -HttpUrl " + Quote(nginx_->Url("/task")) + " -Torrent t.data -LocalIp 127.0.0.1" +
                             " -Fsys " + std::to_string(GetParam()) + " -GenerateDownloadInfo";
    EXPECT_EQ(RunShell(core, download_.path(), work_ / "core.txt"), std::optional<int>(0));
    return work_.Read("core.txt");
  }

  std::string a_, b_, c_;
  TempDir src_, serve_, work_, download_;
  std::unique_ptr<NginxServer> nginx_;
  std::map<std::string, std::uint32_t> ids_;
};

TEST_P(GenerateDownloadInfoTest, ResumeFileListsExactlyTheIntactBlocks) {
  // a: block 4 damaged, the file ends inside block 20; b: missing;
  // c: intact but followed by stray bytes.
  std::string a = a_.substr(0, 20 * kBlock + 100);
  a[4 * kBlock + 1234] ^= 0x10;
  download_.Write("a.bin", a);
  download_.Write("c.bin", c_ + "stray bytes after the end");

  const std::string out = RunCore();
  EXPECT_EQ(Values(out, "P2PState"), (std::vector<std::string>{"5", "8", "11", "12"})) << out;
  const std::vector<std::string> names = Values(out, "VerifyFilename");
  ASSERT_EQ(names.size(), 3u) << out;
  EXPECT_EQ(names[0], "a.bin");  // in id order: a, c, sub/b
  EXPECT_EQ(names[1], "c.bin");
  const std::vector<std::string> fractions = Values(out, "VerifyPercentage");
  ASSERT_FALSE(fractions.empty());
  // All of a and c were read, b was not there.
  const double checked = double(a_.size() + c_.size()) / double(a_.size() + b_.size() + c_.size());
  EXPECT_NEAR(std::stod(fractions.back()), checked, 1e-5);
  EXPECT_TRUE(Values(out, "Error").empty()) << out;

  const auto resume = ReadResume(download_.Read("P2PUpdater_Info/.Download_Info_Data"));
  ASSERT_EQ(resume.size(), 3u) << download_.Read("P2PUpdater_Info/.Download_Info_Data");
  EXPECT_EQ(resume.at(ids_["a.bin"]), Range(0, 19, {4}));
  EXPECT_EQ(resume.at(ids_["c.bin"]), Range(0, 4));
  EXPECT_TRUE(resume.at(ids_["sub/b.bin"]).empty());
  // Every file has its seed size now; c's intact bytes are untouched.
  EXPECT_EQ(platform::fs::FileSize(download_ / "a.bin"), std::optional<std::uint64_t>(a_.size()));
  EXPECT_EQ(platform::fs::FileSize(download_ / "sub/b.bin"), std::optional<std::uint64_t>(b_.size()));
  EXPECT_EQ(download_.Read("c.bin"), c_);

  // A second run finds the seed and the resume data and checks nothing.
  const std::string again = RunCore();
  EXPECT_EQ(Values(again, "P2PState"), (std::vector<std::string>{"5", "11"})) << again;
  EXPECT_TRUE(Values(again, "VerifyFilename").empty());
  EXPECT_EQ(ReadResume(download_.Read("P2PUpdater_Info/.Download_Info_Data")), resume);
}

INSTANTIATE_TEST_SUITE_P(Fsys, GenerateDownloadInfoTest, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& info) { return "Fsys" + std::to_string(info.param); });

}  // namespace
}  // namespace zelt
