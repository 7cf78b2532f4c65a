#include "downloader/framework/service_driver.h"

#include <algorithm>

#include "platform/clock.h"

namespace zelt::framework {

int ServiceWrapper::Apply(int result, std::int32_t done, std::int32_t pending) {
  if (result == kPhaseDone) {
    state_ = done;
  } else if (result == kPhaseNotYet) {
    state_ = pending;
  } else {
    // Anything that is neither done nor "not yet" counts as a failure.
    state_ = kStateFailed;
    result = kPhaseFailed;
  }
  return result;
}

int ServiceWrapper::Init() { return Apply(service_->Init(), kStateInitialised, kStateRegistered); }
int ServiceWrapper::Start() { return Apply(service_->Start(), kStateStarted, kStateStarting); }
int ServiceWrapper::Run() { return Apply(service_->Run(), kStateRunFinished, kStateRunning); }
int ServiceWrapper::Stop() { return Apply(service_->Stop(), kStateStopped, kStateStopping); }
int ServiceWrapper::Release() { return Apply(service_->Release(), kStateReleased, kStateReleasing); }

void ServiceWrapper::Free() {
  service_->Free();
  service_ = nullptr;
  delete this;
}

ServiceDriver::~ServiceDriver() {
  for (ServiceWrapper* wrapper : services_) wrapper->Free();
  services_.clear();
  by_name_.clear();
}

bool ServiceDriver::Register(const std::string& name, IService* service) {
  if (service == nullptr || by_name_.count(name) != 0) return false;
  auto* wrapper = new ServiceWrapper(service);
  service->SetDriver(this);
  services_.push_back(wrapper);
  by_name_.emplace(name, wrapper);
  return true;
}

ServiceWrapper* ServiceDriver::Find(const std::string& name) const {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second;
}

int ServiceDriver::WaitFor(const std::string& name, std::int32_t wanted) {
  ServiceWrapper* wrapper = Find(name);
  if (wrapper == nullptr) return kPhaseFailed;
  std::int32_t state = wrapper->GetState();
  if (state == wanted) return kPhaseDone;
  if (state == kStateFailed) return kPhaseFailed;
  return kPhaseNotYet;
}

int ServiceDriver::WaitForOptional(const std::string& name, std::int32_t wanted) {
  ServiceWrapper* wrapper = Find(name);
  if (wrapper == nullptr) return kPhaseDone;
  std::int32_t state = wrapper->GetState();
  if (state == kStateFailed || state == wanted) return kPhaseDone;
  return kPhaseNotYet;
}

std::int32_t ServiceDriver::GetState(const std::string& name) {
  ServiceWrapper* wrapper = Find(name);
  return wrapper == nullptr ? kStateFailed : wrapper->GetState();
}

std::vector<ServiceWrapper*> ServiceDriver::RunPhase(
    Operation operation, const std::vector<ServiceWrapper*>& services, bool ignore_stop) {
  std::vector<ServiceWrapper*> pending = services;
  std::vector<ServiceWrapper*> completed;
  while (!pending.empty()) {
    if (!ignore_stop && stop_) break;
    std::vector<ServiceWrapper*> still_pending;
    for (ServiceWrapper* wrapper : pending) {
      int result = (wrapper->*operation)();
      if (result == kPhaseDone) {
        completed.push_back(wrapper);
      } else if (result == kPhaseNotYet) {
        still_pending.push_back(wrapper);
      }
      // failed: dropped from this and every following phase
    }
    pending.swap(still_pending);
    platform::clock::SleepMs(phase_interval_ms_);
  }
  return completed;
}

void ServiceDriver::Run() {
  stop_ = false;
  std::vector<ServiceWrapper*> initialised = RunPhase(&ServiceWrapper::Init, services_, false);
  std::vector<ServiceWrapper*> started = RunPhase(&ServiceWrapper::Start, initialised, false);
  RunPhase(&ServiceWrapper::Run, started, false);
  std::vector<ServiceWrapper*> stop_order(started.rbegin(), started.rend());
  RunPhase(&ServiceWrapper::Stop, stop_order, true);
  std::vector<ServiceWrapper*> release_order(initialised.rbegin(), initialised.rend());
  RunPhase(&ServiceWrapper::Release, release_order, true);
}

}  // namespace zelt::framework
