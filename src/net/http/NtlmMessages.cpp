#include "net/http/NtlmMessages.h"

#include "common/Base64.h"
#include "net/http/Des.h"
#include "net/http/Md4.h"

namespace corvan::http {
namespace {

constexpr char kSignature[] = "NTLMSSP";              // and its terminating zero: 8 bytes
constexpr std::uint32_t kMessage1Flags = 0x00008207;  // Unicode, OEM, target, NTLM, sign
constexpr std::uint32_t kMessage3Flags = 0x00008205;
constexpr std::size_t kMessage2Header = 48;

void Put16(std::string& out, std::uint16_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8);
}

void Put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Length, maximum length and offset of one field of a message.
void PutBuffer(std::string& out, std::size_t length, std::size_t offset) {
  Put16(out, static_cast<std::uint16_t>(length));
  Put16(out, static_cast<std::uint16_t>(length));
  Put32(out, static_cast<std::uint32_t>(offset));
}

std::string Header(std::uint32_t type) {
  std::string out(kSignature, sizeof kSignature);
  Put32(out, type);
  return out;
}

// Each byte becomes a little-endian 16-bit character.
std::string Widen(std::string_view text) {
  std::string wide;
  for (char c : text) {
    wide += c;
    wide += '\0';
  }
  return wide;
}

// The view of a decoded message that never reads past its end.
class TMessageReader {
 public:
  explicit TMessageReader(std::string_view bytes) : bytes_(bytes) {}
  std::uint32_t Get(std::size_t offset, int size) const {
    std::uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = (v << 8) | Byte(offset + i);
    return v;
  }
  std::uint8_t Byte(std::size_t offset) const {
    return offset < bytes_.size() ? static_cast<std::uint8_t>(bytes_[offset]) : 0;
  }
  bool Has(std::size_t offset, std::size_t size) const {
    return offset <= bytes_.size() && size <= bytes_.size() - offset;
  }
  // The bytes from offset, at most length of them, widened one by one.
  std::u16string Widened(std::size_t offset, std::size_t length) const {
    std::u16string text;
    if (offset >= bytes_.size()) return text;
    const std::string_view part = bytes_.substr(offset, length);
    for (char c : part) text += static_cast<char16_t>(static_cast<unsigned char>(c));
    return text;
  }
  std::size_t Size() const { return bytes_.size(); }

 private:
  std::string_view bytes_;
};

// Three DES encryptions of the challenge under a 16-byte key padded with
// zeros to 21 bytes and cut into three 7-byte keys.
std::string DesResponse(const std::uint8_t key16[16],
                        const std::array<std::uint8_t, 8>& challenge) {
  std::uint8_t key21[21] = {};
  for (int i = 0; i < 16; ++i) key21[i] = key16[i];
  TDesBlock block;
  for (int i = 0; i < 8; ++i) block[i] = challenge[i];
  std::string response;
  for (int part = 0; part < 3; ++part) {
    const TDesBlock result = DesEncrypt(DesKeyFrom56(key21 + 7 * part), block);
    response.append(reinterpret_cast<const char*>(result.data()), result.size());
  }
  return response;
}

}  // namespace

std::string NtlmMessage1() {
  std::string out = Header(1);
  Put32(out, kMessage1Flags);
  PutBuffer(out, 0, 0);  // domain
  PutBuffer(out, 0, 0);  // workstation
  return Base64Encode(out);
}

TNTLM_Msg2_Info NtlmParseMessage2(std::string_view base64) {
  TNTLM_Msg2_Info info;
  const std::string decoded = Base64Decode(base64);
  if (decoded.empty()) return info;
  info.ServerResponseOk = true;
  const TMessageReader message(decoded);
  info.TargetName = message.Widened(message.Get(16, 4), message.Get(12, 2));
  for (int i = 0; i < 8; ++i) info.Challenge[i] = message.Byte(24 + i);
  if (!message.Has(0, kMessage2Header)) return info;
  // Target information: items of type, length and value up to the end item.
  std::size_t at = message.Get(44, 4);
  while (message.Has(at, 4)) {
    const std::uint32_t type = message.Get(at, 2);
    const std::uint32_t length = message.Get(at + 2, 2);
    if (type == 0 && length == 0) break;
    at += 4;
    if (type == 1) info.ServerName = message.Widened(at, length);
    if (type == 2) info.DomainName = message.Widened(at, length);
    at += length;
  }
  return info;
}

std::string NtlmNtResponse(std::string_view password,
                           const std::array<std::uint8_t, 8>& challenge) {
  const TMd4Digest hash = Md4(Widen(password));
  return DesResponse(hash.data(), challenge);
}

std::string NtlmMessage3(std::string_view domain, std::string_view host, std::string_view user,
                         std::string_view password, const std::array<std::uint8_t, 8>& challenge) {
  const std::string d = Widen(domain), u = Widen(user), h = Widen(host);
  constexpr std::size_t kHeader = 64;
  const std::size_t names = d.size() + u.size() + h.size();
  std::string out = Header(3);
  PutBuffer(out, 24, kHeader + names);       // LM response: zeros, as Windows sends
                                             // (the LM hash falls to a dictionary)
  PutBuffer(out, 24, kHeader + names + 24);  // NT response
  PutBuffer(out, d.size(), kHeader);
  PutBuffer(out, u.size(), kHeader + d.size());
  PutBuffer(out, h.size(), kHeader + d.size() + u.size());
  PutBuffer(out, 0, 0);  // session key
  Put32(out, kMessage3Flags);
  out += d + u + h;
  out += std::string(24, '\0');
  out += NtlmNtResponse(password, challenge);
  return Base64Encode(out);
}

}  // namespace corvan::http
