#pragma once
// The small text file kept beside a partial download: what the server said about the body
// whose first bytes the partial holds, so that a later request can ask for the rest.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::http {

struct ResumeRecord {
  std::string url;          // as sent (normalized)
  std::string validator;    // a strong entity tag or an HTTP date, sent back as If-Range
  std::int64_t length = 0;  // of the whole body

  bool operator==(const ResumeRecord&) const = default;
};

// The file's bytes. Pure.
std::string FormatResumeRecord(const ResumeRecord& record);
// The record in `bytes`, or nullopt for anything that FormatResumeRecord would not have
// written (another version, a damaged or cut file, a validator that could not be sent back).
// Pure; takes any bytes.
std::optional<ResumeRecord> ParseResumeRecord(std::string_view bytes);

}  // namespace kestrune::http
