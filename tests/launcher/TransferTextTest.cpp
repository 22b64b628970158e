// The transfer line: sizes, rate and time left in both languages, and where each stops.

#include <gtest/gtest.h>

#include "TransferText.h"

namespace kestrune {
namespace {

TEST(TransferText, SizesRateAndTimeLeftInTheChosenLanguage) {
  struct Case {
    std::int64_t received, expected;
    double seconds;
    int language;
    const char* text;
  };
  // clang-format off
  const Case cases[] = {
      {12'300'000, 97'000'000, 3.0, 1, "12.3 of 97.0 MB · 4.1 MB/s · 0:21"},  // 20.7 s left
      {12'300'000, 97'000'000, 3.0, 0, "12,3 из 97,0 МБ · 4,1 МБ/с · 0:21"},
      // Unknown size: no time left. 5.25 rounds up, a rate of 2.625 to 2.6.
      {5'250'000, 0, 2.0, 1, "5.3 MB · 2.6 MB/s"},
      {5'250'000, 0, 2.0, 0, "5,3 МБ · 2,6 МБ/с"},
      // The larger size picks the unit of both; a figure never reads 1000.0.
      {512, 2048, 0.0, 1, "0.5 of 2.0 kB"},
      {999'949, 0, 0.0, 1, "999.9 kB"},
      {999'950, 0, 0.0, 1, "1.0 MB"},
      {1'000'000, 4'000'000'000, 1.0, 1, "0.0 of 4.0 GB · 1.0 MB/s · 1:06:39"},
      // No rate in the first moments; a time left beyond 100 hours is no use.
      {1'000'000, 2'000'000, 0.04, 1, "1.0 of 2.0 MB"},
      {1'000, 1'000'000'000, 1.0, 1, "0.0 of 1.0 GB · 1.0 kB/s"},
      {0, 5'000'000, 1.0, 1, "0.0 of 5.0 MB · 0.0 kB/s"},
      {97'000'000, 97'000'000, 10.0, 1, "97.0 of 97.0 MB · 9.7 MB/s · 0:00"},
      {12'300'000, 97'000'000, 3.0, 2, ""},
      {12'300'000, 97'000'000, 3.0, -1, ""},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(TransferText(c.received, c.expected, c.seconds, c.language), c.text)
        << c.received << " of " << c.expected << " after " << c.seconds << " s, language "
        << c.language;
  }
}

}  // namespace
}  // namespace kestrune
