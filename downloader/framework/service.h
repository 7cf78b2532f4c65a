// The life cycle of the downloader core's services.
#pragma once

#include <cstdint>
#include <string>

#include "downloader/framework/interface.h"

namespace zelt::framework {

// Result of a phase operation.
enum PhaseResult : int {
  kPhaseDone = 0,
  kPhaseFailed = 1,
  kPhaseNotYet = 2,  // the driver calls again after its interval
};

// State of a service as its wrapper records it.
enum ServiceState : std::int32_t {
  kStateRegistered = 0,  // registered or initialising
  kStateInitialised = 1,
  kStateStarting = 2,
  kStateStarted = 3,
  kStateRunning = 4,
  kStateRunFinished = 5,
  kStateStopping = 6,
  kStateStopped = 7,
  kStateReleasing = 8,
  kStateReleased = 9,
  kStateFailed = 10,
};

class IService {
 public:
  virtual ~IService() = default;
  // Stores the driver; called once at registration.
  virtual void SetDriver(IServiceDriver* driver) = 0;
  virtual int Init() = 0;
  virtual int Start() = 0;
  virtual int Run() = 0;
  virtual int Stop() = 0;
  virtual int Release() = 0;
  // Destroys the service object.
  virtual void Free() = 0;
};

class IServiceDriver {
 public:
  virtual ~IServiceDriver() = default;
  // Takes the service over (its Free is called when the driver goes away);
  // a name already registered is refused and the service stays the caller's.
  virtual bool Register(const std::string& name, IService* service) = 0;
  // Runs every phase; returns when they are done.
  virtual void Run() = 0;
  // Sets the stop flag: the Run phase (and Init and Start) end at the next cycle.
  virtual void Stop() = 0;
  // 0 when the named service is in the wanted state, 2 when not yet, 1 when
  // there is no such service or it has failed.
  virtual int WaitFor(const std::string& name, std::int32_t wanted) = 0;
  // 2 while the named service exists, has not failed and is not in the wanted
  // state; 0 otherwise.
  virtual int WaitForOptional(const std::string& name, std::int32_t wanted) = 0;
  // The wrapper state of the named service, 10 when there is none.
  virtual std::int32_t GetState(const std::string& name) = 0;
};

// Base of every concrete service: keeps the registry and the driver.
class DefaultService : public IInterface, public IService {
 public:
  void OnRegister(IInterfaceMgr* registry) override { registry_ = registry; }
  void SetDriver(IServiceDriver* driver) override { driver_ = driver; }
  void Free() override { delete this; }

  IInterfaceMgr* registry() const { return registry_; }
  IServiceDriver* driver() const { return driver_; }

 protected:
  IInterfaceMgr* registry_ = nullptr;
  IServiceDriver* driver_ = nullptr;
};

}  // namespace zelt::framework
