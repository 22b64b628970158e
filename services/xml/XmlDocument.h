#pragma once
// A lenient, read-only XML reader for the settings document and the patch list.
// It does not validate: it builds a node tree in document order and answers a
// few reads on it. Every failure, a read on an absent element included, is an
// XmlError, so a caller needs one catch for the whole document.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

namespace xml_detail {
struct Node;
struct Tree;
}  // namespace xml_detail

class XmlError : public std::runtime_error {
 public:
  enum class Kind {
    Parse,          // malformed markup, or no element at all
    Encoding,       // UCS-4, EBCDIC or empty input
    Conversion,     // ValueInteger / ValueBool on a value that does not convert
    AbsentElement,  // a read on the element that FindElement did not find
  };
  XmlError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// A handle to one node of an XmlDocument (usually an element; the searches
// match nodes of every kind by name). Cheap to copy; valid while its document
// lives and until the document parses again. A default-constructed handle is
// the absent element: every read on it throws XmlError(AbsentElement).
class XmlElement {
 public:
  XmlElement() = default;

  bool isPresent() const noexcept { return node_ != nullptr; }
  explicit operator bool() const noexcept { return isPresent(); }

  // The node's name as written (UTF-8). Views into the document.
  std::string_view name() const;

  // The first descendant named `name` (case ignored under the user's locale),
  // in depth-first pre-order; this element itself never matches. Returns the
  // absent element when nothing matches.
  XmlElement FindElement(std::string_view name) const;

  // Empties `list`, then appends every descendant named `name` in depth-first
  // pre-order, matches inside matches included.
  void FindElements(std::string_view name, std::vector<XmlElement>& list) const;

  // Empties `list`, then appends every direct child named `name`, in document order.
  void Children(std::string_view name, std::vector<XmlElement>& list) const;

  // The first attribute named `name` (ASCII letters compared without case),
  // unquoted and entity-decoded; empty when there is no such attribute.
  std::string Attribute(std::string_view name) const;

  // The element's value, entity-decoded.
  std::string ValueText() const;

  // The raw value as a 32-bit integer: optional leading spaces and sign, then
  // decimal digits, or "$", "x" or "0x" and up to eight hex digits taken as a
  // bit pattern. Throws XmlError(Conversion) on anything else.
  std::int32_t ValueInteger() const;

  // Decided by the value's first byte: 1/T/Y true, 0/F/N false (letters in
  // either case). Throws XmlError(Conversion) otherwise, an empty value too.
  bool ValueBool() const;

  // ValueText of the first direct child named `name`, else `defaultText`.
  std::string ChildText(std::string_view name, std::string_view defaultText) const;

 private:
  friend class XmlDocument;
  explicit XmlElement(const xml_detail::Node* node) : node_(node) {}
  const xml_detail::Node& node() const;

  const xml_detail::Node* node_ = nullptr;
};

// Owns the node tree of one parsed text.
class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(XmlDocument&&) noexcept;
  XmlDocument& operator=(XmlDocument&&) noexcept;
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Replaces the document's nodes by those of `text` (an 8-bit or UTF-8 text;
  // a byte-order mark is honoured). Throws XmlError(Parse) or
  // XmlError(Encoding); on failure the document keeps its previous nodes.
  // Handles from an earlier parse are invalid after a successful one.
  void Parse(std::string_view text);

  // The first top-level element; the absent element before a successful parse.
  XmlElement Root() const;

 private:
  std::unique_ptr<xml_detail::Tree> tree_;
};

}  // namespace kestrune
