#include "http/ResumeRecord.h"

#include "http/HttpWire.h"

namespace kestrune::http {
namespace {

constexpr std::string_view kFirstLine = "kestrune-resume 1\n";
constexpr std::string_view kUrl = "url ";
constexpr std::string_view kValidator = "validator ";
constexpr std::string_view kLength = "length ";

// Takes "<key><value>\n" off the front of `rest`; nullopt when the line is not that.
std::optional<std::string_view> Field(std::string_view& rest, std::string_view key) {
  if (rest.substr(0, key.size()) != key) return std::nullopt;
  std::size_t end = rest.find('\n');
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view value = rest.substr(key.size(), end - key.size());
  rest.remove_prefix(end + 1);
  return value;
}

bool PrintableAscii(std::string_view text) {
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x21 || b > 0x7E) return false;
  }
  return true;
}

}  // namespace

std::string FormatResumeRecord(const ResumeRecord& record) {
  std::string out(kFirstLine);
  out.append(kUrl).append(record.url).append("\n");
  out.append(kValidator).append(record.validator).append("\n");
  out.append(kLength).append(std::to_string(record.length)).append("\n");
  return out;
}

std::optional<ResumeRecord> ParseResumeRecord(std::string_view bytes) {
  if (bytes.substr(0, kFirstLine.size()) != kFirstLine) return std::nullopt;
  std::string_view rest = bytes.substr(kFirstLine.size());
  auto url = Field(rest, kUrl);
  if (!url) return std::nullopt;
  auto validator = Field(rest, kValidator);
  if (!validator) return std::nullopt;
  auto length = Field(rest, kLength);
  if (!length || !rest.empty()) return std::nullopt;
  if (url->empty() || !PrintableAscii(*url)) return std::nullopt;
  if (!StrongEntityTag(*validator) && !IsHttpDate(*validator)) return std::nullopt;
  if (length->empty() || length->size() > 18 || (length->size() > 1 && length->front() == '0'))
    return std::nullopt;
  std::int64_t n = 0;
  for (char c : *length) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
  }
  if (n == 0) return std::nullopt;
  return ResumeRecord{std::string(*url), std::string(*validator), n};
}

}  // namespace kestrune::http
