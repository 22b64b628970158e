// The file calls on Windows where they differ from POSIX: the read-only mark and the other
// attributes, share modes, file identity and times, and the paths themselves: Cyrillic names,
// paths longer than MAX_PATH, relative paths, and bytes that are not UTF-8.

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Platform.h"
#include "TestSupport.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using kestrune::test::ReadFile;
using kestrune::test::TempDir;
using kestrune::test::WriteFile;

// The paths for the system's own calls are built in UTF-16 without the code under test.
std::wstring In(const TempDir& dir, const std::wstring& name) {
  return dir.path().wstring() + L"\\" + name;
}

// A path for the system's own calls, long ones included.
std::wstring Long(const std::wstring& path) {
  return L"\\\\?\\" + path;
}

DWORD Attributes(const std::wstring& path) {
  return GetFileAttributesW(Long(path).c_str());
}

// The marks a user sets; "archive" and "normal" are left out, as Wine reports every plain file
// as "archive".
DWORD Marks(const std::wstring& path) {
  return Attributes(path) &
         (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
}

void Mark(const std::wstring& path, DWORD attributes) {
  ASSERT_TRUE(SetFileAttributesW(Long(path).c_str(), attributes));
}

void Touch(const std::wstring& path, const FILETIME& time) {
  HANDLE h =
      CreateFileW(Long(path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &time));
  CloseHandle(h);
}

// The whole file through the system's own calls.
std::string Bytes(const std::wstring& path) {
  std::string bytes;
  HANDLE h = CreateFileW(Long(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "(cannot open)";
  char buffer[256];
  for (DWORD n; ::ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0;)
    bytes.append(buffer, n);
  CloseHandle(h);
  return bytes;
}

// The names in `folder` as the system lists them, in UTF-16.
std::vector<std::wstring> Names(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW((Long(folder) + L"\\*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(h, &found));
  FindClose(h);
  std::sort(names.begin(), names.end());
  return names;
}

std::string Content(File& file) {
  std::string bytes;
  char buffer[256];
  for (std::size_t n; (n = file.Read(buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
  return bytes;
}

TEST(FileAttributesWin32, KindAndReadOnlyMarkOfEachSortOfPath) {
  TempDir dir;
  WriteFile(dir.file("writable"), "x");
  WriteFile(dir.file("readonly"), "x");
  Mark(In(dir, L"readonly"), FILE_ATTRIBUTE_READONLY);
  WriteFile(dir.file("hidden-readonly"), "x");
  Mark(In(dir, L"hidden-readonly"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  WriteFile(dir.file("hidden"), "x");
  Mark(In(dir, L"hidden"), FILE_ATTRIBUTE_HIDDEN);
  fs::create_directory(dir.path() / "folder");
  // On a folder the mark protects nothing: Explorer reads it as "look for desktop.ini".
  Mark(In(dir, L"folder"), FILE_ATTRIBUTE_READONLY);
  const struct {
    const char* name;
    PathKind kind;
    bool readOnly;
  } cases[] = {
      {"missing", PathKind::Missing, false},
      {"writable", PathKind::File, false},
      {"readonly", PathKind::File, true},
      {"hidden-readonly", PathKind::File, true},
      {"hidden", PathKind::File, false},
      {"folder", PathKind::Directory, false},
      {"readonly\\below", PathKind::Missing, false},
  };
  const Folder folder = Folder::Open(dir.path().string());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GetPathKind(dir.file(c.name)), c.kind);
    EXPECT_EQ(IsReadOnly(dir.file(c.name)), c.readOnly);
    if (std::string(c.name).find('\\') == std::string::npos) {
      EXPECT_EQ(folder.Examine(c.name).readOnly, c.readOnly);
    }
  }
  EXPECT_FALSE(IsLinkOrReparsePoint(dir.file("folder")));
  EXPECT_FALSE(IsLinkOrReparsePoint(dir.file("readonly")));
  Mark(In(dir, L"folder"), FILE_ATTRIBUTE_NORMAL);
}

TEST(FileAttributesWin32, ClearReadOnlyRemovesOnlyThatMark) {
  TempDir dir;
  const std::string path = dir.file("f");
  const std::wstring wide = In(dir, L"f");
  WriteFile(path, "x");
  Mark(wide, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  ClearReadOnly(path);
  EXPECT_EQ(Marks(wide), DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM});
  EXPECT_FALSE(IsReadOnly(path));

  // The last mark gone leaves a plain file, and a writable file stays as it is.
  Mark(wide, FILE_ATTRIBUTE_READONLY);
  ClearReadOnly(path);
  EXPECT_NE(Attributes(wide), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Marks(wide), 0u);
  Mark(wide, FILE_ATTRIBUTE_HIDDEN);
  ClearReadOnly(path);
  EXPECT_EQ(Marks(wide), DWORD{FILE_ATTRIBUTE_HIDDEN});
  EXPECT_THROW(ClearReadOnly(dir.file("missing")), SystemError);
}

// As POSIX keeps the permission bits of the replaced file, the marks of the replaced file stay.
TEST(FileAttributesWin32, ReplaceFileKeepsTheMarksOfTheReplacedFile) {
  TempDir dir;
  WriteFile(dir.file("target"), "old");
  Mark(In(dir, L"target"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  WriteFile(dir.file("fresh"), "new");
  ReplaceFile(dir.file("fresh"), dir.file("target"));
  EXPECT_EQ(Bytes(In(dir, L"target")), "new");
  EXPECT_EQ(Marks(In(dir, L"target")), DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM});
  EXPECT_EQ(GetPathKind(dir.file("fresh")), PathKind::Missing);

  // And a plain file replaced by a hidden one is plain again.
  WriteFile(dir.file("fresh"), "newer");
  Mark(In(dir, L"fresh"), FILE_ATTRIBUTE_HIDDEN);
  Mark(In(dir, L"target"), FILE_ATTRIBUTE_NORMAL);
  ReplaceFile(dir.file("fresh"), dir.file("target"));
  EXPECT_EQ(Bytes(In(dir, L"target")), "newer");
  EXPECT_EQ(Marks(In(dir, L"target")), 0u);

  // A new name takes the file as it is.
  WriteFile(dir.file("fresh"), "x");
  Mark(In(dir, L"fresh"), FILE_ATTRIBUTE_HIDDEN);
  ReplaceFile(dir.file("fresh"), dir.file("new-name"));
  EXPECT_EQ(Marks(In(dir, L"new-name")), DWORD{FILE_ATTRIBUTE_HIDDEN});
  EXPECT_THROW(ReplaceFile(dir.file("missing"), dir.file("target")), SystemError);
  EXPECT_EQ(Bytes(In(dir, L"target")), "newer");
}

// A Folder reaches one name at a time: nothing with a separator, nothing of the wrong kind.
TEST(FileAttributesWin32, AFolderOpensOnlyOneComponentOfTheRightKind) {
  TempDir dir;
  WriteFile(dir.file("file"), "content");
  fs::create_directory(dir.path() / "sub");
  WriteFile(dir.file("sub\\inner"), "inner");
  const Folder folder = Folder::Open(dir.path().string() + "\\");
  {
    File file = folder.OpenRead("file", File::Share::None);
    EXPECT_EQ(Content(file), "content");
  }
  EXPECT_EQ(folder.Examine("sub").kind, FolderEntry::Kind::Directory);
  EXPECT_EQ(folder.OpenFolder("sub").Examine("inner").kind, FolderEntry::Kind::File);
  for (const char* name : {"sub", "missing", "sub\\inner", "sub/inner", ""}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(folder.OpenRead(name, File::Share::None), SystemError);
  }
  for (const char* name : {"file", "missing", "sub\\..", "sub/..", ""}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(folder.OpenFolder(name), SystemError);
  }
  for (const char* name : {"missing", "sub\\inner", "sub/inner", ""}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(folder.Examine(name).kind, FolderEntry::Kind::Missing);
  }
  EXPECT_THROW(Folder::Open(dir.file("missing")), SystemError);
  EXPECT_THROW(Folder::Open(dir.file("file")), SystemError);
}

TEST(FileAttributesWin32, AFileHeldWithoutSharingKeepsEveryoneElseOut) {
  TempDir dir;
  const std::string path = dir.file("held");
  WriteFile(path, "content");
  {
    File held = File::OpenRead(path, File::Share::None);
    EXPECT_THROW(File::OpenRead(path, File::Share::ReadWrite), SystemError);
    EXPECT_THROW(CheckReplaceable(path), SystemError);
    EXPECT_THROW(File::Create(path), SystemError);
    EXPECT_THROW(Folder::Open(dir.path().string()).OpenRead("held", File::Share::ReadWrite),
                 SystemError);
    // Looking at it never conflicts.
    EXPECT_EQ(GetPathKind(path), PathKind::File);
    EXPECT_EQ(Folder::Open(dir.path().string()).Examine("held").stamp.size, 7u);
  }
  {
    File shared = File::OpenRead(path, File::Share::ReadWrite);
    File other = File::OpenRead(path, File::Share::ReadWrite);
    EXPECT_EQ(Content(other), "content");
  }
  EXPECT_NO_THROW(CheckReplaceable(path));
}

TEST(FileAttributesWin32, StampIsSizeTimeAndTheVolumeAndIndexOfTheFile) {
  TempDir dir;
  const std::string path = dir.file("file");
  WriteFile(path, "content");
  // 1600000000.9876543 s after 1970, in the 100 ns ticks since 1601 of the file system.
  const ULONGLONG ticks =
      1'600'000'000ULL * 10'000'000ULL + 9'876'543ULL + 116'444'736'000'000'000ULL;
  const FILETIME time{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
  Touch(In(dir, L"file"), time);
  const Folder folder = Folder::Open(dir.path().string());
  const FileStamp stamp = folder.Examine("file").stamp;
  EXPECT_EQ(stamp.size, 7u);
  EXPECT_EQ(stamp.modified, 1'600'000'000'987'654'300LL);
  EXPECT_EQ(File::OpenRead(path, File::Share::None).Stamp(), stamp) << "the open file's own";

  // The same size and time in a new file put in its place is another file.
  WriteFile(dir.file("twin"), "CONTENT");
  Touch(In(dir, L"twin"), time);
  ReplaceFile(dir.file("twin"), path);
  EXPECT_EQ(ReadFile(path), "CONTENT");
  EXPECT_EQ(GetPathKind(dir.file("twin")), PathKind::Missing);
  const FileStamp replaced = folder.Examine("file").stamp;
  EXPECT_EQ(replaced.modified, stamp.modified);
  EXPECT_EQ(replaced.device, stamp.device);
  EXPECT_NE(replaced.index, stamp.index);
}

// Every call that takes a path, on a folder and a file with Cyrillic names: what the system
// lists afterwards is the names in UTF-16, not bytes read through the ANSI code page.
TEST(FileAttributesWin32, CyrillicNamesReachEveryFileCallAsUtf16) {
  TempDir dir;
  const std::string folderName = "\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0";  // "Папка"
  const std::string fileName = "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.bin";        // "файл.bin"
  const std::string newName = "\xD0\x81\xD0\xB6";                             // "Ёж"
  const std::string folderPath = dir.file("") + folderName;
  const std::string filePath = folderPath + "\\" + fileName;
  const std::string newPath = folderPath + "\\" + newName;

  ASSERT_TRUE(CreateFolder(folderPath));
  EXPECT_EQ(Names(dir.path().wstring()),
            std::vector<std::wstring>{L"\u041F\u0430\u043F\u043A\u0430"});
  {
    File file = File::Create(filePath);
    file.Write("first", 5);
    file.Close();
  }
  const std::wstring wideFolder = In(dir, L"\u041F\u0430\u043F\u043A\u0430");
  EXPECT_EQ(Names(wideFolder), std::vector<std::wstring>{L"\u0444\u0430\u0439\u043B.bin"});
  EXPECT_EQ(GetPathKind(folderPath), PathKind::Directory);
  EXPECT_EQ(GetPathKind(filePath), PathKind::File);
  EXPECT_FALSE(IsLinkOrReparsePoint(filePath));
  Mark(wideFolder + L"\\\u0444\u0430\u0439\u043B.bin", FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(IsReadOnly(filePath));
  ClearReadOnly(filePath);
  EXPECT_FALSE(IsReadOnly(filePath));
  {
    File file = File::OpenRead(filePath, File::Share::ReadWrite);
    EXPECT_EQ(file.Size(), 5u);
    EXPECT_EQ(Content(file), "first");
  }
  {
    File file = File::OpenPlainForWrite(filePath);
    file.Seek(5);
    file.Write(" second", 7);
  }
  const Folder folder = Folder::Open(folderPath);
  EXPECT_EQ(folder.Examine(fileName).kind, FolderEntry::Kind::File);
  EXPECT_EQ(folder.Examine(fileName).stamp.size, 12u);
  {
    File file = folder.OpenRead(fileName, File::Share::None);
    EXPECT_EQ(Content(file), "first second");
  }
  EXPECT_EQ(Folder::Open(dir.path().string()).OpenFolder(folderName).Examine(fileName).kind,
            FolderEntry::Kind::File);
  EXPECT_NO_THROW(CheckReplaceable(filePath));
  EXPECT_GT(FreeSpace(filePath), 0u);
  EXPECT_TRUE(FileLock::Acquire(folderPath + "\\\xD0\x97.lock", {}).isLocked());

  {
    File file = File::CreateNew(newPath);
    file.Write("new", 3);
  }
  EXPECT_THROW(File::CreateNew(newPath), SystemError);
  ReplaceFile(newPath, filePath);
  ReplaceFileContents(newPath, "contents");
  EXPECT_EQ(Names(wideFolder), (std::vector<std::wstring>{L"\u0401\u0436", L"\u0417.lock",
                                                          L"\u0444\u0430\u0439\u043B.bin"}));
  EXPECT_EQ(Bytes(wideFolder + L"\\\u0444\u0430\u0439\u043B.bin"), "new");
  EXPECT_EQ(Bytes(wideFolder + L"\\\u0401\u0436"), "contents");
  EXPECT_TRUE(RemoveFile(filePath));
  EXPECT_TRUE(RemoveFile(newPath));
  EXPECT_EQ(Names(wideFolder), std::vector<std::wstring>{L"\u0417.lock"});
}

// Six levels of 60 letters: far beyond MAX_PATH (260), which only the "\\?\" form passes.
TEST(FileAttributesWin32, PathsLongerThanMaxPathWorkThroughEveryCall) {
  TempDir dir;
  std::string path = dir.path().string();
  std::wstring wide = dir.path().wstring();
  for (int level = 0; level < 6; ++level) {
    const std::string name = std::string(59, static_cast<char>('a' + level)) + "\xD0\x96";  // Ж
    path += "\\" + name;
    wide += L"\\" + std::wstring(59, static_cast<wchar_t>(L'a' + level)) + L"\u0416";
    ASSERT_TRUE(CreateFolder(path)) << level;
  }
  ASSERT_GT(path.size(), 360u);
  const std::string file = path + "\\file.bin";
  {
    File created = File::Create(file);
    created.Write("deep", 4);
  }
  EXPECT_NE(Attributes(wide + L"\\file.bin"), INVALID_FILE_ATTRIBUTES) << "where it belongs";
  EXPECT_EQ(GetPathKind(path), PathKind::Directory);
  EXPECT_EQ(GetPathKind(file), PathKind::File);
  {
    File read = File::OpenRead(file, File::Share::None);
    EXPECT_EQ(Content(read), "deep");
  }
  ReplaceFileContents(file, "deeper");
  {
    File read = Folder::Open(path).OpenRead("file.bin", File::Share::ReadWrite);
    EXPECT_EQ(Content(read), "deeper");
  }
  Mark(wide + L"\\file.bin", FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(IsReadOnly(file));
  ClearReadOnly(file);
  EXPECT_TRUE(FileLock::Acquire(path + "\\x.lock", {}).isLocked());
  EXPECT_GT(FreeSpace(file), 0u);
  EXPECT_TRUE(RemoveFile(file));
  EXPECT_TRUE(RemoveFile(path + "\\x.lock"));
  EXPECT_EQ(GetPathKind(file), PathKind::Missing);
  // TempDir's removal goes through the short paths of the C library.
  for (std::wstring level = wide; level.size() > dir.path().wstring().size();
       level.resize(level.rfind(L'\\'))) {
    EXPECT_TRUE(RemoveDirectoryW(Long(level).c_str()));
  }
}

// The current directory of a relative path, "/" as a separator, "." and "..".
TEST(FileAttributesWin32, RelativePathsAndForwardSlashesNameTheSameFiles) {
  TempDir dir;
  fs::create_directory(dir.path() / "sub");
  wchar_t saved[MAX_PATH * 4];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH * 4, saved), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(dir.path().wstring().c_str()));
  {
    File file = File::Create("sub/relative.txt");
    file.Write("rel", 3);
  }
  EXPECT_EQ(GetPathKind(".\\sub\\..\\sub\\relative.txt"), PathKind::File);
  EXPECT_EQ(GetPathKind("sub"), PathKind::Directory);
  EXPECT_TRUE(CreateFolder("sub/inner"));
  SetCurrentDirectoryW(saved);
  EXPECT_EQ(ReadFile(dir.file("sub\\relative.txt")), "rel");
  EXPECT_EQ(GetPathKind(dir.file("sub\\inner")), PathKind::Directory);
  EXPECT_EQ(GetPathKind(dir.path().string() + "/sub//relative.txt"), PathKind::File);
}

// A name that is not UTF-8 would otherwise reach the system with replacement characters in it,
// naming a file nobody asked for.
TEST(FileAttributesWin32, PathsThatAreNotUtf8OrHoldANulAreRefusedByEveryCall) {
  TempDir dir;
  WriteFile(dir.file("a"), "kept");
  for (const std::string& name : {std::string("bad\xFF"), std::string("\xD0("),
                                  std::string("\xC0\x80"), std::string("a\0b", 3)}) {
    SCOPED_TRACE(testing::PrintToString(name));
    const std::string path = dir.file("") + name;
    try {
      File::Create(path);
      ADD_FAILURE() << "created";
    } catch (const SystemError& e) {
      EXPECT_NE(e.code(), 0);
      EXPECT_FALSE(e.systemText().empty());
    }
    EXPECT_THROW(File::CreateNew(path), SystemError);
    EXPECT_THROW(File::OpenRead(path, File::Share::ReadWrite), SystemError);
    EXPECT_THROW(File::OpenPlainForWrite(path), SystemError);
    EXPECT_THROW(ClearReadOnly(path), SystemError);
    EXPECT_THROW(ReplaceFile(dir.file("a"), path), SystemError);
    EXPECT_THROW(ReplaceFileContents(path, "x"), SystemError);
    EXPECT_THROW(Folder::Open(path), SystemError);
    EXPECT_FALSE(CreateFolder(path));
    EXPECT_FALSE(RemoveFile(path));
    EXPECT_FALSE(IsReadOnly(path));
    EXPECT_FALSE(IsLinkOrReparsePoint(path));
    EXPECT_EQ(GetPathKind(path), PathKind::Missing);
    EXPECT_FALSE(FileLock::Acquire(path, {}).isLocked());
    const Folder folder = Folder::Open(dir.path().string());
    EXPECT_EQ(folder.Examine(name).kind, FolderEntry::Kind::Missing);
    EXPECT_THROW(folder.OpenRead(name, File::Share::ReadWrite), SystemError);
  }
  EXPECT_EQ(Names(dir.path().wstring()), std::vector<std::wstring>{L"a"});
  EXPECT_EQ(ReadFile(dir.file("a")), "kept");
}

TEST(ExecutableWin32, OnlyAnImageWithTheDosSignatureLooksLikeAProgram) {
  const struct {
    std::string firstBytes;
    bool expected;
  } cases[] = {
      {"MZ\x90", true},
      {"MZ", true},
      {"M", false},
      {"", false},
      {"\x7f"
       "ELF",
       false},
      {"#!/bin/sh", false},
      {"mz\x90", false},
      {"ZM\x90", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firstBytes);
    EXPECT_EQ(LooksLikeExecutable(c.firstBytes), c.expected);
  }
}

}  // namespace
}  // namespace platform
