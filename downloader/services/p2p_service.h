// The control server of the downloader core: reads command lines from the
// control channel on every driver cycle and executes them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "downloader/framework/service_lookup.h"
#include "downloader/services/config_service.h"
#include "downloader/services/service_interfaces.h"
#include "shared/interactive/interactive.h"

namespace zelt {

// Power events served by the service's message thread.
inline constexpr unsigned kPowerQuerySuspend = 0x0000;
inline constexpr unsigned kPowerResumeSuspend = 0x0007;
inline constexpr unsigned kPowerResumeAutomatic = 0x0012;
inline constexpr int kBroadcastQueryDeny = 0x424D5144;
// What the message thread answers to a power event: a suspend query is
// refused while the service runs, every other event is accepted with 0.
int AnswerPowerBroadcast(unsigned event);

// Upper bound of the HTTP download threads a "set" may ask for.
inline constexpr std::int32_t kMaxSetHttpThreads = 64;

class P2PService : public IP2PService {
 public:
  static constexpr const char* kModule = "P2PService";
  static constexpr std::uint32_t kWindowIdleMs = 100;
  // Commands executed per driver cycle at most; the rest wait for the next
  // cycle, so that a flood of commands cannot hold the other services up.
  static constexpr int kMaxCommandsPerCycle = 256;

  P2PService();
  ~P2PService() override;

  // The channel commands come from; nullptr: none.
  void SetChannel(kestra::interactive::IInteractive* channel) { channel_ = channel; }

  int Init() override;
  int Start() override;
  int Run() override;
  int Stop() override;
  int Release() override;
  void Free() override;

  // Executes one command line; false when no further command is to be read.
  bool HandleCommand(const std::string& line);

  // Hands a power event to the message thread and returns its answer; while
  // the thread does not run the event gets the default answer 0.
  std::future<int> PostPowerEvent(unsigned event);
  bool running() const { return running_; }

  // Wall clock in seconds since 1970 (tests replace it).
  void set_clock(std::function<std::int64_t()> clock) { clock_ = std::move(clock); }

 private:
  void Stat();
  void SetCommand(class CommandWords& words);
  void GetCommand(class CommandWords& words);
  void SetQuickLevel(class CommandWords& words);
  void SetPriority(class CommandWords& words);
  void SendDiagnosticReport();
  void WindowThread();

  struct Percentages {
    double complete = 0, downloaded = 0, this_run = 0;
  };
  Percentages ComputePercentages() const;

  std::function<std::int64_t()> clock_;
  std::atomic<bool> running_{false};
  // Bound in Start.
  framework::ServiceRef<ConfigService> config_;
  framework::ServiceRef<INetworkService> network_;
  framework::ServiceRef<IP2PClientService> client_;
  framework::ServiceRef<IFileSystemService> file_system_;
  framework::ServiceRef<IStatRecorderService> stats_;
  IMonitorService* monitor_ = nullptr;  // optional component
  std::thread window_thread_;
  kestra::interactive::IInteractive* channel_ = nullptr;

  struct PowerEvent {
    unsigned event;
    std::promise<int> answer;
  };
  std::mutex power_mutex_;
  std::deque<PowerEvent> power_events_;
};

}  // namespace zelt
