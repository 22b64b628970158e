#include "PatchEntry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(ReadPatchEntries, TakesWellFormedDeltaChildrenAndIgnoresTheRest) {
  const std::string upper = "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08";
  struct Case {
    const char* what;
    std::string children;
    std::vector<std::string> from;  // of the deltas taken, in order
  } cases[] = {
      {"one", R"(<delta from="0A1B2C3D" sha256=")" + kDigest + R"(" packed="40"/>)", {"0A1B2C3D"}},
      {"names in any case, digest in upper case",
       R"(<DELTA FROM="0A1B2C3D" Sha256=")" + upper + R"(" PACKED="40"/>)",
       {"0A1B2C3D"}},
      {"lower-case from",
       R"(<delta from="0a1b2c3d" sha256=")" + kDigest + R"(" packed="40"/>)",
       {}},
      {"short from", R"(<delta from="A1B2C3D" sha256=")" + kDigest + R"(" packed="40"/>)", {}},
      {"short digest", R"(<delta from="0A1B2C3D" sha256="9f86" packed="40"/>)", {}},
      {"no packed", R"(<delta from="0A1B2C3D" sha256=")" + kDigest + R"("/>)", {}},
      {"packed 0", R"(<delta from="0A1B2C3D" sha256=")" + kDigest + R"(" packed="0"/>)", {}},
      {"packed not a count",
       R"(<delta from="0A1B2C3D" sha256=")" + kDigest + R"(" packed="-4"/>)",
       {}},
      {"the same from twice: the first",
       R"(<delta from="0A1B2C3D" sha256=")" + kDigest + R"(" packed="40"/>)" +
           R"(<delta from="0A1B2C3D" sha256=")" + kDigest + R"(" packed="41"/>)" +
           R"(<delta from="FFFFFFFF" sha256=")" + kDigest + R"(" packed="42"/>)",
       {"0A1B2C3D", "FFFFFFFF"}},
      {"not a direct child",
       R"(<g><delta from="0A1B2C3D" sha256=")" + kDigest + R"(" packed="40"/></g>)",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto entries = ReadPatchEntries("<list><archive filename=\"f\" original=\"CBF43926\">" +
                                          c.children + "</archive></list>");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_FALSE(entries[0].malformed) << "a bad delta never spoils the entry";
    std::vector<std::string> from;
    for (const PatchDelta& d : entries[0].deltas) {
      from.push_back(d.from);
      EXPECT_EQ(d.sha256, kDigest);
    }
    EXPECT_EQ(from, c.from);
  }
  // A nested archive's delta is its own, not its parent's.
  const auto nested = ReadPatchEntries(
      R"(<list><archive filename="a"><archive filename="b"><delta from="0A1B2C3D" sha256=")" +
      kDigest + R"(" packed="7"/></archive></archive></list>)");
  ASSERT_EQ(nested.size(), 2u);
  EXPECT_TRUE(nested[0].deltas.empty());
  ASSERT_EQ(nested[1].deltas.size(), 1u);
  EXPECT_EQ(nested[1].deltas[0].packed, 7u);
  EXPECT_EQ(DeltaName("sub\\b.bin", "0A1B2C3D"), "sub\\b.bin.0A1B2C3D.zst");
}

}  // namespace
}  // namespace kestrune
