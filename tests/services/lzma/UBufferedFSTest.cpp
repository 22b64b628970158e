#include "lzma/UBufferedFS.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"

#ifndef _WIN32
#include "ResourceLimit.h"
#endif

namespace kestrune {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using Mode = TBufferedFS::OpenMode;

constexpr std::size_t kBuffer = 65536;

std::string Noise(std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (auto& b : bytes) b = static_cast<char>(rng());
  return bytes;
}

struct Counts {
  const char* name;
  std::vector<std::size_t> counts;
};
void PrintTo(const Counts& c, std::ostream* os) {
  *os << c.name;
}

class BufferedFSRead : public testing::TestWithParam<Counts> {};

TEST_P(BufferedFSRead, HandsOutTheFileInOrderAndStopsAtItsEnd) {
  constexpr std::size_t kFileSize = 3 * kBuffer + 3392;
  TempDir dir;
  const std::string content = Noise(kFileSize, 1);
  WriteFile(dir.file("f"), content);
  TBufferedFS stream(dir.file("f"), Mode::Read);

  std::size_t offset = 0;
  for (const std::size_t count : GetParam().counts) {
    SCOPED_TRACE("read of " + std::to_string(count) + " at " + std::to_string(offset));
    std::string got(count, '\0');
    const std::size_t expected = std::min(count, kFileSize - offset);
    ASSERT_EQ(stream.Read(got.data(), count), expected);
    ASSERT_TRUE(got.compare(0, expected, content, offset, expected) == 0) << "bytes differ";
    offset += expected;
  }
  char byte;
  EXPECT_EQ(stream.Read(&byte, 1), 0u) << "every row reads to the end";
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, BufferedFSRead,
    testing::Values(Counts{"around_the_buffer_size", {65535, 65536, 65537, 300000}},
                    Counts{"one_byte_then_buffer_sized", {1, 65535, 65536, 1, 65536, 65536, 1}},
                    Counts{"exact_buffers_then_short_tail", {65536, 65536, 65536, 65536}},
                    Counts{"straight_reads_larger_than_the_buffer", {100000, 131072, 5000}},
                    Counts{"small_reads_across_refills", {3, 70000, 65533, 7, 65536, 65536}},
                    Counts{"past_the_end_at_once", {kBuffer * 4}}),
    [](const testing::TestParamInfo<Counts>& info) { return std::string(info.param.name); });

class BufferedFSWrite : public testing::TestWithParam<Counts> {};

TEST_P(BufferedFSWrite, PutsEveryByteOnDiskInOrder) {
  TempDir dir;
  const auto path = dir.file("f");
  WriteFile(path, "old content, emptied by Create");
  std::size_t total = 0;
  for (const std::size_t count : GetParam().counts) total += count;
  const std::string data = Noise(total + 5, 2);

  TBufferedFS stream(path, Mode::Create);
  std::size_t offset = 0;
  for (const std::size_t count : GetParam().counts) {
    ASSERT_EQ(stream.Write(data.data() + offset, count), count);
    offset += count;
  }
  stream.Flush();
#ifndef _WIN32
  // Windows lets no one else read the file while the stream holds it (no sharing).
  EXPECT_TRUE(ReadFile(path) == data.substr(0, total)) << "all bytes on disk after Flush";
#endif
  stream.Write(data.data() + total, 5);
  stream.Close();
  EXPECT_TRUE(ReadFile(path) == data) << "and the last five after Close";
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, BufferedFSWrite,
    testing::Values(Counts{"nothing", {}}, Counts{"fills_the_buffer_exactly", {65536}},
                    Counts{"fills_then_one_more", {65536, 1}},
                    Counts{"overflows_by_one", {65535, 2}},
                    Counts{"partly_filled_then_larger_than_the_buffer", {10, 65536}},
                    Counts{"partly_filled_then_far_larger", {10, 200000, 3}},
                    Counts{"straight_to_the_file", {70000, 65536, 1}},
                    Counts{"many_small", std::vector<std::size_t>(1000, 131)}),
    [](const testing::TestParamInfo<Counts>& info) { return std::string(info.param.name); });

TEST(BufferedFS, DestructorAndReadingFlushCollectedWrites) {
  TempDir dir;
  const auto path = dir.file("f");
  const std::string data = Noise(1000, 3);
  {
    TBufferedFS stream(path, Mode::Create);
    stream.Write(data.data(), 600);
    char byte;
    EXPECT_EQ(stream.Read(&byte, 1), 0u) << "a read starts where the writes ended";
#ifndef _WIN32
    // Windows lets no one else read the file while the stream holds it (no sharing).
    EXPECT_TRUE(ReadFile(path) == data.substr(0, 600)) << "switching to reading flushed";
#endif
    stream.Write(data.data() + 600, 400);
  }
  EXPECT_TRUE(ReadFile(path) == data) << "the destructor flushed the rest";
}

#ifndef _WIN32
// Writes are refused through RLIMIT_FSIZE, which Windows does not have.
TEST(BufferedFS, RefusedWritesThrowFromWriteFlushAndCloseButNotTheDestructor) {
  TempDir dir;
  const std::string data = Noise(2 * kBuffer, 4);
  test::ResourceLimit fileSize(RLIMIT_FSIZE, 1000);
  const auto expectRefused = [](const auto& call) {
    try {
      call();
      ADD_FAILURE() << "write accepted beyond the limit";
    } catch (const platform::SystemError& e) {
      EXPECT_EQ(e.code(), EFBIG);
      EXPECT_FALSE(e.systemText().empty());
    }
  };
  {
    TBufferedFS stream(dir.file("flush"), Mode::Create);
    EXPECT_EQ(stream.Write(data.data(), 2000), 2000u) << "still only in the buffer";
    expectRefused([&] { stream.Flush(); });
  }
  {
    TBufferedFS stream(dir.file("close"), Mode::Create);
    stream.Write(data.data(), 2000);
    expectRefused([&] { stream.Close(); });
  }
  {
    TBufferedFS stream(dir.file("write"), Mode::Create);
    stream.Write(data.data(), 10);
    expectRefused([&] { stream.Write(data.data(), 2 * kBuffer); });
  }
  EXPECT_NO_THROW({
    TBufferedFS stream(dir.file("destructor"), Mode::Create);
    stream.Write(data.data(), 2000);
  });
}

#endif

}  // namespace
}  // namespace kestrune
