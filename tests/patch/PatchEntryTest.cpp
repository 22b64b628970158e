#include "PatchEntry.h"

#include <gtest/gtest.h>

#include <string>

#include "xml/XmlDocument.h"

namespace kestrune {
namespace {

const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

TEST(ReadPatchEntries, ReadsEveryAttributeAndMarksUnreadableOnes) {
  struct Case {
    const char* what;
    std::string attributes;  // after filename="f"
    std::optional<std::uint64_t> size, packed;
    std::string sha256;
    bool malformed;
  } cases[] = {
      {"plain, as lists were", R"(original="CBF43926")", {}, {}, "", false},
      {"all given", R"(original="CBF43926" size="9" packed="22" sha256=")" + kDigest + "\"", 9, 22,
       kDigest, false},
      {"names in any case, digest in upper case",
       R"(SIZE="0" Packed="13" Sha256=")" +
           std::string("9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08") + "\"",
       0, 13, kDigest, false},
      {"empty means not given", R"(size="" packed="" sha256="")", {}, {}, "", false},
      {"largest file offset", R"(size="9223372036854775807")", INT64_MAX, {}, "", false},
      {"beyond a file offset", R"(size="9223372036854775808")", {}, {}, "", true},
      {"sign", R"(size="+5")", {}, {}, "", true},
      {"negative", R"(packed="-1")", {}, {}, "", true},
      {"blank", R"(size=" 5")", {}, {}, "", true},
      {"trailing text", R"(packed="12kb")", {}, {}, "", true},
      {"short digest", R"(sha256="9f86d0")", {}, {}, "9f86d0", true},
      {"not hex",
       R"(sha256=")" + std::string(63, 'a') + "g\"",
       {},
       {},
       std::string(63, 'a') + "g",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto entries =
        ReadPatchEntries("<list>\n<archive filename=\"f\" " + c.attributes + "/>\n</list>");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].filename, "f");
    EXPECT_EQ(entries[0].size, c.size);
    EXPECT_EQ(entries[0].packed, c.packed);
    EXPECT_EQ(entries[0].sha256, c.sha256);
    EXPECT_EQ(entries[0].malformed, c.malformed);
  }
}

TEST(ReadPatchEntries, TakesArchivesInDocumentOrderAndTellsTheFailuresApart) {
  const auto entries = ReadPatchEntries(
      "<archive filename=\"root\"><g><ARCHIVE filename=\"a\" original=\"1\">"
      "<archive filename=\"b\"/></ARCHIVE></g><archive filename=\"c &amp; d\"/></archive>");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].filename, "a");
  EXPECT_EQ(entries[0].original, "1");
  EXPECT_EQ(entries[1].filename, "b");
  EXPECT_EQ(entries[2].filename, "c & d");

  for (const char* text : {"", "just text", "<open"}) {
    SCOPED_TRACE(text);
    try {
      ReadPatchEntries(text);
      ADD_FAILURE() << "no XmlError";
    } catch (const XmlError& e) {
      EXPECT_TRUE(e.kind() == XmlError::Kind::Parse || e.kind() == XmlError::Kind::Encoding);
    }
  }
}

TEST(ParseCrc32, EightHexDigitsInEitherCase) {
  EXPECT_EQ(ParseCrc32("CBF43926"), 0xCBF43926u);
  EXPECT_EQ(ParseCrc32("cbf43926"), 0xCBF43926u);
  EXPECT_EQ(ParseCrc32("00000000"), 0u);
  for (const char* bad :
       {"", "CBF4392", "CBF439260", " CBF4392", "CBF4392G", "0xF43926", "-BF43926"}) {
    EXPECT_EQ(ParseCrc32(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace kestrune
