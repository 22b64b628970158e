#pragma once
// The publisher's key this launcher checks signed releases with, and how old a signed
// settings document may be, both fixed at build time.

#include <cstdint>
#include <optional>
#include <string>

namespace kestrune {

// The minisign public key line built in (-DKESTRUNE_PUBLIC_KEY); in a build made with
// KESTRUNE_KEY_FROM_ENV, $KESTRUNE_PUBLIC_KEY replaces it when set and not empty. None when
// neither gives one: then nothing is asked to be signed.
std::optional<std::string> PublisherKey();

// Days after its signing that a settings document is still taken; 0 for any age.
extern const std::int32_t kMaxSignatureAgeDays;

}  // namespace kestrune
