// Seeds: answers of the shapes CDN servers give a range request (the first
// byte of each seed picks the read size of the target).
#include <string>

#include "fuzz/support/seed_writer.h"

int main(int argc, char** argv) {
  const std::string dir = kestra::fuzz::SeedDirectory(argc, argv);
  const std::string body(200, 'b');
  kestra::fuzz::WriteSeed(dir, "range",
      "\x07HTTP/1.1 206 Partial Content\r\nContent-Length: 200\r\nContent-Range: bytes 100-299/1000\r\n"
      "Connection: keep-alive\r\n\r\n" + body);
  kestra::fuzz::WriteSeed(dir, "whole",
      "\x10HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'w'));
  kestra::fuzz::WriteSeed(dir, "chunked",
      std::string("\x03") + "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
      "64;ext=1\r\n" + std::string(100, 'c') + "\r\n0\r\nTrailer: x\r\n\r\n");
  kestra::fuzz::WriteSeed(dir, "redirect",
      "\x01HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:8080/a\r\nContent-Length: 0\r\n\r\n");
  kestra::fuzz::WriteSeed(dir, "until_close", "\x20HTTP/1.0 200 OK\r\n\r\n" + body);
  return 0;
}
