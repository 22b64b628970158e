// The readers of what a resumed transfer relies on: validators, Content-Range and the
// resume record kept beside a partial.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "http/HttpWire.h"
#include "http/ResumeRecord.h"

namespace kestrune::http {
namespace {

TEST(ResumeValidators, OnlyStrongTagsAndFixedDatesGoBack) {
  EXPECT_EQ(StrongEntityTag("\"5f3c-1a2b\""), "\"5f3c-1a2b\"");
  EXPECT_EQ(StrongEntityTag("\"\""), "\"\"");
  for (const char* refused : {"W/\"5f3c\"", "5f3c", "\"5f3c", "\"a\"b\"", "\"a b\"",
                              "\"a\r\nX: y\"", "\"caf\xc3\xa9\"", "", "\""})
    EXPECT_EQ(StrongEntityTag(refused), std::nullopt) << refused;
  EXPECT_EQ(StrongEntityTag("\"" + std::string(2000, 'a') + "\""), std::nullopt);

  EXPECT_TRUE(IsHttpDate("Tue, 08 Dec 2026 10:00:00 GMT"));
  for (const char* refused :
       {"Tuesday, 08-Dec-26 10:00:00 GMT", "Tue Dec  8 10:00:00 2026",
        "Tue, 08 Dec 2026 10:00:00 UTC", "Tue, 8 Dec 2026 10:00:00 GMT",
        "Tue, 08 Dez 2026 10:00:00 GMT", "Tue, 08 Dec 2026 25:00:00 GMT",
        "Tue, 08 Dec 2026 10:00:00 GMT\r", "Tue, 08 Dec 2026 10:0x:00 GMT", ""})
    EXPECT_FALSE(IsHttpDate(refused)) << refused;

  ResponseHead head;
  head.etag = "W/\"weak\"";
  head.lastModified = "Tue, 08 Dec 2026 10:00:00 GMT";
  EXPECT_EQ(ResumeValidator(head), head.lastModified);
  head.etag = "\"strong\"";
  EXPECT_EQ(ResumeValidator(head), "\"strong\"");
  head.etag = "";
  head.lastModified = "yesterday";
  EXPECT_EQ(ResumeValidator(head), std::nullopt);
}

TEST(ResumeValidators, HeadKeepsTheHeadersOfAResumedAnswer) {
  ResponseHead head;
  for (const char* line :
       {"HTTP/1.1 206 Partial Content\r\n", "etag:  \"v1\" \r\n",
        "Last-Modified: Tue, 08 Dec 2026 10:00:00 GMT\r\n", "CONTENT-RANGE: bytes 5-9/10\r\n"})
    EXPECT_FALSE(head.AddLine(line));
  EXPECT_TRUE(head.AddLine("\r\n"));
  EXPECT_EQ(head.etag, "\"v1\"");
  EXPECT_EQ(head.lastModified, "Tue, 08 Dec 2026 10:00:00 GMT");
  EXPECT_EQ(head.contentRange, "bytes 5-9/10");
}

struct RangeCase {
  const char* value;
  std::optional<std::int64_t> first, last, complete;  // all empty: refused
};

TEST(ResumeContentRange, ReadsOnlyAnExactByteRange) {
  const RangeCase cases[] = {
      {"bytes 0-0/1", 0, 0, 1},
      {"bytes 180000-299999/300000", 180000, 299999, 300000},
      {"Bytes 5-9/10", 5, 9, 10},
      {"bytes 999999999999999999-999999999999999999/999999999999999999", {}, {}, {}},
      {"bytes 1-9999999999999999999/99999999999999999999", {}, {}, {}},
      {"bytes 5-9/*", {}, {}, {}},
      {"bytes */10", {}, {}, {}},
      {"bytes 9-5/10", {}, {}, {}},
      {"bytes 5-10/10", {}, {}, {}},
      {"bytes -5-9/10", {}, {}, {}},
      {"bytes +5-9/10", {}, {}, {}},
      {"bytes 5 -9/10", {}, {}, {}},
      {"bytes 5-9/10 ", {}, {}, {}},
      {"items 5-9/10", {}, {}, {}},
      {"bytes 5-9", {}, {}, {}},
      {"bytes 5/9-10", {}, {}, {}},
      {"", {}, {}, {}},
  };
  for (const RangeCase& c : cases) {
    auto range = ParseContentRange(c.value);
    if (!c.first) {
      EXPECT_EQ(range.has_value(), false) << c.value;
      continue;
    }
    ASSERT_TRUE(range) << c.value;
    EXPECT_EQ(range->first, *c.first) << c.value;
    EXPECT_EQ(range->last, *c.last) << c.value;
    EXPECT_EQ(range->complete, *c.complete) << c.value;
  }
}

TEST(ResumeRecordFile, ReadsWhatWasWrittenAndNothingElse) {
  const ResumeRecord record{"http://host/files/a.lzma", "\"5f3c-1a2b\"", 123456};
  const std::string bytes = FormatResumeRecord(record);
  EXPECT_EQ(bytes,
            "kestrune-resume 1\nurl http://host/files/a.lzma\nvalidator \"5f3c-1a2b\"\n"
            "length 123456\n");
  EXPECT_EQ(ParseResumeRecord(bytes), record);
  const ResumeRecord dated{"http://host/b", "Tue, 08 Dec 2026 10:00:00 GMT", 1};
  EXPECT_EQ(ParseResumeRecord(FormatResumeRecord(dated)), dated);

  static constexpr char kWithNul[] =
      "kestrune-resume 1\nurl http://host/a\0\nvalidator \"v\"\nlength 5\n";
  const std::string refused[] = {
      "",
      "kestrune-resume 2\nurl http://host/a\nvalidator \"v\"\nlength 5\n",
      "kestrune-resume 1\nurl http://host/a\nvalidator \"v\"\nlength 5",  // cut
      "kestrune-resume 1\nurl http://host/a\nvalidator \"v\"\nlength 5\nextra\n",
      "kestrune-resume 1\nvalidator \"v\"\nurl http://host/a\nlength 5\n",
      "kestrune-resume 1\nurl \nvalidator \"v\"\nlength 5\n",
      "kestrune-resume 1\nurl http://host/a b\nvalidator \"v\"\nlength 5\n",
      "kestrune-resume 1\nurl http://host/a\nvalidator W/\"v\"\nlength 5\n",
      "kestrune-resume 1\nurl http://host/a\nvalidator \nlength 5\n",
      "kestrune-resume 1\nurl http://host/a\nvalidator \"v\"\nlength 0\n",
      "kestrune-resume 1\nurl http://host/a\nvalidator \"v\"\nlength -5\n",
      "kestrune-resume 1\nurl http://host/a\nvalidator \"v\"\nlength 05\n",
      "kestrune-resume 1\nurl http://host/a\nvalidator \"v\"\nlength 9999999999999999999\n",
      "kestrune-resume 1\r\nurl http://host/a\r\nvalidator \"v\"\r\nlength 5\r\n",
      std::string(kWithNul, sizeof kWithNul - 1),
  };
  for (const std::string& bytes : refused)
    EXPECT_EQ(ParseResumeRecord(bytes), std::nullopt) << bytes;
}

}  // namespace
}  // namespace kestrune::http
