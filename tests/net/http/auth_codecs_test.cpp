// MD4, DES and the NTLM messages against published vectors: RFC 1320,
// FIPS 81 and the NBS validation set, and the NTLM v1
// examples of Microsoft's protocol documentation (user "User", password
// "Password", challenge 0123456789abcdef).
#include <gtest/gtest.h>

#include "common/Base64.h"
#include "net/http/Des.h"
#include "net/http/Md4.h"
#include "net/http/NtlmMessages.h"

namespace corvan::http {
namespace {

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

template <std::size_t N>
std::string Hex(const std::array<std::uint8_t, N>& bytes) {
  return Hex(std::string_view(reinterpret_cast<const char*>(bytes.data()), N));
}

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return bytes;
}

TDesBlock Block(std::string_view hex) {
  const std::string bytes = FromHex(hex);
  TDesBlock block;
  for (int i = 0; i < 8; ++i) block[i] = static_cast<std::uint8_t>(bytes[i]);
  return block;
}

const std::array<std::uint8_t, 8> kChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

TEST(Md4, Rfc1320Vectors) {
  EXPECT_EQ(Hex(Md4("")), "31d6cfe0d16ae931b73c59d7e0c089c0");
  EXPECT_EQ(Hex(Md4("a")), "bde52cb31de33e46245e05fbdbd6fb24");
  EXPECT_EQ(Hex(Md4("abc")), "a448017aaf21d8525fc10ae87aa6729d");
  EXPECT_EQ(Hex(Md4("message digest")), "d9130a8164549fe818874806e1c7014b");
  EXPECT_EQ(Hex(Md4("abcdefghijklmnopqrstuvwxyz")), "d79e1c308aa5bbcdeea8ed63df412da9");
  EXPECT_EQ(Hex(Md4("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")),
            "043f8582f241db351ce627e153e7f0e4");
  EXPECT_EQ(Hex(Md4("1234567890123456789012345678901234567890123456789012345678901234567890123456"
                    "7890")),
            "e33b4ddc9c38f2199c3e7b164fcc0536");
}

TEST(Des, PublishedVectors) {
  EXPECT_EQ(Hex(DesEncrypt(Block("133457799bbcdff1"), Block("0123456789abcdef"))),
            "85e813540f0ab405");
  EXPECT_EQ(Hex(DesEncrypt(Block("0123456789abcdef"), Block("4e6f772069732074"))),
            "3fa40e8a984d4815");
  // The parity bits do not count.
  EXPECT_EQ(Hex(DesEncrypt(Block("123556789abddef0"), Block("0123456789abcdef"))),
            Hex(DesEncrypt(Block("133457799bbcdff1"), Block("0123456789abcdef"))));
}

TEST(Des, SevenByteKeysSpreadOverEight) {
  const std::uint8_t key7[7] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  EXPECT_EQ(Hex(DesKeyFrom56(key7)), "fefefefefefefefe");
  const std::uint8_t bits[7] = {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
  EXPECT_EQ(Hex(DesKeyFrom56(bits)), "8000000000000002");
}

TEST(Ntlm, ResponsesOfThePublishedExample) {
  EXPECT_EQ(Hex(NtlmNtResponse("Password", kChallenge)),
            "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
}

TEST(Ntlm, NegotiateMessageIsAlwaysTheseBytes) {
  EXPECT_EQ(Hex(Base64Decode(NtlmMessage1())),
            "4e544c4d5353500001000000078200000000000000000000"
            "0000000000000000");
  EXPECT_EQ(NtlmMessage1(), "TlRMTVNTUAABAAAAB4IAAAAAAAAAAAAAAAAAAAAAAAA=");
}

TEST(Ntlm, SecurityAuthenticateMessageLayoutSendsNoLmResponse) {
  const std::string m = Base64Decode(NtlmMessage3("", "COMPUTER", "User", "Password", kChallenge));
  // Header, then user (8 bytes), host (16), LM and NT responses.
  ASSERT_EQ(m.size(), 64u + 8 + 16 + 24 + 24);
  EXPECT_EQ(Hex(m.substr(0, 64)),
            "4e544c4d5353500003000000"
            "1800180058000000"  // LM response at 88
            "1800180070000000"  // NT response at 112
            "0000000040000000"  // no domain
            "0800080040000000"  // user at 64
            "1000100048000000"  // host at 72
            "0000000000000000"  // no session key
            "05820000");
  EXPECT_EQ(m.substr(64, 8), std::string("U\0s\0e\0r\0", 8));
  EXPECT_EQ(m.substr(72, 16), std::string("C\0O\0M\0P\0U\0T\0E\0R\0", 16));
  // No LM response: its hash of the upper-cased password falls to a dictionary.
  EXPECT_EQ(m.substr(88, 24), std::string(24, '\0'));
  EXPECT_EQ(Hex(m.substr(112, 24)), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
}

// A challenge message: target name "DOM" (OEM), challenge, target
// information with a server and a domain name.
std::string ChallengeMessage() {
  std::string m = FromHex(
      "4e544c4d53535000"  // signature
      "02000000"          // type 2
      "03000300"
      "30000000"          // target name: 3 bytes at 48
      "05820200"          // flags
      "0123456789abcdef"  // challenge
      "0000000000000000"  // context
      "14001400"
      "33000000");  // target information: 20 bytes at 51
  m += "DOM";
  m += FromHex(
           "0100"
           "0400") +
       std::string("S\0V\0", 4);
  m += FromHex(
           "0200"
           "0400") +
       std::string("D\0M\0", 4);
  m += FromHex("00000000");
  return m;
}

TEST(Ntlm, ChallengeMessageFields) {
  const TNTLM_Msg2_Info info = NtlmParseMessage2(Base64Encode(ChallengeMessage()));
  EXPECT_TRUE(info.ServerResponseOk);
  EXPECT_EQ(Hex(info.Challenge), "0123456789abcdef");
  EXPECT_EQ(info.TargetName, u"DOM");
  // Values are widened byte by byte, as the client has always read them.
  EXPECT_EQ(info.ServerName, std::u16string(u"S\0V\0", 4));
  EXPECT_EQ(info.DomainName, std::u16string(u"D\0M\0", 4));
}

TEST(Ntlm, BrokenChallengeMessagesReadOnlyWhatExists) {
  EXPECT_FALSE(NtlmParseMessage2("").ServerResponseOk);
  EXPECT_FALSE(NtlmParseMessage2("!!!").ServerResponseOk);
  const std::string whole = ChallengeMessage();
  // Cut anywhere: never more than the bytes there are.
  for (std::size_t n = 1; n < whole.size(); ++n) {
    const TNTLM_Msg2_Info info = NtlmParseMessage2(Base64Encode(whole.substr(0, n)));
    EXPECT_TRUE(info.ServerResponseOk);
    EXPECT_LE(info.TargetName.size(), 3u);
    EXPECT_LE(info.ServerName.size() + info.DomainName.size(), 8u);
  }
  EXPECT_EQ(Hex(NtlmParseMessage2(Base64Encode(whole.substr(0, 28))).Challenge),
            "0123456700000000");
  // Offsets and lengths far beyond the end.
  std::string wild = whole;
  wild[16] = wild[17] = wild[18] = '\xff';
  wild[44] = wild[45] = '\xff';
  const TNTLM_Msg2_Info info = NtlmParseMessage2(Base64Encode(wild));
  EXPECT_TRUE(info.TargetName.empty());
  EXPECT_TRUE(info.ServerName.empty());
}

}  // namespace
}  // namespace corvan::http
