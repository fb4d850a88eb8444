// The chunk decoder over arbitrary bytes fed in pieces: it consumes only
// what it was given and delivers no more data than the input held.
#include <cstdint>
#include <cstdlib>

#include "net/http/HttpChunkDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  corvan::http::THttpChunkDecoder decoder;
  const std::size_t piece = data[0] % 16 + 1;
  std::size_t delivered = 0;
  for (std::size_t at = 1; at < size;) {
    const std::size_t n = size - at < piece ? size - at : piece;
    const std::size_t used =
        decoder.Feed(data + at, n, [&](const std::uint8_t*, std::size_t k) { delivered += k; });
    if (used > n) std::abort();
    at += used;
    if (used < n) break;  // done or failed
  }
  if (delivered > size) std::abort();
  return 0;
}
