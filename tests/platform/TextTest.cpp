// The charset conversions behind PlatformText.h, where they go beyond what their callers' tests
// show: bytes that are not UTF-8 on the way to code page 866, and an unknown charset.

#include <gtest/gtest.h>

#include "PlatformText.h"

namespace platform {
namespace {

TEST(ToCodePage866, EachMissingCharacterAndEachStrayByteIsOneQuestionMark) {
  struct Case {
    std::string utf8;
    std::string cp866;
  };
  const Case cases[] = {
      {"Ёж a", "\xF0\xA6 a"},
      {"\xE2\x82\xAC", "?"},        // the euro sign: a character it lacks
      {"\xF0\x9F\x8E\xAE!", "?!"},  // outside the BMP
      {"\xC0\x80", "??"},           // overlong: two bytes that are not UTF-8
      {"\xED\xA0\x80", "???"},      // a surrogate
      {"a\xD0", "a?"},              // cut off at the end
      {"\xD0(\xD0\x98", "?(\x88"},  // decoding picks up at the next byte
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToCodePage866(c.utf8), c.cp866) << testing::PrintToString(c.utf8);
  }
}

TEST(ConvertToUtf8, UnknownCharsetGivesNothingAndAKnownOneText) {
  EXPECT_FALSE(IsKnownCharset("no-such-set"));
  EXPECT_FALSE(ConvertToUtf8("x", "no-such-set").has_value());
  EXPECT_TRUE(IsKnownCharset("windows-1251"));
  EXPECT_EQ(ConvertToUtf8("\xCF\xF0\xE8", "windows-1251"), std::optional<std::string>("При"));
  EXPECT_EQ(ConvertToUtf8("", "koi8-r"), std::optional<std::string>(""));
}

// Letter case under the user's locale (CompareStringW on Windows, Unicode case mappings on
// POSIX); a byte that is not UTF-8 equals only the same byte at the same place.
TEST(SameTextIgnoringCase, LettersOfAnyCaseAndStrayBytesOnlyAsThemselves) {
  const struct {
    std::string a;
    std::string b;
    bool same;
  } cases[] = {
      {"Language", "LANGUAGE", true},
      {"", "", true},
      {"\xD0\xAF\xD0\xB7\xD1\x8B\xD0\xBA", "\xD0\xAF\xD0\x97\xD0\xAB\xD0\x9A", true},  // Язык, ЯЗЫК
      {"\xD0\x81\xD0\xB6", "\xD1\x91\xD0\x96", true},                                  // Ёж, ёЖ
      {"patchlist", "patchlist2", false},
      {"a", "", false},
      {"\xD0\xAF", "\xD0\xB0", false},  // Я, а
      {"A\xFF", "a\xFF", true},
      {"\xFFz\xD0", "\xFFZ\xD0", true},
      {"a\xFF", "a\xFE", false},
      {"a\xFF", "a", false},
      {"\xC3\xA9", "\xC3", false},             // é, and its first byte alone
      {"\xFF\xD0\xAF", "\xFF\xD1\x8F", true},  // Я, я after a stray byte
      {"\xFFx", "x\xFF", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.a) + " " + testing::PrintToString(c.b));
    EXPECT_EQ(SameTextIgnoringCase(c.a, c.b), c.same);
    EXPECT_EQ(SameTextIgnoringCase(c.b, c.a), c.same);
  }
}

TEST(ConvertToUtf8, AByteThatCannotBeDecodedIsAReplacementAndAByteOrderMarkStays) {
  const struct {
    std::string bytes;
    const char* charset;
    std::string utf8;
  } cases[] = {
      {"a\xFFz", "utf-8", "a\xEF\xBF\xBDz"},
      {std::string("\xFF\xFEz\0", 4), "utf-16", "\xEF\xBB\xBFz"},
      {std::string("\0z", 2), "UTF-16BE", "z"},
      {"\xE1\xE2", "koi8-r", "\xD0\x90\xD0\x91"},  // АБ
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.charset);
    EXPECT_EQ(ConvertToUtf8(c.bytes, c.charset), std::optional<std::string>(c.utf8));
  }
}

}  // namespace
}  // namespace platform
