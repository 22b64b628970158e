// The one UTF-8 decoder: what counts as a character, and where decoding picks up again.

#include "Utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace platform {
namespace {

TEST(DecodeUtf8, TakesShortestFormCharactersAndRefusesEverythingElseByteByByte) {
  struct Case {
    std::string text;
    bool valid;
    std::uint32_t code;  // the code point, or the lead byte when invalid
    std::size_t length;
  };
  const Case cases[] = {
      {"A", true, 0x41, 1},
      {std::string(1, '\0'), true, 0, 1},
      {"\xC3\xA9x", true, 0xE9, 2},
      {"\xE2\x82\xAC", true, 0x20AC, 3},
      {"\xEF\xBF\xBE", true, 0xFFFE, 3},
      {"\xF0\x9F\x8E\xAE", true, 0x1F3AE, 4},
      {"\xF4\x8F\xBF\xBF", true, 0x10FFFF, 4},
      {"\x80", false, 0x80, 1},              // a continuation byte on its own
      {"\xC0\x80", false, 0xC0, 1},          // overlong NUL
      {"\xE0\x80\x80", false, 0xE0, 1},      // overlong
      {"\xF0\x80\x80\x80", false, 0xF0, 1},  // overlong
      {"\xED\xA0\x80", false, 0xED, 1},      // a surrogate
      {"\xF4\x90\x80\x80", false, 0xF4, 1},  // above U+10FFFF
      {"\xF5\x80\x80\x80", false, 0xF5, 1},
      {"\xFF", false, 0xFF, 1},
      {"\xE2\x82", false, 0xE2, 1},  // cut off at the end
      {"\xC3(", false, 0xC3, 1},     // not followed by a continuation byte
  };
  for (const Case& c : cases) {
    const Utf8Char got = DecodeUtf8(c.text, 0);
    EXPECT_EQ(got.valid, c.valid) << testing::PrintToString(c.text);
    EXPECT_EQ(got.code, c.code) << testing::PrintToString(c.text);
    EXPECT_EQ(got.length, c.length) << testing::PrintToString(c.text);
  }
}

TEST(DecodeUtf8, StartsAtTheGivenOffset) {
  const std::string text = "a\xD0\x98z";
  const Utf8Char c = DecodeUtf8(text, 1);
  EXPECT_TRUE(c.valid);
  EXPECT_EQ(c.code, 0x418u);
  EXPECT_EQ(c.length, 2u);
}

TEST(AppendUtf8, WritesTheShortestFormAtEveryLengthBoundary) {
  const std::pair<std::uint32_t, std::string> cases[] = {
      {0x41, "A"},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0xE9, "\xC3\xA9"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0x20AC, "\xE2\x82\xAC"},
      {0xFFFD, "\xEF\xBF\xBD"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x1F600, "\xF0\x9F\x98\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& [code, bytes] : cases) {
    std::string out = "x";
    AppendUtf8(out, code);
    EXPECT_EQ(out, "x" + bytes) << std::hex << code;
  }
}

}  // namespace
}  // namespace platform
