// The system's TLS provider (SChannel) through SSPI, and the check of the
// peer's certificate against the machine's trusted roots and the host name.
// SChannel is asked not to validate on its own (Wine's does not anyway):
// the check below runs the same way on Windows and under Wine.
#define SECURITY_WIN32
#include <windows.h>
// The security headers need windows.h first.
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
  decltype(&CryptDecodeObjectEx) decode =
      Bind<decltype(&CryptDecodeObjectEx)>("CryptDecodeObjectEx");
  decltype(&CertGetNameStringW) nameString =
      Bind<decltype(&CertGetNameStringW)>("CertGetNameStringW");
  bool Complete() const {
    return freeCertificate && freeChain && getChain && verifyPolicy && findExtension && decode &&
           nameString;
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
void FreeLocal(void* p) { LocalFree(p); }
using ScopedLocal = UniqueHandle<void*, FreeLocal>;

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

std::string Narrow(const wchar_t* text) {
  char out[512];
  return WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, nullptr) > 0 ? out : "";
}

std::string Hex(unsigned long code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", code);
  return text;
}

// The chain's faults, worst first, in words; empty when it has none that
// matters (revocation is not looked up, so its status is unknown by design).
std::string ChainFault(DWORD status) {
  status &=
      ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
  if (status == 0) return "";
  if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
    return "the server's certificate is not issued by an authority this computer trusts";
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID)
    return "the server's certificate has an invalid signature";
  if (status & CERT_TRUST_IS_REVOKED) return "the server's certificate has been revoked";
  if (status & CERT_TRUST_IS_NOT_TIME_VALID)
    return "the server's certificate has expired or is not valid yet";
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
    return "the server's certificate is not meant for a server";
  return "the server's certificate cannot be verified (" + Hex(status) + ")";
}

// Whether host is one of the certificate's names: its DNS and IP entries
// of subjectAltName, or without those its common name.
bool CertificateNamesHost(PCCERT_CONTEXT cert, const std::string& host, std::string& names) {
  const CERT_INFO* info = cert->pCertInfo;
  PCERT_EXTENSION ext =
      Crypt().findExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (ext) {
    CERT_ALT_NAME_INFO* alt = nullptr;
    DWORD size = 0;
    if (!Crypt().decode(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                        ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &alt, &size))
      return false;
    ScopedLocal owner(alt);
    bool hasNames = false;
    for (DWORD i = 0; i < alt->cAltEntry; ++i) {
      const CERT_ALT_NAME_ENTRY& entry = alt->rgAltEntry[i];
      std::string name;
      if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
        name = Narrow(entry.pwszDNSName);
      } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4) {
        const BYTE* b = entry.IPAddress.pbData;
        name = std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) +
               "." + std::to_string(b[3]);
      } else {
        continue;
      }
      hasNames = true;
      if (CertificateNameMatches(name, host)) return true;
      names += (names.empty() ? "" : ", ") + name;
    }
    if (hasNames) return false;
  }
  wchar_t common[256];
  if (Crypt().nameString(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), common,
                         256) <= 1)
    return false;
  names = Narrow(common);
  return CertificateNameMatches(names, host);
}

class SchannelProvider final : public TlsProvider {
 public:
  explicit SchannelProvider(const std::string& host) : host_(host), wideHost_(Wide(host)) {
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    // Nothing older than TLS 1.2.
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
    TimeStamp expiry;
    sspi_ = Sspi();
    if (!sspi_ || !Crypt().Complete()) return;
    status_ = sspi_->AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                               SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
                                               nullptr, credentials_.out(), &expiry);
    if (status_ != SEC_E_OK) {
      // Systems that do not know TLS 1.3 refuse the whole set.
      cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
      status_ = sspi_->AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                                 SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
                                                 nullptr, credentials_.out(), &expiry);
    }
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
    if (!Crypt().getChain(nullptr, cert.get(), nullptr, cert.get()->hCertStore, &para, 0, nullptr,
                          &rawChain) ||
        !rawChain)
      return "the certificate of " + host_ + " cannot be verified (" + Hex(GetLastError()) + ")";
    ScopedChain chain(rawChain);
    // Wine's chain policy passes some faulty chains (a partial one among
    // them): the status bits decide first.
    if (std::string fault = ChainFault(chain.get()->TrustStatus.dwErrorStatus); !fault.empty())
      return fault + " (" + host_ + ")";

    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = wideHost_.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof verdict;
    std::string names;
    const bool named = CertificateNamesHost(cert.get(), host_, names);
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
