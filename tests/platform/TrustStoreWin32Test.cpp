// The root store handed to libcurl on Windows: what the current user's ROOT store holds, as PEM
// that an independent encoder (openssl) would write. Under Wine adding to the user's Root store
// asks nobody; Windows would ask the user to confirm.

#include <gtest/gtest.h>
#include <windows.h>
// wincrypt.h needs windows.h first.
#include <wincrypt.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Platform.h"

namespace platform {
namespace {

// A self-signed EC root made for this test with `openssl req -x509`, as openssl writes it.
constexpr const char* kTestRootPem = R"(-----BEGIN CERTIFICATE-----
MIIBqDCCAU+gAwIBAgIUFbVrfb67Qgj/g7nbs0W6ZY09Z3UwCgYIKoZIzj0EAwIw
KTEnMCUGA1UEAwweS2VzdHJ1bmUgdHJ1c3Qgc3RvcmUgdGVzdCByb290MCAXDTI2
MTIxMTE0MjMwNloYDzIxMjYxMTE3MTQyMzA2WjApMScwJQYDVQQDDB5LZXN0cnVu
ZSB0cnVzdCBzdG9yZSB0ZXN0IHJvb3QwWTATBgcqhkjOPQIBBggqhkjOPQMBBwNC
AARDMyokTcOIzvUWI5r95VsMHy63PNO4zZ2HoUuTfIHwywyU3dPLJt6jeVWbEZGM
ys24N8DAkS1gm6O1a5Tx/BLVo1MwUTAdBgNVHQ4EFgQUOsvWV36bOg+mszNN7t0b
exxhTFwwHwYDVR0jBBgwFoAUOsvWV36bOg+mszNN7t0bexxhTFwwDwYDVR0TAQH/
BAUwAwEB/zAKBggqhkjOPQQDAgNHADBEAiBFiEMabPFkGL/yO2qVvock83vwt9no
GfL7eehzMAQv4wIgIXhTbni5Rrm8djkJp3CseIsKFJaS8l9SxZflWkcd8pw=
-----END CERTIFICATE-----
)";

std::string WithoutCarriageReturns(std::string text) {
  std::erase(text, '\r');
  return text;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(store, 0); }
};

std::vector<BYTE> TestRootDer() {
  DWORD size = 0;
  CryptStringToBinaryA(kTestRootPem, 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                       nullptr);
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(kTestRootPem, 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                            nullptr))
    throw std::runtime_error("the test root does not decode");
  der.resize(size);
  return der;
}

// Adds the test root to the current user's Root store, or takes it out again, in the registry
// that backs it: Wine writes a change there when the store is closed (so each change has a
// store of its own), and a deletion made through the system store's view stays in memory.
void ChangeUserRoots(bool add) {
  std::unique_ptr<void, StoreCloser> store(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                                         CERT_SYSTEM_STORE_CURRENT_USER, L"Root"));
  if (!store) throw std::runtime_error("the Root store does not open");
  std::vector<BYTE> der = TestRootDer();
  const auto size = static_cast<DWORD>(der.size());
  if (add) {
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
      throw std::runtime_error("the test root is not added");
    return;
  }
  const CERT_CONTEXT* wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
  if (wanted == nullptr) throw std::runtime_error("the test root does not parse");
  const CERT_CONTEXT* found = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                         CERT_FIND_EXISTING, wanted, nullptr);
  CertFreeCertificateContext(wanted);
  // Deleting frees the context, also when it fails.
  if (found != nullptr) CertDeleteCertificateFromStore(found);
}

// The test root among the user's roots for the life of this object.
class AddedRoot {
 public:
  AddedRoot() { ChangeUserRoots(true); }
  AddedRoot(const AddedRoot&) = delete;
  AddedRoot& operator=(const AddedRoot&) = delete;
  ~AddedRoot() { Remove(); }

  void Remove() {
    if (added_) ChangeUserRoots(false);
    added_ = false;
  }

 private:
  bool added_ = true;
};

TEST(TrustStoreWin32, HoldsTheUsersRootsAsPemBlocks) {
  AddedRoot root;
  const std::string pem = WithoutCarriageReturns(SystemRootCertificatesPem());
  EXPECT_NE(pem.find(kTestRootPem), std::string::npos) << pem.substr(0, 1000);
  // Wine's prefix comes with the common roots; every one is a whole block.
  const std::size_t begins = Count(pem, "-----BEGIN CERTIFICATE-----\n");
  EXPECT_GT(begins, 1u);
  EXPECT_EQ(begins, Count(pem, "\n-----END CERTIFICATE-----\n"));

  root.Remove();
  EXPECT_EQ(WithoutCarriageReturns(SystemRootCertificatesPem()).find(kTestRootPem),
            std::string::npos);
}

}  // namespace
}  // namespace platform
