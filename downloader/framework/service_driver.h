// Drives every service through Init, Start, Run, Stop and Release.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "downloader/framework/service.h"

namespace zelt::framework {

// Wraps one service and records its state from the results of its phases.
class ServiceWrapper : public IService {
 public:
  explicit ServiceWrapper(IService* service) : service_(service) {}

  void SetDriver(IServiceDriver*) override {}
  int Init() override;
  int Start() override;
  int Run() override;
  int Stop() override;
  int Release() override;
  // Frees the service and destroys the wrapper.
  void Free() override;
  std::int32_t GetState() const { return state_.load(); }

 private:
  int Apply(int result, std::int32_t done, std::int32_t pending);

  IService* service_;
  std::atomic<std::int32_t> state_{kStateRegistered};
};

class ServiceDriver : public IServiceDriver {
 public:
  static constexpr std::uint32_t kDefaultPhaseIntervalMs = 10;

  ServiceDriver() = default;
  ~ServiceDriver() override;  // frees every service
  ServiceDriver(const ServiceDriver&) = delete;
  ServiceDriver& operator=(const ServiceDriver&) = delete;

  bool Register(const std::string& name, IService* service) override;
  void Run() override;
  void Stop() override { stop_ = true; }
  int WaitFor(const std::string& name, std::int32_t wanted) override;
  int WaitForOptional(const std::string& name, std::int32_t wanted) override;
  std::int32_t GetState(const std::string& name) override;

  bool stop_requested() const { return stop_.load(); }
  void set_phase_interval_ms(std::uint32_t ms) { phase_interval_ms_ = ms; }

 private:
  using Operation = int (ServiceWrapper::*)();
  // Calls the operation on every given service until none is pending; returns
  // the services that completed it, in the order in which they did.
  std::vector<ServiceWrapper*> RunPhase(Operation operation,
                                        const std::vector<ServiceWrapper*>& services,
                                        bool ignore_stop);
  ServiceWrapper* Find(const std::string& name) const;

  std::atomic<bool> stop_{false};
  std::vector<ServiceWrapper*> services_;  // registration order
  std::map<std::string, ServiceWrapper*> by_name_;
  std::uint32_t phase_interval_ms_ = kDefaultPhaseIntervalMs;
};

}  // namespace zelt::framework
