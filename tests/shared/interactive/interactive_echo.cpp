// Test child for the control channel: echoes every line it reads as
// "[Interactive]echo=<line>" (written as text and line feed, like the
// downloader core), until "quit" or until its parent is gone.
//   kestra_interactive_echo            standard streams
//   kestra_interactive_echo PORT       connects to 127.0.0.1:PORT
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/process.h"
#include "shared/interactive/interactive.h"

int main(int argc, char** argv) {
  using namespace kestra::interactive;
  std::unique_ptr<IInteractive> channel;
  if (argc > 1) {
    channel = std::make_unique<NetworkInteractive>(
        static_cast<std::uint16_t>(std::atoi(argv[1])));
  } else {
    channel = std::make_unique<ConsoleInteractive>(false);
  }
  if (!channel->Open()) return 3;
  const int parent = platform::process::ParentPid();
  const std::uint64_t give_up = platform::clock::SteadyMs() + 60000;
  std::string line;
  while (platform::clock::SteadyMs() < give_up && platform::process::ParentPid() == parent) {
    while (channel->ReadLine(line)) {
      if (line == "quit") {
        channel->Close();
        return 0;
      }
      channel->Write("[Interactive]echo=" + line);
      channel->Write("\n");
    }
    platform::clock::SleepMs(5);
  }
  channel->Close();
  return 1;
}
