// The character-set table of body-to-text as one table of cases.

#include "http/BodyText.h"

#include <gtest/gtest.h>

namespace kestrune::http {
namespace {

struct CharsetCase {
  const char* name;
  std::string contentType;
  std::string body;
  std::string text;  // expected UTF-8
};

void PrintTo(const CharsetCase& c, std::ostream* os) {
  *os << c.name;
}

class HttpBodyText : public ::testing::TestWithParam<CharsetCase> {};

TEST_P(HttpBodyText, DecodesWithTheChosenCharset) {
  const CharsetCase& c = GetParam();
  EXPECT_EQ(BodyToText(c.contentType, c.body), c.text);
}

const std::string kDecl1251 = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>";

INSTANTIATE_TEST_SUITE_P(
    Http, HttpBodyText,
    ::testing::Values(
        CharsetCase{"NoContentTypeByteToCodePoint", "", "a\xE9\x80", "a\xC3\xA9\xC2\x80"},
        CharsetCase{"OtherTypeWithoutCharset", "application/octet-stream", "\xFF", "\xC3\xBF"},
        CharsetCase{"UnknownCharsetByteToCodePoint", "text/plain; charset=no-such-set", "\xE9",
                    "\xC3\xA9"},
        CharsetCase{"TextXmlWithoutCharsetIsAscii", "text/xml", "caf\xE9", "caf\xEF\xBF\xBD"},
        CharsetCase{"TextPlusXmlWithoutCharsetIsAscii", "Text/RSS+XML", "\xC3\xA9",
                    "\xEF\xBF\xBD\xEF\xBF\xBD"},
        CharsetCase{"TextXmlWithCharsetUsesIt", "text/xml; charset=windows-1251", "\xCF", "П"},
        CharsetCase{"OtherTextIsLatin1", "text/plain", "\xE9", "\xC3\xA9"},
        CharsetCase{"CharsetParameterQuotedAnyCase", "text/plain; Charset=\"KOI8-R\"",
                    "\xF0\xD2\xC9", "При"},
        CharsetCase{"AsciiParameterReplacesHighBytes", "text/plain; charset=US-ASCII", "a\xE9",
                    "a\xEF\xBF\xBD"},
        CharsetCase{"InvalidUtf8BecomesReplacement", "text/plain; charset=utf-8",
                    "a\xFF"
                    "b",
                    "a\xEF\xBF\xBD"
                    "b"},
        CharsetCase{"XmlDeclarationOverridesHeader", "application/xml; charset=iso-8859-1",
                    kDecl1251 + "<a>\xCF</a>", kDecl1251 + "<a>П</a>"},
        CharsetCase{"XmlWithoutDeclarationIsUtf8", "application/xml", "<a>\xD0\x9F</a>",
                    "<a>П</a>"},
        CharsetCase{"XmlUtf8BomKept", "application/xml", "\xEF\xBB\xBF<a/>", "\xEF\xBB\xBF<a/>"},
        CharsetCase{"XmlUtf16BomKept", "application/xml", std::string("\xFF\xFE<\0a\0", 6),
                    "\xEF\xBB\xBF<a"},
        CharsetCase{"PlusXmlTypeUsesDeclaration", "image/svg+xml", kDecl1251 + "\xCF",
                    kDecl1251 + "П"},
        CharsetCase{"HtmlMetaCharsetOverridesParameter", "text/html; charset=iso-8859-1",
                    "<META CHARSET='windows-1251'>\xCF", "<META CHARSET='windows-1251'>П"},
        CharsetCase{"HtmlMetaHttpEquiv", "text/html",
                    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=koi8-r\">\xF0",
                    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=koi8-r\">П"},
        CharsetCase{"HtmlParameterWithoutMeta", "text/html; charset=windows-1251", "<p>\xCF</p>",
                    "<p>П</p>"},
        CharsetCase{"Utf16ParameterKeepsBom", "text/plain; charset=utf-16",
                    std::string("\xFF\xFEh\0", 4), "\xEF\xBB\xBFh"},
        // glibc reads "utf_16" as UTF-16 too; the mark must stay all the same.
        CharsetCase{"Utf16UnderscoreSpellingKeepsBom", "text/plain; charset=utf_16",
                    std::string("\xFF\xFEh\0", 4), "\xEF\xBB\xBFh"},
        CharsetCase{"CharsetWithStrayBytesIsUnknown",
                    "text/plain; charset=utf-1\xFF\xFF"
                    "6",
                    "\xFF\xFE", "\xC3\xBF\xC3\xBE"},
        CharsetCase{"EmptyBody", "text/xml", "", ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestrune::http
