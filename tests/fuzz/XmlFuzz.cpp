// Parses arbitrary bytes and, when they parse, runs every read over every
// node. XmlError is the one expected failure; anything else escaping, or a
// sanitizer report, is a finding.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "xml/XmlDocument.h"

namespace {

using kestrune::XmlElement;
using kestrune::XmlError;

template <typename Read>
void Try(Read read) {
  try {
    read();
  } catch (const XmlError&) {
  }
}

// Names to search for: fixed ones that hit the markup nodes, and a few taken
// from the input so that its own element names are found.
std::vector<std::string> Names(std::string_view input) {
  std::vector<std::string> names = {"a", "archive", "Comment", "CData", "Special", "xml", ""};
  for (std::size_t start = 0; start < input.size() && names.size() < 12;) {
    const std::size_t lt = input.find('<', start);
    if (lt == std::string_view::npos) break;
    const std::size_t end = input.find_first_of(" />\t\r\n", lt + 1);
    names.emplace_back(input.substr(lt + 1, std::min(end, input.size()) - lt - 1));
    start = lt + 1;
  }
  return names;
}

void ReadAll(const XmlElement& element, const std::vector<std::string>& names) {
  Try([&] { element.ValueText(); });
  Try([&] { element.ValueInteger(); });
  Try([&] { element.ValueBool(); });
  for (const std::string& name : names) {
    Try([&] { element.Attribute(name); });
    Try([&] { element.ChildText(name, "default"); });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  kestrune::XmlDocument document;
  try {
    document.Parse(input);
  } catch (const XmlError&) {
    return 0;
  }
  const XmlElement root = document.Root();
  if (!root) __builtin_trap();  // a successful parse always has a root
  const std::vector<std::string> names = Names(input);
  ReadAll(root, names);
  std::vector<XmlElement> found;
  // Bounded so that a large flat input does not make one run quadratic.
  std::size_t reads = 0;
  for (const std::string& name : names) {
    const XmlElement first = root.FindElement(name);
    root.FindElements(name, found);
    if (first && (found.empty() || found.front().name().data() != first.name().data()))
      __builtin_trap();
    for (const XmlElement& element : found) {
      if (++reads > 2000) return 0;
      ReadAll(element, names);
      Try([&] { element.FindElement(name); });
    }
  }
  // Reads on the absent element must throw, never crash.
  Try([&] { XmlElement().ValueText(); });
  return 0;
}
