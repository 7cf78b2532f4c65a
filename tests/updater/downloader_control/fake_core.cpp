// A scripted stand-in for the downloader core, for the updater's tests. It
// speaks the control protocol (over -InteractivePort when given, else over its
// standard streams) and plays the steps of "<Dir>/core-script", one per line:
//
//   set KEY VALUE   value answered by "stat" and "get" (as written); a run of
//                   set steps takes effect at once
//   state N         P2PState := N and the unasked line "[Interactive]P2PState=N"
//   send TEXT       TEXT as one line (text, then a separate line feed)
//   raw TEXT        TEXT without a line feed
//   flood N         N bytes of junk without a line feed
//   sleep MS
//   wait COMMAND    until that command line has arrived
//   noquit          "quit" no longer ends the program
//   exit N
//
// Every command line received is appended to "<Dir>/commands.log". Without
// -Dir it ends at once with 0. It ends by itself after a minute or when its
// parent is gone.
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/process.h"
#include "shared/interactive/interactive.h"
#include "shared/protocol/protocol.h"

namespace {

using kestra::interactive::IInteractive;
namespace proto = kestra::protocol;

std::string Switch(const char* name) { return std::string(1, proto::kSwitchPrefix) + name; }

// "[Interactive]" + key + "=" + value
std::string ReplyLine(const std::string& key, const std::string& value) {
  return std::string(1, proto::kTagOpen) + proto::kTagInteractive + proto::kTagClose + key +
         proto::kKeyValueSeparator + value;
}

struct Core {
  std::unique_ptr<IInteractive> channel;
  std::map<std::string, std::string> values = {
      {proto::kKeyUserId, "1"},
      {proto::kKeyP2PState, "0"},
      {proto::kKeyPercentage, "0.000000"},
      {proto::kKeyPercentageDownloaded, "0.000000"},
      {proto::kKeyCurUpdatePercentage, "0.000000"},
      {proto::kKeyIncompleteByte, "0"},
      {proto::kKeyUploadBandWidth, "0.000000"},
      {proto::kKeyDownloadBandWidth, "0.000000"},
      {proto::kKeyUploadUserNum, "0"},
      {proto::kKeyDownloadUserNum, "0"},
      {proto::kKeyConnectNum, "0"},
      {proto::kKeyTotalByte, "0"}};
  std::multiset<std::string> received;
  std::ofstream log;
  bool quit_ends = true;
  bool quit_seen = false;

  void Line(const std::string& text) {
    channel->Write(text);
    channel->Write(std::string(1, proto::kLineEnd));
  }
  void Reply(const std::string& key) { Line(ReplyLine(key, values[key])); }

  void Execute(const std::string& command) {
    log << command << "\n";
    log.flush();
    received.insert(command);
    std::istringstream words(command);
    std::string word;
    words >> word;
    if (word == proto::kCmdQuit) {
      quit_seen = true;
    } else if (word == proto::kCmdStat) {
      for (const char* key : proto::kStatKeys) Reply(key);
    } else if (word == proto::kCmdGet) {
      std::string key;
      words >> key;
      if (key == proto::kSelTotalBytes) Reply(proto::kKeyTotalByte);
      if (key == proto::kSelFileName) {
        auto it = values.find(proto::kKeyFileName);
        Line(ReplyLine(proto::kKeyFileName, it == values.end() ? proto::kNoFileName : it->second));
      }
    }
  }

  // Serves every waiting command; false once "quit" ends the program.
  bool Serve() {
    std::string command;
    while (channel->ReadLine(command)) Execute(command);
    return !(quit_seen && quit_ends);
  }
};

std::string Argument(int argc, char** argv, const std::string& name) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] == name) return argv[i + 1];
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = Argument(argc, argv, Switch(proto::kParamDir));
  if (dir.empty()) return 0;
  std::string port = Argument(argc, argv, Switch(proto::kParamInteractivePort));

  Core core;
  if (!port.empty()) {
    core.channel = std::make_unique<kestra::interactive::NetworkInteractive>(
        static_cast<std::uint16_t>(std::atoi(port.c_str())));
  } else {
    core.channel = std::make_unique<kestra::interactive::ConsoleInteractive>(false);
  }
  if (!core.channel->Open()) return 3;
  core.log.open(dir + "/commands.log", std::ios::app);

  std::vector<std::string> steps;
  {
    std::ifstream script(dir + "/core-script");
    std::string step;
    while (std::getline(script, step)) steps.push_back(step);
  }

  const int parent = platform::process::ParentPid();
  const std::uint64_t give_up = platform::clock::SteadyMs() + 60000;
  std::size_t next = 0;
  std::uint64_t sleep_until = 0;
  while (platform::clock::SteadyMs() < give_up && platform::process::ParentPid() == parent) {
    if (!core.Serve()) break;
    // Consecutive "set" steps take effect together, so that no reply mixes
    // old and new values.
    bool more = true;
    while (more && next < steps.size() && platform::clock::SteadyMs() >= sleep_until) {
      std::istringstream words(steps[next]);
      std::string verb, rest;
      words >> verb;
      std::getline(words >> std::ws, rest);
      bool advance = true;
      more = false;
      if (verb == "set") {
        std::istringstream kv(rest);
        std::string key, value;
        kv >> key;
        std::getline(kv >> std::ws, value);
        core.values[key] = value;
        more = true;
      } else if (verb == "state") {
        core.values[proto::kKeyP2PState] = rest;
        core.Line(ReplyLine(proto::kKeyP2PState, rest));
      } else if (verb == "send") {
        core.Line(rest);
      } else if (verb == "raw") {
        core.channel->Write(rest);
      } else if (verb == "flood") {
        std::string junk(static_cast<std::size_t>(std::atol(rest.c_str())), '#');
        core.channel->Write(junk);
      } else if (verb == "sleep") {
        sleep_until = platform::clock::SteadyMs() + std::strtoull(rest.c_str(), nullptr, 10);
      } else if (verb == "wait") {
        advance = core.received.count(rest) > 0;
      } else if (verb == "noquit") {
        core.quit_ends = false;
        more = true;
      } else if (verb == "exit") {
        core.channel->Close();
        return std::atoi(rest.c_str());
      }
      if (advance) ++next;
    }
    platform::clock::SleepMs(10);
  }
  core.channel->Close();
  return 0;
}
