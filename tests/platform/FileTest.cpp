#include "Platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "ResourceLimit.h"
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
  EXPECT_EQ(GetPathKind(fresh), PathKind::Missing);
  EXPECT_EQ(std::filesystem::status(target).permissions(),
            static_cast<std::filesystem::perms>(0750));
}

// The new content reaches the name whole or not at all: a reader holding the old file keeps
// it, and a write the disk refuses part way leaves the old content and no temporary file.
TEST(File, ReplaceFileContentsPutsOnlyAWholeFileUnderTheName) {
  TempDir dir;
  const auto target = dir.file("values.reg");
  WriteFile(target, "old");
  ::chmod(target.c_str(), 0640);
  const auto link = dir.file("reader");
  std::filesystem::create_hard_link(target, link);

  ReplaceFileContents(target, "new");
  EXPECT_EQ(ReadFile(target), "new");
  EXPECT_EQ(ReadFile(link), "old");
  EXPECT_EQ(std::filesystem::status(target).permissions(),
            static_cast<std::filesystem::perms>(0640));

  {
    kestrune::test::ResourceLimit limit(RLIMIT_FSIZE, 16);
    EXPECT_THROW(ReplaceFileContents(target, std::string(100, 'x')), SystemError);
  }
  EXPECT_EQ(ReadFile(target), "new");
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"reader", "values.reg"}));

  EXPECT_THROW(ReplaceFileContents(dir.file("no-dir/f"), "x"), SystemError);
}

TEST(Executable, OnlyThisSystemsProgramsLookLikeOne) {
  const struct {
    std::string firstBytes;
    bool expected;
  } cases[] = {
      {"\x7f"
       "ELF",
       true},
      {"#!/bin/sh", true},
      {"#!", true},
      {"", false},
      {"\x7f"
       "EL",
       false},
      {"MZ\x90", false},  // a Windows program
      {"<!DO", false},
      {"\xef\xbb\xbf#", false},
      {" #!/", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firstBytes);
    EXPECT_EQ(LooksLikeExecutable(c.firstBytes), c.expected);
  }
}

TEST(File, RemoveAndCheckReplaceable) {
  TempDir dir;
  const auto path = dir.file("f");
  EXPECT_FALSE(RemoveFile(path));
  EXPECT_NO_THROW(CheckReplaceable(path)) << "a missing target can be created";
  WriteFile(path, "x");
  EXPECT_NO_THROW(CheckReplaceable(path));
  EXPECT_TRUE(RemoveFile(path));
  EXPECT_EQ(GetPathKind(path), PathKind::Missing);
  EXPECT_THROW(CheckReplaceable(dir.path().string()), SystemError);
}

// Tests run as root, which may write any file; the permission bits are what
// the read-only mark is, so they are what these tests look at.
TEST(FileAttributes, KindAndReadOnlyMarkOfEachSortOfPath) {
  TempDir dir;
  WriteFile(dir.file("writable"), "x");
  ::chmod(dir.file("writable").c_str(), 0644);
  WriteFile(dir.file("readonly"), "x");
  ::chmod(dir.file("readonly").c_str(), 0444);
  WriteFile(dir.file("groupwrite"), "x");
  ::chmod(dir.file("groupwrite").c_str(), 0464);
  std::filesystem::create_directory(dir.file("folder"));
  ::chmod(dir.file("folder").c_str(), 0555);
  std::filesystem::create_symlink(dir.file("readonly"), dir.file("link-to-file"));
  std::filesystem::create_symlink(dir.file("folder"), dir.file("link-to-folder"));
  std::filesystem::create_symlink(dir.file("gone"), dir.file("dangling"));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0444), 0);

  const struct {
    const char* name;
    PathKind kind;
    bool readOnly;
  } cases[] = {
      {"missing", PathKind::Missing, false},
      {"writable", PathKind::File, false},
      {"readonly", PathKind::File, true},
      {"groupwrite", PathKind::File, true},
      {"folder", PathKind::Directory, false},
      {"link-to-file", PathKind::File, true},
      {"link-to-folder", PathKind::Directory, false},
      {"dangling", PathKind::Missing, false},
      {"fifo", PathKind::File, false},
      {"readonly/below", PathKind::Missing, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GetPathKind(dir.file(c.name)), c.kind);
    EXPECT_EQ(IsReadOnly(dir.file(c.name)), c.readOnly);
  }
  ::chmod(dir.file("folder").c_str(), 0755);
}

TEST(FileAttributes, ClearReadOnlyAddsOnlyTheOwnersWritePermission) {
  TempDir dir;
  const auto path = dir.file("f");
  WriteFile(path, "x");
  ::chmod(path.c_str(), 0450);
  ClearReadOnly(path);
  EXPECT_FALSE(IsReadOnly(path));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0650u);
  ClearReadOnly(path);
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0650u) << "a writable file stays as it is";
  EXPECT_THROW(ClearReadOnly(dir.file("missing")), SystemError);
}

}  // namespace
}  // namespace platform
