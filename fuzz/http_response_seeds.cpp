// Seeds: responses of the shapes nginx gives the updater, gzip bodies made
// with zlib, chunked framing written here.
// fuzz-libs: ZLIB::ZLIB
#include <zlib.h>

#include <cstdio>
#include <string>

#include "fuzz/support/seed_writer.h"

namespace {

std::string Gzip(const std::string& text) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Chunked(const std::string& body, std::size_t piece) {
  std::string out;
  for (std::size_t at = 0; at < body.size(); at += piece) {
    std::string part = body.substr(at, piece);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", part.size());
    out += std::string(size) + "\r\n" + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  const std::string notice = "maintenance notice\r\nline two\r\n";
  const std::string ok = "HTTP/1.1 200 OK\r\nServer: nginx\r\n";
  // The first byte is the decoders' own bound (times 16).
  auto seed = [&](const char* name, const std::string& response) {
    kestra::fuzz::WriteSeed(dir, name, std::string(1, '\x10') + response);
  };
  seed("plain", ok + "Content-Length: 31\r\n\r\n" + notice);
  seed("gzip", ok + "Content-Encoding: gzip\r\n\r\n" + Gzip(notice));
  seed("chunked", ok + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(notice, 7));
  seed("chunked_gzip", ok + "Transfer-Encoding: chunked\r\nContent-Encoding: gzip\r\n\r\n" +
                           Chunked(Gzip(notice), 16));
  seed("two_members", ok + "Content-Encoding: gzip\r\n\r\n" + Gzip("a") + Gzip("b"));
  seed("not_found", "HTTP/1.1 404 Not Found\r\n\r\n<html></html>");
  seed("bomb", ok + "Content-Encoding: gzip\r\n\r\n" + Gzip(std::string(1 << 16, 'a')));
  return 0;
}
