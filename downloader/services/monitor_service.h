// The diagnostic views of the optional component "monitor". Without the
// component (or with one of another version than 1.0) the views stay closed
// and the commands that open them do nothing.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "downloader/services/service_interfaces.h"
#include "platform/dynlib.h"

namespace zelt {

class MonitorService : public IMonitorService {
 public:
  static constexpr const char* kModule = "MonitorService";
  static constexpr const char* kComponentName = "monitor";

  // library_path empty: the component is searched by name.
  explicit MonitorService(std::string library_path = {}) : library_path_(std::move(library_path)) {}
  ~MonitorService() override;

  int Init() override;
  int Start() override;
  int Run() override;
  int Stop() override;
  int Release() override;

  void ShowP2P() override;
  void ShowFileBlock() override;

  bool component_loaded() const { return library_.loaded(); }

 private:
  // Looks for the component once; true when it is loaded.
  bool LoadComponent();

  const std::string library_path_;
  std::mutex mutex_;
  bool tried_ = false;
  platform::dynlib::Library library_;
  std::atomic<bool> p2p_view_open_{false};
  std::thread p2p_view_thread_;
};

}  // namespace zelt
