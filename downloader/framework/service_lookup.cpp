#include "downloader/framework/service_lookup.h"

#include "downloader/framework/log.h"

namespace zelt::framework {

int WaitForAll(IServiceDriver& driver, std::initializer_list<const char*> names,
               std::int32_t wanted) {
  for (const char* name : names) {
    int r = driver.WaitFor(name, wanted);
    if (r != kPhaseDone) return r == kPhaseNotYet ? kPhaseNotYet : kPhaseFailed;
  }
  return kPhaseDone;
}

void ServiceLookup::Missing(const std::string& name) {
  log::Write(log::kError, module_, "required service %s is missing", name.c_str());
  missing_.push_back(name);
}

}  // namespace zelt::framework
