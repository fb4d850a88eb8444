// DNS replies come from the network: any bytes must parse without reading
// outside them, and every name given back must be a usable host name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crash/deliver/DnsReply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvan::crash;
  for (const std::uint16_t type : {kDnsTypeMx, kDnsTypeNs}) {
    // The identifier is taken from the reply so that the parser goes past
    // its first check; the question must still match.
    const std::uint16_t id = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
    const auto names = ParseDnsReply(data, size, id, "corvan.test", type);
    if (!names) continue;
    if (names->rcode != 0 && (!names->answers.empty() || !names->authority.empty())) std::abort();
    for (const auto* list : {&names->answers, &names->authority}) {
      for (const std::string& name : *list) {
        if (name.size() > 254) std::abort();
        if (name.front() == '.' || name.back() == '.' || name.find("..") != std::string::npos) {
          std::abort();
        }
      }
    }
  }
  return 0;
}
