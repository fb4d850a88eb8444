#include "app/SetupSignature.h"

#include <gtest/gtest.h>

namespace corvan::app {
namespace {

using namespace trust;
using P = SignatureProblem;

constexpr ExpectedPublisher kPublisher{"uvnc bvba", ""};

// What the trust API reports for a good file of the expected publisher.
SignatureFacts Good() {
  SignatureFacts f;
  f.chainKnown = true;
  f.signerName = "uvnc bvba";
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
  f.signerName = "Andere Uitgever BV";
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

TEST(JudgeSignature, OnlyTheExactPublisherName) {
  for (const char* name : {"Andere Uitgever BV", "UVNC BVBA", "uvnc bvba ", " uvnc bvba",
                           "uvnc bvba\x01", "uvnc", ""}) {
    SignatureFacts f = Good();
    f.signerName = name;
    EXPECT_EQ(JudgeSignature(f, kPublisher), P::WrongPublisher) << '"' << name << '"';
  }
  // A name with an embedded NUL is not the name.
  SignatureFacts f = Good();
  f.signerName = std::string("uvnc bvba\0evil", 14);
  EXPECT_EQ(JudgeSignature(f, kPublisher), P::WrongPublisher);
  // Without an expected name nothing is anyone's.
  EXPECT_EQ(JudgeSignature(Good(), ExpectedPublisher{"", ""}), P::WrongPublisher);
}

TEST(JudgeSignature, APinnedThumbprintMustMatch) {
  const ExpectedPublisher pinned{"uvnc bvba",
                                 "01 23 45 67 89 AB CD EF 01 23 45 67 89 ab cd ef 01 23 45 67"};
  EXPECT_EQ(JudgeSignature(Good(), pinned), P::None);
  SignatureFacts renewed = Good();
  renewed.signerThumbprint = "1123456789abcdef0123456789abcdef01234567";
  EXPECT_EQ(JudgeSignature(renewed, pinned), P::WrongPublisher);
  renewed.signerThumbprint.clear();
  EXPECT_EQ(JudgeSignature(renewed, pinned), P::WrongPublisher);
  // The right certificate under another name is still refused.
  SignatureFacts renamed = Good();
  renamed.signerName = "Andere Uitgever BV";
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
}

}  // namespace
}  // namespace corvan::app
