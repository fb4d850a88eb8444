#include "app/SetupSignature.h"

#include <algorithm>
#include <iterator>

namespace corvan::app {
namespace {

using namespace trust;

// Revocation is not asked for (no network), and no issuance policy: the
// bits that only report on those say nothing about this file.
constexpr std::uint32_t kHarmlessBits =
    kRevocationStatusUnknown | kIsOfflineRevocation | kNoIssuanceChainPolicy;

// The provider's and the chain policy's error codes.
SignatureProblem FromTrustCode(std::uint32_t code) {
  switch (code) {
    case 0:
      return SignatureProblem::None;
    case kNoSignature:
    case kSubjectFormUnknown:
      return SignatureProblem::Unsigned;
    case kExpired:
      return SignatureProblem::Expired;
    case kUntrustedRoot:
    case kChaining:
      return SignatureProblem::Untrusted;
    case kCertRevoked:
    case kCryptRevoked:
    case kExplicitDistrust:
      return SignatureProblem::Revoked;
    case kFileError:
      return SignatureProblem::Unverifiable;
    default:
      break;
  }
  // Win32 errors wrapped as HRESULTs (the file could not be read, memory,
  // a missing provider): the check did not happen.
  if ((code & 0xFFFF0000u) == 0x80070000u) return SignatureProblem::Unverifiable;
  // Anything else is a signature the provider would not accept.
  return SignatureProblem::Invalid;
}

// The chain's own status, worst first.
SignatureProblem FromChainStatus(std::uint32_t bits) {
  bits &= ~kHarmlessBits;
  if (bits == 0) return SignatureProblem::None;
  if (bits & (kIsRevoked | kIsExplicitDistrust)) return SignatureProblem::Revoked;
  if (bits & kNotSignatureValid) return SignatureProblem::Invalid;
  if (bits & (kIsUntrustedRoot | kIsPartialChain | kIsCyclic)) return SignatureProblem::Untrusted;
  if (bits & (kNotTimeValid | kNotTimeNested)) return SignatureProblem::Expired;
  // Wrong usage, bad extensions or constraints, unknown bits.
  return SignatureProblem::Invalid;
}

// Hexadecimal digits only, lower case: thumbprints are written with blanks
// and in either case.
std::string NormalThumbprint(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return out;
}

}  // namespace

SignatureProblem JudgeSignature(const SignatureFacts& facts, const ExpectedPublisher& publisher) {
  if (facts.trustResult != 0) return FromTrustCode(facts.trustResult);
  if (!facts.chainKnown) return SignatureProblem::Unverifiable;
  if (const auto p = FromChainStatus(facts.chainErrorStatus); p != SignatureProblem::None) return p;
  if (const auto p = FromTrustCode(facts.policyError); p != SignatureProblem::None) return p;
  if (publisher.name.empty() || facts.signerName != publisher.name) {
    return SignatureProblem::WrongPublisher;
  }
  if (!publisher.thumbprint.empty() &&
      NormalThumbprint(facts.signerThumbprint) != NormalThumbprint(publisher.thumbprint)) {
    return SignatureProblem::WrongPublisher;
  }
  return SignatureProblem::None;
}

std::string RefusalText(SignatureProblem problem) {
  // In the order of SignatureProblem.
  static constexpr const char* kReasons[] = {
      "",
      "het installatieprogramma is niet ondertekend",
      "de handtekening is ongeldig",
      "het certificaat van de handtekening wordt niet vertrouwd",
      "het certificaat van de handtekening is verlopen",
      "het certificaat van de handtekening is ingetrokken",
      "het installatieprogramma is niet van de verwachte uitgever",
      "de handtekening kan niet worden gecontroleerd",
  };
  static_assert(std::size(kReasons) ==
                static_cast<std::size_t>(SignatureProblem::Unverifiable) + 1);
  if (problem == SignatureProblem::None) return {};
  const auto index = std::min(static_cast<std::size_t>(problem), std::size(kReasons) - 1);
  return std::string("Download mislukt : ") + kReasons[index];
}

}  // namespace corvan::app
