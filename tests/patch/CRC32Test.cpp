#include "CRC32.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>

#include "TestSupport.h"

#ifdef _WIN32
#include "WindowsSupport.h"
#endif

namespace kestrune {
namespace {

using test::TempDir;
using test::WriteFile;

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

struct Vector {
  const char* label;
  std::string content;
  const char* expected;  // from Python's zlib.crc32, formatted "%08X"
};

TEST(CRC32File, MatchesIndependentlyComputedVectors) {
  const Vector vectors[] = {
      {"empty", "", "00000000"},
      {"one letter", "a", "E8B7BE43"},
      {"abc", "abc", "352441C2"},
      {"check value", "123456789", "CBF43926"},
      {"pangram", "The quick brown fox jumps over the lazy dog", "414FA339"},
      {"one zero byte", std::string(1, '\0'), "D202EF8D"},
      {"four zero bytes", std::string(4, '\0'), "2144DF1C"},
      {"four FF bytes", std::string(4, '\xff'), "FFFFFFFF"},
      {"leading zero digits", "kestrune-17222", "000DA706"},
      {"five leading zero digits", "kestrune-1006925", "00000803"},
      {"one byte short of a chunk", Pattern(16383), "528D2C64"},
      {"exactly one chunk", Pattern(16384), "E93E4269"},
      {"one byte past a chunk", Pattern(16385), "E033BD2C"},
      {"many chunks", Pattern(1000000), "27C442B8"},
  };
  TempDir dir;
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.label);
    const auto path = dir.file("f.bin");
    WriteFile(path, v.content);
    EXPECT_EQ(CRC32File(path), v.expected);
  }
}

TEST(CRC32Update, ChainsAcrossArbitrarySplits) {
  const std::string data = Pattern(100000);
  std::uint32_t reg = 0xFFFFFFFFu;
  for (std::size_t pos = 0, step = 1; pos < data.size(); pos += step, step = step * 3 + 1) {
    const std::size_t n = std::min(step, data.size() - pos);
    reg = CRC32Update(reg, data.data() + pos, n);
  }
  EXPECT_EQ(~reg, 0xB353B8FAu);  // Python's zlib.crc32 of the same bytes
  EXPECT_EQ(CRC32Update(0x12345678u, data.data(), 0), 0x12345678u);
  // "123456789" from a fresh register, complemented: the standard check value.
  EXPECT_EQ(~CRC32Update(0xFFFFFFFFu, "123456789", 9), 0xCBF43926u);
}

TEST(CRC32Stream, SumsFromCurrentPositionOrWholeFile) {
  TempDir dir;
  const auto path = dir.file("f.bin");
  WriteFile(path, "xx123456789yy");
  auto file = platform::File::OpenRead(path, platform::File::Share::None);
  file.Seek(2);
  EXPECT_EQ(CRC32Stream(file, 9), 0xCBF43926u);
  // Byte count 0 rewinds and sums everything, wherever the position was.
  file.Seek(5);
  EXPECT_EQ(CRC32Stream(file, 0), ~CRC32Update(0xFFFFFFFFu, "xx123456789yy", 13));
}

TEST(CRC32Stream, FileShorterThanTheCountIsAnError) {
  TempDir dir;
  const auto path = dir.file("f.bin");
  WriteFile(path, "12345");
  auto file = platform::File::OpenRead(path, platform::File::Share::None);
  EXPECT_THROW(CRC32Stream(file, 6), platform::SystemError);
}

TEST(CRC32File, UnopenableFileRaisesWithThePath) {
  TempDir dir;
  const std::string missing = dir.file("no-such-file");
  try {
    CRC32File(missing);
    FAIL() << "a missing file was summed";
  } catch (const platform::SystemError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + missing + "\". " + e.systemText());
    EXPECT_FALSE(e.systemText().empty());
  }
  EXPECT_THROW(CRC32File(dir.path().string()), platform::SystemError) << "a directory";
}

// A file of three mapped pieces and a ragged end, summed straight from the map, against two
// independent tools.
TEST(CRC32File, LargeFileEqualsRhashAndZlib) {
  TempDir dir;
  const auto path = dir.file("large.bin");
  WriteFile(path, test::Bytes((std::size_t{33} << 20) + 12345, 21));
  std::string rhash = test::CommandOutput("rhash --crc32 --simple '" + test::HostPath(path) +
                                          "' | cut -c1-8 | tr -d '\\n'");
  for (char& c : rhash) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string zlib = test::CommandOutput(
      "python3 -c 'import sys,zlib; print(\"%08X\" % zlib.crc32(open(sys.argv[1],\"rb\").read()), "
      "end=\"\")' '" +
      test::HostPath(path) + "'");
  ASSERT_EQ(zlib.size(), 8u);
  EXPECT_EQ(rhash, zlib);
  const std::uint64_t before = CRC32FilesSummed();
  EXPECT_EQ(CRC32File(path), zlib);
  EXPECT_EQ(CRC32FilesSummed(), before + 1) << "each summed file is counted";

  // From the start, wherever the position was.
  auto file = platform::File::OpenRead(path, platform::File::Share::None);
  file.Seek(777);
  EXPECT_EQ(CRC32Text(CRC32WholeFile(file)), zlib);
}

// Counts past 32 bits: a sparse file just over 4 GiB, zeros but for a tail.
TEST(CRC32File, FileLargerThanFourGiB) {
  TempDir dir;
  const auto path = dir.file("big.bin");
  const std::uint64_t size = (std::uint64_t{1} << 32) + 16385;
  {
    std::ofstream out(path, std::ios::binary);
    out.seekp(static_cast<std::streamoff>(size - 9));
    out << "123456789";
    if (!out) GTEST_SKIP() << "cannot create a sparse 4 GiB file here";
  }
  if (std::filesystem::file_size(path) != size) GTEST_SKIP() << "sparse files not supported here";
  EXPECT_EQ(CRC32File(path), "69201816");  // Python's zlib.crc32 over the same bytes
}

// A Cyrillic name is opened under that name, not under its ANSI code-page rendering.
TEST(CRC32File, CyrillicNameIsSummed) {
  TempDir dir;
  const std::string path = dir.file("Карта мира.dat");
  WriteFile(path, "123456789");
  EXPECT_EQ(CRC32File(path), "CBF43926");  // the check value of CRC-32
  EXPECT_EQ(test::CommandOutput("cat '" + test::HostPath(test::Utf8Path(path)) + "'"), "123456789")
      << "the file has that name on disk";
}

#ifdef _WIN32
// The file is opened with no sharing: another open handle makes the sum fail, whether that
// handle shares the file or not, and the error names the file with the system's text.
TEST(CRC32File, AFileOpenElsewhereIsNotSummed) {
  TempDir dir;
  const std::string path = dir.file("held.dat");
  WriteFile(path, "123456789");
  for (const DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
    SCOPED_TRACE(share);
    const HANDLE other = CreateFileW(test::Utf8Path(path).wstring().c_str(), GENERIC_READ, share,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    try {
      CRC32File(path);
      ADD_FAILURE() << "a file open elsewhere was summed";
    } catch (const platform::SystemError& e) {
      EXPECT_EQ(e.code(), static_cast<int>(ERROR_SHARING_VIOLATION));
      EXPECT_EQ(std::string(e.what()),
                "Cannot open file \"" + path + "\". " + test::SystemText(ERROR_SHARING_VIOLATION));
    }
    CloseHandle(other);
  }
  EXPECT_EQ(CRC32File(path), "CBF43926") << "once it is closed";
}
#endif

}  // namespace
}  // namespace kestrune
