#include "SigningKeys.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "Platform.h"
#include "PublishFiles.h"
#include "Publisher.h"

namespace kestrune {

namespace fs = std::filesystem;
using Kind = PublishError::Kind;

namespace {

std::string FirstLine(std::string text) {
  text = text.substr(0, text.find('\n'));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

std::string Asked(const std::string& prompt) {
  std::optional<std::string> answer = platform::ReadTerminalSecret(prompt);
  if (!answer) {
    throw PublishError(Kind::BadOptions,
                       std::string("a passphrase is needed and there is no terminal to ask: give "
                                   "--passphrase-file FILE or set ") +
                           kPassphraseVariable);
  }
  return *answer;
}

}  // namespace

std::string ObtainPassphrase(const std::string& file, bool confirm, const std::string& prompt) {
  std::string passphrase;
  if (!file.empty()) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
      throw PublishError(Kind::Refused, "the passphrase file " + Quoted(file) + " is not readable");
    }
    passphrase = FirstLine(ReadText(file));
  } else if (const char* value = std::getenv(kPassphraseVariable); value != nullptr) {
    passphrase = value;
  } else {
    passphrase = Asked(prompt);
    if (confirm && Asked("The same passphrase again: ") != passphrase) {
      throw PublishError(Kind::Refused, "the two passphrases differ");
    }
  }
  if (passphrase.empty()) {
    throw PublishError(Kind::Refused, "an empty passphrase protects nothing");
  }
  return passphrase;
}

std::string GenerateKeyFiles(const std::string& publicFile, const std::string& secretFile,
                             const std::optional<std::string>& passphrase) {
  std::error_code ec;
  for (const std::string& file : {publicFile, secretFile}) {
    if (fs::exists(fs::symlink_status(file, ec))) {
      throw PublishError(Kind::Refused, Quoted(file) + " exists; a key file is never overwritten");
    }
  }
  const minisign::SecretKey key = minisign::GenerateKey();
  const std::string secretText = minisign::FormatSecretKey(key, passphrase);
  const std::string publicText = minisign::FormatPublicKey(key.Public());
  if (!WriteNewFile(secretFile, secretText, true)) {
    throw PublishError(Kind::Refused,
                       Quoted(secretFile) + " exists; a key file is never overwritten");
  }
  try {
    if (!WriteNewFile(publicFile, publicText, false)) {
      throw PublishError(Kind::Refused,
                         Quoted(publicFile) + " exists; a key file is never overwritten");
    }
  } catch (...) {
    // A secret key without its public key is of no use, and would block the next attempt.
    fs::remove(secretFile, ec);
    throw;
  }
  return minisign::PublicKeyLine(key.Public());
}

minisign::SecretKey LoadSecretKey(const std::string& file,
                                  const std::function<std::string()>& passphrase) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) {
    throw PublishError(Kind::Refused, "the secret key " + Quoted(file) + " is not a readable file");
  }
  const std::string text = ReadText(file);
  try {
    try {
      return minisign::ParseSecretKey(text, std::nullopt);
    } catch (const minisign::SignatureError& error) {
      // Only an encrypted key wants a passphrase.
      if (error.kind() != minisign::SignatureError::Kind::WrongPassphrase) throw;
    }
    return minisign::ParseSecretKey(text, passphrase());
  } catch (const minisign::SignatureError& error) {
    if (error.kind() == minisign::SignatureError::Kind::WrongPassphrase) {
      throw PublishError(Kind::Refused,
                         "the secret key " + Quoted(file) + " does not open with this passphrase");
    }
    throw PublishError(Kind::Refused, Quoted(file) + " is not a minisign secret key: " +
                                          std::string(error.what()));
  }
}

}  // namespace kestrune
