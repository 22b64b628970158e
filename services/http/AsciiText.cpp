#include "http/AsciiText.h"

namespace kestrune::http {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view s, std::string_view front, std::string_view back) {
  while (!s.empty() && front.find(s.front()) != std::string_view::npos) s.remove_prefix(1);
  while (!s.empty() && back.find(s.back()) != std::string_view::npos) s.remove_suffix(1);
  return s;
}

}  // namespace kestrune::http
