// Makes a test prefix trust the end-to-end test's root certificate:
//   trust_test_root.exe ROOT.der
// adds it to the machine's "Root" store, after removing the roots of earlier
// runs (same subject), so the store does not grow run by run. Exit code 0
// on success.
#include <windows.h>
// wincrypt.h needs windows.h first.
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "trust_test_root: %s failed (%lu)\n", what, GetLastError());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trust_test_root ROOT.der\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<BYTE> der((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
  if (der.empty()) return Fail("reading the certificate");

  PCCERT_CONTEXT root =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (!root) return Fail("CertCreateCertificateContext");
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  if (!store) return Fail("CertOpenStore");

  // Deleting frees the found context, so every search starts afresh.
  while (PCCERT_CONTEXT old =
             CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                        &root->pCertInfo->Subject, nullptr)) {
    if (!CertDeleteCertificateFromStore(old)) return Fail("CertDeleteCertificateFromStore");
  }
  const BOOL added =
      CertAddCertificateContextToStore(store, root, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  // Wine keeps a reference of the deleted context, so closing the store
  // would not write it back: commit explicitly.
  const BOOL committed = CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
  CertCloseStore(store, 0);
  CertFreeCertificateContext(root);
  if (!added) return Fail("CertAddCertificateContextToStore");
  return committed ? 0 : Fail("CertControlStore");
}
