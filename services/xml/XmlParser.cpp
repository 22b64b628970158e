// XmlDocument::Parse: encoding detection and the lenient tree builder.
//
// The builder keeps its open elements on an explicit stack instead of
// recursing, so nesting depth is bounded only by memory.

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "PlatformText.h"
#include "xml/XmlDocument.h"
#include "xml/XmlTree.h"

namespace kestrune {

namespace {

using namespace std::string_view_literals;
using xml_detail::Node;
using xml_detail::NodeKind;
using xml_detail::Tree;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

bool OnlyBlanks(std::string_view s) {
  return std::all_of(s.begin(), s.end(), IsBlank);
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

[[noreturn]] void Fail(const std::string& message) {
  throw XmlError(XmlError::Kind::Parse, message);
}

// --- Input encoding -------------------------------------------------------

enum class Encoding { Ucs4, Utf16BigEndian, Utf16LittleEndian, Utf8, EightBit, Ebcdic };

struct Signature {
  std::string_view bytes;
  Encoding encoding;
  bool markSkipped;
};

// Tried in this order; the first row that agrees with the leading bytes wins.
constexpr Signature kSignatures[] = {
    {"\x00\x00\xFE\xFF"sv, Encoding::Ucs4, true},
    {"\xFF\xFE\x00\x00"sv, Encoding::Ucs4, true},
    {"\x00\x00\xFF\xFE"sv, Encoding::Ucs4, true},
    {"\xFE\xFF\x00\x00"sv, Encoding::Ucs4, true},
    {"\xFE\xFF"sv, Encoding::Utf16BigEndian, true},
    {"\xFF\xFE"sv, Encoding::Utf16LittleEndian, true},
    {"\xEF\xBB\xBF"sv, Encoding::Utf8, true},
    {"\x00\x00\x00\x3C"sv, Encoding::Ucs4, false},
    {"\x3C\x00\x00\x00"sv, Encoding::Ucs4, false},
    {"\x00\x00\x3C\x00"sv, Encoding::Ucs4, false},
    {"\x00\x3C\x00\x00"sv, Encoding::Ucs4, false},
    {"\x00\x3C\x00\x3F"sv, Encoding::Utf16BigEndian, false},
    {"\x3C\x00\x3F\x00"sv, Encoding::Utf16LittleEndian, false},
    {"\x3C\x3F\x78\x6D"sv, Encoding::EightBit, false},
    {"\x4C\x6F\xA7\x94"sv, Encoding::Ebcdic, false},
};

// Returns the text the builder reads, in `storage` when it had to be
// converted. The system 8-bit code page is UTF-8 here, so 8-bit and UTF-8
// input are read alike and pass through unchanged.
std::string_view DecodeInput(std::string_view text, std::string& storage) {
  const std::string_view head = text.substr(0, 4);
  Encoding encoding = Encoding::EightBit;
  std::size_t markLength = 0;
  for (const Signature& row : kSignatures) {
    // A short text is compared over the bytes it has, so the empty text
    // agrees with the first row.
    const std::size_t n = std::min(row.bytes.size(), head.size());
    if (head.substr(0, n) == row.bytes.substr(0, n)) {
      encoding = row.encoding;
      markLength = row.markSkipped ? row.bytes.size() : 0;
      break;
    }
  }
  if (encoding == Encoding::Ucs4 || encoding == Encoding::Ebcdic) {
    throw XmlError(XmlError::Kind::Encoding, "Unsupported string encoding");
  }
  text.remove_prefix(std::min(markLength, text.size()));
  if (encoding != Encoding::Utf16BigEndian && encoding != Encoding::Utf16LittleEndian) {
    return text;
  }
  // Only the low byte of each 16-bit unit is kept; a trailing odd byte is no unit.
  const std::size_t low = encoding == Encoding::Utf16BigEndian ? 1 : 0;
  storage.reserve(text.size() / 2);
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) storage.push_back(text[i + low]);
  return storage;
}

// --- Tree builder ---------------------------------------------------------

enum class Markup {
  Element,
  CData,
  DocType,
  MarkupDeclaration,
  StyleSheet,
  Declaration,
  Comment,
  Bang,      // other "<!"
  Question,  // other "<?"
};

struct Opening {
  std::string_view text;  // without the leading "<"
  Markup markup;
};

constexpr Opening kOpenings[] = {
    {"![CDATA["sv, Markup::CData},
    {"!DOCTYPE"sv, Markup::DocType},
    {"!ELEMENT"sv, Markup::MarkupDeclaration},
    {"!ATTLIST"sv, Markup::MarkupDeclaration},
    {"!ENTITY"sv, Markup::MarkupDeclaration},
    {"!NOTATION"sv, Markup::MarkupDeclaration},
    {"?xml-stylesheet"sv, Markup::StyleSheet},
    {"?xml"sv, Markup::Declaration},
    {"!--"sv, Markup::Comment},
    {"!"sv, Markup::Bang},
    {"?"sv, Markup::Question},
    {""sv, Markup::Element},
};

// Splits tag text at blanks outside quotes and rejoins `name = "v"` style
// pieces into one `name="v"` piece.
std::vector<std::string> SplitTag(std::string_view text) {
  std::vector<std::string> pieces;
  // Tracked so that rejoining many quoted pieces stays linear.
  bool lastHasEquals = false;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i == text.size()) break;
    const std::size_t start = i;
    char quote = 0;
    for (; i < text.size(); ++i) {
      const char c = text[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (IsQuote(c)) {
        quote = c;
      } else if (IsBlank(c)) {
        break;
      }
    }
    const std::string_view piece = text.substr(start, i - start);
    const bool hasEquals = piece.find('=') != std::string_view::npos;
    if (!pieces.empty() && (piece.front() == '=' || (IsQuote(piece.front()) && lastHasEquals))) {
      pieces.back() += piece;
      lastHasEquals = true;
    } else {
      pieces.emplace_back(piece);
      lastHasEquals = hasEquals;
    }
  }
  return pieces;
}

class Builder {
 public:
  Builder(std::string_view input, Tree& tree) : in_(input), tree_(tree) {}

  void Run() {
    while (true) {
      if (open_.empty()) {
        if (!TopLevelStep()) break;
      } else if (open_.back()->kind == NodeKind::DocType) {
        SubsetStep(open_.back());
      } else {
        ContentStep(open_.back());
      }
    }
    for (const Node* node = tree_.document.firstChild; node != nullptr; node = node->next) {
      if (node->kind == NodeKind::Element) return;
    }
    Fail("No root element found in xml");
  }

 private:
  bool AtEnd() const { return pos_ >= in_.size(); }
  void SkipBlanks() {
    while (!AtEnd() && IsBlank(in_[pos_])) ++pos_;
  }

  // Returns false once the input is used up.
  bool TopLevelStep() {
    SkipBlanks();
    if (AtEnd()) return false;
    // Stray characters between top-level nodes are dropped.
    if (in_[pos_++] == '<') ReadNode(&tree_.document);
    return true;
  }

  // The internal subset of a document type declaration, up to "]".
  void SubsetStep(Node* docType) {
    SkipBlanks();
    if (AtEnd()) {
      open_.pop_back();
      return;
    }
    const char c = in_[pos_++];
    if (c == '<') {
      ReadNode(docType);
    } else if (c == ']') {
      const std::size_t gt = in_.find('>', pos_);
      pos_ = gt == std::string_view::npos ? in_.size() : gt + 1;
      open_.pop_back();
    }
  }

  // One text run of an element's content and the markup after it.
  void ContentStep(Node* element) {
    const std::size_t lt = in_.find('<', pos_);
    if (lt == std::string_view::npos) Fail("Missing close tag in element " + element->name);
    const std::string_view run = in_.substr(pos_, lt - pos_);
    pos_ = lt + 1;
    SkipBlanks();
    if (AtEnd()) Fail("Missing data after \"<\" in element " + element->name);
    if (in_[pos_] == '/') {
      const std::size_t gt = in_.find('>', pos_ + 1);
      if (gt == std::string_view::npos) {
        Fail("Missing \">\" in close tag of element " + element->name);
      }
      const std::string_view closeName = TrimBlanks(in_.substr(pos_ + 1, gt - pos_ - 1));
      if (!platform::SameTextIgnoringCase(closeName, element->name)) {
        Fail("Incorrect close tag in element " + element->name);
      }
      pos_ = gt + 1;
      FinishElement(element, run);
      open_.pop_back();
      return;
    }
    if (!OnlyBlanks(run)) AddText(element, run);
    ReadNode(element);
  }

  void AddText(Node* parent, std::string_view text) {
    tree_.Append(parent, NodeKind::Text)->value = text;
  }

  // Applies the value rules once the end tag has been read; `lastRun` is the
  // text between the last child (or the start tag) and the end tag.
  void FinishElement(Node* element, std::string_view lastRun) {
    if (element->firstChild == nullptr) {
      // Text only: the value is exactly what was written, blanks included.
      element->value = lastRun;
      return;
    }
    if (!OnlyBlanks(lastRun)) AddText(element, lastRun);
    if (lastRun.find('\r') != std::string_view::npos) {
      for (Node* child = element->firstChild; child != nullptr; child = child->next) {
        if (child->kind != NodeKind::Text) continue;
        std::string& text = child->value;
        const std::size_t keep = text.find_last_not_of(" \r\n");
        text.erase(keep == std::string::npos ? 0 : keep + 1);
      }
    }
    Node* first = element->firstChild;
    if (first->kind == NodeKind::Text) {
      element->value = std::move(first->value);
      element->firstChild = first->next;
      if (element->firstChild == nullptr) element->lastChild = nullptr;
      first->next = nullptr;
      first->parent = nullptr;
    }
  }

  Markup ReadOpening() {
    const std::string_view rest = in_.substr(pos_);
    const Opening* best = nullptr;
    for (const Opening& opening : kOpenings) {
      if (rest.starts_with(opening.text) &&
          (best == nullptr || opening.text.size() > best->text.size())) {
        best = &opening;
      }
    }
    pos_ += best->text.size();
    return best->markup;
  }

  // The text up to `close`, without regard to quotes; the rest of the input
  // when `close` never comes.
  std::string_view ReadUntil(std::string_view close) {
    const std::size_t end = in_.find(close, pos_);
    if (end == std::string_view::npos) {
      const std::string_view text = in_.substr(pos_);
      pos_ = in_.size();
      return text;
    }
    const std::string_view text = in_.substr(pos_, end - pos_);
    pos_ = end + close.size();
    return text;
  }

  // Like ReadUntil, but a `close` inside quotes does not count.
  std::string_view ReadUntilOutsideQuotes(std::string_view close) {
    char quote = 0;
    for (std::size_t i = pos_; i < in_.size(); ++i) {
      const char c = in_[i];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (IsQuote(c)) {
        quote = c;
      } else if (c == close.front() && in_.substr(i).starts_with(close)) {
        const std::string_view text = in_.substr(pos_, i - pos_);
        pos_ = i + close.size();
        return text;
      }
    }
    const std::string_view text = in_.substr(pos_);
    pos_ = in_.size();
    return text;
  }

  // Declarations carry a first word (their name) and the rest (their value).
  static void SetNameAndRest(Node* node, std::string_view text) {
    text = TrimBlanks(text);
    const auto wordEnd = std::find_if(text.begin(), text.end(), IsBlank);
    const std::size_t length = static_cast<std::size_t>(wordEnd - text.begin());
    node->name = text.substr(0, length);
    node->value = TrimBlanks(text.substr(length));
  }

  void AppendSpecial(Node* parent, std::string_view text) {
    Node* node = tree_.Append(parent, NodeKind::Special);
    node->name = "Special";
    node->value = text;
  }

  // Reads the node whose "<" has just been consumed and appends it to `parent`.
  void ReadNode(Node* parent) {
    switch (ReadOpening()) {
      case Markup::Element: {
        std::string_view tag = ReadUntilOutsideQuotes(">");
        const bool empty = tag.ends_with('/');
        if (empty) tag.remove_suffix(1);
        std::vector<std::string> pieces = SplitTag(tag);
        if (pieces.empty()) Fail("Missing element name");
        Node* element = tree_.Append(parent, NodeKind::Element);
        element->name = std::move(pieces.front());
        pieces.erase(pieces.begin());
        element->attributes = std::move(pieces);
        if (!empty) open_.push_back(element);
        break;
      }
      case Markup::CData: {
        Node* node = tree_.Append(parent, NodeKind::CData);
        node->name = "CData";
        node->value = ReadUntil("]]>");
        break;
      }
      case Markup::Comment: {
        Node* node = tree_.Append(parent, NodeKind::Comment);
        node->name = "Comment";
        node->value = ReadUntil("-->");
        break;
      }
      case Markup::Declaration: {
        Node* node = tree_.Append(parent, NodeKind::Declaration);
        node->name = "xml";
        node->attributes = SplitTag(ReadUntilOutsideQuotes("?>"));
        break;
      }
      case Markup::StyleSheet: {
        Node* node = tree_.Append(parent, NodeKind::StyleSheet);
        node->name = "xml-stylesheet";
        node->value = TrimBlanks(ReadUntilOutsideQuotes("?>"));
        break;
      }
      case Markup::MarkupDeclaration:
        SetNameAndRest(tree_.Append(parent, NodeKind::MarkupDeclaration),
                       ReadUntilOutsideQuotes(">"));
        break;
      case Markup::DocType: {
        Node* node = tree_.Append(parent, NodeKind::DocType);
        const std::size_t end = std::min(in_.find_first_of(">[", pos_), in_.size());
        SetNameAndRest(node, in_.substr(pos_, end - pos_));
        const bool hasSubset = end < in_.size() && in_[end] == '[';
        pos_ = std::min(end + 1, in_.size());
        if (hasSubset) open_.push_back(node);
        break;
      }
      case Markup::Bang:
        AppendSpecial(parent, ReadUntil(">"));
        break;
      case Markup::Question:
        AppendSpecial(parent, ReadUntil("?>"));
        break;
    }
  }

  std::string_view in_;
  std::size_t pos_ = 0;
  Tree& tree_;
  // Open elements and document type declarations whose subset is being read.
  std::vector<Node*> open_;
};

}  // namespace

void XmlDocument::Parse(std::string_view text) {
  std::string converted;
  const std::string_view input = DecodeInput(text, converted);
  auto tree = std::make_unique<xml_detail::Tree>();
  Builder(input, *tree).Run();
  tree_ = std::move(tree);
}

}  // namespace kestrune
