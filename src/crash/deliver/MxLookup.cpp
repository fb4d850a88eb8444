#include "crash/deliver/MxLookup.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "crash/deliver/MailAddress.h"

namespace corvan::crash {
namespace {

// Foreign datagrams (wrong sender, identifier or question) a query tolerates before
// it stops waiting: they must not keep it waiting for ever.
constexpr int kMaxForeignReplies = 16;

std::uint16_t RandomQueryId() {
  try {
    return static_cast<std::uint16_t>(std::random_device{}());
  } catch (...) {
    return static_cast<std::uint16_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
}

}  // namespace

std::string BaseDomain(std::string_view domain) {
  std::size_t at = domain.size();
  for (int dots = 0; dots < 3; ++dots) {
    at = domain.rfind('.', at == 0 ? 0 : at - 1);
    if (at == std::string_view::npos || at == 0) return std::string(domain);
  }
  return std::string(domain.substr(at + 1));
}

MxLookup::MxLookup(DeliveryNetwork& network, std::vector<std::string> rootServers)
    : network_(network), rootServers_(std::move(rootServers)) {}

DnsNames MxLookup::Query(const std::string& name, const std::vector<std::string>& servers,
                         std::uint16_t type) {
  const std::uint16_t id = RandomQueryId();
  const std::vector<std::uint8_t> query = BuildDnsQuery(id, name, type);
  if (query.empty() || servers.empty()) return {};
  std::unique_ptr<DeliveryNetwork::DnsExchange> exchange = network_.OpenDns();
  if (!exchange) return {};
  std::vector<std::string> asked;  // "address:53" of each query sent
  for (const std::string& server : servers) {
    std::string sentTo;
    if (exchange->SendQuery(server, query, sentTo)) asked.push_back(sentTo);
  }
  int expected = static_cast<int>(asked.size());
  std::vector<std::uint8_t> reply;
  std::string from;
  for (int foreign = 0; expected > 0 && foreign <= kMaxForeignReplies;) {
    if (!exchange->Receive(reply, from, kReplyTimeoutMs)) break;
    const std::optional<DnsNames> names =
        std::find(asked.begin(), asked.end(), from) == asked.end()
            ? std::nullopt
            : ParseDnsReply(reply.data(), reply.size(), id, name, type);
    if (!names) {
      ++foreign;
      continue;
    }
    if (!names->answers.empty() || !names->authority.empty()) return *names;
    --expected;
  }
  return {};
}

std::vector<std::string> MxLookup::MxOf(const std::string& domain, const std::string& base,
                                        const std::vector<std::string>& servers) {
  std::vector<std::string> exchangers = Query(domain, servers, kDnsTypeMx).answers;
  if (exchangers.empty() && base != domain) exchangers = Query(base, servers, kDnsTypeMx).answers;
  return exchangers;
}

std::vector<std::string> MxLookup::FromRoot(const std::string& domain, const std::string& base) {
  DnsNames names = Query(base, rootServers_, kDnsTypeNs);
  if (names.authority.empty() && names.answers.empty()) return {};
  // Follow the referrals down until a server answers for the base domain.
  for (int step = 0; step <= 10 && names.answers.empty() && !names.authority.empty(); ++step) {
    const std::vector<std::string> referral = names.authority;
    names = Query(base, referral, kDnsTypeNs);
    if (names.answers.empty() && names.authority.empty()) names.authority = referral;
    if (names.authority == referral && names.answers.empty()) break;
  }
  const std::vector<std::string>& servers = names.answers.empty() ? names.authority : names.answers;
  return MxOf(domain, base, servers);
}

std::vector<std::string> MxLookup::Exchangers(std::string_view address) {
  const std::string domain = MailDomain(address);
  if (domain.empty()) return {};
  const std::string base = BaseDomain(domain);
  const std::vector<std::string> servers = network_.DnsServers();
  std::vector<std::string> exchangers =
      servers.empty() ? FromRoot(domain, base) : MxOf(domain, base, servers);
  if (exchangers.empty()) exchangers.push_back(domain);
  return exchangers;
}

}  // namespace corvan::crash
