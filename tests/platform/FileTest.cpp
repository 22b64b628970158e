#include "Platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "TestSupport.h"

namespace platform {
namespace {

using kestrune::test::ReadFile;
using kestrune::test::TempDir;
using kestrune::test::WriteFile;

TEST(File, CreateEmptiesAndWritesWhatReadGivesBack) {
  TempDir dir;
  const auto path = dir.file("f");
  WriteFile(path, "old content that must go");
  {
    File f = File::Create(path);
    f.Write("new", 3);
    f.Close();
  }
  EXPECT_EQ(ReadFile(path), "new");
  File f = File::OpenRead(path, File::Share::ReadWrite);
  EXPECT_EQ(f.Size(), 3u);
  char buf[8];
  EXPECT_EQ(f.Read(buf, sizeof buf), 3u);
  EXPECT_EQ(f.Read(buf, sizeof buf), 0u) << "end of file";
}

TEST(File, OpenFailuresCarryTheSystemText) {
  TempDir dir;
  for (const std::string& path : {dir.file("missing"), dir.path().string()}) {
    SCOPED_TRACE(path);
    try {
      File::OpenRead(path, File::Share::None);
      FAIL() << "opened";
    } catch (const SystemError& e) {
      EXPECT_FALSE(e.systemText().empty());
      EXPECT_NE(e.code(), 0);
    }
  }
  EXPECT_THROW(File::Create(dir.file("no-dir/f")), SystemError);
}

TEST(File, ReplaceKeepsThePermissionsOfTheReplacedFile) {
  TempDir dir;
  const auto target = dir.file("game.bin");
  const auto fresh = dir.file("game.bin.new");
  WriteFile(target, "old");
  ::chmod(target.c_str(), 0750);
  WriteFile(fresh, "new");
  ReplaceFile(fresh, target);
  EXPECT_EQ(ReadFile(target), "new");
  EXPECT_FALSE(PathExists(fresh));
  EXPECT_EQ(std::filesystem::status(target).permissions(),
            static_cast<std::filesystem::perms>(0750));
}

TEST(File, RemoveAndCheckReplaceable) {
  TempDir dir;
  const auto path = dir.file("f");
  EXPECT_FALSE(RemoveFile(path));
  EXPECT_NO_THROW(CheckReplaceable(path)) << "a missing target can be created";
  WriteFile(path, "x");
  EXPECT_NO_THROW(CheckReplaceable(path));
  EXPECT_TRUE(RemoveFile(path));
  EXPECT_FALSE(PathExists(path));
  EXPECT_THROW(CheckReplaceable(dir.path().string()), SystemError);
}

}  // namespace
}  // namespace platform
