#include "LineSeparetor.h"

namespace kestrune {

std::vector<std::string> SeparateLine(std::string_view text, std::string_view separator) {
  std::vector<std::string> fields;
  if (!separator.empty()) {
    // A separator at position 0 is an empty field: splitting stops there.
    for (auto p = text.find(separator); p != std::string_view::npos && p > 0;
         p = text.find(separator)) {
      fields.emplace_back(text.substr(0, p));
      text.remove_prefix(p + separator.size());
    }
  }
  fields.emplace_back(text);
  return fields;
}

}  // namespace kestrune
