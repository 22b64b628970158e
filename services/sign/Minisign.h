#pragma once
// Ed25519 signatures in the minisign format (keys, signatures, trusted comments), over
// libsodium, so that files signed by the minisign tool and by the publisher are alike.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrune::minisign {

class SignatureError : public std::runtime_error {
 public:
  enum class Kind {
    Malformed,          // not a key or signature file of this format
    OtherKey,           // made by another key (the key ids differ)
    BadSignature,       // the signature does not match the data
    BadTrustedComment,  // the global signature does not cover this trusted comment
    WrongPassphrase,    // a secret key that does not open with the passphrase given
  };
  SignatureError(Kind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

struct PublicKey {
  std::array<unsigned char, 8> keyId{};
  std::array<unsigned char, 32> key{};
};

struct SecretKey {
  std::array<unsigned char, 8> keyId{};
  std::array<unsigned char, 64> key{};  // libsodium's Ed25519 secret key (seed and public key)
  PublicKey Public() const;
};

// A new key pair from the system's random source.
SecretKey GenerateKey();

// The public key from its base64 line, or from a whole ".pub" file (comment line, key line).
// Throws SignatureError(Malformed).
PublicKey ParsePublicKey(std::string_view text);
// The ".pub" file text: "untrusted comment: minisign public key <ID>\n" and the base64 line.
std::string FormatPublicKey(const PublicKey& key);
// The base64 line alone, as -DKESTRUNE_PUBLIC_KEY takes it.
std::string PublicKeyLine(const PublicKey& key);

// A ".key" file: encrypted with scrypt under `passphrase`, or stored in the clear when it is
// nullopt (minisign -W). Throws SignatureError (Malformed, WrongPassphrase).
SecretKey ParseSecretKey(std::string_view text, const std::optional<std::string>& passphrase);
std::string FormatSecretKey(const SecretKey& key, const std::optional<std::string>& passphrase);

// The ".minisig" text for `data`: prehashed (BLAKE2b-512 of the data, algorithm "ED"), with
// `trustedComment` covered by the global signature. Neither comment may hold a line end.
std::string Sign(const SecretKey& key, std::string_view data, const std::string& trustedComment,
                 const std::string& untrustedComment = "signature from kestrune-publish");

// Checks `signature` (".minisig" text; prehashed "ED" or plain "Ed") over `data` against
// `key`, and its trusted comment against the global signature. Returns the trusted comment
// (without "trusted comment: "). Throws SignatureError.
std::string Verify(const PublicKey& key, std::string_view signature, std::string_view data);

}  // namespace kestrune::minisign
