#pragma once
// The publisher's signing keys: making a key pair, finding its passphrase, opening it.

#include <functional>
#include <optional>
#include <string>

#include "sign/Minisign.h"

namespace kestrune {

// The environment variable a scripted run gives the passphrase in.
inline constexpr const char* kPassphraseVariable = "KESTRUNE_SIGN_PASSPHRASE";

// The passphrase from the first line of `file` when one is named, else from
// KESTRUNE_SIGN_PASSPHRASE, else asked at the terminal without echo (twice when `confirm`).
// Throws PublishError: BadOptions when none of them gives one, Refused for an empty one, an
// unreadable file or two answers that differ.
// `prompt` is what the terminal shows.
std::string ObtainPassphrase(const std::string& file, bool confirm,
                             const std::string& prompt = "Passphrase: ");

// Writes a new key pair: the public key to `publicFile`, the secret key to `secretFile`
// (readable by its owner alone; encrypted with `passphrase`, in the clear when it is nullopt).
// Returns the public key line. Throws PublishError(Refused) when either file exists, writing
// neither; Failed when writing fails, leaving neither.
std::string GenerateKeyFiles(const std::string& publicFile, const std::string& secretFile,
                             const std::optional<std::string>& passphrase);

// The secret key in `file`. `passphrase` is called only for an encrypted key. Throws
// PublishError(Refused) naming the file: unreadable, not a secret key, wrong passphrase.
minisign::SecretKey LoadSecretKey(const std::string& file,
                                  const std::function<std::string()>& passphrase);

}  // namespace kestrune
