// A real nginx for tests: started on a free port of 127.0.0.1 with a
// configuration generated in its own temporary directory, serving files of
// a given root directory; stopped by the destructor.
//
// The constructor throws std::runtime_error with a clear message when nginx
// is missing or does not come up (the test then fails; nothing is skipped).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/process.h"
#include "tests/support/temp_dir.h"

namespace kestra::test {

inline constexpr char kNginxBinary[] = "/usr/sbin/nginx";

struct NginxOptions {
  // Compress every answer with gzip (any type, any length). nginx then
  // answers Range requests with the whole compressed body; leave it off for
  // range (206) tests.
  bool gzip = false;
  // nginx sends a gzip answer of unknown length to an HTTP/1.1 client in
  // chunked form unless this is off; off, it ends the body by closing.
  bool chunked = true;
  // Extra text inside the server block, e.g. location blocks:
  //   "location /gone { return 404; }"
  std::string server_config;
  // Extra text inside the http block.
  std::string http_config;
  // How long to wait for the port to answer.
  int start_timeout_ms = 10000;
};

class NginxServer {
 public:
  // root: an existing directory (absolute, or relative to the working directory).
  explicit NginxServer(std::string root, NginxOptions options = {});
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  std::uint16_t port() const { return port_; }
  std::string host() const { return "127.0.0.1"; }
  std::string port_text() const { return std::to_string(port_); }
  // "http://127.0.0.1:PORT" + path
  std::string Url(std::string_view path) const;
  const std::string& root() const { return root_; }

  // The generated configuration and the logs (for failure messages).
  std::string config_path() const { return dir_ / "nginx.conf"; }
  std::string ErrorLog() const { return dir_.Read("error.log"); }
  std::string AccessLog() const { return dir_.Read("access.log"); }

 private:
  std::string Config(std::uint16_t port) const;
  // One attempt on one port; false when nginx ended (port taken?).
  bool TryStart(std::uint16_t port, std::string& why);
  void Stop();

  std::string root_;
  NginxOptions options_;
  TempDir dir_;
  std::uint16_t port_ = 0;
  platform::process::Pid pid_ = 0;
  bool running_ = false;
};

}  // namespace kestra::test
