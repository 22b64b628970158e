// Feeds arbitrary bytes to the key, signature and release-stamp parsers. The input up to its
// fourth line end is a signature checked against a fixed key over the rest as data, so that
// seeds signed by that key reach the signature checks. SignatureError is the one expected
// failure; anything else escaping, or a sanitizer report, is a finding.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sign/Minisign.h"
#include "sign/ReleaseStamp.h"

namespace {

namespace minisign = kestrune::minisign;

// The key of the seeds in corpus/sign (its unencrypted secret key is the seed secret-key-clear).
constexpr std::string_view kSeedKey = "RWQg0qkCuyWJ1SeMfwbcZJ70BOgFAJCRGGsJQI8l+36sn1lxaHzMBEc6";

template <typename Parse>
void Try(Parse parse) {
  try {
    parse();
  } catch (const minisign::SignatureError&) {
  }
}

std::size_t AfterFourthLine(std::string_view input) {
  std::size_t at = 0;
  for (int line = 0; line < 4; ++line) {
    const std::size_t end = input.find('\n', at);
    if (end == std::string_view::npos) return input.size();
    at = end + 1;
  }
  return at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const minisign::PublicKey key = minisign::ParsePublicKey(kSeedKey);
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  Try([&] {
    const minisign::PublicKey parsed = minisign::ParsePublicKey(input);
    if (minisign::ParsePublicKey(minisign::FormatPublicKey(parsed)).key != parsed.key)
      __builtin_trap();
  });
  // No passphrase: an encrypted key must refuse before any scrypt work.
  Try([&] {
    const minisign::SecretKey parsed = minisign::ParseSecretKey(input, std::nullopt);
    if (minisign::ParseSecretKey(minisign::FormatSecretKey(parsed, std::nullopt), std::nullopt)
            .key != parsed.key)
      __builtin_trap();
  });
  const std::size_t split = AfterFourthLine(input);
  Try([&] {
    const std::string comment = minisign::Verify(key, input.substr(0, split), input.substr(split));
    if (const auto stamp = minisign::ParseReleaseStamp(comment))
      if (minisign::FormatReleaseStamp(*stamp) != comment) __builtin_trap();
  });
  if (const auto stamp = minisign::ParseReleaseStamp(input))
    if (minisign::FormatReleaseStamp(*stamp) != input) __builtin_trap();
  return 0;
}
