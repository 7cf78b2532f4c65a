// Seeds: patch lists in their usual shape and a few odd ones, the installed
// version 1.0.4 in the first four bytes.
#include <string>

#include "fuzz/support/seed_writer.h"
#include "updater/config/settings.h"

namespace {

std::string WithVersion(const char* version, const std::string& list) {
  const std::uint32_t v = kestra::config::ParseVersion(version);
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
  return out + list;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  kestra::fuzz::WriteSeed(dir, "usual",
                          WithVersion("1.0.4", "#bturl http://127.0.0.1:8080\r\n##1 120 x\r\n"
                                               "1.0.3 http://127.0.0.1:8080/tqm/patch1.0.3.tq\r\n"
                                               "1.0.5 http://127.0.0.1:8080/tqm/patch1.0.5.tq\r\n"
                                               "1.0.6 http://127.0.0.1:8080/tqm/patch1.0.6.tq\r\n"));
  kestra::fuzz::WriteSeed(dir, "sharing2", WithVersion("1.0.4", "#!2 90 y\n1.0.6 http://h/p/\n1.0.5 u\n"));
  kestra::fuzz::WriteSeed(dir, "keys", WithVersion("0.0.1", "#httpurl a #timeout_to_http 5 #rturl b 9.9.9"));
  kestra::fuzz::WriteSeed(dir, "absurd", WithVersion("1.0.4", "70000.-1.99999 http://h/..\\x ##"));
  return 0;
}
