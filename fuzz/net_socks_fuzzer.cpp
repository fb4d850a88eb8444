// The SOCKS reply parser: any reply bytes, fed in pieces of any size, for
// every level with and without authentication. The machine must never read
// or write beyond its reply area, never consume more than it is given and
// never take bytes behind a granted reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "net/socket/NetSocksNegotiation.h"

using corvan::net::TSocksNegotiation;
using corvan::net::TSocksRequest;
using corvan::net::TSocksStep;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  TSocksRequest request;
  request.level = static_cast<TSocksRequest::Level>(data[0] % 3);
  request.authenticate = (data[0] & 4) != 0;
  request.host = "example.test";
  request.usercode = "user";
  request.password = "secret";
  request.port = 80;
  const std::size_t piece = data[1] % 16 + 1;
  data += 2;
  size -= 2;
  TSocksNegotiation negotiation;
  TSocksStep step = negotiation.Begin(request);
  while (size > 0 && step.kind != TSocksStep::Failed && step.kind != TSocksStep::Granted) {
    const std::size_t offered = size < piece ? size : piece;
    step = negotiation.Feed(data, offered);
    if (step.consumed > offered) std::abort();
    if (step.kind == TSocksStep::NeedMore && step.consumed != offered) std::abort();
    data += step.consumed;
    size -= step.consumed;
    if (step.kind != TSocksStep::NeedMore && step.kind != TSocksStep::Send) break;
  }
  if (step.kind == TSocksStep::Granted && negotiation.ReadSize() != 0) std::abort();
  return 0;
}
