#include "PublisherKey.h"

#include <cstdlib>

#if !defined(KESTRUNE_PUBLIC_KEY) || !defined(KESTRUNE_KEY_FROM_ENV) || \
    !defined(KESTRUNE_MAX_SIGNATURE_AGE_DAYS)
#error "the build defines the publisher's key and how it is taken"
#endif

namespace kestrune {

const std::int32_t kMaxSignatureAgeDays = KESTRUNE_MAX_SIGNATURE_AGE_DAYS;

namespace {
// Only test and demo builds let the environment choose whom the launcher trusts.
constexpr bool kKeyFromEnvironment = KESTRUNE_KEY_FROM_ENV;
}  // namespace

std::optional<std::string> PublisherKey() {
  if (kKeyFromEnvironment) {
    const char* key = std::getenv("KESTRUNE_PUBLIC_KEY");
    if (key != nullptr && *key != '\0') return std::string(key);
  }
  const std::string builtIn = KESTRUNE_PUBLIC_KEY;
  if (builtIn.empty()) return std::nullopt;
  return builtIn;
}

}  // namespace kestrune
