#include "crash/deliver/DnsReply.h"

#include <algorithm>

#include "crash/util/TextParts.h"

namespace corvan::crash {
namespace {

constexpr int kMaxJumps = 16;
constexpr std::size_t kMaxName = 255;
constexpr std::size_t kHeaderSize = 12;

struct Record {
  std::string owner;
  std::uint16_t type = 0;
  std::uint16_t preference = 0;
  std::string target;  // MX exchange, NS server or CNAME target
};

// Reads one reply; every access goes through the bounds checks here.
class ReplyReader {
 public:
  ReplyReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool U16(std::size_t at, std::uint16_t& value) const {
    if (at > size_ || size_ - at < 2) return false;
    value = static_cast<std::uint16_t>(data_[at] << 8 | data_[at + 1]);
    return true;
  }

  // Decodes the name at `at`; next is the offset after it where it stands
  // (after its first pointer when compressed).
  bool Name(std::size_t at, std::string& name, std::size_t& next) const {
    name.clear();
    std::size_t wire = 1;  // the final 0 byte
    int jumps = 0;
    bool jumped = false;
    for (;;) {
      if (at >= size_) return false;
      const std::uint8_t length = data_[at];
      if (length == 0) {
        if (!jumped) next = at + 1;
        return true;
      }
      if ((length & 0xC0) == 0xC0) {
        if (at + 1 >= size_ || ++jumps > kMaxJumps) return false;
        if (!jumped) next = at + 2;
        jumped = true;
        at = static_cast<std::size_t>(length & 0x3F) << 8 | data_[at + 1];
        continue;
      }
      if ((length & 0xC0) != 0 || size_ - at - 1 < length) return false;
      wire += length + 1u;
      if (wire > kMaxName) return false;
      if (!name.empty()) name += '.';
      for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<char>(data_[at + 1 + i]);
        // Host names only: these would change the name's meaning.
        if (c == '.' || static_cast<unsigned char>(c) <= ' ') return false;
        name += c;
      }
      at += 1u + length;
    }
  }

  bool ReadRecord(std::size_t& at, Record& record) const {
    std::uint16_t rdLength = 0;
    if (!Name(at, record.owner, at) || !U16(at, record.type) || !U16(at + 8, rdLength)) {
      return false;
    }
    const std::size_t rdata = at + 10;
    if (rdata > size_ || size_ - rdata < rdLength) return false;
    const std::size_t end = rdata + rdLength;
    std::size_t nameAt = rdata, after = 0;
    record.target.clear();
    if (record.type == kDnsTypeMx) {
      if (!U16(rdata, record.preference) || rdLength < 3) return false;
      nameAt += 2;
    }
    if (record.type == kDnsTypeMx || record.type == kDnsTypeNs || record.type == kDnsTypeCname) {
      if (!Name(nameAt, record.target, after) || after > end) return false;
    }
    at = end;
    return true;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

bool IsSameOrAbove(const std::string& zone, std::string_view name) {
  if (zone.empty()) return true;  // the root
  if (zone.size() > name.size()) return false;
  const std::string_view tail = name.substr(name.size() - zone.size());
  return EqualsIgnoreCase(tail, zone) &&
         (zone.size() == name.size() || name[name.size() - zone.size() - 1] == '.');
}

bool InChain(const std::vector<std::string>& chain, const std::string& owner) {
  return std::any_of(chain.begin(), chain.end(),
                     [&](const std::string& n) { return EqualsIgnoreCase(n, owner); });
}

}  // namespace

std::vector<std::uint8_t> BuildDnsQuery(std::uint16_t id, std::string_view name,
                                        std::uint16_t type) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() > 253) return {};
  std::vector<std::uint8_t> query = {static_cast<std::uint8_t>(id >> 8),
                                     static_cast<std::uint8_t>(id),
                                     0x01,
                                     0x00,
                                     0,
                                     1,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0};
  while (true) {
    const std::size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    if (label.empty() || label.size() > 63) return {};
    query.push_back(static_cast<std::uint8_t>(label.size()));
    query.insert(query.end(), label.begin(), label.end());
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
  }
  query.insert(query.end(),
               {0, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
  return query;
}

std::optional<DnsNames> ParseDnsReply(const std::uint8_t* data, std::size_t size, std::uint16_t id,
                                      std::string_view name, std::uint16_t type) {
  const ReplyReader reply(data, size);
  std::uint16_t replyId = 0, flags = 0, questions = 0, answers = 0, authorities = 0;
  if (!reply.U16(0, replyId) || !reply.U16(2, flags) || !reply.U16(4, questions) ||
      !reply.U16(6, answers) || !reply.U16(8, authorities)) {
    return std::nullopt;
  }
  if (replyId != id || !(flags & 0x8000) || questions != 1) return std::nullopt;
  // Every record takes at least 11 bytes: no list larger than the reply.
  if ((std::size_t{answers} + authorities) * 11 > size) return std::nullopt;
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::size_t at = kHeaderSize;
  std::string asked;
  std::uint16_t askedType = 0, askedClass = 0;
  if (!reply.Name(at, asked, at) || !reply.U16(at, askedType) || !reply.U16(at + 2, askedClass) ||
      !EqualsIgnoreCase(asked, name) || askedType != type || askedClass != 1) {
    return std::nullopt;
  }
  at += 4;
  DnsNames names;
  names.rcode = flags & 0x000F;
  if (names.rcode != 0) return names;

  std::vector<Record> answerRecords(answers), authorityRecords(authorities);
  for (Record& r : answerRecords) {
    if (!reply.ReadRecord(at, r)) return std::nullopt;
  }
  for (Record& r : authorityRecords) {
    if (!reply.ReadRecord(at, r)) return std::nullopt;
  }

  // The asked name and the canonical names its CNAME records lead to.
  std::vector<std::string> chain = {std::string(name)};
  for (bool grown = true; grown && chain.size() < 9;) {
    grown = false;
    for (const Record& r : answerRecords) {
      if (r.type == kDnsTypeCname && InChain(chain, r.owner) && !InChain(chain, r.target)) {
        chain.push_back(r.target);
        grown = true;
      }
    }
  }

  std::vector<const Record*> matching;
  for (const Record& r : answerRecords) {
    if (r.type == type && !r.target.empty() && InChain(chain, r.owner)) matching.push_back(&r);
  }
  std::stable_sort(matching.begin(), matching.end(),
                   [](const Record* a, const Record* b) { return a->preference < b->preference; });
  for (const Record* r : matching) names.answers.push_back(r->target);
  if (type == kDnsTypeNs) {
    for (const Record& r : authorityRecords) {
      if (r.type == kDnsTypeNs && !r.target.empty() && IsSameOrAbove(r.owner, name)) {
        names.authority.push_back(r.target);
      }
    }
  }
  return names;
}

}  // namespace corvan::crash
