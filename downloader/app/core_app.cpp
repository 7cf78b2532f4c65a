#include "downloader/app/core_app.h"

#include <memory>

#include "downloader/app/service_catalog.h"
#include "downloader/framework/interface.h"
#include "downloader/framework/log.h"
#include "downloader/framework/service_driver.h"
#include "downloader/services/p2p_service.h"
#include "downloader/services/parameters.h"
#include "downloader/services/shell_info.h"
#include "platform/console.h"
#include "platform/crash.h"
#include "platform/fs.h"
#include "platform/parent_watch.h"
#include "platform/process.h"
#include "shared/interactive/interactive.h"

namespace zelt {
namespace {

constexpr const char* kModule = "main";

// Undoes the start-up steps that were done, in reverse order.
struct Lifecycle {
  bool watcher = false;
  ~Lifecycle() {
    if (watcher) platform::parent_watch::Stop();
    platform::crash::Remove();
    platform::console::RestoreInterrupts();
    log::Close();
  }
};

// Creates the driver and the services and registers each with the driver and
// the registry; nullptr when a registration fails.
std::unique_ptr<framework::ServiceDriver> CreateDriver(const Parameters& params,
                                                       framework::InterfaceMgr& registry,
                                                       P2PService*& p2p) {
  auto driver = std::make_unique<framework::ServiceDriver>();
  registry.set_driver(driver.get());
  std::vector<ServiceEntry> services = CreateServices(params);
  bool ok = true;
  for (ServiceEntry& entry : services) {
    if (!ok) {
      entry.service->Free();
      continue;
    }
    if (!driver->Register(entry.name, entry.service)) {
      entry.service->Free();
      ok = false;
      continue;
    }
    if (!registry.Register(entry.name, entry.service)) ok = false;
    if (entry.name == kP2PServiceName) p2p = dynamic_cast<P2PService*>(entry.service);
  }
  if (!ok) {
    driver.reset();
    registry.set_driver(nullptr);
    registry.Clear();
    p2p = nullptr;
  }
  return driver;
}

}  // namespace

int RunDownloaderCore(const std::vector<std::string>& args) {
  platform::console::IgnoreInterrupts();
  Lifecycle lifecycle;
  const std::string current_dir = platform::fs::CurrentDirectory() + "/";
  platform::crash::Install(current_dir);

  Parameters params;
  if (!ParseParameters(args, platform::process::CurrentPid(), params)) return 0;
  platform::crash::SetSwitches(params.show_dump_dlg, params.http_report);
  log::Open(log::kLogFileName, params.max_old_log);
  if (params.current_dir.empty() || !params.has_http_url) {
    ZLOG(log::kError, kModule, "no download directory or no HttpUrl: nothing to do");
    return 0;
  }
  log::SetLevel(params.log_level);
  LogParameters(params);
  SetOutputLevel(params.out_info_level);

  framework::InterfaceMgr& registry = framework::InterfaceMgr::Instance();
  P2PService* p2p = nullptr;
  std::unique_ptr<framework::ServiceDriver> driver = CreateDriver(params, registry, p2p);
  if (!driver) {
    ZLOG(log::kError, kModule, "the services could not be registered");
    return 0;
  }
  if (!platform::parent_watch::Start()) {
    ZLOG(log::kError, kModule, "no parent process to watch");
    driver.reset();
    registry.set_driver(nullptr);
    registry.Clear();
    return 0;
  }
  lifecycle.watcher = true;

  std::unique_ptr<kestra::interactive::IInteractive> channel;
  if (params.interactive_port) {
    channel = std::make_unique<kestra::interactive::NetworkInteractive>(*params.interactive_port);
  } else {
    channel = std::make_unique<kestra::interactive::ConsoleInteractive>(false);
  }
  if (!channel->Open()) ZLOG(log::kError, kModule, "the control channel could not be opened");
  ShellInfo::Instance().SetChannel(channel.get());
  if (p2p != nullptr) p2p->SetChannel(channel.get());

  driver->Run();
  driver.reset();
  registry.set_driver(nullptr);
  registry.Clear();

  ShellInfo::Instance().SetChannel(nullptr);
  channel->Close();
  return 0;
}

}  // namespace zelt
