#include "app/SetupSignature.h"

#include <algorithm>
#include <iterator>

#include "crash/analysis/PeImage.h"

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

constexpr std::uint32_t kSecurity = 4;  // the data directory of the certificate table

// The DER length of the SEQUENCE at the start of a signature (definite
// lengths only, as DER has them); 0 when there is none.
std::uint64_t DerSequenceLength(const std::uint8_t* p, std::size_t available) {
  if (available < 2 || p[0] != 0x30) return 0;
  if (p[1] < 0x80) return 2u + p[1];
  const std::size_t count = p[1] & 0x7F;
  if (count == 0 || count > 4 || available < 2 + count) return 0;
  std::uint64_t length = 0;
  for (std::size_t i = 0; i < count; ++i) length = length << 8 | p[2 + i];
  return 2 + count + length;
}

// One WIN_CERTIFICATE entry that fills the whole table, at the file's end,
// whose signature fills the entry but for up to 7 zero bytes of padding.
bool CertificateTableTight(const crash::ImageBytes& file, std::uint64_t fileSize,
                           std::optional<crash::PeDirectory> table) {
  if (!table || table->size < 8 || std::uint64_t{table->rva} + table->size != fileSize)
    return false;
  std::uint8_t head[16] = {};
  if (!file.Read(table->rva, head, sizeof head)) return false;
  const std::uint32_t length =
      head[0] | head[1] << 8 | head[2] << 16 | std::uint32_t{head[3]} << 24;
  if (length < 8 || (length + 7u) / 8u * 8u != table->size) return false;
  const std::uint64_t signature = DerSequenceLength(head + 8, sizeof head - 8);
  if (signature == 0 || signature > length - 8u) return false;
  const std::uint64_t padding = table->size - 8u - signature;
  if (padding >= 8) return false;
  std::uint8_t tail[8] = {};
  if (!file.Read(table->rva + 8u + signature, tail, padding)) return false;
  return std::all_of(tail, tail + padding, [](std::uint8_t b) { return b == 0; });
}

}  // namespace

std::u16string CommonNameValue(std::u16string_view stored) {
  if (!stored.empty() && stored.find(u'\0') == stored.size() - 1) stored.remove_suffix(1);
  return std::u16string(stored);
}

SignatureProblem JudgeSignature(const SignatureFacts& facts, const ExpectedPublisher& publisher) {
  if (facts.trustResult != 0) return FromTrustCode(facts.trustResult);
  if (!facts.chainKnown) return SignatureProblem::Unverifiable;
  if (const auto p = FromChainStatus(facts.chainErrorStatus); p != SignatureProblem::None) return p;
  if (const auto p = FromTrustCode(facts.policyError); p != SignatureProblem::None) return p;
  if (!facts.certificateTableTight || !facts.signerCodeSigning) return SignatureProblem::Invalid;
  if (publisher.name.empty() || facts.signerNames.size() != 1 ||
      facts.signerNames[0] != publisher.name) {
    return SignatureProblem::WrongPublisher;
  }
  if (!publisher.thumbprint.empty() &&
      NormalThumbprint(facts.signerThumbprint) != NormalThumbprint(publisher.thumbprint)) {
    return SignatureProblem::WrongPublisher;
  }
  if (facts.fileVersion < publisher.minVersion) return SignatureProblem::TooOld;
  return SignatureProblem::None;
}

SetupFileFacts ReadSetupFileFacts(const crash::ImageBytes& file, std::uint64_t fileSize) {
  SetupFileFacts facts;
  const crash::PeImage image(file, crash::ImageLayout::File);
  if (!image.Valid()) return facts;
  if (const auto version = image.FileVersion()) facts.fileVersion = version->FileVersion();
  facts.certificateTableTight = CertificateTableTight(file, fileSize, image.Directory(kSecurity));
  return facts;
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
      "het installatieprogramma is een te oude versie",
  };
  static_assert(std::size(kReasons) == static_cast<std::size_t>(SignatureProblem::TooOld) + 1);
  if (problem == SignatureProblem::None) return {};
  const auto index = std::min(static_cast<std::size_t>(problem), std::size(kReasons) - 1);
  return std::string("Download mislukt : ") + kReasons[index];
}

}  // namespace corvan::app
