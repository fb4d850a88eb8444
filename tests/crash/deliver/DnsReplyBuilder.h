#pragma once
// Crafts DNS replies for the tests: header, the question, then records
// whose names may point back into the reply.
#include <cstdint>
#include <string>
#include <vector>

namespace corvan::crash::test {

class DnsReplyBuilder {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // A reply to the query bytes (identifier and question copied), RCODE 0.
  explicit DnsReplyBuilder(const Bytes& query) : bytes_(query) {
    bytes_[2] |= 0x80;  // QR
    bytes_[3] = 0x80;   // RA
  }

  static Bytes Name(const std::string& name) {
    Bytes out;
    std::size_t at = 0;
    while (at < name.size()) {
      std::size_t dot = name.find('.', at);
      if (dot == std::string::npos) dot = name.size();
      out.push_back(static_cast<std::uint8_t>(dot - at));
      out.insert(out.end(), name.begin() + static_cast<long>(at),
                 name.begin() + static_cast<long>(dot));
      at = dot + 1;
    }
    out.push_back(0);
    return out;
  }
  // A compression pointer to offset.
  static Bytes Pointer(std::uint16_t offset) {
    return {static_cast<std::uint8_t>(0xC0 | offset >> 8), static_cast<std::uint8_t>(offset)};
  }
  static constexpr std::uint16_t kQuestionName = 12;

  // A record in the answer (or authority) section; data is the RDATA.
  DnsReplyBuilder& Record(const Bytes& owner, std::uint16_t type, const Bytes& data,
                          bool authority = false) {
    Bytes& section = authority ? authority_ : answers_;
    section.insert(section.end(), owner.begin(), owner.end());
    const std::uint16_t rd = static_cast<std::uint16_t>(data.size());
    section.insert(section.end(),
                   {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1, 0,
                    0, 1, 0, static_cast<std::uint8_t>(rd >> 8), static_cast<std::uint8_t>(rd)});
    section.insert(section.end(), data.begin(), data.end());
    ++(authority ? authorityCount_ : answerCount_);
    return *this;
  }
  DnsReplyBuilder& Mx(const Bytes& owner, std::uint16_t preference, const Bytes& exchange) {
    Bytes data = {static_cast<std::uint8_t>(preference >> 8),
                  static_cast<std::uint8_t>(preference)};
    data.insert(data.end(), exchange.begin(), exchange.end());
    return Record(owner, 15, data);
  }
  DnsReplyBuilder& Rcode(std::uint8_t rcode) {
    bytes_[3] = static_cast<std::uint8_t>((bytes_[3] & 0xF0) | rcode);
    return *this;
  }

  // Offset at which the answer section starts.
  std::size_t AnswersAt() const { return bytes_.size(); }

  Bytes Build() const {
    Bytes out = bytes_;
    out[6] = static_cast<std::uint8_t>(answerCount_ >> 8);
    out[7] = static_cast<std::uint8_t>(answerCount_);
    out[8] = static_cast<std::uint8_t>(authorityCount_ >> 8);
    out[9] = static_cast<std::uint8_t>(authorityCount_);
    out.insert(out.end(), answers_.begin(), answers_.end());
    out.insert(out.end(), authority_.begin(), authority_.end());
    return out;
  }

 private:
  Bytes bytes_, answers_, authority_;
  int answerCount_ = 0, authorityCount_ = 0;
};

}  // namespace corvan::crash::test
