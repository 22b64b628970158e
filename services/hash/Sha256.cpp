#include "hash/Sha256.h"

#include <sodium.h>

#include <stdexcept>

namespace kestrune {
namespace {

std::string Hex(const unsigned char* digest) {
  char text[crypto_hash_sha256_BYTES * 2 + 1];
  sodium_bin2hex(text, sizeof text, digest, crypto_hash_sha256_BYTES);
  return text;
}

}  // namespace

struct Sha256::State {
  crypto_hash_sha256_state value;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  // Picks the fastest implementation for this processor; safe to call more than once.
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
  crypto_hash_sha256_init(&state_->value);
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t length) {
  crypto_hash_sha256_update(&state_->value, static_cast<const unsigned char*>(data), length);
}

std::string Sha256::HexDigest() {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&state_->value, digest);
  return Hex(digest);
}

std::string Sha256Hex(std::string_view bytes) {
  Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  return hash.HexDigest();
}

}  // namespace kestrune
