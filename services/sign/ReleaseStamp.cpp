#include "sign/ReleaseStamp.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <stdexcept>

namespace kestrune::minisign {
namespace {

// A blank or a control character would let a name hide a second field.
bool IsNameChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte != 0x7f;
}

// Removes `prefix` from the front of `text`; false when it is not there.
bool Consume(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

// The run of characters up to the next blank (or the end), taken off `text`.
std::string_view Field(std::string_view& text) {
  const std::size_t end = std::min(text.find(' '), text.size());
  const std::string_view field = text.substr(0, end);
  text.remove_prefix(end);
  return field;
}

// Plain decimal digits only: no sign, no leading zero but in "0", no overflow.
template <typename Number>
std::optional<Number> Decimal(std::string_view digits) {
  if (digits.empty() || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  Number value{};
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<ReleaseStamp> ParseReleaseStamp(std::string_view comment) {
  ReleaseStamp stamp;
  if (!Consume(comment, "file:")) return std::nullopt;
  const std::string_view name = Field(comment);
  if (name.empty()) return std::nullopt;
  for (char c : name)
    if (!IsNameChar(c)) return std::nullopt;
  stamp.file = std::string(name);
  if (!Consume(comment, " serial:")) return std::nullopt;
  const auto serial = Decimal<std::uint64_t>(Field(comment));
  if (!serial || !Consume(comment, " time:")) return std::nullopt;
  const auto time = Decimal<std::int64_t>(Field(comment));
  if (!time || !comment.empty()) return std::nullopt;
  stamp.serial = *serial;
  stamp.time = *time;
  return stamp;
}

std::string FormatReleaseStamp(const ReleaseStamp& stamp) {
  bool nameOk = !stamp.file.empty();
  for (char c : stamp.file) nameOk = nameOk && IsNameChar(c);
  if (!nameOk || stamp.time < 0)
    throw std::invalid_argument("a release stamp needs a name without blanks and a time from 1970");
  return "file:" + stamp.file + " serial:" + std::to_string(stamp.serial) +
         " time:" + std::to_string(stamp.time);
}

}  // namespace kestrune::minisign
