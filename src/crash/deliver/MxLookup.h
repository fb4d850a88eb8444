#pragma once
// Finds the mail exchangers of a recipient's domain with DNS MX queries to
// the machine's DNS servers, or, when it has none, by resolving from the
// DNS root.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crash/deliver/DeliveryIo.h"
#include "crash/deliver/DnsReply.h"

namespace corvan::crash {

class MxLookup {
 public:
  static constexpr int kReplyTimeoutMs = 5000;

  // rootServers: dotted addresses asked when the machine has no DNS
  // servers (addresses, since without DNS servers no name resolves).
  explicit MxLookup(DeliveryNetwork& network,
                    std::vector<std::string> rootServers = {"198.41.0.4", "199.9.14.201"});

  // The exchangers of the address's domain, most preferred first. Without
  // MX records for the domain, those of its base domain (its last three
  // labels); without any, the domain itself (RFC 5321, 5.1). Empty when
  // the address has no domain.
  std::vector<std::string> Exchangers(std::string_view address);

  // Sends the query to every server and returns the names of the first
  // reply that has any; empty when none comes within 5 seconds a wait.
  // Only a datagram from the address and port a query went to counts, and
  // each query has a fresh random identifier: a spoofed answer must guess
  // both.
  DnsNames Query(const std::string& name, const std::vector<std::string>& servers,
                 std::uint16_t type);

 private:
  std::vector<std::string> FromRoot(const std::string& domain, const std::string& base);
  std::vector<std::string> MxOf(const std::string& domain, const std::string& base,
                                const std::vector<std::string>& servers);

  DeliveryNetwork& network_;
  std::vector<std::string> rootServers_;
};

// The last three dot-separated labels of a domain (all of a shorter one).
std::string BaseDomain(std::string_view domain);

}  // namespace corvan::crash
