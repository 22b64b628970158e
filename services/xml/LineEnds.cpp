#include "xml/LineEnds.h"

namespace kestrune {

std::string NormalizeLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 2);
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    out.append(text.substr(lineStart, i - lineStart));
    out += "\r\n";
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    lineStart = i + 1;
  }
  if (lineStart < text.size()) {
    out.append(text.substr(lineStart));
    out += "\r\n";
  }
  return out;
}

}  // namespace kestrune
