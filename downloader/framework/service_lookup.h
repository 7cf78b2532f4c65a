// How a service finds the services it works with: it waits for them in its
// Start, then binds them once through ServiceLookup. A required service that
// is missing (or registered as another kind) fails the Start phase, so the
// bound references are used afterwards without checks.
//
//   int P2PService::Start() {
//     if (int r = framework::WaitForAll(*driver_, {kConfigServiceName, ...}); r != kPhaseDone)
//       return r;
//     return framework::ServiceLookup(registry_, kModule)
//         .Require(config_, kConfigServiceName)      // ServiceRef<ConfigService> config_;
//         .Optional(monitor_, kMonitorServiceName)   // IMonitorService* monitor_;
//         .Result();
//   }
#pragma once

#include <cassert>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "downloader/framework/interface.h"
#include "downloader/framework/service.h"

namespace zelt::framework {

// A service bound once by ServiceLookup::Require; a reference from then on.
template <typename T>
class ServiceRef {
 public:
  T& operator*() const { return *get(); }
  T* operator->() const { return get(); }
  T& ref() const { return *get(); }
  bool bound() const { return ptr_ != nullptr; }

 private:
  friend class ServiceLookup;
  T* get() const {
    assert(ptr_ != nullptr && "service used before its Start bound it");
    return ptr_;
  }
  T* ptr_ = nullptr;
};

// Waits for each named service, in order, to be in the wanted state: the first
// answer other than kPhaseDone (kPhaseNotYet or kPhaseFailed) is returned.
int WaitForAll(IServiceDriver& driver, std::initializer_list<const char*> names,
               std::int32_t wanted = kStateStarted);

class ServiceLookup {
 public:
  // module names the looking service in the log lines of missing services.
  ServiceLookup(const IInterfaceMgr* registry, const char* module)
      : registry_(registry), module_(module) {}

  // Binds ref to the service registered under name as a T. A missing one, or
  // one of another kind, is logged and makes Result() fail.
  template <typename T>
  ServiceLookup& Require(ServiceRef<T>& ref, const std::string& name) {
    ref.ptr_ = Find<T>(name);
    if (ref.ptr_ == nullptr) Missing(name);
    return *this;
  }

  // A service the caller can do without: nullptr when it is missing.
  template <typename T>
  ServiceLookup& Optional(T*& ptr, const std::string& name) {
    ptr = Find<T>(name);
    return *this;
  }

  // kPhaseDone when every required service was bound, kPhaseFailed otherwise.
  int Result() const { return missing_.empty() ? kPhaseDone : kPhaseFailed; }
  const std::vector<std::string>& missing() const { return missing_; }

 private:
  template <typename T>
  T* Find(const std::string& name) const {
    return registry_ != nullptr ? registry_->Find<T>(name) : nullptr;
  }
  void Missing(const std::string& name);

  const IInterfaceMgr* registry_;
  const char* module_;
  std::vector<std::string> missing_;
};

}  // namespace zelt::framework
