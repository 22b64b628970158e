#include "PatchNames.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrune {
namespace {

// Which patch-list names the worker may write and the publisher may publish. The Windows
// aliases count everywhere: the lists are written for Windows players.
TEST(PatchNames, SafeNamesStayInsideAndAliasNoOtherFile) {
  const struct {
    std::string name;
    bool safe;
  } cases[] = {
      // plain names, also ones that only look like the refused ones
      {"a.dat", true},
      {"sub\\deep\\b.bin", true},
      {"sub/b.bin", true},
      {"...x", true},
      {".hidden", true},
      {"a..b", true},
      {"CONSOLE.txt", true},
      {"icon.png", true},
      {"COM10", true},
      {"LPT", true},
      {"COMA.txt", true},
      {"NULL", true},
      {"sub\\kestrune.lock", true},
      {"kestrune.lock.txt", true},
      {"x.con", true},
      {"a b.txt", true},
      {"\xC3\xA9t\xC3\xA9.txt", true},
      // leaving the game folder
      {"", false},
      {"..\\outside", false},
      {"sub\\..\\..\\x", false},
      {"\\rooted", false},
      {"/rooted", false},
      {"C:evil", false},
      {"file.txt:stream", false},
      {std::string("a\x06"
                   "b"),
       false},
      {"a\tb", false},
      // device names, any case, with or without extension, in any component
      {"CON", false},
      {"con", false},
      {"Con.txt", false},
      {"PRN.tar.gz", false},
      {"aux", false},
      {"sub\\NUL", false},
      {"nul\\file.txt", false},
      {"COM1", false},
      {"com9.log", false},
      {"COM0", false},
      {"LPT1", false},
      {"lpt9.dat", false},
      {"LPT\xC2\xB9", false},
      {"com\xC2\xB3.txt", false},
      {"CONIN$", false},
      {"conout$.x", false},
      {"CON .txt", false},
      // components Windows cuts short
      {"file.", false},
      {"file ", false},
      {"sub.\\file", false},
      {"sub \\file", false},
      {".", false},
      {"a\\.\\b", false},
      {"a\\\\b", false},
      {"sub\\", false},
      // the lock file of the game folder, in any case
      {"kestrune.lock", false},
      {"KESTRUNE.LOCK", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsSafePatchName(c.name), c.safe) << "'" << c.name << "'";
  }
}

}  // namespace
}  // namespace kestrune
