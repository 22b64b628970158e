#include "xml/XmlDocument.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {
namespace {

using namespace std::string_literals;

XmlDocument Parsed(std::string_view text) {
  XmlDocument document;
  document.Parse(text);
  return document;
}

// The "id" attributes of `elements`, joined by blanks: shows which elements a
// search returned and in which order.
std::string Ids(const std::vector<XmlElement>& elements) {
  std::string ids;
  for (const XmlElement& element : elements) {
    if (!ids.empty()) ids += ' ';
    ids += element.Attribute("id");
  }
  return ids;
}

// What both callers do to a fetched body before parsing: every line end
// becomes CR LF and the text ends with one.
std::string WithCrLfLines(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t end = text.find_first_of("\r\n", i);
    if (end == std::string_view::npos) {
      out.append(text.substr(i));
      out += "\r\n";
      break;
    }
    out.append(text.substr(i, end - i));
    out += "\r\n";
    i = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
  }
  return out;
}

std::string ReadDataFile(const std::string& name) {
  std::ifstream file(std::string(KESTRUNE_TEST_DATA) + "/xml/" + name, std::ios::binary);
  EXPECT_TRUE(file) << name;
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

// --- Searches -------------------------------------------------------------

TEST(XmlSearch, FindElementTakesFirstMatchInDepthFirstPreOrder) {
  struct Row {
    const char* xml;
    const char* name;
    const char* expectedId;  // nullptr: the absent element
  };
  const Row rows[] = {
      {R"(<r><Version id="1"/></r>)", "version", "1"},
      {R"(<r><version id="1"/></r>)", "VERSION", "1"},
      // The b inside a comes before the later sibling b.
      {R"(<r><a id="a"><b id="inner"/></a><b id="outer"/></r>)", "b", "inner"},
      {R"(<r><x><y><z id="deep"/></y></x><z id="shallow"/></r>)", "z", "deep"},
      // An element is tested before its own children.
      {R"(<r><a id="outer"><a id="inner"/></a></r>)", "a", "outer"},
      // The element searched from never matches itself...
      {R"(<r><a id="1"/></r>)", "r", nullptr},
      // ...but a descendant with its name does.
      {R"(<r><a><R id="2"/></a></r>)", "r", "2"},
      {R"(<r><a/></r>)", "missing", nullptr},
      // Non-ASCII names fold case under the locale's rules.
      {R"(<r><ВЕРСИЯ id="ru"/></r>)", "версия", "ru"},
      // Bytes that are not UTF-8 only equal themselves.
      {"<r><n\xFF id=\"ff\"/><n\xFE id=\"fe\"/></r>", "n\xFE", "fe"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.xml) + " / " + row.name);
    const XmlDocument document = Parsed(row.xml);
    const XmlElement found = document.Root().FindElement(row.name);
    if (row.expectedId == nullptr) {
      EXPECT_FALSE(found);
    } else {
      ASSERT_TRUE(found);
      EXPECT_EQ(found.Attribute("id"), row.expectedId);
    }
  }
}

TEST(XmlSearch, FindElementsReturnsEveryMatchInDocumentOrder) {
  struct Row {
    const char* xml;
    const char* name;
    const char* expectedIds;
  };
  const Row rows[] = {
      {R"(<r><archive id="first"><archive id="inner"/></archive><archive id="second"/></r>)",
       "archive", "first inner second"},
      {R"(<archive id="root"><x><ARCHIVE id="1"/></x><Archive id="2"/></archive>)", "archive",
       "1 2"},
      {R"(<r><a id="1"><b><a id="2"><a id="3"/></a></b></a><a id="4"/></r>)", "a", "1 2 3 4"},
      {R"(<r><b/></r>)", "a", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.xml);
    const XmlDocument document = Parsed(row.xml);
    std::vector<XmlElement> found;
    document.Root().FindElements(row.name, found);
    EXPECT_EQ(Ids(found), row.expectedIds);
  }
}

TEST(XmlSearch, FindElementsEmptiesTheListFirst) {
  const XmlDocument document = Parsed(R"(<r><a id="x"/><b id="y"/></r>)");
  std::vector<XmlElement> found;
  document.Root().FindElements("a", found);
  document.Root().FindElements("b", found);
  EXPECT_EQ(Ids(found), "y");
}

TEST(XmlSearch, ChildTextLooksOnlyAtDirectChildren) {
  const XmlDocument document =
      Parsed("<r><Version>7</Version><version>8</version><g><deep>x</deep></g><e>&amp;</e></r>");
  const XmlElement root = document.Root();
  EXPECT_EQ(root.ChildText("version", "def"), "7");
  EXPECT_EQ(root.ChildText("deep", "def"), "def");
  EXPECT_EQ(root.ChildText("missing", ""), "");
  EXPECT_EQ(root.ChildText("e", ""), "&");
}

// The searches compare the names of all nodes, so markup nodes take part
// under their fixed names.
TEST(XmlSearch, MarkupNodesAreFoundByTheirKindName) {
  struct Row {
    const char* content;  // placed inside <r>...</r>
    const char* name;
    const char* expectedValue;
  };
  const Row rows[] = {
      {"<!-- note > \"x -->", "Comment", " note > \"x "},
      {"<![CDATA[<b>&amp;</b>]]>", "cdata", "<b>&</b>"},
      {"<?target some data?>", "Special", "target some data"},
      {"<!something else>", "Special", "something else"},
      {"<?xml-stylesheet  href=\"a.xsl\"  ?>", "xml-stylesheet", "href=\"a.xsl\""},
      {"<!ENTITY  name \"v\" >", "name", "\"v\""},
      {"<!DOCTYPE d SYSTEM \"d.dtd\">", "d", "SYSTEM \"d.dtd\""},
      // The openings are matched with regard to case.
      {"<!doctype d>", "Special", "doctype d"},
      {"<?XML version=\"1.0\"?>", "Special", "XML version=\"1.0\""},
      // The longest complete opening wins; what follows goes to the node.
      {"<!-x>", "Special", "-x"},
      {"<?xml-foo?>", "xml", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.content);
    const XmlDocument document = Parsed("<r>"s + row.content + "</r>");
    const XmlElement found = document.Root().FindElement(row.name);
    ASSERT_TRUE(found);
    EXPECT_EQ(found.ValueText(), row.expectedValue);
  }
}

TEST(XmlSearch, DeclarationPseudoAttributesAreAttributes) {
  const XmlDocument document =
      Parsed(R"(<r><?xml version = "1.0" encoding='UTF-8' standalone="yes"?></r>)");
  const XmlElement declaration = document.Root().FindElement("xml");
  ASSERT_TRUE(declaration);
  EXPECT_EQ(declaration.Attribute("version"), "1.0");
  EXPECT_EQ(declaration.Attribute("encoding"), "UTF-8");
  EXPECT_EQ(declaration.Attribute("standalone"), "yes");
}

TEST(XmlDocumentRoot, IsTheFirstTopLevelElement) {
  const XmlDocument document = Parsed(
      "stray <?xml version=\"1.0\"?>\n<!-- c --><!DOCTYPE first><first><a id=\"in-first\"/></first>"
      "text <second><a id=\"in-second\"/><b/></second>");
  const XmlElement root = document.Root();
  ASSERT_TRUE(root);
  EXPECT_EQ(root.name(), "first");
  std::vector<XmlElement> found;
  root.FindElements("a", found);
  EXPECT_EQ(Ids(found), "in-first");
  EXPECT_FALSE(root.FindElement("b"));
}

TEST(XmlDocumentRoot, ParseReplacesTheTreeOnlyOnSuccess) {
  XmlDocument document;
  EXPECT_FALSE(document.Root());
  document.Parse("<one/>");
  EXPECT_THROW(document.Parse("<broken>"), XmlError);
  EXPECT_EQ(document.Root().name(), "one");
  document.Parse("<two/>");
  EXPECT_EQ(document.Root().name(), "two");

  // Handles stay valid when the document moves.
  const XmlElement root = document.Root();
  const XmlDocument moved = std::move(document);
  EXPECT_EQ(root.name(), "two");
}

// --- Values ---------------------------------------------------------------

TEST(XmlValue, ValueTextFollowsTheTextRunRules) {
  struct Row {
    const char* xml;
    const char* expected;
  };
  const Row rows[] = {
      {"<a>x</a>", "x"},
      {"<a> 5 </a>", " 5 "},
      {"<a>\r\n</a>", "\r\n"},
      {"<a>  line one\r\n  line two\r\n</a>", "  line one\r\n  line two\r\n"},
      {"<a></a>", ""},
      {"<a/>", ""},
      {"<a x='1' />", ""},
      // Only a text that comes first becomes the value.
      {"<a><!--c-->text</a>", ""},
      {"<a><![CDATA[x]]></a>", ""},
      {"<a><b/>text</a>", ""},
      {"<a>x<b/>y</a>", "x"},
      // A CR after the last child strips trailing CR, LF and space from
      // every text child; TAB stays.
      {"<a>x \r\n<b/>\r\n</a>", "x"},
      {"<a>x\t \r\n<b/>\r\n</a>", "x\t"},
      {"<a>x \r\n<b/>y</a>", "x \r\n"},
      {"<a>x \n<b/>\n</a>", "x \n"},
      // Blank runs between children are not text.
      {"<a>\r\n  <b/>\r\n  text\r\n</a>", ""},
      // End tags: blanks trimmed, case ignored, blanks after "<" skipped.
      {"<a>v< / A >", "v"},
      {"<a>v</a >", "v"},
      {"<a>&amp;lt;</a>", "&lt;"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.xml);
    EXPECT_EQ(Parsed(row.xml).Root().ValueText(), row.expected);
  }
}

TEST(XmlValue, TrailingCrRuleTrimsLaterTextChildrenToo) {
  // The text child after <b/> is not the value, but the empty-name search
  // reaches it, and it was trimmed along with the first one.
  const XmlDocument document = Parsed("<a>x \r\n<b/>y \r\n</a>");
  EXPECT_EQ(document.Root().ValueText(), "x");
  EXPECT_EQ(document.Root().ChildText("", "none"), "y");
}

TEST(XmlValue, EntitiesAreDecodedOnce) {
  struct Row {
    const char* raw;
    std::string expected;
  };
  const Row rows[] = {
      {"&amp;lt;", "&lt;"},
      {"&lt;&gt;&apos;&quot;&amp;", "<>'\"&"},
      {"R&amp;D", "R&D"},
      {"&AMP; &Lt;", "&AMP; &Lt;"},
      {"&nbsp; &product;", "&nbsp; &product;"},
      {"&#65;&#x42;&#X43;&#0068;", "ABCD"},
      {"&#0;", "\0"s},
      {"&#127;", "\x7F"},
      {"&#128;", "\xC2\x80"},
      {"&#233;", "\xC3\xA9"},
      {"&#x20AC;", "\xE2\x82\xAC"},
      {"&#65534;", "\xEF\xBF\xBE"},
      {"&#xD800;", "\xEF\xBF\xBD"},
      {"&#65535; &#x10000; &#99999999999999999999;", "&#65535; &#x10000; &#99999999999999999999;"},
      {"&#; &#x; &#12a; &#-1; &#xG;", "&#; &#x; &#12a; &#-1; &#xG;"},
      {"a & b", "a & b"},
      {"tail &amp", "tail &amp"},
      // A reference runs to the next ";", whatever lies between.
      {"&a &amp;", "&a &amp;"},
      {"x&amp;&amp;y", "x&&y"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.raw);
    const std::string raw = row.raw;
    EXPECT_EQ(Parsed("<a>" + raw + "</a>").Root().ValueText(), row.expected);
    EXPECT_EQ(Parsed("<a v=\"" + raw + "\"/>").Root().Attribute("v"), row.expected);
  }
}

TEST(XmlValue, ValueIntegerConvertsTheRawValue) {
  struct Row {
    const char* raw;
    std::optional<std::int32_t> expected;  // nullopt: conversion failure
  };
  const Row rows[] = {
      {"5", 5},
      {"0", 0},
      {"  -42", -42},
      {"+7", 7},
      {"000000000000012", 12},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"0x1F", 31},
      {"0X1f", 31},
      {"$10", 16},
      {"x1f", 31},
      {"X1F", 31},
      {"-$10", -16},
      {"$7FFFFFFF", INT32_MAX},
      {"$80000000", INT32_MIN},
      {"$FFFFFFFF", -1},
      {"0xffffffff", -1},
      {"$0000000F", 15},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"$100000000", std::nullopt},
      {"$000000001", std::nullopt},
      {"", std::nullopt},
      {" 5 ", std::nullopt},
      {"5\r\n", std::nullopt},
      {"\t5", std::nullopt},
      {"12abc", std::nullopt},
      {"1 2", std::nullopt},
      {"1e3", std::nullopt},
      {"FF", std::nullopt},
      {"$", std::nullopt},
      {"0x", std::nullopt},
      {"-", std::nullopt},
      {"- 5", std::nullopt},
      {"+-5", std::nullopt},
      {"$-1", std::nullopt},
      {"&#49;", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("raw: '") + row.raw + "'");
    const XmlDocument document = Parsed("<v>"s + row.raw + "</v>");
    if (row.expected) {
      EXPECT_EQ(document.Root().ValueInteger(), *row.expected);
      continue;
    }
    try {
      document.Root().ValueInteger();
      ADD_FAILURE() << "no failure";
    } catch (const XmlError& error) {
      EXPECT_EQ(error.kind(), XmlError::Kind::Conversion);
      EXPECT_EQ(error.what(), "'"s + row.raw + "' is not a valid integer value");
    }
  }
}

TEST(XmlValue, ValueBoolLooksAtTheFirstByte) {
  struct Row {
    const char* raw;
    std::optional<bool> expected;
  };
  const Row rows[] = {
      {"1", true},           {"T", true},         {"true", true},          {"True", true},
      {"yes", true},         {"Y", true},         {"tomato", true},        {"0", false},
      {"f", false},          {"false", false},    {"no", false},           {"N", false},
      {"0 apples", false},   {"", std::nullopt},  {" true", std::nullopt}, {"on", std::nullopt},
      {"off", std::nullopt}, {"2", std::nullopt}, {"&#49;", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string("raw: '") + row.raw + "'");
    const XmlDocument document = Parsed("<v>"s + row.raw + "</v>");
    if (row.expected) {
      EXPECT_EQ(document.Root().ValueBool(), *row.expected);
      continue;
    }
    try {
      document.Root().ValueBool();
      ADD_FAILURE() << "no failure";
    } catch (const XmlError& error) {
      EXPECT_EQ(error.kind(), XmlError::Kind::Conversion);
      EXPECT_STREQ(error.what(), "Cannot convert value to bool");
    }
  }
}

TEST(XmlValue, AttributeUnquotesAndMatchesNamesByAsciiCase) {
  struct Row {
    const char* tag;
    const char* name;
    const char* expected;
  };
  const Row rows[] = {
      {R"(<a name = 'a "b"'/>)", "name", R"(a "b")"},
      {R"(<a name= "x"/>)", "name", "x"},
      {R"(<a name ="x"/>)", "name", "x"},
      {R"(<a FileName="x"/>)", "filename", "x"},
      {R"(<a v="say ""hi"""/>)", "v", R"(say "hi")"},
      {R"(<a v='it''s'/>)", "v", "it's"},
      {R"(<a v='say ""hi""'/>)", "v", R"(say ""hi"")"},
      {R"(<a v="x>y" w='a b'/>)", "v", "x>y"},
      {R"(<a v="x>y" w='a b'/>)", "w", "a b"},
      {R"(<a v=plain/>)", "v", "plain"},
      {R"(<a v=x"y"/>)", "v", R"(x"y")"},
      {R"(<a v="x"y/>)", "v", R"("x"y)"},
      {R"(<a v=""/>)", "v", ""},
      {R"(<a v="R&amp;D &lt;1&gt;"/>)", "v", "R&D <1>"},
      {R"(<a x="1" X="2"/>)", "x", "1"},
      {R"(<a x="1"/>)", "y", ""},
      {R"(<a/>)", "x", ""},
      {R"(<a flag/>)", "flag", ""},
      // Only ASCII letters fold.
      {R"(<a Äv="1"/>)", "äv", ""},
      {R"(<a Äv="1"/>)", "ÄV", "1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.tag) + " / " + row.name);
    EXPECT_EQ(Parsed(row.tag).Root().Attribute(row.name), row.expected);
  }
}

// --- Failures -------------------------------------------------------------

struct FailureRow {
  std::string text;
  XmlError::Kind kind;
  std::string message;
};

void PrintTo(const FailureRow& row, std::ostream* out) {
  *out << testing::PrintToString(row.text);
}

class XmlParseFailure : public testing::TestWithParam<FailureRow> {};

TEST_P(XmlParseFailure, FailsWithItsMessage) {
  XmlDocument document;
  try {
    document.Parse(GetParam().text);
    ADD_FAILURE() << "parsed";
  } catch (const XmlError& error) {
    EXPECT_EQ(error.kind(), GetParam().kind);
    EXPECT_EQ(error.what(), GetParam().message);
  }
}

constexpr auto kParse = XmlError::Kind::Parse;
constexpr auto kEncoding = XmlError::Kind::Encoding;

INSTANTIATE_TEST_SUITE_P(
    XmlMarkup, XmlParseFailure,
    testing::Values(
        FailureRow{"<?xml version=\"1.0\"?>", kParse, "No root element found in xml"},
        FailureRow{"just text", kParse, "No root element found in xml"},
        FailureRow{"<!-- <a></a> -->", kParse, "No root element found in xml"},
        FailureRow{"<!DOCTYPE a [ <!ELEMENT a ANY> ]>", kParse, "No root element found in xml"},
        FailureRow{"<>", kParse, "Missing element name"},
        FailureRow{"< />", kParse, "Missing element name"},
        FailureRow{"<root><></root>", kParse, "Missing element name"},
        FailureRow{"<root>text", kParse, "Missing close tag in element root"},
        FailureRow{"<root><child>", kParse, "Missing close tag in element child"},
        FailureRow{"<root attr='>'", kParse, "Missing close tag in element root"},
        FailureRow{"<root><!-- </root> -->", kParse, "Missing close tag in element root"},
        FailureRow{"<root><", kParse, "Missing data after \"<\" in element root"},
        FailureRow{"<root><b/>< \r\n", kParse, "Missing data after \"<\" in element root"},
        FailureRow{"<root></other>", kParse, "Incorrect close tag in element root"},
        FailureRow{"<root><a></b></root>", kParse, "Incorrect close tag in element a"},
        FailureRow{"<Root></root", kParse, "Missing \">\" in close tag of element Root"}));

INSTANTIATE_TEST_SUITE_P(
    XmlEncoding, XmlParseFailure,
    testing::Values(
        FailureRow{"", kEncoding, "Unsupported string encoding"},
        FailureRow{"\x00\x00\xFE\xFF\x00\x00\x00<"s, kEncoding, "Unsupported string encoding"},
        FailureRow{"\xFF\xFE\x00\x00<\x00\x00\x00"s, kEncoding, "Unsupported string encoding"},
        FailureRow{"\x00\x00\xFF\xFE"s, kEncoding, "Unsupported string encoding"},
        FailureRow{"\xFE\xFF\x00\x00"s, kEncoding, "Unsupported string encoding"},
        FailureRow{"\x00\x00\x00<\x00\x00\x00"
                   "a"s,
                   kEncoding, "Unsupported string encoding"},
        FailureRow{"<\x00\x00\x00"s, kEncoding, "Unsupported string encoding"},
        FailureRow{"\x00\x00<\x00"s, kEncoding, "Unsupported string encoding"},
        FailureRow{"\x00<\x00\x00"s, kEncoding, "Unsupported string encoding"},
        FailureRow{"\x4C\x6F\xA7\x94\x93\x40"s, kEncoding, "Unsupported string encoding"},
        // Short texts are compared over the bytes they have.
        FailureRow{"<", kEncoding, "Unsupported string encoding"},
        FailureRow{"\xFE\xFF"s, kEncoding, "Unsupported string encoding"}));

// --- Input encodings ------------------------------------------------------

std::string Utf16(std::string_view ascii, bool bigEndian, std::string_view mark, char high) {
  std::string out(mark);
  for (const char c : ascii) out += bigEndian ? std::string{high, c} : std::string{c, high};
  return out;
}

TEST(XmlEncoding, DetectedEncodingsReadTheSameDocument) {
  const std::string xml = "<?xml version=\"1.0\"?><a k=\"v\">x</a>";
  struct Row {
    const char* label;
    std::string text;
  };
  const Row rows[] = {
      {"8-bit", xml},
      {"UTF-8 mark", "\xEF\xBB\xBF" + xml},
      // Only the low byte of each unit counts, so U+0461 reads as "a".
      {"UTF-16 LE mark", Utf16(xml, false, "\xFF\xFE", '\x04')},
      {"UTF-16 BE mark", Utf16(xml, true, "\xFE\xFF", '\x04')},
      {"UTF-16 LE", Utf16(xml, false, "", '\0')},
      {"UTF-16 BE", Utf16(xml, true, "", '\0')},
      {"UTF-16 LE odd tail", Utf16(xml, false, "\xFF\xFE", '\0') + "<"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const XmlDocument document = Parsed(row.text);
    const XmlElement root = document.Root();
    ASSERT_TRUE(root);
    EXPECT_EQ(root.name(), "a");
    EXPECT_EQ(root.Attribute("k"), "v");
    EXPECT_EQ(root.ValueText(), "x");
  }
}

// Eight-bit text is read in the system code page, UTF-8 here, with or
// without a declaration naming it: bytes come back unchanged.
TEST(XmlEncoding, EightBitBytesPassThroughWhateverTheDeclarationSays) {
  const std::string content = "Привет \xE9\xFF";
  const char* declarations[] = {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>",
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?>",
      "",
  };
  for (const char* declaration : declarations) {
    SCOPED_TRACE(declaration);
    const XmlDocument document =
        Parsed(declaration + "<a n=\""s + content + "\">" + content + "</a>");
    EXPECT_EQ(document.Root().ValueText(), content);
    EXPECT_EQ(document.Root().Attribute("n"), content);
  }
}

// --- The absent element ---------------------------------------------------

TEST(XmlAbsentElement, EveryReadFails) {
  const XmlDocument document = Parsed("<r><a>1</a></r>");
  const XmlElement absent = document.Root().FindElement("nothing");
  ASSERT_FALSE(absent);
  EXPECT_FALSE(absent.isPresent());
  for (const XmlElement& element : {absent, XmlElement(), XmlDocument().Root()}) {
    std::vector<XmlElement> list(1);
    const std::function<void()> reads[] = {
        [&] { element.ValueText(); },
        [&] { element.ValueInteger(); },
        [&] { element.ValueBool(); },
        [&] { element.Attribute("a"); },
        [&] { element.ChildText("a", "default"); },
        [&] { element.FindElement("a"); },
        [&] { element.FindElements("a", list); },
        [&] { element.name(); },
    };
    for (const auto& read : reads) {
      try {
        read();
        ADD_FAILURE() << "no failure";
      } catch (const XmlError& error) {
        EXPECT_EQ(error.kind(), XmlError::Kind::AbsentElement);
      }
    }
  }
}

// --- Hostile depth --------------------------------------------------------

std::string Nested(std::size_t depth, std::string_view inner, bool close) {
  std::string text;
  text.reserve(depth * 7 + inner.size());
  for (std::size_t i = 0; i < depth; ++i) text += "<a>";
  text += inner;
  for (std::size_t i = 0; close && i < depth; ++i) text += "</a>";
  return text;
}

TEST(XmlDepth, HundredThousandLevelsParseSearchAndRelease) {
  constexpr std::size_t kDepth = 100'000;
  {
    const XmlDocument document = Parsed(Nested(kDepth, "<b>42</b>", true));
    const XmlElement root = document.Root();
    EXPECT_EQ(root.FindElement("b").ValueInteger(), 42);
    std::vector<XmlElement> found;
    root.FindElements("a", found);
    EXPECT_EQ(found.size(), kDepth - 1);
    EXPECT_EQ(root.ChildText("a", "x"), "");
  }  // the document's destruction must not recurse either

  XmlDocument unclosed;
  try {
    unclosed.Parse(Nested(kDepth, "", false));
    ADD_FAILURE() << "parsed";
  } catch (const XmlError& error) {
    EXPECT_STREQ(error.what(), "Missing close tag in element a");
  }
}

// --- Documents written by other tools -------------------------------------

struct PatchEntry {
  std::string filename;
  std::string original;
  bool operator==(const PatchEntry&) const = default;
};

void PrintTo(const PatchEntry& entry, std::ostream* out) {
  *out << entry.filename << " / " << entry.original;
}

// How the patch worker reads a patch list.
std::vector<PatchEntry> PatchEntries(std::string_view text) {
  const XmlDocument document = Parsed(text);
  std::vector<XmlElement> archives;
  document.Root().FindElements("archive", archives);
  std::vector<PatchEntry> entries;
  for (const XmlElement& archive : archives) {
    entries.push_back({archive.Attribute("filename"), archive.Attribute("original")});
  }
  return entries;
}

TEST(XmlRealDocuments, PatchListFormattedByXmllint) {
  const std::string text = ReadDataFile("patchlist-xmllint.xml");
  const std::vector<PatchEntry> expected = {
      {R"(system\tarvik.exe)", "1C291CA3"}, {R"(data\maps\R&D.map)", "00000000"},
      {R"(data\sounds.pak)", "DEADBEEF"},   {R"(data\sounds\extra.pak)", "0BADF00D"},
      {"data\\текст.txt", "8A9136AA"},
  };
  // As served (LF) and as the patch worker hands it over (CR LF).
  EXPECT_EQ(PatchEntries(text), expected);
  EXPECT_EQ(PatchEntries(WithCrLfLines(text)), expected);

  const XmlDocument document = Parsed(WithCrLfLines(text));
  EXPECT_EQ(document.Root().name(), "patchlist");
  EXPECT_EQ(document.Root().ValueText(), "");
  EXPECT_EQ(document.Root().ChildText("notes", ""), "Patch for <all> players");
  EXPECT_EQ(document.Root().FindElement("comment").ValueText(), " generated for build 1742 ");
}

TEST(XmlRealDocuments, DocTypeWithInternalSubsetCommentsAndCData) {
  const XmlDocument document = Parsed(WithCrLfLines(ReadDataFile("doctype-subset.xml")));
  const XmlElement root = document.Root();
  ASSERT_TRUE(root);
  // The document type is also named "settings" but is not an element.
  EXPECT_EQ(root.name(), "settings");
  EXPECT_EQ(root.ValueText(), "");
  EXPECT_EQ(root.FindElement("version").ValueInteger(), 3);
  EXPECT_EQ(root.FindElement("patchlistURL").ValueText(),
            "http://patch.example.org/list.xml?a=1&b=2");
  // CDATA is a child of its own, so the element's value stays empty.
  const XmlElement motd = root.FindElement("motd");
  EXPECT_EQ(motd.ValueText(), "");
  EXPECT_EQ(motd.FindElement("CData").ValueText(), "Welcome to <Kestrune> & friends");
  // Entities declared in the subset are not expanded.
  EXPECT_EQ(root.FindElement("note").ValueText(), "&product; 2");
  EXPECT_EQ(root.FindElement("note").Attribute("lang"), "ru");
  EXPECT_EQ(root.FindElement("Comment").ValueText(),
            " a comment with <markup> and \"quotes\" inside ");
}

TEST(XmlRealDocuments, SettingsDocumentReadsAsTheLauncherReadsIt) {
  const XmlDocument document = Parsed(WithCrLfLines(ReadDataFile("Settings.xml")));
  const XmlElement root = document.Root();
  EXPECT_EQ(root.FindElement("version").ValueInteger(), 2);
  EXPECT_EQ(root.FindElement("patchlistURL").ValueText(),
            "http://patch.kestrune.example/pts/patchlist.xml");
  EXPECT_EQ(root.FindElement("criticalPatchlistURL").ValueText(),
            "http://patch.kestrune.example/pts/critical.xml");
  EXPECT_EQ(root.ChildText("patchListFolder", ""), "http://patch.kestrune.example/pts/files/");
  EXPECT_EQ(root.FindElement("updaterURL").ValueText(),
            "http://patch.kestrune.example/pts/KestruneUpdater.exe");
  EXPECT_EQ(root.FindElement("criticalVersion").ValueInteger(), 3);
  EXPECT_TRUE(root.FindElement("autoStartClient").ValueBool());
  EXPECT_FALSE(root.FindElement("doubleRunCheck").ValueBool());
  EXPECT_TRUE(root.FindElement("closeUpdaterAfterStartinGame").ValueBool());
}

TEST(XmlRealDocuments, SettingsValuesWrittenAcrossLinesDoNotConvert) {
  const XmlDocument document = Parsed(WithCrLfLines(
      "<s>\n <g><VERSION>\n2\n</VERSION></g>\n <doubleRunCheck> true</doubleRunCheck>\n"
      " <g><patchListFolder>nested</patchListFolder></g>\n</s>\n"));
  const XmlElement root = document.Root();
  EXPECT_THROW(root.FindElement("version").ValueInteger(), XmlError);
  EXPECT_THROW(root.FindElement("doubleRunCheck").ValueBool(), XmlError);
  EXPECT_EQ(root.ChildText("patchListFolder", "unset"), "unset");
}

}  // namespace
}  // namespace kestrune
