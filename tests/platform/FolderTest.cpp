#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "Platform.h"
#include "TestSupport.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using kestrune::test::TempDir;
using kestrune::test::WriteFile;
using Kind = FolderEntry::Kind;

#ifndef _WIN32
// Links, permission bits, sockets and nanosecond times: the Windows counterparts are in
// FileAttributesWin32Test.cpp.
// A folder with one of each thing a game folder may hold, and links to them.
class FolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir.file("file"), "content");
    WriteFile(dir.file("readonly"), "kept");
    ::chmod(dir.file("readonly").c_str(), 0444);
    fs::create_directory(dir.path() / "sub");
    WriteFile(dir.file("sub/inner"), "inner");
    fs::create_symlink(dir.path() / "file", dir.path() / "file-link");
    fs::create_directory_symlink(dir.path() / "sub", dir.path() / "sub-link");
    fs::create_symlink(dir.path() / "gone", dir.path() / "dangling");
  }

  TempDir dir;
};

TEST_F(FolderTest, ExamineReportsLinksAsLinksAndNeverFollowsThem) {
  const Folder folder = Folder::Open(dir.path().string());
  struct Case {
    const char* name;
    Kind kind;
    bool readOnly;
  };
  for (const Case& c : {Case{"file", Kind::File, false}, Case{"readonly", Kind::File, true},
                        Case{"sub", Kind::Directory, false}, Case{"file-link", Kind::Link, false},
                        Case{"sub-link", Kind::Link, false}, Case{"dangling", Kind::Link, false},
                        Case{"missing", Kind::Missing, false},
                        Case{"sub/inner", Kind::Missing, false}, Case{"", Kind::Missing, false}}) {
    SCOPED_TRACE(c.name);
    const FolderEntry entry = folder.Examine(c.name);
    EXPECT_EQ(entry.kind, c.kind);
    EXPECT_EQ(entry.readOnly, c.readOnly);
  }
  // A subfolder's entries are reached from the subfolder.
  EXPECT_EQ(folder.OpenFolder("sub").Examine("inner").kind, Kind::File);
}

TEST_F(FolderTest, StampIsSizeNanosecondTimeAndIdentity) {
  const std::string path = dir.file("file");
  const struct timespec times[2] = {{1'600'000'000, 123'456'789}, {1'600'000'000, 987'654'321}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);

  const Folder folder = Folder::Open(dir.path().string());
  const FileStamp stamp = folder.Examine("file").stamp;
  EXPECT_EQ(stamp.size, 7u);
  EXPECT_EQ(stamp.modified, 1'600'000'000'987'654'321LL);
  EXPECT_EQ(stamp.device, static_cast<std::uint64_t>(st.st_dev));
  EXPECT_EQ(stamp.index, static_cast<std::uint64_t>(st.st_ino));
  EXPECT_EQ(folder.OpenRead("file", File::Share::None).Stamp(), stamp) << "the open file's own";

  // Content of the same size and time in a new file (a replacement by rename) is another file.
  WriteFile(dir.file("twin"), "CONTENT");
  ASSERT_EQ(::utimensat(AT_FDCWD, dir.file("twin").c_str(), times, 0), 0);
  fs::rename(dir.path() / "twin", path);
  const FileStamp replaced = folder.Examine("file").stamp;
  EXPECT_EQ(replaced.size, stamp.size);
  EXPECT_EQ(replaced.modified, stamp.modified);
  EXPECT_NE(replaced, stamp);
}

TEST_F(FolderTest, OpensOnlyWhatIsNoLinkAndOneComponent) {
  const Folder folder = Folder::Open(dir.path().string());
  File file = folder.OpenRead("file", File::Share::None);
  char buffer[16];
  EXPECT_EQ(std::string(buffer, file.Read(buffer, sizeof buffer)), "content");

  for (const char* name : {"file-link", "dangling", "sub", "missing", "sub/inner", ""}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(folder.OpenRead(name, File::Share::None), SystemError);
  }
  for (const char* name : {"sub-link", "file", "missing", "sub/..", ""}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(folder.OpenFolder(name), SystemError);
  }
  EXPECT_THROW(Folder::Open(dir.file("missing")), SystemError);
  EXPECT_THROW(Folder::Open(dir.file("file")), SystemError);
}

// What a scan meets that exists but can never be read, also by root: a socket.
TEST_F(FolderTest, ASocketExistsButCannotBeOpened) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = dir.file("socket");
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  const Folder folder = Folder::Open(dir.path().string());
  EXPECT_EQ(folder.Examine("socket").kind, Kind::File);
  EXPECT_THROW(folder.OpenRead("socket", File::Share::None), SystemError);
  ::close(fd);
}

#endif  // _WIN32

TEST(FileReadMapped, HandsOverTheBytesInOrderInBoundedPieces) {
  TempDir dir;
  const std::string path = dir.file("big");
  const std::string content = kestrune::test::Bytes((std::size_t{40} << 20) + 4097, 5);
  WriteFile(path, content);
  File file = File::OpenRead(path, File::Share::None);
  std::string seen;
  std::size_t largest = 0;
  ASSERT_TRUE(file.ReadMapped(content.size(), [&](const void* data, std::size_t length) {
    seen.append(static_cast<const char*>(data), length);
    largest = std::max(largest, length);
  }));
  EXPECT_TRUE(seen == content);
  EXPECT_EQ(largest, std::size_t{16} << 20) << "no more than a piece mapped at once";
  EXPECT_TRUE(file.ReadMapped(0, [](const void*, std::size_t) { FAIL() << "nothing to hand"; }));
}

TEST(FileView, MapsTheWholeFileAndReleasesItOnceMovedFrom) {
  TempDir dir;
  const std::string path = dir.file("whole");
  const std::string content = kestrune::test::Bytes((std::size_t{20} << 20) + 3, 7);
  WriteFile(path, content);
  FileView view;
  {
    File file = File::OpenRead(path, File::Share::None);
    FileView mapped = FileView::Of(file);
    view = std::move(mapped);
    EXPECT_EQ(mapped.data(), nullptr);
    EXPECT_EQ(mapped.size(), 0u);
  }
  // The map outlives the handle it was made from.
  ASSERT_EQ(view.size(), content.size());
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(view.data()), view.size()) == content);

  WriteFile(dir.file("empty"), "");
  File empty = File::OpenRead(dir.file("empty"), File::Share::None);
  const FileView none = FileView::Of(empty);
  EXPECT_EQ(none.data(), nullptr);
  EXPECT_EQ(none.size(), 0u);
}

#ifndef _WIN32
// Another program cuts the file while it is summed: an error, not the end of the process.
TEST(FileReadMapped, AFileCutWhileMappedThrowsInsteadOfKillingTheProcess) {
  TempDir dir;
  const std::string path = dir.file("cut");
  WriteFile(path, kestrune::test::Bytes(std::size_t{20} << 20, 6));
  File file = File::OpenRead(path, File::Share::None);
  int pieces = 0;
  volatile unsigned char sink = 0;
  EXPECT_THROW(file.ReadMapped(std::size_t{20} << 20,
                               [&](const void* data, std::size_t length) {
                                 ++pieces;
                                 ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
                                 sink = sink + static_cast<const unsigned char*>(data)[length - 1];
                               }),
               SystemError);
  EXPECT_EQ(pieces, 1);
  // The thread goes on mapping and reading normally.
  WriteFile(path, "whole again");
  File again = File::OpenRead(path, File::Share::None);
  std::string seen;
  EXPECT_TRUE(again.ReadMapped(11, [&](const void* data, std::size_t length) {
    seen.append(static_cast<const char*>(data), length);
  }));
  EXPECT_EQ(seen, "whole again");
}

#endif  // _WIN32

}  // namespace
}  // namespace platform
