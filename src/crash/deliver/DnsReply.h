#pragma once
// DNS over UDP for the mail exchanger lookup (RFC 1035): the query of one
// name and type, and the names a reply gives for it.
//
// Replies come from the network and are read with bounds: every offset is
// checked against the reply's length, a name follows at most 16 compression
// pointers and is at most 255 bytes long. A reply counts only when its
// identifier and question are those of the query and its QR bit is set;
// one with an error code (RCODE) answers without names. Only records of the asked name are used:
// for MX, those of the name or of the canonical name its CNAME records in
// the same reply lead to; authority NS records only for the name or a
// domain above it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvan::crash {

inline constexpr std::uint16_t kDnsTypeNs = 2;
inline constexpr std::uint16_t kDnsTypeCname = 5;
inline constexpr std::uint16_t kDnsTypeMx = 15;
inline constexpr std::size_t kDnsReplySize = 512;  // UDP replies without EDNS

// The query: header with the identifier, "recursion desired" and one
// question of class IN. Empty when name is no valid domain name (empty
// label, label over 63 bytes, over 253 characters).
std::vector<std::uint8_t> BuildDnsQuery(std::uint16_t id, std::string_view name,
                                        std::uint16_t type);

struct DnsNames {
  // MX: exchange names, lowest preference first (ties in reply order);
  // NS: name server names of the answer section.
  std::vector<std::string> answers;
  // NS queries: name servers of the authority section (a referral).
  std::vector<std::string> authority;
  int rcode = 0;  // the reply's error code; no names unless 0
};

// The names of a reply to BuildDnsQuery(id, name, type); nothing when the
// reply is malformed or not for this query.
std::optional<DnsNames> ParseDnsReply(const std::uint8_t* reply, std::size_t size, std::uint16_t id,
                                      std::string_view name, std::uint16_t type);

}  // namespace corvan::crash
