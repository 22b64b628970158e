#include "sign/Minisign.h"

#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace kestrune::minisign {
namespace {

using Kind = SignatureError::Kind;
using Bytes = std::vector<unsigned char>;

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::string_view kSecretKeyComment = "minisign encrypted secret key";
constexpr std::string_view kClearSecretKeyComment = "minisign unencrypted secret key";

// Field sizes of the three binary forms.
constexpr std::size_t kAlg = 2;
constexpr std::size_t kKeyId = 8;
constexpr std::size_t kSalt = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr std::size_t kChecksum = 32;
constexpr std::size_t kPublicKeyBytes = kAlg + kKeyId + crypto_sign_PUBLICKEYBYTES;
constexpr std::size_t kSignatureBytes = kAlg + kKeyId + crypto_sign_BYTES;
constexpr std::size_t kSecretHeader = 3 * kAlg + kSalt + 8 + 8;
constexpr std::size_t kSecretBody = kKeyId + crypto_sign_SECRETKEYBYTES + kChecksum;
constexpr std::size_t kSecretKeyBytes = kSecretHeader + kSecretBody;

// What minisign itself asks of scrypt for a new key.
constexpr std::uint64_t kOpsLimit = crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE;
constexpr std::uint64_t kMemLimit = crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE;

void InitSodium() {
  // Safe to call more than once; picks the fastest code for this processor.
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
}

[[noreturn]] void Fail(Kind kind, const std::string& message) {
  throw SignatureError(kind, message);
}

// Key material on the heap, wiped when it goes.
class SecretBytes {
 public:
  explicit SecretBytes(std::size_t size) : bytes_(size) {}
  ~SecretBytes() { sodium_memzero(bytes_.data(), bytes_.size()); }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  unsigned char* data() { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }

 private:
  Bytes bytes_;
};

// The lines of a text file: LF or CRLF, the last line end optional.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// Exactly `size` bytes from one line of padded, original-alphabet base64.
void DecodeBase64(std::string_view line, unsigned char* out, std::size_t size, const char* what) {
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out, size, line.data(), line.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != line.data() + line.size() || length != size)
    Fail(Kind::Malformed, std::string(what) + " is not valid base64 of the expected length");
}

std::string EncodeBase64(const unsigned char* bytes, std::size_t size) {
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // the terminating NUL
  return text;
}

// minisign shows a key id as the little-endian number it is, in upper-case hex.
std::string KeyIdHex(const std::array<unsigned char, 8>& id) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (std::size_t i = id.size(); i-- > 0;) {
    hex += kDigits[id[i] >> 4];
    hex += kDigits[id[i] & 15];
  }
  return hex;
}

std::uint64_t ReadLittleEndian(const unsigned char* p) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

void WriteLittleEndian(std::uint64_t value, unsigned char* p) {
  for (int i = 0; i < 8; ++i, value >>= 8) p[i] = static_cast<unsigned char>(value);
}

// BLAKE2b-256 of the algorithm, key id and secret key: what tells a wrong passphrase.
std::array<unsigned char, kChecksum> Checksum(const SecretKey& key) {
  std::array<unsigned char, kChecksum> sum{};
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, sum.size());
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>("Ed"), kAlg);
  crypto_generichash_update(&state, key.keyId.data(), key.keyId.size());
  crypto_generichash_update(&state, key.key.data(), key.key.size());
  crypto_generichash_final(&state, sum.data(), sum.size());
  sodium_memzero(&state, sizeof state);
  return sum;
}

// The scrypt stream the secret part of a key file is XORed with.
void XorKeyStream(unsigned char* body, const std::string& passphrase, const unsigned char* salt,
                  std::uint64_t opsLimit, std::uint64_t memLimit) {
  SecretBytes stream(kSecretBody);
  if (memLimit > SIZE_MAX || crypto_pwhash_scryptsalsa208sha256(
                                 stream.data(), stream.size(), passphrase.data(), passphrase.size(),
                                 salt, opsLimit, static_cast<std::size_t>(memLimit)) != 0)
    Fail(Kind::Malformed, "the secret key's scrypt limits cannot be met");
  for (std::size_t i = 0; i < kSecretBody; ++i) body[i] ^= stream.data()[i];
}

void CheckCommentLine(std::string_view line, std::string_view prefix, const char* what) {
  if (line.substr(0, prefix.size()) != prefix)
    Fail(Kind::Malformed,
         std::string(what) + " does not start with \"" + std::string(prefix) + "\"");
}

void CheckOneLine(const std::string& comment, const char* what) {
  if (comment.find_first_of("\r\n") != std::string::npos)
    throw std::invalid_argument(std::string(what) + " holds a line end");
}

}  // namespace

PublicKey SecretKey::Public() const {
  PublicKey result;
  result.keyId = keyId;
  crypto_sign_ed25519_sk_to_pk(result.key.data(), key.data());
  return result;
}

SecretKey GenerateKey() {
  InitSodium();
  SecretKey result;
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> unused{};
  crypto_sign_keypair(unused.data(), result.key.data());
  randombytes_buf(result.keyId.data(), result.keyId.size());
  return result;
}

PublicKey ParsePublicKey(std::string_view text) {
  InitSodium();
  const std::vector<std::string_view> lines = Lines(text);
  if (lines.empty() || lines.size() > 2) Fail(Kind::Malformed, "not a minisign public key");
  if (lines.size() == 2) CheckCommentLine(lines[0], kUntrustedPrefix, "the public key file");
  unsigned char bytes[kPublicKeyBytes];
  DecodeBase64(lines.back(), bytes, sizeof bytes, "the public key");
  if (std::memcmp(bytes, "Ed", kAlg) != 0)
    Fail(Kind::Malformed, "the public key is not an Ed25519 key");
  PublicKey key;
  std::memcpy(key.keyId.data(), bytes + kAlg, kKeyId);
  std::memcpy(key.key.data(), bytes + kAlg + kKeyId, key.key.size());
  return key;
}

std::string PublicKeyLine(const PublicKey& key) {
  InitSodium();
  unsigned char bytes[kPublicKeyBytes];
  std::memcpy(bytes, "Ed", kAlg);
  std::memcpy(bytes + kAlg, key.keyId.data(), kKeyId);
  std::memcpy(bytes + kAlg + kKeyId, key.key.data(), key.key.size());
  return EncodeBase64(bytes, sizeof bytes);
}

std::string FormatPublicKey(const PublicKey& key) {
  return std::string(kUntrustedPrefix) + "minisign public key " + KeyIdHex(key.keyId) + "\n" +
         PublicKeyLine(key) + "\n";
}

SecretKey ParseSecretKey(std::string_view text, const std::optional<std::string>& passphrase) {
  InitSodium();
  const std::vector<std::string_view> lines = Lines(text);
  if (lines.size() != 2) Fail(Kind::Malformed, "not a minisign secret key");
  CheckCommentLine(lines[0], kUntrustedPrefix, "the secret key file");
  SecretBytes bytes(kSecretKeyBytes);
  DecodeBase64(lines[1], bytes.data(), bytes.size(), "the secret key");
  const unsigned char* p = bytes.data();
  const bool encrypted = std::memcmp(p + kAlg, "Sc", kAlg) == 0;
  if (std::memcmp(p, "Ed", kAlg) != 0 || (!encrypted && std::memcmp(p + kAlg, "\0\0", kAlg) != 0) ||
      std::memcmp(p + 2 * kAlg, "B2", kAlg) != 0)
    Fail(Kind::Malformed, "the secret key uses an unknown algorithm");
  unsigned char* body = bytes.data() + kSecretHeader;
  if (encrypted) {
    if (!passphrase)
      Fail(Kind::WrongPassphrase, "the secret key is encrypted; it needs a passphrase");
    const unsigned char* limits = p + 3 * kAlg + kSalt;
    XorKeyStream(body, *passphrase, p + 3 * kAlg, ReadLittleEndian(limits),
                 ReadLittleEndian(limits + 8));
  }
  SecretKey key;
  std::memcpy(key.keyId.data(), body, kKeyId);
  std::memcpy(key.key.data(), body + kKeyId, key.key.size());
  const unsigned char* stored = body + kKeyId + key.key.size();
  const std::array<unsigned char, kChecksum> sum = Checksum(key);
  // minisign writes a clear key without a checksum (all zeros); any other value must match.
  const bool unsummed = !encrypted && sodium_is_zero(stored, kChecksum);
  if (!unsummed && sodium_memcmp(sum.data(), stored, kChecksum) != 0)
    Fail(encrypted ? Kind::WrongPassphrase : Kind::Malformed,
         encrypted ? "the passphrase does not open the secret key"
                   : "the secret key's checksum does not match");
  // The second half of an Ed25519 secret key is its public key, which the seed must give.
  unsigned char seed[crypto_sign_SEEDBYTES];
  unsigned char derived[crypto_sign_PUBLICKEYBYTES];
  SecretBytes rebuilt(crypto_sign_SECRETKEYBYTES);
  crypto_sign_ed25519_sk_to_seed(seed, key.key.data());
  crypto_sign_seed_keypair(derived, rebuilt.data(), seed);
  sodium_memzero(seed, sizeof seed);
  if (sodium_memcmp(derived, key.key.data() + crypto_sign_SEEDBYTES, sizeof derived) != 0)
    Fail(Kind::Malformed, "the secret key's two halves do not belong together");
  return key;
}

std::string FormatSecretKey(const SecretKey& key, const std::optional<std::string>& passphrase) {
  InitSodium();
  SecretBytes bytes(kSecretKeyBytes);
  unsigned char* p = bytes.data();
  std::memset(p, 0, bytes.size());
  std::memcpy(p, "Ed", kAlg);
  std::memcpy(p + kAlg, passphrase ? "Sc" : "\0\0", kAlg);
  std::memcpy(p + 2 * kAlg, "B2", kAlg);
  unsigned char* body = p + kSecretHeader;
  std::memcpy(body, key.keyId.data(), kKeyId);
  std::memcpy(body + kKeyId, key.key.data(), key.key.size());
  const std::array<unsigned char, kChecksum> sum = Checksum(key);
  std::memcpy(body + kKeyId + key.key.size(), sum.data(), sum.size());
  if (passphrase) {
    unsigned char* salt = p + 3 * kAlg;
    randombytes_buf(salt, kSalt);
    WriteLittleEndian(kOpsLimit, salt + kSalt);
    WriteLittleEndian(kMemLimit, salt + kSalt + 8);
    XorKeyStream(body, *passphrase, salt, kOpsLimit, kMemLimit);
  }
  const std::string line = EncodeBase64(bytes.data(), bytes.size());
  return std::string(kUntrustedPrefix) +
         std::string(passphrase ? kSecretKeyComment : kClearSecretKeyComment) + "\n" + line + "\n";
}

std::string Sign(const SecretKey& key, std::string_view data, const std::string& trustedComment,
                 const std::string& untrustedComment) {
  InitSodium();
  CheckOneLine(trustedComment, "the trusted comment");
  CheckOneLine(untrustedComment, "the untrusted comment");
  unsigned char hash[crypto_generichash_BYTES_MAX];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(data.data()),
                     data.size(), nullptr, 0);
  unsigned char signature[kSignatureBytes];
  std::memcpy(signature, "ED", kAlg);
  std::memcpy(signature + kAlg, key.keyId.data(), kKeyId);
  unsigned char* sig = signature + kAlg + kKeyId;
  crypto_sign_detached(sig, nullptr, hash, sizeof hash, key.key.data());
  Bytes global(sig, sig + crypto_sign_BYTES);
  global.insert(global.end(), trustedComment.begin(), trustedComment.end());
  unsigned char globalSignature[crypto_sign_BYTES];
  crypto_sign_detached(globalSignature, nullptr, global.data(), global.size(), key.key.data());
  return std::string(kUntrustedPrefix) + untrustedComment + "\n" +
         EncodeBase64(signature, sizeof signature) + "\n" + std::string(kTrustedPrefix) +
         trustedComment + "\n" + EncodeBase64(globalSignature, sizeof globalSignature) + "\n";
}

std::string Verify(const PublicKey& key, std::string_view signature, std::string_view data) {
  InitSodium();
  const std::vector<std::string_view> lines = Lines(signature);
  if (lines.size() != 4) Fail(Kind::Malformed, "a signature file has four lines");
  CheckCommentLine(lines[0], kUntrustedPrefix, "the signature's first line");
  CheckCommentLine(lines[2], kTrustedPrefix, "the signature's third line");
  unsigned char bytes[kSignatureBytes];
  DecodeBase64(lines[1], bytes, sizeof bytes, "the signature");
  unsigned char globalSignature[crypto_sign_BYTES];
  DecodeBase64(lines[3], globalSignature, sizeof globalSignature, "the global signature");
  const bool prehashed = std::memcmp(bytes, "ED", kAlg) == 0;
  if (!prehashed && std::memcmp(bytes, "Ed", kAlg) != 0)
    Fail(Kind::Malformed, "the signature uses an unknown algorithm");
  if (std::memcmp(bytes + kAlg, key.keyId.data(), kKeyId) != 0)
    Fail(Kind::OtherKey, "the signature was made by another key");

  const unsigned char* sig = bytes + kAlg + kKeyId;
  const auto* message = reinterpret_cast<const unsigned char*>(data.data());
  unsigned char hash[crypto_generichash_BYTES_MAX];
  std::size_t messageSize = data.size();
  if (prehashed) {
    crypto_generichash(hash, sizeof hash, message, data.size(), nullptr, 0);
    message = hash;
    messageSize = sizeof hash;
  }
  if (crypto_sign_verify_detached(sig, message, messageSize, key.key.data()) != 0)
    Fail(Kind::BadSignature, "the signature does not match the data");

  const std::string_view comment = lines[2].substr(kTrustedPrefix.size());
  Bytes global(sig, sig + crypto_sign_BYTES);
  global.insert(global.end(), comment.begin(), comment.end());
  if (crypto_sign_verify_detached(globalSignature, global.data(), global.size(), key.key.data()) !=
      0)
    Fail(Kind::BadTrustedComment, "the trusted comment is not the one signed");
  return std::string(comment);
}

}  // namespace kestrune::minisign
