#include "downloader/framework/interface.h"

namespace zelt::framework {

InterfaceMgr& InterfaceMgr::Instance() {
  static InterfaceMgr* instance = new InterfaceMgr();  // lives until exit
  return *instance;
}

bool InterfaceMgr::Register(const std::string& name, IInterface* object) {
  if (object == nullptr) return false;
  if (!objects_.emplace(name, object).second) return false;
  object->OnRegister(this);
  return true;
}

IInterface* InterfaceMgr::Lookup(const std::string& name) const {
  auto it = objects_.find(name);
  return it == objects_.end() ? nullptr : it->second;
}

void InterfaceMgr::Clear() { objects_.clear(); }

}  // namespace zelt::framework
