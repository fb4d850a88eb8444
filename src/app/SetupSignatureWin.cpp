#include <windows.h>
// The trust API's headers need windows.h first.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/SetupSignature.h"
#include "common/SystemLibrary.h"
#include "crash/analysis/PeImage.h"

namespace corvan::app {
namespace {

// wintrust.dll and crypt32.dll are no known system libraries: they are
// loaded from the system folder when first needed, never imported (the
// loader would look beside the program first).
struct TrustApi {
  template <class F>
  static F Trust(const char* name) {
    return SystemFunction<F>("wintrust.dll", name);
  }
  template <class F>
  static F Crypt(const char* name) {
    return SystemFunction<F>("crypt32.dll", name);
  }
  decltype(&WinVerifyTrust) verifyTrust = Trust<decltype(&WinVerifyTrust)>("WinVerifyTrust");
  decltype(&WTHelperProvDataFromStateData) providerData =
      Trust<decltype(&WTHelperProvDataFromStateData)>("WTHelperProvDataFromStateData");
  decltype(&WTHelperGetProvSignerFromChain) signerOf =
      Trust<decltype(&WTHelperGetProvSignerFromChain)>("WTHelperGetProvSignerFromChain");
  decltype(&CryptDecodeObjectEx) decode =
      Crypt<decltype(&CryptDecodeObjectEx)>("CryptDecodeObjectEx");
  decltype(&CertGetEnhancedKeyUsage) keyUsage =
      Crypt<decltype(&CertGetEnhancedKeyUsage)>("CertGetEnhancedKeyUsage");
  decltype(&CertGetCertificateContextProperty) property =
      Crypt<decltype(&CertGetCertificateContextProperty)>("CertGetCertificateContextProperty");
  decltype(&CertVerifyCertificateChainPolicy) chainPolicy =
      Crypt<decltype(&CertVerifyCertificateChainPolicy)>("CertVerifyCertificateChainPolicy");
  bool Complete() const {
    return verifyTrust && providerData && signerOf && decode && keyUsage && property && chainPolicy;
  }
};

const TrustApi& Api() {
  static const TrustApi api;
  return api;
}

std::wstring Widen(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n);
  wide.resize(static_cast<std::size_t>(n - 1));
  return wide;
}

// Every common name of the subject, in UTF-16 as the certificate holds it.
std::vector<std::u16string> CommonNames(PCCERT_CONTEXT cert) {
  std::vector<std::u16string> names;
  CERT_NAME_INFO* info = nullptr;
  DWORD size = 0;
  if (!Api().decode(X509_ASN_ENCODING, X509_UNICODE_NAME, cert->pCertInfo->Subject.pbData,
                    cert->pCertInfo->Subject.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info,
                    &size)) {
    return names;
  }
  for (DWORD r = 0; r < info->cRDN; ++r) {
    const CERT_RDN& rdn = info->rgRDN[r];
    for (DWORD a = 0; a < rdn.cRDNAttr; ++a) {
      const CERT_RDN_ATTR& attr = rdn.rgRDNAttr[a];
      if (std::strcmp(attr.pszObjId, szOID_COMMON_NAME) != 0) continue;
      names.push_back(CommonNameValue({reinterpret_cast<const char16_t*>(attr.Value.pbData),
                                       attr.Value.cbData / sizeof(char16_t)}));
    }
  }
  LocalFree(info);
  return names;
}

// The certificate's own extended key usage extension names code signing
// (a certificate without the extension is not taken as valid for any use).
bool ForCodeSigning(PCCERT_CONTEXT cert) {
  DWORD size = 0;
  if (!Api().keyUsage(cert, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size) || size == 0) {
    return false;
  }
  std::vector<BYTE> buffer(size);
  auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
  if (!Api().keyUsage(cert, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) {
    return false;
  }
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) return true;
  }
  return false;
}

// The open file's bytes at any offset, read through its handle.
class HandleBytes final : public crash::ImageBytes {
 public:
  explicit HandleBytes(HANDLE file) : file_(file) {}
  bool Read(std::uint64_t offset, void* out, std::size_t size) const override {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return size == 0 ||
           (ReadFile(file_, out, static_cast<DWORD>(size), &read, &at) && read == size);
  }

 private:
  HANDLE file_;
};

std::string Thumbprint(PCCERT_CONTEXT cert) {
  BYTE hash[20] = {};
  DWORD size = sizeof hash;
  if (!Api().property(cert, CERT_SHA1_HASH_PROP_ID, hash, &size)) return {};
  std::string hex;
  for (DWORD i = 0; i < size; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", hash[i]);
    hex += digits;
  }
  return hex;
}

// The signer's chain as the provider built it: its status bits, the
// Authenticode policy's answer and the signing certificate. The provider
// answers S_OK under Wine without having judged the chain, so this is
// read whatever it answered.
void ReadSignerChain(HANDLE state, SignatureFacts& facts) {
  CRYPT_PROVIDER_DATA* provider = Api().providerData(state);
  if (!provider) return;
  CRYPT_PROVIDER_SGNR* signer = Api().signerOf(provider, 0, FALSE, 0);
  if (!signer || !signer->pChainContext) return;
  PCCERT_CHAIN_CONTEXT chain = signer->pChainContext;
  if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) return;
  facts.chainKnown = true;
  facts.chainErrorStatus = chain->TrustStatus.dwErrorStatus;

  CERT_CHAIN_POLICY_PARA para{};
  para.cbSize = sizeof para;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  facts.policyError = Api().chainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &para, &status)
                          ? status.dwError
                          : static_cast<std::uint32_t>(HRESULT_FROM_WIN32(GetLastError()));

  PCCERT_CONTEXT leaf = chain->rgpChain[0]->rgpElement[0]->pCertContext;
  facts.signerNames = CommonNames(leaf);
  facts.signerCodeSigning = ForCodeSigning(leaf);
  facts.signerThumbprint = Thumbprint(leaf);
}

}  // namespace

ScopedHandle OpenSetupForCheck(const std::string& path) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  return ScopedHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

SignatureFacts ReadSignatureFacts(void* file, const std::string& path) {
  SignatureFacts facts;
  if (!Api().Complete()) return facts;  // unverifiable, so refused
  try {
    const std::wstring widePath = Widen(path);
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = widePath.c_str();
    fileInfo.hFile = file;

    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // Nothing is fetched from the network: the check must not depend on
    // the very connection it distrusts.
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND noUi = static_cast<HWND>(INVALID_HANDLE_VALUE);
    facts.trustResult = static_cast<std::uint32_t>(Api().verifyTrust(noUi, &action, &data));
    // The provider's state is released however the reading below ends.
    struct StateCloser {
      WINTRUST_DATA& data;
      GUID& action;
      HWND noUi;
      ~StateCloser() {
        if (!data.hWVTStateData) return;
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        Api().verifyTrust(noUi, &action, &data);
      }
    } closer{data, action, noUi};
    if (data.hWVTStateData) ReadSignerChain(data.hWVTStateData, facts);
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size)) {
      const SetupFileFacts own =
          ReadSetupFileFacts(HandleBytes(file), static_cast<std::uint64_t>(size.QuadPart));
      facts.certificateTableTight = own.certificateTableTight;
      facts.fileVersion = own.fileVersion;
    }
  } catch (...) {
    // Out of memory: unverified, so refused.
    return {};
  }
  return facts;
}

}  // namespace corvan::app
