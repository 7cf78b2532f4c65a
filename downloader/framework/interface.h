// Interfaces registered by name, and the process-wide registry that holds them.
#pragma once

#include <map>
#include <string>

namespace zelt::framework {

class IInterfaceMgr;
class IServiceDriver;

// Base of everything that is registered by name.
class IInterface {
 public:
  virtual ~IInterface() = default;
  // Called by the registry once the object has been registered.
  virtual void OnRegister(IInterfaceMgr* registry) { (void)registry; }
};

class IInterfaceMgr {
 public:
  virtual ~IInterfaceMgr() = default;
  // Adds the name when it is not present yet and calls OnRegister; a name
  // already present is refused.
  virtual bool Register(const std::string& name, IInterface* object) = 0;
  // The object registered under the name, or nullptr.
  virtual IInterface* Lookup(const std::string& name) const = 0;

  // Looks the name up and converts the object to the interface the caller
  // needs; nullptr when it is missing or of another kind.
  template <typename T>
  T* Find(const std::string& name) const {
    return dynamic_cast<T*>(Lookup(name));
  }
};

// The registry. One instance lives for the whole process (Instance()); tests
// make their own.
class InterfaceMgr : public IInterfaceMgr {
 public:
  static InterfaceMgr& Instance();

  bool Register(const std::string& name, IInterface* object) override;
  IInterface* Lookup(const std::string& name) const override;
  // Forgets every name (the objects are not touched); used once the services
  // they point at have been freed.
  void Clear();

  IServiceDriver* driver() const { return driver_; }
  void set_driver(IServiceDriver* driver) { driver_ = driver; }

 private:
  IServiceDriver* driver_ = nullptr;
  std::map<std::string, IInterface*> objects_;
};

}  // namespace zelt::framework
