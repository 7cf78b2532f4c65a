// The network service ("NetworkService"): owns the poller of every
// non-blocking peer and tracker socket and polls it on each driver turn,
// shares the download budget between HTTP and peers, resets this process's
// half-open connections, knows the local address, fetches the address-picker
// page and the server configuration text.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "downloader/framework/service_lookup.h"
#include "downloader/net/basicnet.h"
#include "downloader/net/http_requester.h"
#include "downloader/services/service_interfaces.h"

namespace zelt {

class ConfigService;

class NetworkService : public INetworkService {
 public:
  using TickSource = std::function<std::uint32_t()>;
  explicit NetworkService(TickSource tick = {});
  ~NetworkService() override;

  int Init() override;
  int Start() override;
  int Run() override;
  int Stop() override;
  int Release() override;

  // The server configuration text: each server base + "/" + address in turn
  // until one answers; the body is bounded by kMaxServerConfigBytes.
  bool StartTextFetch(const std::vector<std::string>& servers, const std::string& address) override;
  bool TakeTextFetch(bool& ok, std::string& body) override;

  basicnet::NetPoller& poller() { return poller_; }
  // Dotted IPv4 text; "-LocalIp" when given, else the host's first address.
  std::string LocalAddress() const;

  // HTTP bandwidth control, called by the HTTP download threads for every
  // received buffer: counts the bytes and, while this second's count is over
  // the HTTP limit, waits until the count fits the second (in ~1 ms steps),
  // ending early when *stop becomes true or the limit rises.
  void HttpSpeedControl(std::uint32_t bytes, const std::atomic<bool>* stop = nullptr);
  std::uint64_t HttpTotalBytes() const;
  // The once-a-second step: HTTP limit = download limit - measured peer rate
  // (at least 1), the HTTP rate of the second just ended, the log line.
  void AssignDownloadLimit(std::uint32_t now);
  std::uint32_t http_limit() const;
  std::uint32_t http_speed() const;

  // Closes this process's TCP connects still in progress: all of them, or
  // those to the listed addresses. Another process's id does nothing (we
  // can only reset our own).
  std::size_t DelSysSentTcp(int pid, const std::vector<platform::net::Address>* only = nullptr);

 private:
  void FetchWorker(std::vector<std::string> servers, std::string address);
  void PickerWorker(std::string url);
  void JoinWorkers();

  TickSource tick_;
  framework::ServiceRef<ConfigService> config_;
  basicnet::NetPoller poller_;
  std::string local_address_;

  // HTTP bandwidth control.
  mutable std::mutex http_mutex_;
  std::condition_variable http_changed_;
  std::uint64_t http_total_ = 0;
  std::uint32_t http_second_ = 0;        // start of the counted second (tick, multiple of 1000)
  std::uint64_t http_counter_ = 0;       // bytes in that second
  std::uint32_t http_limit_ = 0xFFFFFFFFu;
  std::uint32_t http_speed_ = 0;
  bool has_second_ = false;
  std::uint32_t last_assign_second_ = 0;

  // The server configuration fetch.
  std::mutex fetch_mutex_;
  std::thread fetch_thread_;
  bool fetch_running_ = false, fetch_done_ = false, fetch_ok_ = false;
  std::string fetch_body_;
  HttpRequester* fetch_requester_ = nullptr;

  // The address picker.
  std::thread picker_thread_;
  bool picker_started_ = false;
  HttpRequester* picker_requester_ = nullptr;
  std::atomic<bool> stopping_{false};
};

}  // namespace zelt
