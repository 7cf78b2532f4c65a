// A stand-in for the downloader core in whole-update tests, carried inside a
// build of the updater the way the real core is. It speaks the control
// protocol over -InteractivePort and really fetches: the task address
// (-HttpUrl + "/" + -Torrent) names the package as the release tools lay the
// server out ("/burrow/" inserted, ".data" appended), so the package address
// is the task address without them. The package is fetched with the updater's
// own HTTP client from the test's nginx and written into -Dir under its name.
//
// Environment (inherited through the updater from the test):
//   KESTRA_STANDIN_LOG   file that gets "start TASK", "done NAME", "fail URL",
//                        "quit" and "end ..." lines
//   KESTRA_STANDIN_HOLD  task addresses, blank separated, that stay
//                        "downloading" at 50 % until "quit"
//
// Ends after "quit", when its parent is gone, or after two minutes.
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "shared/interactive/interactive.h"
#include "updater/config/urls.h"
#include "updater/net/comm_http.h"

namespace {

std::string Argument(int argc, char** argv, const std::string& name) {
  for (int i = 1; i + 1 < argc; ++i)
    if (argv[i] == name) return argv[i + 1];
  return {};
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void Log(const std::string& line) {
  std::string path = Env("KESTRA_STANDIN_LOG");
  if (path.empty()) return;
  std::ofstream out(path, std::ios::app);
  out << line << "\n";
}

bool Held(const std::string& task) {
  std::istringstream words(Env("KESTRA_STANDIN_HOLD"));
  std::string word;
  while (words >> word)
    if (word == task) return true;
  return false;
}

std::string PackageUrl(std::string task) {
  const std::string suffix = ".data";
  if (task.size() >= suffix.size() && task.compare(task.size() - suffix.size(), suffix.size(), suffix) == 0)
    task.resize(task.size() - suffix.size());
  std::size_t burrow = task.find("/burrow/");
  if (burrow != std::string::npos) task.erase(burrow, 8);
  return task;
}

bool Fetch(const std::string& url, std::string& body) {
  kestra::config::SplitUrlResult split = kestra::config::SplitUrl(url);
  if (!split.ok()) return false;
  NetModel::CommHttp http(split.host, split.port_text, NetModel::TimeValue{10, 0},
                          NetModel::TimeValue{60, 0});
  http.Request(NetModel::BuildGetRequest(split.host, split.path));
  if (!http.ok()) return false;
  body = http.GetBody();
  return true;
}

struct Core {
  std::unique_ptr<kestra::interactive::IInteractive> channel;
  std::map<std::string, std::string> values = {
      {"UserId", "1"}, {"P2PState", "3"}, {"Percentage", "0.000000"}, {"PercentageDownloaded", "0.000000"},
      {"CurUpdatePercentage", "0.000000"}, {"IncompleteByte", "0"}, {"UploadBandWidth", "0.000000"},
      {"DownloadBandWidth", "0.000000"}, {"UploadUserNum", "0"}, {"DownloadUserNum", "0"},
      {"ConnectNum", "0"}, {"TotalByte", "0"}};
  bool quit = false;

  void Line(const std::string& text) {
    channel->Write(text);
    channel->Write("\n");
  }
  void Reply(const std::string& key) { Line("[Interactive]" + key + "=" + values[key]); }

  void Serve() {
    std::string command;
    while (channel->ReadLine(command)) {
      std::istringstream words(command);
      std::string word, key;
      words >> word >> key;
      if (word == "quit") {
        quit = true;
        Log("quit");
      } else if (word == "stat") {
        for (const char* k : {"UserId", "P2PState", "Percentage", "PercentageDownloaded", "CurUpdatePercentage",
                              "IncompleteByte", "UploadBandWidth", "DownloadBandWidth", "UploadUserNum",
                              "DownloadUserNum", "ConnectNum"})
          Reply(k);
      } else if (word == "get" && key == "tb") {
        Reply("TotalByte");
      } else if (word == "get" && key == "qf") {
        Line("[Interactive]FileName=:");
      }
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = Argument(argc, argv, "-Dir");
  const std::string port = Argument(argc, argv, "-InteractivePort");
  const std::string task = Argument(argc, argv, "-HttpUrl") + "/" + Argument(argc, argv, "-Torrent");
  if (port.empty()) return 2;
  Core core;
  core.channel = std::make_unique<kestra::interactive::NetworkInteractive>(
      static_cast<std::uint16_t>(std::atoi(port.c_str())));
  if (!core.channel->Open()) return 3;
  Log("start " + task);

  bool failed = false;
  if (Held(task)) {
    core.values["P2PState"] = "14";
    core.values["PercentageDownloaded"] = "50.000000";
    core.values["TotalByte"] = "1000";
  } else {
    const std::string url = PackageUrl(task);
    const std::string name = kestra::config::UrlFileName(url);
    std::string body;
    if (!name.empty() && Fetch(url, body) &&
        platform::fs::WriteWholeFile(dir + "/" + name, body)) {
      core.values["TotalByte"] = std::to_string(body.size());
      core.values["PercentageDownloaded"] = "100.000000";
      core.values["P2PState"] = "15";
      Log("done " + name);
    } else {
      Log("fail " + url);
      failed = true;
    }
  }

  const int parent = platform::process::ParentPid();
  const std::uint64_t give_up = platform::clock::SteadyMs() + 120000;
  while (!failed && !core.quit && platform::clock::SteadyMs() < give_up &&
         platform::process::ParentPid() == parent) {
    core.Serve();
    platform::clock::SleepMs(10);
  }
  // What the updater sent just before it ended is still read.
  core.Serve();
  core.channel->Close();
  Log(core.quit ? "end after quit" : "end without quit");
  return failed ? 1 : 0;
}
