#include "app/SetupSignature.h"

#include <gtest/gtest.h>

#include "crash/analysis/PeBuilder.h"

namespace corvan::app {
namespace {

using namespace trust;
using P = SignatureProblem;

constexpr ExpectedPublisher kPublisher{u"uvnc bvba", "", SetupVersion(1, 4, 3, 6)};

// What the trust API reports for a good file of the expected publisher.
SignatureFacts Good() {
  SignatureFacts f;
  f.chainKnown = true;
  f.signerNames = {u"uvnc bvba"};
  f.signerCodeSigning = true;
  f.certificateTableTight = true;
  f.fileVersion = SetupVersion(1, 4, 3, 6);
  f.signerThumbprint = "0123456789abcdef0123456789abcdef01234567";
  return f;
}

SignatureFacts WithChainBits(std::uint32_t bits) {
  SignatureFacts f = Good();
  f.chainErrorStatus = bits;
  return f;
}

SignatureFacts WithTrustResult(std::uint32_t code) {
  SignatureFacts f = Good();
  f.trustResult = code;
  return f;
}

TEST(JudgeSignature, AGoodChainOfTheExpectedPublisherRuns) {
  EXPECT_EQ(JudgeSignature(Good(), kPublisher), P::None);
  // No revocation check was asked for: its "unknown" bits say nothing.
  EXPECT_EQ(JudgeSignature(WithChainBits(kRevocationStatusUnknown | kIsOfflineRevocation |
                                         kNoIssuanceChainPolicy),
                           kPublisher),
            P::None);
}

TEST(JudgeSignature, TheProvidersRefusalStands) {
  // Even when the chain it built looks clean.
  EXPECT_EQ(JudgeSignature(WithTrustResult(kNoSignature), kPublisher), P::Unsigned);
  EXPECT_EQ(JudgeSignature(WithTrustResult(kSubjectFormUnknown), kPublisher), P::Unsigned);
  EXPECT_EQ(JudgeSignature(WithTrustResult(kBadDigest), kPublisher), P::Invalid);
  EXPECT_EQ(JudgeSignature(WithTrustResult(kCertSignature), kPublisher), P::Invalid);
  EXPECT_EQ(JudgeSignature(WithTrustResult(kExpired), kPublisher), P::Expired);
  EXPECT_EQ(JudgeSignature(WithTrustResult(kUntrustedRoot), kPublisher), P::Untrusted);
  EXPECT_EQ(JudgeSignature(WithTrustResult(kChaining), kPublisher), P::Untrusted);
  EXPECT_EQ(JudgeSignature(WithTrustResult(kCertRevoked), kPublisher), P::Revoked);
  EXPECT_EQ(JudgeSignature(WithTrustResult(kCryptRevoked), kPublisher), P::Revoked);
  EXPECT_EQ(JudgeSignature(WithTrustResult(kExplicitDistrust), kPublisher), P::Revoked);
  // The check could not happen: the file was unreadable, access denied.
  EXPECT_EQ(JudgeSignature(WithTrustResult(kFileError), kPublisher), P::Unverifiable);
  EXPECT_EQ(JudgeSignature(WithTrustResult(0x80070005), kPublisher), P::Unverifiable);
  // Codes without a name of ours (TRUST_E_BASIC_CONSTRAINTS, an ASN.1
  // error of a mangled signature) still refuse.
  EXPECT_EQ(JudgeSignature(WithTrustResult(0x80096019), kPublisher), P::Invalid);
  EXPECT_EQ(JudgeSignature(WithTrustResult(0x80093102), kPublisher), P::Invalid);
  EXPECT_EQ(JudgeSignature(WithTrustResult(1), kPublisher), P::Invalid);
}

// The trust provider answers S_OK for these under Wine: the chain's bits
// must refuse them on their own.
TEST(JudgeSignature, ChainBitsRefuseWhatTheProviderPassed) {
  EXPECT_EQ(JudgeSignature(WithChainBits(kIsUntrustedRoot), kPublisher), P::Untrusted);
  EXPECT_EQ(JudgeSignature(WithChainBits(kIsPartialChain), kPublisher), P::Untrusted);
  EXPECT_EQ(JudgeSignature(WithChainBits(kIsCyclic), kPublisher), P::Untrusted);
  EXPECT_EQ(JudgeSignature(WithChainBits(kNotTimeValid), kPublisher), P::Expired);
  EXPECT_EQ(JudgeSignature(WithChainBits(kNotTimeNested), kPublisher), P::Expired);
  EXPECT_EQ(JudgeSignature(WithChainBits(kIsRevoked), kPublisher), P::Revoked);
  EXPECT_EQ(JudgeSignature(WithChainBits(kIsExplicitDistrust), kPublisher), P::Revoked);
  EXPECT_EQ(JudgeSignature(WithChainBits(kNotSignatureValid), kPublisher), P::Invalid);
  EXPECT_EQ(JudgeSignature(WithChainBits(kNotValidForUsage), kPublisher), P::Invalid);
  // Bits we have no name for (weak signature, bad extensions) refuse too.
  EXPECT_EQ(JudgeSignature(WithChainBits(0x00100000), kPublisher), P::Invalid);
  EXPECT_EQ(JudgeSignature(WithChainBits(0x00000100), kPublisher), P::Invalid);
  EXPECT_EQ(JudgeSignature(WithChainBits(0x80000000), kPublisher), P::Invalid);
  // A harmless bit does not hide a harmful one.
  EXPECT_EQ(JudgeSignature(WithChainBits(kRevocationStatusUnknown | kIsPartialChain), kPublisher),
            P::Untrusted);
}

TEST(JudgeSignature, SeveralChainProblemsNameTheWorst) {
  EXPECT_EQ(JudgeSignature(WithChainBits(kNotTimeValid | kIsUntrustedRoot), kPublisher),
            P::Untrusted);
  EXPECT_EQ(JudgeSignature(WithChainBits(kNotTimeValid | kNotSignatureValid), kPublisher),
            P::Invalid);
  EXPECT_EQ(JudgeSignature(WithChainBits(kIsRevoked | kIsPartialChain | kNotTimeValid), kPublisher),
            P::Revoked);
  // A chain fault counts before the signer's name.
  SignatureFacts f = WithChainBits(kNotTimeValid);
  f.signerNames = {u"Andere Uitgever BV"};
  EXPECT_EQ(JudgeSignature(f, kPublisher), P::Expired);
}

TEST(JudgeSignature, ThePolicyIsHeardWhenTheBitsAreClean) {
  SignatureFacts f = Good();
  f.policyError = kUntrustedRoot;
  EXPECT_EQ(JudgeSignature(f, kPublisher), P::Untrusted);
  f.policyError = 0x800B0110;  // CERT_E_WRONG_USAGE
  EXPECT_EQ(JudgeSignature(f, kPublisher), P::Invalid);
}

TEST(JudgeSignature, NoChainNoTrust) {
  SignatureFacts f = Good();
  f.chainKnown = false;
  EXPECT_EQ(JudgeSignature(f, kPublisher), P::Unverifiable);
  // The facts of a failed read.
  EXPECT_EQ(JudgeSignature(SignatureFacts{}, kPublisher), P::Unverifiable);
}

TEST(JudgeSignature, SecurityOnlyTheExactPublisherNameInUnicode) {
  // Look-alike letters (a Cyrillic "а", a Latin "ā", full-width letters)
  // are other names: a conversion to a code page would fold them.
  for (const std::u16string& name : std::vector<std::u16string>{
           u"Andere Uitgever BV", u"UVNC BVBA", u"uvnc bvba ", u" uvnc bvba", u"uvnc bvba\x01",
           u"uvnc", u"", u"uvnc bvb\u0430", u"uvnc bvb\u0101", u"\uff55vnc bvba",
           std::u16string(u"uvnc bvba\0evil", 14)}) {
    SignatureFacts f = Good();
    f.signerNames = {name};
    EXPECT_EQ(JudgeSignature(f, kPublisher), P::WrongPublisher);
  }
  // Exactly one common name: a second one (whichever comes first) or none.
  for (const std::vector<std::u16string>& names :
       std::vector<std::vector<std::u16string>>{{u"uvnc bvba", u"Andere Uitgever BV"},
                                                {u"Andere Uitgever BV", u"uvnc bvba"},
                                                {u"uvnc bvba", u"uvnc bvba"},
                                                {}}) {
    SignatureFacts f = Good();
    f.signerNames = names;
    EXPECT_EQ(JudgeSignature(f, kPublisher), P::WrongPublisher) << names.size();
  }
  // Without an expected name nothing is anyone's.
  EXPECT_EQ(JudgeSignature(Good(), ExpectedPublisher{u"", ""}), P::WrongPublisher);
}

TEST(CommonNameValue, OnlyTheTerminatorIsDropped) {
  using S = std::u16string;
  const std::pair<S, S> cases[] = {
      {S(u"uvnc bvba\0", 10), u"uvnc bvba"},  // as Wine's decoder counts it
      {u"uvnc bvba", u"uvnc bvba"},
      {S(u"uvnc bvba\0\0", 11), S(u"uvnc bvba\0\0", 11)},
      {S(u"uvnc bvba\0evil", 14), S(u"uvnc bvba\0evil", 14)},
      {S(u"\0", 1), u""},
      {u"", u""},
  };
  for (const auto& [stored, value] : cases) {
    EXPECT_EQ(CommonNameValue(stored), value) << stored.size();
    SignatureFacts f = Good();
    f.signerNames = {CommonNameValue(stored)};
    EXPECT_EQ(JudgeSignature(f, kPublisher) == P::None, value == u"uvnc bvba") << stored.size();
  }
}

// What Wine's chain never reports, and what lies outside the signed hash,
// the program checks itself; an older genuine setup does not run either.
TEST(JudgeSignature, SecurityUsageTableAndVersion) {
  SignatureFacts f = Good();
  f.signerCodeSigning = false;
  EXPECT_EQ(JudgeSignature(f, kPublisher), P::Invalid);
  f = Good();
  f.certificateTableTight = false;
  EXPECT_EQ(JudgeSignature(f, kPublisher), P::Invalid);
  f = Good();
  f.fileVersion = SetupVersion(1, 4, 3, 5);
  EXPECT_EQ(JudgeSignature(f, kPublisher), P::TooOld);
  f.fileVersion = 0;  // no version resource
  EXPECT_EQ(JudgeSignature(f, kPublisher), P::TooOld);
  f.fileVersion = SetupVersion(1, 5, 0, 0);
  EXPECT_EQ(JudgeSignature(f, kPublisher), P::None);
  EXPECT_EQ(kSetupPublisher.minVersion, kSetupMinVersion);
}

// A setup image with a version resource, then the certificate table, then
// the bytes of after (outside the table).
std::vector<std::uint8_t> SetupImage(const std::vector<std::uint8_t>& table,
                                     const std::vector<std::uint8_t>& after) {
  crash::test::PeBuilder pe;
  pe.AddResources({{std::uint16_t(16), std::uint16_t(1), 1033,
                    crash::test::PeBuilder::VersionResource(1, 5, 0, 2)}});
  const auto size = static_cast<std::uint32_t>(pe.Build(crash::ImageLayout::File).size());
  if (!table.empty()) pe.directories[4] = {size, static_cast<std::uint32_t>(table.size())};
  std::vector<std::uint8_t> image = pe.Build(crash::ImageLayout::File);
  image.insert(image.end(), table.begin(), table.end());
  image.insert(image.end(), after.begin(), after.end());
  return image;
}

// A WIN_CERTIFICATE: length field, revision 2, type 2 (PKCS#7), then a
// DER SEQUENCE of contentLength bytes, then extra bytes.
std::vector<std::uint8_t> Entry(std::uint32_t lengthField, std::size_t contentLength,
                                std::vector<std::uint8_t> extra = {}) {
  std::vector<std::uint8_t> e = {static_cast<std::uint8_t>(lengthField),
                                 static_cast<std::uint8_t>(lengthField >> 8),
                                 0,
                                 0,
                                 0,
                                 2,
                                 2,
                                 0,
                                 0x30,
                                 0x82,
                                 static_cast<std::uint8_t>(contentLength >> 8),
                                 static_cast<std::uint8_t>(contentLength)};
  e.insert(e.end(), contentLength, 0x5A);
  e.insert(e.end(), extra.begin(), extra.end());
  return e;
}

std::vector<std::uint8_t> Joined(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ReadSetupFileFacts, SecurityCertificateTableHoldsOnlyTheSignature) {
  // 8 + 4 + 300 = 312 bytes, a multiple of 8; 8 + 4 + 301 = 313 needs 7
  // bytes of padding.
  const std::vector<std::uint8_t> zeros7(7, 0);
  const struct {
    const char* what;
    std::vector<std::uint8_t> table;
    bool tight;
    std::vector<std::uint8_t> after = {};
  } cases[] = {
      {"exact", Entry(312, 300), true},
      {"padded with zeros", Entry(313, 301, zeros7), true},
      {"padding counted in the length", Entry(320, 301, zeros7), true},
      {"no table", {}, false},
      {"bytes beyond the signature's length", Entry(328, 300, std::vector<std::uint8_t>(16, 0)),
       false},
      {"padding that is not zero", Entry(313, 301, {0, 0, 0, 1, 0, 0, 0}), false},
      {"a second entry", Joined(Entry(312, 300), Entry(312, 300)), false},
      {"bytes after the table", Entry(312, 300), false, std::vector<std::uint8_t>(8, 0)},
      {"length beyond the table", Entry(400, 300), false},
      {"no DER sequence",
       Joined({0x38, 1, 0, 0, 0, 2, 2, 0, 0x31, 0x82, 1, 0x2C}, std::vector<std::uint8_t>(300, 0)),
       false},
  };
  for (const auto& c : cases) {
    const std::vector<std::uint8_t> image = SetupImage(c.table, c.after);
    const crash::BufferImageBytes bytes(image);
    const SetupFileFacts facts = ReadSetupFileFacts(bytes, image.size());
    EXPECT_EQ(facts.certificateTableTight, c.tight) << c.what;
    EXPECT_EQ(facts.fileVersion, SetupVersion(1, 5, 0, 2)) << c.what;
  }
  const std::vector<std::uint8_t> text = {'<', 'h', 't', 'm', 'l', '>'};
  const SetupFileFacts none = ReadSetupFileFacts(crash::BufferImageBytes(text), text.size());
  EXPECT_FALSE(none.certificateTableTight);
  EXPECT_EQ(none.fileVersion, 0u);
}

TEST(JudgeSignature, APinnedThumbprintMustMatch) {
  const ExpectedPublisher pinned{u"uvnc bvba",
                                 "01 23 45 67 89 AB CD EF 01 23 45 67 89 ab cd ef 01 23 45 67"};
  EXPECT_EQ(JudgeSignature(Good(), pinned), P::None);
  SignatureFacts renewed = Good();
  renewed.signerThumbprint = "1123456789abcdef0123456789abcdef01234567";
  EXPECT_EQ(JudgeSignature(renewed, pinned), P::WrongPublisher);
  renewed.signerThumbprint.clear();
  EXPECT_EQ(JudgeSignature(renewed, pinned), P::WrongPublisher);
  // The right certificate under another name is still refused.
  SignatureFacts renamed = Good();
  renamed.signerNames = {u"Andere Uitgever BV"};
  EXPECT_EQ(JudgeSignature(renamed, pinned), P::WrongPublisher);
}

TEST(RefusalText, OneDutchReasonPerProblem) {
  EXPECT_EQ(RefusalText(P::None), "");
  EXPECT_EQ(RefusalText(P::Unsigned),
            "Download mislukt : het installatieprogramma is niet ondertekend");
  EXPECT_EQ(RefusalText(P::Invalid), "Download mislukt : de handtekening is ongeldig");
  EXPECT_EQ(RefusalText(P::Untrusted),
            "Download mislukt : het certificaat van de handtekening wordt niet vertrouwd");
  EXPECT_EQ(RefusalText(P::Expired),
            "Download mislukt : het certificaat van de handtekening is verlopen");
  EXPECT_EQ(RefusalText(P::Revoked),
            "Download mislukt : het certificaat van de handtekening is ingetrokken");
  EXPECT_EQ(RefusalText(P::WrongPublisher),
            "Download mislukt : het installatieprogramma is niet van de verwachte uitgever");
  EXPECT_EQ(RefusalText(P::Unverifiable),
            "Download mislukt : de handtekening kan niet worden gecontroleerd");
  EXPECT_EQ(RefusalText(P::TooOld),
            "Download mislukt : het installatieprogramma is een te oude versie");
}

}  // namespace
}  // namespace corvan::app
