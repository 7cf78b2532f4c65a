// The updater's HTTP client reading a whole response: status line, headers,
// chunked framing and gzip body; and the two body decoders on their own.
// fuzz-libs: kestra_net
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/support/byte_reader.h"
#include "updater/net/body_decoding.h"
#include "updater/net/comm_http.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kestra::fuzz::Require;
  kestra::fuzz::ByteReader in(data, size);
  // A small bound for the decoders on their own, so that growth past it is
  // exercised without large buffers.
  const std::size_t bound = std::size_t{in.Byte()} << 4;
  const std::string_view response = in.Rest();

  const NetModel::ResponseReading reading = NetModel::ReadResponse(response);
  Require(reading.body.size() <= NetModel::kMaxDecodedBodyBytes);
  if (!reading.ok) Require(reading.body.empty());
  Require(reading.error.size() <= NetModel::kMaxStatusErrorBytes);

  std::string out;
  if (NetModel::GunzipBody(response, out, bound))
    Require(out.size() <= bound || out == response);
  else
    Require(out.empty());
  out.clear();
  if (NetModel::DecodeChunked(response, out, bound))
    Require(out.size() <= bound);
  else
    Require(out.empty());
  (void)NetModel::IsChunked(response);
  return 0;
}
