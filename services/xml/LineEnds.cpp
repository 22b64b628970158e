#include "xml/LineEnds.h"

#include <algorithm>

namespace kestrune {

std::string NormalizeLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16 + 2);
  // The next CR and the next LF, each searched for (memchr) only once it lies behind: every
  // byte is passed twice at most, whichever ends the text uses.
  std::size_t cr = text.find('\r');
  std::size_t lf = text.find('\n');
  std::size_t lineStart = 0;
  while (lineStart < text.size()) {
    if (cr < lineStart) cr = text.find('\r', lineStart);
    if (lf < lineStart) lf = text.find('\n', lineStart);
    const std::size_t end = std::min({cr, lf, text.size()});
    out.append(text.substr(lineStart, end - lineStart));
    out += "\r\n";
    lineStart = end + 1;
    if (end == cr && lineStart == lf) ++lineStart;
  }
  return out;
}

}  // namespace kestrune
