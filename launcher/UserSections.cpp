#include "UserSections.h"

#include <charconv>

namespace kestrune {

UserSections::UserSections(std::string path)
    : path_(std::move(path)), key_(platform::UserKey::OpenOrCreate(path_)) {}

std::int32_t UserSections::ReadInteger(const std::string& section, const std::string& name,
                                       std::int32_t defaultValue) const {
  try {
    // The store can only open keys by creating them; the start-up writes this section
    // right after reading it anyway.
    const auto key = platform::UserKey::OpenOrCreate(path_ + "\\" + section);
    const auto text = key.ReadText(name);
    if (!text) return defaultValue;
    return ParseDecimal(*text).value_or(defaultValue);
  } catch (const platform::SystemError&) {
    return defaultValue;
  }
}

void UserSections::WriteInteger(const std::string& section, const std::string& name,
                                std::int32_t value) {
  auto key = platform::UserKey::OpenOrCreate(path_ + "\\" + section);
  key.WriteText(name, std::to_string(value));
}

std::optional<std::int32_t> ParseDecimal(const std::string& text) {
  const char* first = text.data();
  const char* last = first + text.size();
  // from_chars takes a "-" but no "+"; after a "+" only digits may follow.
  if (first != last && *first == '+') {
    ++first;
    if (first == last || *first == '-') return std::nullopt;
  }
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last || first == last) return std::nullopt;
  return value;
}

}  // namespace kestrune
