#include "net/socket/TlsSession.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <cstring>
#include <utility>

namespace corvan::net {
namespace {

// Used input is dropped from the front only past this much, so that a
// large download does not move its buffer for every record.
constexpr std::size_t kCompactAt = 64 * 1024;

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCaseAscii(std::string text) {
  for (char& c : text) c = Lower(c);
  return text;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

bool Printable(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F;
  });
}

// A host written as an IP address, as its 4 or 16 bytes; empty for a name.
std::string AddressBytes(const std::string& host) {
  std::string bytes;
  if (host.find(':') == std::string::npos) {
    unsigned value = 0, digits = 0;
    for (std::size_t i = 0; i <= host.size(); ++i) {
      const char c = i < host.size() ? host[i] : '.';
      if (c >= '0' && c <= '9' && digits < 3) {
        value = value * 10 + static_cast<unsigned>(c - '0');
        ++digits;
      } else if (c == '.' && digits > 0 && value < 256) {
        bytes += static_cast<char>(value);
        value = digits = 0;
      } else {
        return {};
      }
    }
    return bytes.size() == 4 ? bytes : std::string();
  }
  // IPv6: groups of up to four hex digits, one "::" for a run of zeros.
  std::string head, tail;
  std::string* out = &head;
  std::size_t i = 0;
  if (host.starts_with("::")) {
    out = &tail;
    i = 2;
  }
  while (i < host.size()) {
    unsigned value = 0, digits = 0;
    for (; i < host.size() && std::isxdigit(static_cast<unsigned char>(host[i])) && digits < 4;
         ++i, ++digits) {
      const char c = Lower(host[i]);
      value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    if (digits == 0) return {};
    *out += static_cast<char>(value >> 8);
    *out += static_cast<char>(value & 0xFF);
    if (i == host.size()) break;
    if (host[i] != ':') return {};
    ++i;
    if (i < host.size() && host[i] == ':') {
      if (out == &tail) return {};
      out = &tail;
      ++i;
    } else if (i == host.size()) {
      return {};
    }
  }
  const std::size_t size = head.size() + tail.size();
  if (size > 16 || (out == &head && size != 16)) return {};
  return head + std::string(16 - size, '\0') + tail;
}

bool IsIpAddress(const std::string& host) {
  return host.find(':') != std::string::npos || !AddressBytes(host).empty() ||
         (!host.empty() && std::all_of(host.begin(), host.end(),
                                       [](char c) { return c == '.' || (c >= '0' && c <= '9'); }));
}

// Second levels under which registries give names to others; a wildcard
// right below one would cover unrelated owners.
bool RegistryLevel(std::string_view label) {
  static constexpr std::string_view kLevels[] = {"ac", "co",  "com", "edu", "gob", "gov",
                                                 "go", "ltd", "mil", "ne",  "net", "nom",
                                                 "or", "org", "plc", "sch"};
  return std::find(std::begin(kLevels), std::end(kLevels), label) != std::end(kLevels);
}

// One DER element at `at`: its tag and value; false when it runs past end.
bool ReadElement(const std::uint8_t*& at, const std::uint8_t* end, std::uint8_t& tag,
                 const std::uint8_t*& value, std::size_t& length) {
  if (end - at < 2) return false;
  tag = at[0];
  std::size_t n = at[1];
  at += 2;
  if (n & 0x80) {
    const std::size_t count = n & 0x7F;
    if (count == 0 || count > 4 || static_cast<std::size_t>(end - at) < count) return false;
    n = 0;
    for (std::size_t i = 0; i < count; ++i) n = n << 8 | *at++;
  }
  if (static_cast<std::size_t>(end - at) < n) return false;
  value = at;
  length = n;
  at += n;
  return true;
}

// A directory string's text: 8-bit types as they are, wide ones with their
// ASCII kept and anything else as NUL.
std::string DirectoryText(std::uint8_t tag, const std::uint8_t* value, std::size_t length) {
  const std::size_t width = tag == 0x1E ? 2 : tag == 0x1C ? 4 : 1;
  if (length % width != 0) return std::string(1, '\0');
  std::string text;
  for (std::size_t i = 0; i < length; i += width) {
    std::uint32_t c = 0;
    for (std::size_t k = 0; k < width; ++k) c = c << 8 | value[i + k];
    text += width > 1 && c > 0x7F ? '\0' : static_cast<char>(c);
  }
  return text;
}

}  // namespace

bool ReadAltNames(const std::uint8_t* der, std::size_t size, CertificateNames& names) {
  const std::uint8_t* at = der;
  std::uint8_t tag = 0;
  const std::uint8_t* list = nullptr;
  std::size_t length = 0;
  if (!ReadElement(at, der + size, tag, list, length) || tag != 0x30 || at != der + size)
    return false;
  names.altNames = true;
  for (const std::uint8_t *entry = list, *end = list + length; entry < end;) {
    const std::uint8_t* value = nullptr;
    std::size_t n = 0;
    if (!ReadElement(entry, end, tag, value, n)) return false;
    const std::string bytes(reinterpret_cast<const char*>(value), n);
    if (tag == 0x82) names.dns.push_back(bytes);                        // dNSName
    if (tag == 0x87 && (n == 4 || n == 16)) names.ip.push_back(bytes);  // iPAddress
  }
  return true;
}

bool ReadCommonNames(const std::uint8_t* der, std::size_t size, CertificateNames& names) {
  static constexpr std::uint8_t kCommonName[] = {0x55, 0x04, 0x03};
  const std::uint8_t* at = der;
  std::uint8_t tag = 0;
  const std::uint8_t* rdns = nullptr;
  std::size_t length = 0;
  if (!ReadElement(at, der + size, tag, rdns, length) || tag != 0x30) return false;
  for (const std::uint8_t *rdn = rdns, *end = rdns + length; rdn < end;) {
    const std::uint8_t* set = nullptr;
    std::size_t setLength = 0;
    if (!ReadElement(rdn, end, tag, set, setLength) || tag != 0x31) return false;
    for (const std::uint8_t *pair = set, *setEnd = set + setLength; pair < setEnd;) {
      const std::uint8_t* inner = nullptr;
      std::size_t innerLength = 0;
      if (!ReadElement(pair, setEnd, tag, inner, innerLength) || tag != 0x30) return false;
      const std::uint8_t* field = inner;
      const std::uint8_t *oid = nullptr, *value = nullptr;
      std::size_t oidLength = 0, valueLength = 0;
      std::uint8_t valueTag = 0;
      if (!ReadElement(field, inner + innerLength, tag, oid, oidLength) || tag != 0x06 ||
          !ReadElement(field, inner + innerLength, valueTag, value, valueLength)) {
        return false;
      }
      if (oidLength == sizeof kCommonName && std::equal(oid, oid + oidLength, kCommonName))
        names.commonNames.push_back(DirectoryText(valueTag, value, valueLength));
    }
  }
  return true;
}

bool CertificateNameMatches(const std::string& pattern, const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (!Printable(name) || !Printable(pattern) || IsIpAddress(name)) return false;
  if (!pattern.starts_with("*.")) {
    return pattern.find('*') == std::string::npos && EqualNoCase(pattern, name);
  }
  const std::string rest = pattern.substr(2);  // "example.com"
  const std::size_t dot = rest.find('.');
  if (rest.find('*') != std::string::npos || dot == std::string::npos || dot == 0 ||
      rest.back() == '.' ||
      (rest.find('.', dot + 1) == std::string::npos &&
       RegistryLevel(LowerCaseAscii(rest.substr(0, dot))))) {
    return false;
  }
  const std::size_t first = name.find('.');
  return first != std::string::npos && first > 0 && EqualNoCase(name.substr(first + 1), rest);
}

bool CertificateNamesHost(const CertificateNames& names, const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.starts_with("[") && name.ends_with("]")) name = name.substr(1, name.size() - 2);
  if (IsIpAddress(name)) {
    const std::string address = AddressBytes(name);
    return !address.empty() &&
           std::find(names.ip.begin(), names.ip.end(), address) != names.ip.end();
  }
  const auto matches = [&](const std::string& pattern) {
    return CertificateNameMatches(pattern, name);
  };
  if (names.altNames) return std::any_of(names.dns.begin(), names.dns.end(), matches);
  return !names.commonNames.empty() && matches(names.commonNames.back());
}

TlsSession::TlsSession(std::unique_ptr<TlsProvider> provider) : provider_(std::move(provider)) {}

void TlsSession::Fail(std::string reason) {
  state_ = State::kFailed;
  failure_ = reason.empty() ? "the secure connection failed" : std::move(reason);
  outgoing_.clear();
}

void TlsSession::Start() {
  if (state_ != State::kIdle) return;
  state_ = State::kHandshake;
  std::size_t consumed = 0;
  const auto result = provider_->Handshake(nullptr, 0, outgoing_, consumed);
  if (result != TlsProvider::Result::kContinue && result != TlsProvider::Result::kDone)
    Fail(provider_->Failure());
}

void TlsSession::Feed(const void* data, std::size_t size) {
  if (state_ != State::kHandshake && state_ != State::kOpen) return;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (inputUsed_ >= kCompactAt || inputUsed_ == input_.size()) {
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(inputUsed_));
    inputUsed_ = 0;
  }
  input_.insert(input_.end(), bytes, bytes + size);
  Advance();
}

// Works through the whole records in the input, stopping at an incomplete
// one, at the end of the input, or when the session leaves its state.
void TlsSession::Advance() {
  // A renegotiation request without handshake bytes behind it still takes
  // a step of ours (the peer may wait for it): it runs on empty input.
  std::uint8_t none = 0;
  while (inputUsed_ < input_.size() || (renegotiating_ && state_ == State::kOpen)) {
    const std::size_t left = input_.size() - inputUsed_;
    std::uint8_t* at = left > 0 ? input_.data() + inputUsed_ : &none;
    std::size_t consumed = 0;
    if (state_ == State::kHandshake || renegotiating_) {
      const auto result = provider_->Handshake(at, left, outgoing_, consumed);
      if (result == TlsProvider::Result::kIncomplete) return;
      if ((result != TlsProvider::Result::kContinue && result != TlsProvider::Result::kDone) ||
          consumed > left) {
        Fail(provider_->Failure());
        return;
      }
      inputUsed_ += consumed;
      if (result == TlsProvider::Result::kContinue) {
        // A step that took nothing waits for more bytes, never loops.
        if (consumed == 0) return;
        continue;
      }
      // A renegotiation may bring another certificate: it is checked again.
      renegotiating_ = false;
      if (std::string why = provider_->CheckPeer(); !why.empty()) {
        Fail(std::move(why));
        return;
      }
      state_ = State::kOpen;
      continue;
    }
    if (state_ != State::kOpen) return;
    const auto result = provider_->Decrypt(at, left, plain_, consumed);
    switch (result) {
      case TlsProvider::Result::kIncomplete:
        return;
      case TlsProvider::Result::kDone:
        if (consumed == 0 || consumed > left) {
          Fail(provider_->Failure());
          return;
        }
        inputUsed_ += consumed;
        break;
      case TlsProvider::Result::kRenegotiate:
        inputUsed_ += std::min(consumed, left);
        renegotiating_ = true;
        break;
      case TlsProvider::Result::kClosed:
        inputUsed_ = input_.size();
        state_ = State::kClosed;
        return;
      default:
        Fail(provider_->Failure());
        return;
    }
  }
}

bool TlsSession::Write(const void* data, std::size_t size) {
  if (state_ != State::kOpen) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const std::size_t most = std::max<std::size_t>(provider_->MaxPayload(), 1);
  while (size > 0) {
    const std::size_t n = std::min(size, most);
    if (!provider_->Encrypt(bytes, n, outgoing_)) {
      Fail(provider_->Failure());
      return false;
    }
    bytes += n;
    size -= n;
  }
  return true;
}

void TlsSession::Close() {
  if (state_ != State::kOpen) return;
  outgoing_ += provider_->Shutdown();
  state_ = State::kClosed;
}

std::string TlsSession::TakeOutgoing() { return std::exchange(outgoing_, std::string()); }

std::size_t TlsSession::Read(void* buffer, std::size_t size) {
  const std::size_t n = std::min(size, Readable());
  std::memcpy(buffer, plain_.data() + plainRead_, n);
  plainRead_ += n;
  if (plainRead_ == plain_.size()) {
    plain_.clear();
    plainRead_ = 0;
  } else if (plainRead_ >= kCompactAt) {
    plain_.erase(0, plainRead_);
    plainRead_ = 0;
  }
  return n;
}

}  // namespace corvan::net
