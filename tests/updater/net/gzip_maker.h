// Test helper: gzip data in memory with zlib (what a web server or the
// gzip tool would send).
#pragma once

#include <zlib.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace kestra::test {

inline std::string Gzip(std::string_view data, int level = Z_DEFAULT_COMPRESSION) {
  z_stream zs{};
  if (deflateInit2(&zs, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&zs, static_cast<uLong>(data.size())) + 64, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

}  // namespace kestra::test
