#include "ReleaseSigning.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "PublishFiles.h"
#include "Publisher.h"
#include "sign/ReleaseStamp.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

// The serial of the settings document's signature, when `key` made it; 0 otherwise.
std::uint64_t SignedSerial(const fs::path& outDir, const minisign::SecretKey& key) {
  const fs::path settings = outDir / "pts" / "Settings.xml";
  const std::string signature = ReadText(WithSuffix(settings, kSignatureSuffix));
  if (signature.empty()) return 0;
  try {
    const std::string comment = minisign::Verify(key.Public(), signature, ReadText(settings));
    const auto stamp = minisign::ParseReleaseStamp(comment);
    return stamp ? stamp->serial : 0;
  } catch (const minisign::SignatureError&) {
    return 0;  // another key's, or stale: the serial file decides
  }
}

}  // namespace

std::uint64_t NextSerial(const fs::path& outDir, const minisign::SecretKey& key) {
  const fs::path file = outDir / kSerialName;
  std::uint64_t stored = 0;
  std::error_code ec;
  if (fs::exists(fs::symlink_status(file, ec))) {
    std::string text = ReadText(file);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), stored);
    // Starting over at 1 would make every launcher that saw a higher serial refuse the release.
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        stored == UINT64_MAX) {
      throw PublishError(PublishError::Kind::Failed,
                         Quoted(file) +
                             " holds no release serial; restore it (the last serial "
                             "signed with, one line of digits) before signing");
    }
  }
  return std::max(stored, SignedSerial(outDir, key)) + 1;
}

void StoreSerial(const fs::path& outDir, std::uint64_t serial) {
  WriteIfChanged(outDir / kSerialName, std::to_string(serial) + "\n");
}

std::string ReleaseSignature(const minisign::SecretKey& key, std::string_view bytes,
                             const std::string& name, std::uint64_t serial, std::int64_t time) {
  return minisign::Sign(key, bytes, minisign::FormatReleaseStamp({name, serial, time}));
}

}  // namespace kestrune
