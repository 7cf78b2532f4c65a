#include "tests/support/nginx_server.h"

#include <stdexcept>

#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "tests/support/wait_until.h"

namespace kestra::test {

namespace net = platform::net;

namespace {

constexpr int kStartAttempts = 5;
constexpr int kStopWaitMs = 5000;

// A port that was free a moment ago.
std::uint16_t FreeLoopbackPort() {
  net::Socket probe = net::ListenTcp(net::Address{net::kLoopbackIpv4, 0}, 1);
  if (!probe.IsOpen()) return 0;
  auto local = probe.LocalAddress();
  return local ? local->port : 0;
}

std::string Absolute(const std::string& path) {
  if (path.starts_with('/')) return path;
  return platform::fs::CurrentDirectory() + "/" + path;
}

}  // namespace

NginxServer::NginxServer(std::string root, NginxOptions options)
    : root_(Absolute(root)), options_(std::move(options)) {
  if (!platform::fs::IsRegularFile(kNginxBinary))
    throw std::runtime_error(std::string("nginx is missing: ") + kNginxBinary +
                             " not found (install the Debian package nginx, see scripts/install-deps)");
  if (!platform::fs::IsDirectory(root_))
    throw std::runtime_error("nginx fixture: root directory " + root_ + " does not exist");
  std::string why;
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    std::uint16_t port = FreeLoopbackPort();
    if (port == 0) {
      why = "no free loopback port";
      continue;
    }
    if (TryStart(port, why)) return;
  }
  throw std::runtime_error("nginx did not start on 127.0.0.1: " + why +
                           "\nconfiguration " + config_path() + ":\n" + dir_.Read("nginx.conf"));
}

NginxServer::~NginxServer() { Stop(); }

std::string NginxServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + port_text() + std::string(path);
}

std::string NginxServer::Config(std::uint16_t port) const {
  const std::string d = dir_.path();
  std::string c;
  c += "daemon off;\n";
  c += "master_process off;\n";
  c += "worker_processes 1;\n";
  c += "pid " + d + "/nginx.pid;\n";
  c += "error_log " + d + "/error.log warn;\n";
  c += "events { worker_connections 256; }\n";
  c += "http {\n";
  c += "  access_log " + d + "/access.log;\n";
  c += "  client_body_temp_path " + d + "/client_body;\n";
  c += "  proxy_temp_path " + d + "/proxy;\n";
  c += "  fastcgi_temp_path " + d + "/fastcgi;\n";
  c += "  uwsgi_temp_path " + d + "/uwsgi;\n";
  c += "  scgi_temp_path " + d + "/scgi;\n";
  c += "  types { text/plain txt lst ini; text/html html htm; text/xml xml; }\n";
  c += "  default_type application/octet-stream;\n";
  c += "  sendfile on;\n";
  c += "  keepalive_timeout 5;\n";
  if (options_.gzip) {
    c += "  gzip on;\n";
    c += "  gzip_min_length 1;\n";
    c += "  gzip_types *;\n";
    c += "  gzip_http_version 1.0;\n";
  } else {
    c += "  gzip off;\n";
  }
  c += std::string("  chunked_transfer_encoding ") + (options_.chunked ? "on" : "off") + ";\n";
  c += options_.http_config + "\n";
  c += "  server {\n";
  c += "    listen 127.0.0.1:" + std::to_string(port) + ";\n";
  c += "    server_name localhost;\n";
  c += "    root " + root_ + ";\n";
  c += options_.server_config + "\n";
  c += "  }\n";
  c += "}\n";
  return c;
}

bool NginxServer::TryStart(std::uint16_t port, std::string& why) {
  dir_.Write("nginx.conf", Config(port));
  dir_.Write("error.log", "");
  platform::fs::RemoveFile(dir_ / "nginx.pid");
  const std::string prefix = dir_.path() + "/";
  auto pid = platform::process::Start({kNginxBinary, "-p", prefix, "-c", config_path(), "-e",
                                       dir_ / "error.log"});
  if (!pid) {
    why = std::string("cannot start ") + kNginxBinary;
    return false;
  }
  pid_ = *pid;
  running_ = true;
  bool ended = false;
  const bool answered = WaitUntil(
      [&] {
        if (!platform::process::IsAlive(pid_)) {
          ended = true;
          return true;
        }
        // The pid file is written once the listening socket is bound, so a
        // connection after it reaches this nginx and not whoever else held the port.
        if (!dir_.Exists("nginx.pid")) return false;
        net::Socket probe = net::ConnectTcp(net::Address{net::kLoopbackIpv4, port}, 200);
        return probe.IsOpen() && platform::process::IsAlive(pid_);
      },
      options_.start_timeout_ms, 20);
  if (ended) {
    running_ = false;
    why = "nginx ended at start-up; its error log:\n" + ErrorLog();
    return false;
  }
  if (answered) {
    port_ = port;
    return true;
  }
  why = "port " + std::to_string(port) + " did not answer within " +
        std::to_string(options_.start_timeout_ms) + " ms; error log:\n" + ErrorLog();
  Stop();
  return false;
}

void NginxServer::Stop() {
  if (!running_) return;
  platform::process::Kill(pid_);
  platform::process::Wait(pid_, kStopWaitMs);
  running_ = false;
}

}  // namespace kestra::test
