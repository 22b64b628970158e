#include "LineSeparetor.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using Fields = std::vector<std::string>;

TEST(SeparateLine, SplitsUntilTheFirstEmptyField) {
  const std::string S = "\x06";
  struct Case {
    std::string text;
    std::string separator;
    Fields expected;
  } cases[] = {
      {"a" + S + "b" + S + "c", S, {"a", "b", "c"}},
      {"a" + S + S + "b", S, {"a", S + "b"}},
      {S + "a", S, {S + "a"}},
      {"a" + S, S, {"a", ""}},
      {"", S, {""}},
      {"plain", S, {"plain"}},
      // entry line and queued line as the patch worker splits them
      {"system\\tarvik.exe" + S + "0A1B2C3D", S, {"system\\tarvik.exe", "0A1B2C3D"}},
      {"system\\tarvik.exe", S, {"system\\tarvik.exe"}},
      // separators longer than one character
      {"a::b::::c", "::", {"a", "b", "::c"}},
      {"a:b", "::", {"a:b"}},
      {"abc", "", {"abc"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(SeparateLine(c.text, c.separator), c.expected);
  }
}

}  // namespace
}  // namespace kestrune
