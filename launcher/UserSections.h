#pragma once
// A section-style view over one per-user key: a section is a subkey, and an integer is kept as
// its decimal text.

#include <cstdint>
#include <optional>
#include <string>

#include "Platform.h"

namespace kestrune {

class UserSections {
 public:
  // Opens `path` with full access, creating it if missing. Throws platform::SystemError.
  explicit UserSections(std::string path);

  // The integer stored as decimal text under `name` in `section`; `defaultValue` when the
  // section or the value is missing, when the value is not text (a stored number included)
  // or when its text is not a decimal integer of 32 bits.
  std::int32_t ReadInteger(const std::string& section, const std::string& name,
                           std::int32_t defaultValue) const;

  // Stores `value` as decimal text under `name` in `section`, creating the section. Throws
  // platform::SystemError when the store refuses.
  void WriteInteger(const std::string& section, const std::string& name, std::int32_t value);

 private:
  std::string path_;
  platform::UserKey key_;
};

// `text` as a decimal integer: an optional sign, then only digits, within 32 bits.
std::optional<std::int32_t> ParseDecimal(const std::string& text);

}  // namespace kestrune
