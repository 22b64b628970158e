// XmlDocument ownership and the XmlElement reads: searches, attributes,
// entity decoding and value conversions.

#include "xml/XmlDocument.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "PlatformText.h"
#include "Utf8.h"
#include "xml/XmlTree.h"

namespace kestrune {

namespace {

using xml_detail::Node;

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameAsciiIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool SameName(const Node& node, std::string_view name) {
  return platform::SameTextIgnoringCase(node.name, name);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The number of a character reference ("#65", "#x41"), or -1 when the text
// is not one. Saturates so that long digit strings cannot overflow.
long CharacterReference(std::string_view ref) {
  if (ref.size() < 2 || ref[0] != '#') return -1;
  ref.remove_prefix(1);
  int base = 10;
  if (ref[0] == 'x' || ref[0] == 'X') {
    base = 16;
    ref.remove_prefix(1);
  }
  if (ref.empty()) return -1;
  long value = 0;
  for (const char c : ref) {
    const int digit = HexDigit(c);
    if (digit < 0 || digit >= base) return -1;
    value = std::min(value * base + digit, 0x10000L);
  }
  return value;
}

// Appends the decoded form of the reference between "&" and ";"; returns
// false when it is to stay as written.
bool AppendReference(std::string_view ref, std::string& out) {
  struct Named {
    std::string_view name;
    char character;
  };
  static constexpr Named kNamed[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"apos", '\''}, {"quot", '"'}};
  for (const Named& named : kNamed) {
    if (ref == named.name) {
      out.push_back(named.character);
      return true;
    }
  }
  const long code = CharacterReference(ref);
  if (code < 0 || code >= 0xFFFF) return false;
  // A lone surrogate has no UTF-8 form.
  platform::AppendUtf8(
      out, code >= 0xD800 && code <= 0xDFFF ? 0xFFFD : static_cast<std::uint32_t>(code));
  return true;
}

// One left-to-right pass; decoded text is never scanned again.
std::string DecodeEntities(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const std::size_t amp = raw.find('&', i);
    const std::size_t semicolon = amp == std::string_view::npos ? amp : raw.find(';', amp + 1);
    if (semicolon == std::string_view::npos) break;
    out.append(raw.substr(i, amp - i));
    if (!AppendReference(raw.substr(amp + 1, semicolon - amp - 1), out)) {
      out.append(raw.substr(amp, semicolon - amp + 1));
    }
    i = semicolon + 1;
  }
  out.append(raw.substr(std::min(i, raw.size())));
  return out;
}

// Removes one pair of surrounding quotes; inside, a doubled quote of the same
// kind stands for one.
std::string Unquote(std::string_view value) {
  if (value.size() < 2 || !IsQuote(value.front()) || value.back() != value.front()) {
    return std::string(value);
  }
  const char quote = value.front();
  const std::string_view inner = value.substr(1, value.size() - 2);
  std::string out;
  out.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    out.push_back(inner[i]);
    if (inner[i] == quote && i + 1 < inner.size() && inner[i + 1] == quote) ++i;
  }
  return out;
}

[[noreturn]] void FailInteger(std::string_view raw) {
  throw XmlError(XmlError::Kind::Conversion,
                 "'" + std::string(raw) + "' is not a valid integer value");
}

std::int32_t ParseInteger(std::string_view raw) {
  std::string_view s = raw;
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  bool hex = false;
  if (s.starts_with("0x") || s.starts_with("0X")) {
    hex = true;
    s.remove_prefix(2);
  } else if (!s.empty() && (s.front() == '$' || s.front() == 'x' || s.front() == 'X')) {
    hex = true;
    s.remove_prefix(1);
  }
  if (s.empty()) FailInteger(raw);
  if (hex) {
    if (s.size() > 8) FailInteger(raw);
    std::uint32_t pattern = 0;
    for (const char c : s) {
      const int digit = HexDigit(c);
      if (digit < 0) FailInteger(raw);
      pattern = pattern << 4 | static_cast<std::uint32_t>(digit);
    }
    // Unsigned negation keeps "-$80000000" well defined.
    return static_cast<std::int32_t>(negative ? 0u - pattern : pattern);
  }
  const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
  std::uint64_t value = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') FailInteger(raw);
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > limit) FailInteger(raw);
  }
  return static_cast<std::int32_t>(negative ? 0u - static_cast<std::uint32_t>(value)
                                            : static_cast<std::uint32_t>(value));
}

}  // namespace

// --- XmlElement -----------------------------------------------------------

const Node& XmlElement::node() const {
  if (node_ == nullptr) {
    throw XmlError(XmlError::Kind::AbsentElement, "Element not present in xml");
  }
  return *node_;
}

std::string_view XmlElement::name() const {
  return node().name;
}

XmlElement XmlElement::FindElement(std::string_view name) const {
  const Node* top = &node();
  for (const Node* n = top->firstChild; n != nullptr; n = xml_detail::NextInSubtree(n, top)) {
    if (SameName(*n, name)) return XmlElement(n);
  }
  return XmlElement();
}

void XmlElement::FindElements(std::string_view name, std::vector<XmlElement>& list) const {
  const Node* top = &node();
  list.clear();
  for (const Node* n = top->firstChild; n != nullptr; n = xml_detail::NextInSubtree(n, top)) {
    if (SameName(*n, name)) list.push_back(XmlElement(n));
  }
}

void XmlElement::Children(std::string_view name, std::vector<XmlElement>& list) const {
  list.clear();
  for (const Node* child = node().firstChild; child != nullptr; child = child->next) {
    if (SameName(*child, name)) list.push_back(XmlElement(child));
  }
}

std::string XmlElement::Attribute(std::string_view name) const {
  for (const std::string& piece : node().attributes) {
    const std::string_view text = piece;
    const std::size_t equals = text.find('=');
    if (!SameAsciiIgnoringCase(text.substr(0, equals), name)) continue;
    if (equals == std::string_view::npos) return {};
    const std::string_view value = text.substr(equals + 1);
    // Most values have neither a doubled quote nor a reference: one copy instead of three.
    if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()) {
      const std::string_view inner = value.substr(1, value.size() - 2);
      if (inner.find(value.front()) == std::string_view::npos &&
          inner.find('&') == std::string_view::npos) {
        return std::string(inner);
      }
    }
    return DecodeEntities(Unquote(value));
  }
  return {};
}

std::string XmlElement::ValueText() const {
  return DecodeEntities(node().value);
}

std::int32_t XmlElement::ValueInteger() const {
  return ParseInteger(node().value);
}

bool XmlElement::ValueBool() const {
  const std::string& value = node().value;
  switch (value.empty() ? '\0' : AsciiUpper(value.front())) {
    case '1':
    case 'T':
    case 'Y':
      return true;
    case '0':
    case 'F':
    case 'N':
      return false;
    default:
      throw XmlError(XmlError::Kind::Conversion, "Cannot convert value to bool");
  }
}

std::string XmlElement::ChildText(std::string_view name, std::string_view defaultText) const {
  for (const Node* child = node().firstChild; child != nullptr; child = child->next) {
    if (SameName(*child, name)) return XmlElement(child).ValueText();
  }
  return std::string(defaultText);
}

// --- XmlDocument ----------------------------------------------------------

XmlDocument::XmlDocument() = default;
XmlDocument::~XmlDocument() = default;
XmlDocument::XmlDocument(XmlDocument&&) noexcept = default;
XmlDocument& XmlDocument::operator=(XmlDocument&&) noexcept = default;

XmlElement XmlDocument::Root() const {
  if (tree_ == nullptr) return XmlElement();
  for (const Node* n = tree_->document.firstChild; n != nullptr; n = n->next) {
    if (n->kind == xml_detail::NodeKind::Element) return XmlElement(n);
  }
  return XmlElement();
}

}  // namespace kestrune
