// The system's TLS provider (SChannel) through SSPI, and the check of the
// peer's certificate against the machine's trusted roots and the host name.
// SChannel is asked not to validate on its own (Wine's does not anyway):
// the check below runs the same way on Windows and under Wine.
#define SECURITY_WIN32
// SCH_CREDENTIALS, the structure that can negotiate TLS 1.3.
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
// The security headers need windows.h first; subauth.h brings the
// UNICODE_STRING of SCH_CREDENTIALS.
#include <subauth.h>
// schannel.h after subauth.h
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/SystemLibrary.h"
#include "common/UniqueHandle.h"
#include "net/socket/TlsSession.h"

namespace corvan::net {
namespace {

// SSPI and the certificate functions are bound from the system folder when
// a connection first asks for TLS: most runs of the program never do, and
// a DLL of the same name beside the program is never loaded.
const SecurityFunctionTableW* Sspi() {
  static const SecurityFunctionTableW* const table = [] {
    const auto init =
        SystemFunction<INIT_SECURITY_INTERFACE_W>("secur32.dll", "InitSecurityInterfaceW");
    return init ? init() : nullptr;
  }();
  return table;
}

struct CryptApi {
  template <class F>
  static F Bind(const char* name) {
    return SystemFunction<F>("crypt32.dll", name);
  }
  decltype(&CertFreeCertificateContext) freeCertificate =
      Bind<decltype(&CertFreeCertificateContext)>("CertFreeCertificateContext");
  decltype(&CertFreeCertificateChain) freeChain =
      Bind<decltype(&CertFreeCertificateChain)>("CertFreeCertificateChain");
  decltype(&CertGetCertificateChain) getChain =
      Bind<decltype(&CertGetCertificateChain)>("CertGetCertificateChain");
  decltype(&CertVerifyCertificateChainPolicy) verifyPolicy =
      Bind<decltype(&CertVerifyCertificateChainPolicy)>("CertVerifyCertificateChainPolicy");
  decltype(&CertFindExtension) findExtension =
      Bind<decltype(&CertFindExtension)>("CertFindExtension");
  bool Complete() const {
    return freeCertificate && freeChain && getChain && verifyPolicy && findExtension;
  }
};

const CryptApi& Crypt() {
  static const CryptApi api;
  return api;
}

// A table without credentials never hands out a context: these run only
// with a table present.
SECURITY_STATUS SEC_ENTRY FreeCredentials(SecHandle* h) { return Sspi()->FreeCredentialsHandle(h); }
SECURITY_STATUS SEC_ENTRY DeleteContext(SecHandle* h) { return Sspi()->DeleteSecurityContext(h); }
void FreeCertificate(PCCERT_CONTEXT c) { Crypt().freeCertificate(c); }
void FreeChain(PCCERT_CHAIN_CONTEXT c) { Crypt().freeChain(c); }
void FreeSspiBuffer(void* p) { Sspi()->FreeContextBuffer(p); }
using ScopedCertificate = UniqueHandle<PCCERT_CONTEXT, FreeCertificate>;
using ScopedChain = UniqueHandle<PCCERT_CHAIN_CONTEXT, FreeChain>;
using ScopedSspiBuffer = UniqueHandle<void*, FreeSspiBuffer>;

// An SSPI handle pair with its release function; both halves 0 is none.
template <SECURITY_STATUS(SEC_ENTRY* Release)(SecHandle*)>
class ScopedSecHandle {
 public:
  ScopedSecHandle() = default;
  ScopedSecHandle(const ScopedSecHandle&) = delete;
  ScopedSecHandle& operator=(const ScopedSecHandle&) = delete;
  ~ScopedSecHandle() {
    if (*this) Release(&handle_);
  }
  explicit operator bool() const { return handle_.dwLower != 0 || handle_.dwUpper != 0; }
  SecHandle* get() { return *this ? &handle_ : nullptr; }
  SecHandle* out() { return &handle_; }

 private:
  SecHandle handle_{};
};

std::wstring Wide(const std::string& text) {
  std::wstring out(text.size() + 1, L'\0');
  const int n =
      MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
  return out;
}

std::string Hex(unsigned long code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", code);
  return text;
}

// Whether a certificate names a place to look its revocation up (CRL
// distribution points or an OCSP responder): without one the system cannot
// check it.
bool NamesRevocationSource(PCCERT_CONTEXT cert) {
  const CERT_INFO* info = cert->pCertInfo;
  return Crypt().findExtension(szOID_CRL_DIST_POINTS, info->cExtension, info->rgExtension) ||
         Crypt().findExtension(szOID_AUTHORITY_INFO_ACCESS, info->cExtension, info->rgExtension);
}

// The chain's faults, worst first, in words; empty when it has none that
// matters. Revocation is looked up for every certificate below the root:
// an unknown status passes only when the lookup could not reach its source
// (offline) or the certificate names none.
std::string ChainFault(PCCERT_CHAIN_CONTEXT chain) {
  DWORD status = chain->TrustStatus.dwErrorStatus;
  bool revocationUnknown = false;
  if (chain->cChain > 0) {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    for (DWORD i = 0; i < simple->cElement; ++i) {
      const CERT_CHAIN_ELEMENT* element = simple->rgpElement[i];
      const DWORD own = element->TrustStatus.dwErrorStatus;
      if ((own & CERT_TRUST_REVOCATION_STATUS_UNKNOWN) &&
          !(own & CERT_TRUST_IS_OFFLINE_REVOCATION) && NamesRevocationSource(element->pCertContext))
        revocationUnknown = true;
    }
  }
  status &=
      ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
  if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
    return "the server's certificate is not issued by an authority this computer trusts";
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID)
    return "the server's certificate has an invalid signature";
  if (status & CERT_TRUST_IS_REVOKED) return "the server's certificate has been revoked";
  if (status & CERT_TRUST_IS_NOT_TIME_VALID)
    return "the server's certificate has expired or is not valid yet";
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
    return "the server's certificate is not meant for a server";
  if (status != 0) return "the server's certificate cannot be verified (" + Hex(status) + ")";
  if (revocationUnknown) return "whether the server's certificate was revoked cannot be checked";
  return "";
}

// Whether host is one of the certificate's names (TlsSession.h), read from
// the certificate's encoding; names: those it has, for the message.
bool PeerNamesHost(PCCERT_CONTEXT cert, const std::string& host, std::string& names) {
  const CERT_INFO* info = cert->pCertInfo;
  CertificateNames found;
  const PCERT_EXTENSION ext =
      Crypt().findExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if ((ext && !ReadAltNames(ext->Value.pbData, ext->Value.cbData, found)) ||
      !ReadCommonNames(info->Subject.pbData, info->Subject.cbData, found))
    return false;
  const auto add = [&names](const std::string& name) {
    names += (names.empty() ? "" : ", ") + name;
  };
  for (const std::string& name : found.dns) add(name.find('\0') == std::string::npos ? name : "?");
  for (const std::string& ip : found.ip) {
    if (ip.size() == 4)
      add(std::to_string(static_cast<unsigned char>(ip[0])) + "." +
          std::to_string(static_cast<unsigned char>(ip[1])) + "." +
          std::to_string(static_cast<unsigned char>(ip[2])) + "." +
          std::to_string(static_cast<unsigned char>(ip[3])));
  }
  if (!found.altNames && !found.commonNames.empty()) add(found.commonNames.back());
  return CertificateNamesHost(found, host);
}

class SchannelProvider final : public TlsProvider {
 public:
  explicit SchannelProvider(const std::string& host) : host_(host), wideHost_(Wide(host)) {
    sspi_ = Sspi();
    if (!sspi_ || !Crypt().Complete()) return;
    // Nothing older than TLS 1.2, strong ciphers only. SCH_CREDENTIALS is
    // the structure that can negotiate TLS 1.3; systems before it know only
    // SCHANNEL_CRED, and those without TLS 1.3 refuse a set naming it.
    constexpr DWORD kFlags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols =
        ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = kFlags;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.dwFlags = kFlags;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
    if (Acquire(&modern) || Acquire(&older)) return;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    Acquire(&older);
  }

  Result Handshake(const std::uint8_t* input, std::size_t size, std::string& output,
                   std::size_t& consumed) override {
    consumed = 0;
    if (!credentials_) return Failed("the system's TLS provider is not available");
    for (int attempt = 0; attempt < 2; ++attempt) {
      SecBuffer in[2] = {
          {static_cast<ULONG>(size), SECBUFFER_TOKEN, const_cast<std::uint8_t*>(input)},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc inDesc{SECBUFFER_VERSION, 2, in};
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
      ULONG attributes = 0;
      TimeStamp expiry;
      const bool first = !context_;
      status_ = sspi_->InitializeSecurityContextW(
          credentials_.get(), context_.get(), wideHost_.data(), kRequest, 0, 0,
          first && !input ? nullptr : &inDesc, 0, first ? context_.out() : nullptr, &outDesc,
          &attributes, &expiry);
      ScopedSspiBuffer token(out[0].pvBuffer);
      if (out[0].cbBuffer && out[0].pvBuffer)
        output.append(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer);
      if (status_ == SEC_E_INCOMPLETE_MESSAGE) return Result::kIncomplete;
      // The server asks for a client certificate: go on without one.
      if (status_ == SEC_I_INCOMPLETE_CREDENTIALS) continue;
      if (status_ != SEC_E_OK && status_ != SEC_I_CONTINUE_NEEDED)
        return Failed("the secure connection to " + host_ + " could not be set up (" +
                      Hex(static_cast<unsigned long>(status_)) + ")");
      const std::size_t extra = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
      consumed = extra <= size ? size - extra : size;
      if (status_ == SEC_I_CONTINUE_NEEDED) return Result::kContinue;
      if (sspi_->QueryContextAttributesW(context_.get(), SECPKG_ATTR_STREAM_SIZES, &sizes_) !=
          SEC_E_OK)
        return Failed("the system's TLS provider gives no record sizes");
      return Result::kDone;
    }
    return Failed("the server at " + host_ + " demands a client certificate");
  }

  Result Decrypt(std::uint8_t* input, std::size_t size, std::string& plain,
                 std::size_t& consumed) override {
    consumed = 0;
    SecBuffer buffers[4] = {{static_cast<ULONG>(size), SECBUFFER_DATA, input},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    status_ = sspi_->DecryptMessage(context_.get(), &desc, 0, nullptr);
    if (status_ == SEC_E_INCOMPLETE_MESSAGE) return Result::kIncomplete;
    if (status_ != SEC_E_OK && status_ != SEC_I_RENEGOTIATE && status_ != SEC_I_CONTEXT_EXPIRED)
      return Failed("a record from " + host_ + " could not be decrypted (" +
                    Hex(static_cast<unsigned long>(status_)) + ")");
    std::size_t extra = 0;
    for (const SecBuffer& b : buffers) {
      if (b.BufferType == SECBUFFER_DATA && b.pvBuffer)
        plain.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
      if (b.BufferType == SECBUFFER_EXTRA) extra = b.cbBuffer;
    }
    consumed = extra <= size ? size - extra : size;
    if (status_ == SEC_I_CONTEXT_EXPIRED) return Result::kClosed;
    return status_ == SEC_I_RENEGOTIATE ? Result::kRenegotiate : Result::kDone;
  }

  bool Encrypt(const std::uint8_t* data, std::size_t size, std::string& output) override {
    const std::size_t at = output.size();
    output.resize(at + sizes_.cbHeader + size + sizes_.cbTrailer);
    char* record = output.data() + at;
    std::memcpy(record + sizes_.cbHeader, data, size);
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record},
        {static_cast<ULONG>(size), SECBUFFER_DATA, record + sizes_.cbHeader},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + size},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    status_ = sspi_->EncryptMessage(context_.get(), 0, &desc, 0);
    if (status_ != SEC_E_OK) {
      output.resize(at);
      failure_ = "a record for " + host_ + " could not be encrypted (" +
                 Hex(static_cast<unsigned long>(status_)) + ")";
      return false;
    }
    // The header has its fixed size; the trailer may come out shorter.
    output.resize(at + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    return true;
  }

  std::size_t MaxPayload() override { return sizes_.cbMaximumMessage; }

  std::string CheckPeer() override {
    PCCERT_CONTEXT raw = nullptr;
    if (!context_ ||
        sspi_->QueryContextAttributesW(context_.get(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &raw) !=
            SEC_E_OK ||
        !raw)
      return "the server " + host_ + " showed no certificate";
    ScopedCertificate cert(raw);

    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT rawChain = nullptr;
    if (!Crypt().getChain(nullptr, cert.get(), nullptr, cert.get()->hCertStore, &para,
                          CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT, nullptr, &rawChain) ||
        !rawChain)
      return "the certificate of " + host_ + " cannot be verified (" + Hex(GetLastError()) + ")";
    ScopedChain chain(rawChain);
    // Wine's chain policy passes some faulty chains (a partial one among
    // them): the status bits decide first.
    if (std::string fault = ChainFault(chain.get()); !fault.empty())
      return fault + " (" + host_ + ")";

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = wideHost_.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    // An unknown revocation status is judged by ChainFault above.
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof verdict;
    std::string names;
    const bool named = PeerNamesHost(cert.get(), host_, names);
    if (!Crypt().verifyPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &verdict))
      return "the certificate of " + host_ + " cannot be verified (" + Hex(GetLastError()) + ")";
    if (!named || verdict.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
      return "the server's certificate is for " + (names.empty() ? "another name" : names) +
             ", not for " + host_;
    if (verdict.dwError != 0)
      return "the certificate of " + host_ + " is refused (" + Hex(verdict.dwError) + ")";
    return "";
  }

  std::string Shutdown() override {
    if (!context_) return "";
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (sspi_->ApplyControlToken(context_.get(), &controlDesc) != SEC_E_OK) return "";
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    TimeStamp expiry;
    const SECURITY_STATUS s = sspi_->InitializeSecurityContextW(
        credentials_.get(), context_.get(), wideHost_.data(), kRequest, 0, 0, nullptr, 0, nullptr,
        &outDesc, &attributes, &expiry);
    ScopedSspiBuffer token(out.pvBuffer);
    if ((s != SEC_E_OK && s != SEC_I_CONTEXT_EXPIRED) || !out.pvBuffer) return "";
    return std::string(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
  }

  std::string Failure() override { return failure_; }

 private:
  static constexpr ULONG kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                    ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                    ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

  bool Acquire(void* credentials) {
    TimeStamp expiry;
    status_ = sspi_->AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                               SECPKG_CRED_OUTBOUND, nullptr, credentials, nullptr,
                                               nullptr, credentials_.out(), &expiry);
    return status_ == SEC_E_OK;
  }

  Result Failed(std::string why) {
    failure_ = std::move(why);
    return Result::kFailed;
  }

  std::string host_;
  std::wstring wideHost_;
  const SecurityFunctionTableW* sspi_ = nullptr;  // the process's table, never freed
  ScopedSecHandle<FreeCredentials> credentials_;
  ScopedSecHandle<DeleteContext> context_;
  SecPkgContext_StreamSizes sizes_{};
  SECURITY_STATUS status_ = SEC_E_OK;
  std::string failure_;
};

}  // namespace

std::unique_ptr<TlsProvider> SystemTlsProvider(const std::string& host) {
  return std::make_unique<SchannelProvider>(host);
}

}  // namespace corvan::net
