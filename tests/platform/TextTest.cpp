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

}  // namespace
}  // namespace platform
