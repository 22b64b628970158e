// The line-end normalisation of downloaded documents before the XML reader sees them.

#include "xml/LineEnds.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(NormalizeLineEnds, EveryLineEndsInCrLf) {
  struct Case {
    const char* in;
    const char* out;
  };
  for (const Case c :
       {Case{"", ""}, Case{"a", "a\r\n"}, Case{"a\r\n", "a\r\n"}, Case{"a\nb", "a\r\nb\r\n"},
        Case{"a\rb\r", "a\r\nb\r\n"}, Case{"a\n\r\nb", "a\r\n\r\nb\r\n"},
        Case{"a\n\rb", "a\r\n\r\nb\r\n"}, Case{"\n", "\r\n"}, Case{"a\r\r\n", "a\r\n\r\n"}}) {
    EXPECT_EQ(NormalizeLineEnds(c.in), c.out) << testing::PrintToString(std::string(c.in));
  }
}

}  // namespace
}  // namespace kestrune
