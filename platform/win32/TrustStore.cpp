#define WIN32_LEAN_AND_MEAN
#include <wincrypt.h>
#include <windows.h>

#include <memory>
#include <string>

#include "Platform.h"
#include "Win32Error.h"

namespace platform {

namespace {

struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(store, 0); }
};

}  // namespace

std::string SystemRootCertificatesPem() {
  // The current user's view of ROOT holds the machine's roots as well as the user's own.
  std::unique_ptr<void, StoreCloser> store(CertOpenSystemStoreW(0, L"ROOT"));
  if (!store) ThrowLastError();
  std::string pem;
  // Each call frees the context it is given, so the loop holds none once it ends.
  for (const CERT_CONTEXT* cert = CertEnumCertificatesInStore(store.get(), nullptr);
       cert != nullptr; cert = CertEnumCertificatesInStore(store.get(), cert)) {
    DWORD size = 0;
    if (!CryptBinaryToStringA(cert->pbCertEncoded, cert->cbCertEncoded, CRYPT_STRING_BASE64HEADER,
                              nullptr, &size))
      continue;
    std::string text(size, '\0');
    // The first call counts the terminating NUL, the second one does not.
    if (!CryptBinaryToStringA(cert->pbCertEncoded, cert->cbCertEncoded, CRYPT_STRING_BASE64HEADER,
                              text.data(), &size))
      continue;
    text.resize(size);
    pem += text;
  }
  return pem;
}

}  // namespace platform
