#include "updater/net/body_decoding.h"

#include <zlib.h>

#include <climits>
#include <cstdint>

namespace NetModel {

namespace {

bool HasGzipMagic(std::string_view data) {
  return data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0x1F &&
         static_cast<unsigned char>(data[1]) == 0x8B;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (Lower(text[i]) != Lower(prefix[i])) return false;
  return true;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i)
    if (StartsWithNoCase(text.substr(i), word)) return true;
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool GunzipBody(std::string_view in, std::string& out, std::size_t max_out) {
  out.clear();
  if (!HasGzipMagic(in)) {
    if (in.size() > max_out) return false;
    out.assign(in);
    return true;
  }
  if (in.size() > UINT_MAX) return false;

  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return false;  // gzip only
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());

  unsigned char buffer[16384];
  bool ok = false;
  for (;;) {
    zs.next_out = buffer;
    zs.avail_out = sizeof buffer;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    const std::size_t got = sizeof buffer - zs.avail_out;
    if (got > max_out - out.size()) break;  // too large
    out.append(reinterpret_cast<const char*>(buffer), got);
    if (rc == Z_STREAM_END) {
      std::string_view rest(reinterpret_cast<const char*>(zs.next_in), zs.avail_in);
      if (HasGzipMagic(rest)) {
        if (inflateReset(&zs) != Z_OK) break;
        continue;
      }
      ok = true;  // whatever follows the last member is ignored
      break;
    }
    if (rc != Z_OK) break;  // corrupt data, or the stream ended too early
  }
  inflateEnd(&zs);
  if (!ok) out.clear();
  return ok;
}

bool IsChunked(std::string_view headers) {
  std::size_t pos = 0;
  while (pos <= headers.size()) {
    std::size_t end = headers.find("\r\n", pos);
    if (end == std::string_view::npos) end = headers.size();
    std::string_view line = headers.substr(pos, end - pos);
    constexpr std::string_view kName = "transfer-encoding:";
    if (StartsWithNoCase(line, kName) && ContainsNoCase(line.substr(kName.size()), "chunked"))
      return true;
    pos = end + 2;
  }
  return false;
}

bool DecodeChunked(std::string_view in, std::string& out, std::size_t max_out) {
  out.clear();
  std::size_t pos = 0;
  for (;;) {
    const std::size_t line_end = in.find("\r\n", pos);
    if (line_end == std::string_view::npos || line_end - pos > kMaxChunkLineBytes) break;
    std::string_view line = in.substr(pos, line_end - pos);
    std::size_t i = 0;
    std::uint64_t size = 0;
    while (i < line.size() && HexValue(line[i]) >= 0) {
      size = size * 16 + static_cast<unsigned>(HexValue(line[i]));
      if (size > max_out) {
        out.clear();
        return false;
      }
      ++i;
    }
    if (i == 0) break;  // no size
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i < line.size() && line[i] != ';') break;  // junk after the size
    pos = line_end + 2;
    if (size == 0) return true;  // trailer fields, if any, are not needed
    if (in.size() - pos < size + 2) break;  // truncated
    if (in.substr(pos + size, 2) != "\r\n") break;
    if (size > max_out - out.size()) break;
    out.append(in.substr(pos, size));
    pos += size + 2;
  }
  out.clear();
  return false;
}

}  // namespace NetModel
