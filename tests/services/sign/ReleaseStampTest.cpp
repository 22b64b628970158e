// The stamp in a trusted comment: only the one exact form parses.

#include "sign/ReleaseStamp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune::minisign {
namespace {

TEST(ReleaseStamp, ParsesTheExactFormAndFormatsItBack) {
  const auto stamp = ParseReleaseStamp("file:Settings.xml serial:12 time:1765400000");
  ASSERT_TRUE(stamp);
  EXPECT_EQ(stamp->file, "Settings.xml");
  EXPECT_EQ(stamp->serial, 12u);
  EXPECT_EQ(stamp->time, 1765400000);
  EXPECT_EQ(FormatReleaseStamp(*stamp), "file:Settings.xml serial:12 time:1765400000");

  const auto edges =
      ParseReleaseStamp("file:a serial:18446744073709551615 time:9223372036854775807");
  ASSERT_TRUE(edges);
  EXPECT_EQ(edges->serial, 18446744073709551615u);
  EXPECT_EQ(edges->time, 9223372036854775807);
  const auto zeros = ParseReleaseStamp("file:x serial:0 time:0");
  ASSERT_TRUE(zeros);
  EXPECT_EQ(zeros->serial, 0u);
  EXPECT_EQ(FormatReleaseStamp(*zeros), "file:x serial:0 time:0");
}

TEST(ReleaseStamp, RefusesEveryOtherForm) {
  const std::vector<std::string> bad = {
      "",
      "file:Settings.xml serial:12",
      "file:Settings.xml time:1 serial:12",
      "serial:12 file:Settings.xml time:1",
      "file: serial:1 time:1",
      "file:a b serial:1 time:1",
      "file:a\tb serial:1 time:1",
      "file:a serial:1 time:1 file:b",
      "file:a serial:1 serial:2 time:1",
      "file:a serial:1 time:1 ",
      " file:a serial:1 time:1",
      "file:a  serial:1 time:1",
      "file:a serial:01 time:1",
      "file:a serial:+1 time:1",
      "file:a serial:-1 time:1",
      "file:a serial:1 time:-1",
      "file:a serial:1 time:",
      "file:a serial:1x time:1",
      "file:a serial:18446744073709551616 time:1",
      "file:a serial:1 time:9223372036854775808",
      "file:a serial:1 time:1\n",
      "file:a\nb serial:1 time:1",
      "File:a serial:1 time:1",
      std::string("file:a serial:1 time:1\0", 23),
  };
  for (const std::string& comment : bad) EXPECT_FALSE(ParseReleaseStamp(comment)) << comment;
}

TEST(ReleaseStamp, FormatRefusesWhatWouldNotParseBack) {
  EXPECT_THROW(FormatReleaseStamp({"", 1, 1}), std::invalid_argument);
  EXPECT_THROW(FormatReleaseStamp({"a b", 1, 1}), std::invalid_argument);
  EXPECT_THROW(FormatReleaseStamp({"a", 1, -1}), std::invalid_argument);
}

}  // namespace
}  // namespace kestrune::minisign
