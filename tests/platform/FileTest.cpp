#include "Platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#ifndef _WIN32
#include "ResourceLimit.h"
#endif
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

#ifndef _WIN32
// Links, FIFOs and permission bits: the Windows counterparts are in FileAttributesWin32Test.cpp.
TEST(File, CreateNewRefusesAnythingAlreadyThereLinksIncluded) {
  TempDir dir;
  WriteFile(dir.file("target"), "kept");
  std::filesystem::create_symlink(dir.file("target"), dir.file("link"));
  std::filesystem::create_symlink(dir.file("nowhere"), dir.file("dangling"));
  for (const char* name : {"target", "link", "dangling"})
    EXPECT_THROW(File::CreateNew(dir.file(name)), SystemError) << name;
  EXPECT_EQ(ReadFile(dir.file("target")), "kept");
  EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere")));
  File f = File::CreateNew(dir.file("fresh"));
  f.Write("new", 3);
  f.Close();
  EXPECT_EQ(ReadFile(dir.file("fresh")), "new");
}

TEST(File, OpenPlainForWriteTakesOnlyAFileOfItsOwn) {
  TempDir dir;
  WriteFile(dir.file("plain"), "first ");
  {
    File f = File::OpenPlainForWrite(dir.file("plain"));
    EXPECT_EQ(f.Size(), 6u) << "not emptied";
    f.Seek(f.Size());
    f.Write("second", 6);
    f.Close();
  }
  EXPECT_EQ(ReadFile(dir.file("plain")), "first second");

  WriteFile(dir.file("target"), "kept");
  std::filesystem::create_symlink(dir.file("target"), dir.file("symlink"));
  std::filesystem::create_hard_link(dir.file("target"), dir.file("hardlink"));
  std::filesystem::create_directory(dir.file("folder"));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  for (const char* name : {"symlink", "hardlink", "folder", "fifo", "missing"})
    EXPECT_THROW(File::OpenPlainForWrite(dir.file(name)), SystemError) << name;
  EXPECT_EQ(ReadFile(dir.file("target")), "kept");
}

#endif  // _WIN32

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

#ifndef _WIN32
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

#endif  // _WIN32

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

#ifndef _WIN32
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

namespace platform {
namespace {

// Only the last component is looked at, without following it: a link is a link whatever it
// points to, and a plain name below a linked folder is not one itself.
TEST(FileAttributes, LinksAreSeenWithoutBeingFollowed) {
  TempDir dir;
  WriteFile(dir.file("file"), "x");
  std::filesystem::create_directory(dir.file("folder"));
  WriteFile(dir.file("folder/inner"), "x");
  std::filesystem::create_symlink(dir.file("file"), dir.file("link-to-file"));
  std::filesystem::create_symlink(dir.file("folder"), dir.file("link-to-folder"));
  std::filesystem::create_symlink(dir.file("gone"), dir.file("dangling"));
  const struct {
    const char* name;
    bool link;
  } cases[] = {
      {"missing", false},
      {"file", false},
      {"folder", false},
      {"link-to-file", true},
      {"link-to-folder", true},
      {"dangling", true},
      {"link-to-folder/inner", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsLinkOrReparsePoint(dir.file(c.name)), c.link);
  }
}

TEST(FileAttributes, CreateFolderMakesOneLevelAndNeverReusesAName) {
  TempDir dir;
  EXPECT_TRUE(CreateFolder(dir.file("one")));
  EXPECT_EQ(GetPathKind(dir.file("one")), PathKind::Directory);
  EXPECT_FALSE(CreateFolder(dir.file("one"))) << "already there";
  EXPECT_FALSE(CreateFolder(dir.file("a/b"))) << "the parent is missing";
  std::filesystem::create_symlink(dir.file("elsewhere"), dir.file("dangling"));
  EXPECT_FALSE(CreateFolder(dir.file("dangling"))) << "a dangling link is not followed";
  EXPECT_FALSE(std::filesystem::exists(dir.file("elsewhere")));
}

#endif  // _WIN32

// flock belongs to the open file: a second open conflicts even within one process.
TEST(FileLock, OneHolderAtATimeAndTheLockEndsWithItsObject) {
  TempDir dir;
  const std::string path = dir.file("kestrune.lock");
  FileLock first = FileLock::Acquire(path, std::chrono::milliseconds(0));
  ASSERT_TRUE(first.isLocked());
  EXPECT_FALSE(FileLock::Acquire(path, std::chrono::milliseconds(50)).isLocked());
  FileLock moved = std::move(first);
  EXPECT_FALSE(first.isLocked());
  EXPECT_TRUE(moved.isLocked());
  EXPECT_FALSE(FileLock::Acquire(path, std::chrono::milliseconds(0)).isLocked());
  moved = FileLock();
  EXPECT_TRUE(FileLock::Acquire(path, std::chrono::milliseconds(0)).isLocked());
}

// A waiting taker gets the lock once the holder lets go within its wait.
TEST(FileLock, AWaitingTakerGetsItWhenTheHolderLetsGo) {
  TempDir dir;
  const std::string path = dir.file("kestrune.lock");
  auto holder = std::make_unique<FileLock>(FileLock::Acquire(path, std::chrono::milliseconds(0)));
  ASSERT_TRUE(holder->isLocked());
  std::thread release([&holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    holder.reset();
  });
  EXPECT_TRUE(FileLock::Acquire(path, std::chrono::seconds(10)).isLocked());
  release.join();
}

#ifndef _WIN32
TEST(FileLock, OnlyAPlainFileReachedWithoutALinkServes) {
  TempDir dir;
  std::filesystem::create_symlink(dir.file("elsewhere"), dir.file("dangling"));
  WriteFile(dir.file("target"), "keep");
  std::filesystem::create_symlink(dir.file("target"), dir.file("link"));
  std::filesystem::create_directory(dir.file("folder"));
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
  for (const char* name : {"dangling", "link", "folder", "fifo", "missing-folder/kestrune.lock"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(FileLock::Acquire(dir.file(name), std::chrono::milliseconds(0)).isLocked());
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("elsewhere"))) << "nothing created through it";
  EXPECT_EQ(ReadFile(dir.file("target")), "keep");
  EXPECT_TRUE(FileLock::Acquire(dir.file("fresh.lock"), std::chrono::milliseconds(0)).isLocked());
  EXPECT_EQ(GetPathKind(dir.file("fresh.lock")), PathKind::File) << "created when missing";
}

#endif  // _WIN32

}  // namespace
}  // namespace platform
