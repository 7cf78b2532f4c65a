// Decoding of HTTP response bodies held in memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace NetModel {

// The most any decoded body may grow to (a small gzip text can inflate to
// gigabytes; such a body is refused).
inline constexpr std::size_t kMaxDecodedBodyBytes = 16u << 20;
// The longest chunk-size line accepted in a chunked body.
inline constexpr std::size_t kMaxChunkLineBytes = 256;

// Decodes a gzip body the way a gzip file reader does: data that does not
// start with the gzip magic bytes is passed through unchanged; otherwise
// every gzip member is inflated (members following each other are joined,
// anything else after the last member is ignored). False, with `out` empty,
// for a corrupt or truncated stream or one that would exceed max_out bytes.
bool GunzipBody(std::string_view in, std::string& out,
                std::size_t max_out = kMaxDecodedBodyBytes);

// True when the header block announces "Transfer-Encoding: chunked" (field
// name and value compared without regard to case).
bool IsChunked(std::string_view headers);

// Joins the chunks of a chunked body; trailer fields are dropped. False,
// with `out` empty, for malformed or truncated framing or more than max_out
// bytes.
bool DecodeChunked(std::string_view in, std::string& out,
                   std::size_t max_out = kMaxDecodedBodyBytes);

}  // namespace NetModel
