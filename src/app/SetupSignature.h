#pragma once
// Whether a downloaded setup program may run: its Authenticode signature
// must be intact, its certificate chain must end in a trusted root with no
// certificate expired, and its signer must be the expected publisher.
//
// The decision is portable and fails closed: the Windows half only gathers
// the facts (the trust provider's answer, the signer chain's status bits,
// the Authenticode chain policy's answer and the signer's certificate).
// Wine's trust provider answers S_OK for untrusted roots, partial chains
// and expired certificates whenever the signer's certificate is signed with
// SHA-256, and its chain policy passes a partial chain: so the status bits
// decide as much as the provider's answer, and any bit not known to be
// harmless refuses the file.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include "common/WinHandles.h"
#endif

namespace corvan::crash {
class ImageBytes;
}

namespace corvan::app {

// Who signs the setups the web host serves. UltraVNC's setups carry the
// signature of "uvnc bvba"; its certificate's thumbprint is not pinned
// (empty), since a renewed certificate would then lock users out until a
// new corvan.exe is out. When pinned, it is the certificate's SHA-1 hash in
// hexadecimal (any case, blanks ignored).
//
// minVersion is the oldest setup that runs (the file version of its
// version resource, most significant part first): an attacker on the
// plain-HTTP download cannot serve an older genuine setup with known holes.
struct ExpectedPublisher {
  std::u16string_view name;     // the signer certificate's one common name, exactly
  std::string_view thumbprint;  // empty: any certificate with that name
  std::uint64_t minVersion = 0;
};

// A file version "a.b.c.d" as the version resource stores it.
constexpr std::uint64_t SetupVersion(std::uint16_t a, std::uint16_t b, std::uint16_t c,
                                     std::uint16_t d) {
  return std::uint64_t{a} << 48 | std::uint64_t{b} << 32 | std::uint64_t{c} << 16 | d;
}
inline constexpr std::uint64_t kSetupMinVersion = SetupVersion(1, 4, 3, 6);
inline constexpr ExpectedPublisher kSetupPublisher{u"uvnc bvba", "", kSetupMinVersion};

// What the system's trust API found for one file.
struct SignatureFacts {
  std::uint32_t trustResult = 0;  // WinVerifyTrust's HRESULT
  // The signer's chain as the trust provider built it; absent when the
  // provider gave none (then nothing past trustResult is known).
  bool chainKnown = false;
  std::uint32_t chainErrorStatus = 0;  // CERT_TRUST_* error bits of the whole chain
  std::uint32_t policyError = 0;       // Authenticode chain policy's dwError (0: passed)
  // The signing certificate: its common names as stored (UTF-16, never
  // converted to a code page, which would fold look-alike letters), whether
  // its extended key usage names code signing (Wine's chain never reports
  // a wrong usage), and its SHA-1 hash in lower-case hexadecimal.
  std::vector<std::u16string> signerNames;
  bool signerCodeSigning = false;
  std::string signerThumbprint;
  // Read from the file by us (ReadSetupFileFacts).
  bool certificateTableTight = false;
  std::uint64_t fileVersion = 0;  // 0: no version resource
};

// A common name as the certificate decoder hands out its value. Wine counts
// the terminating NUL in the value's length: a single NUL as the very last
// character is that terminator and is dropped. A NUL anywhere else stays,
// so "name\0more" (or "name\0\0") never passes for "name".
std::u16string CommonNameValue(std::u16string_view stored);

// What the file itself says, read through its bytes: whether its
// certificate table holds one signature and nothing else (no bytes after
// the signature's own length beyond zero padding to 8, no second entry,
// nothing after the table: bytes there are outside the signed hash), and
// the file version of its version resource.
struct SetupFileFacts {
  bool certificateTableTight = false;
  std::uint64_t fileVersion = 0;
};
SetupFileFacts ReadSetupFileFacts(const crash::ImageBytes& file, std::uint64_t fileSize);

enum class SignatureProblem {
  None,            // may run
  Unsigned,        // no signature at all
  Invalid,         // changed since signing, or a broken signature
  Untrusted,       // chain ends in no trusted root, or stops before any root
  Expired,         // a certificate of the chain is outside its validity
  Revoked,         // a certificate of the chain is revoked or distrusted
  WrongPublisher,  // valid, but signed by someone else
  Unverifiable,    // the check itself failed (file unreadable, API error)
  TooOld,          // the publisher's, but older than ExpectedPublisher::minVersion
};

// Fails closed: anything not positively known to be good is a problem.
SignatureProblem JudgeSignature(const SignatureFacts& facts,
                                const ExpectedPublisher& publisher = kSetupPublisher);

// The installer's status text for a refused setup ("Download mislukt : " +
// the reason in Dutch); empty for None.
std::string RefusalText(SignatureProblem problem);

// The trust API's codes the decision knows by name (winerror.h, wincrypt.h).
namespace trust {
inline constexpr std::uint32_t kNoSignature = 0x800B0100;         // TRUST_E_NOSIGNATURE
inline constexpr std::uint32_t kSubjectFormUnknown = 0x800B0003;  // TRUST_E_SUBJECT_FORM_UNKNOWN
inline constexpr std::uint32_t kBadDigest = 0x80096010;           // TRUST_E_BAD_DIGEST
inline constexpr std::uint32_t kCertSignature = 0x80096004;       // TRUST_E_CERT_SIGNATURE
inline constexpr std::uint32_t kExpired = 0x800B0101;             // CERT_E_EXPIRED
inline constexpr std::uint32_t kUntrustedRoot = 0x800B0109;       // CERT_E_UNTRUSTEDROOT
inline constexpr std::uint32_t kChaining = 0x800B010A;            // CERT_E_CHAINING
inline constexpr std::uint32_t kCertRevoked = 0x800B010C;         // CERT_E_REVOKED
inline constexpr std::uint32_t kExplicitDistrust = 0x800B0111;    // TRUST_E_EXPLICIT_DISTRUST
inline constexpr std::uint32_t kCryptRevoked = 0x80092010;        // CRYPT_E_REVOKED
inline constexpr std::uint32_t kFileError = 0x80092003;           // CRYPT_E_FILE_ERROR

// CERT_TRUST_* error status bits of a chain.
inline constexpr std::uint32_t kNotTimeValid = 0x00000001;
inline constexpr std::uint32_t kNotTimeNested = 0x00000002;
inline constexpr std::uint32_t kIsRevoked = 0x00000004;
inline constexpr std::uint32_t kNotSignatureValid = 0x00000008;
inline constexpr std::uint32_t kNotValidForUsage = 0x00000010;
inline constexpr std::uint32_t kIsUntrustedRoot = 0x00000020;
inline constexpr std::uint32_t kRevocationStatusUnknown = 0x00000040;
inline constexpr std::uint32_t kIsCyclic = 0x00000080;
inline constexpr std::uint32_t kIsPartialChain = 0x00010000;
inline constexpr std::uint32_t kIsOfflineRevocation = 0x01000000;
inline constexpr std::uint32_t kNoIssuanceChainPolicy = 0x02000000;
inline constexpr std::uint32_t kIsExplicitDistrust = 0x04000000;
}  // namespace trust

#ifdef _WIN32
// Opens a file for its check and its start: for reading, shared with
// readers only, so that while the handle is held nobody can write, rename
// or delete it, and the program in it can still be started. Empty when the
// file cannot be opened so.
ScopedHandle OpenSetupForCheck(const std::string& path);

// Gathers the facts for an open file through the system's trust API
// (no user interface, no revocation check, no network). The file is read
// through `file` only; `path` names it for the provider. Never throws.
SignatureFacts ReadSignatureFacts(void* file, const std::string& path);
#endif

}  // namespace corvan::app
