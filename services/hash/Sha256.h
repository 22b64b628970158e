#pragma once
// SHA-256 over libsodium, fed piece by piece as data goes by.

#include <memory>
#include <string>
#include <string_view>

namespace kestrune {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, std::size_t length);
  // The digest of everything fed so far as 64 lower-case hexadecimal digits. Call once.
  std::string HexDigest();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The SHA-256 of `bytes` as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view bytes);

}  // namespace kestrune
