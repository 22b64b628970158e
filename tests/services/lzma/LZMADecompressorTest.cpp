#include "lzma/LZMADecompressor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <string>

#include "Limits.h"
#include "TestSupport.h"

#ifdef _WIN32
#include "WindowsSupport.h"
#else
#include <unistd.h>

#include "ResourceLimit.h"
#include "SmallFileSystem.h"
#endif

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using Kind = LzmaError::Kind;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr std::uint64_t kSizeNotGiven = ~std::uint64_t{0};
const std::string kOldTarget = "the game file as it was before the patch\n";

// Game-file-like bytes: text, noise and runs, so that encoders produce
// literals, short and long matches and repeated distances.
std::string Payload(std::size_t size, std::uint32_t seed) {
  static const char* const kWords[] = {"patch", "client", "texture",  "model", "sound", "the",
                                       "of",    "level",  "version",  "\r\n",  "0x1F",  "{",
                                       "}",     "=",      "kestrune", "map",   "npc",   "quest"};
  std::mt19937 rng(seed);
  std::string out;
  out.reserve(size + 8192);
  while (out.size() < size) {
    switch (rng() % 3) {
      case 0:
        for (std::uint32_t n = 20 + rng() % 500; n > 0; --n) {
          out += kWords[rng() % std::size(kWords)];
          out += ' ';
        }
        break;
      case 1:
        for (std::uint32_t n = 1 + rng() % 4096; n > 0; --n) out += static_cast<char>(rng());
        break;
      default:
        out.append(1 + rng() % 3000, static_cast<char>(rng()));
    }
  }
  out.resize(size);
  return out;
}

void Run(const std::string& command) {
  if (test::CommandStatus(command) != 0) throw std::runtime_error("failed: " + command);
}

// The system's text for `error`: an errno value on POSIX, a Win32 error code on Windows.
std::string SystemText(int error) {
#ifdef _WIN32
  return test::SystemText(static_cast<DWORD>(error));
#else
  return std::strerror(error);
#endif
}

enum class Encoder { LzmaAlone, Xz };

// Encodes the file `in` into `out` with one of the two independent encoders.
void Encode(Encoder encoder, const std::string& args, const std::string& in,
            const std::string& out) {
  if (encoder == Encoder::LzmaAlone) {
    Run("lzma_alone e '" + test::HostPath(in) + "' '" + test::HostPath(out) + "' " + args +
        " >/dev/null 2>&1");
  } else {
    Run("xz --format=lzma " + args + " -c '" + test::HostPath(in) + "' > '" + test::HostPath(out) +
        "'");
  }
}

void PutLittleEndian(std::string& bytes, std::size_t offset, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes.at(offset + i) = static_cast<char>(value >> (8 * i));
}
std::string WithSize(std::string bytes, std::uint64_t size) {
  PutLittleEndian(bytes, 5, size, 8);
  return bytes;
}
std::string WithDictionary(std::string bytes, std::uint32_t size) {
  PutLittleEndian(bytes, 1, size, 4);
  return bytes;
}

// Every file below a folder with its content ("<dir>" for folders): what a
// call left on disk, compared as a whole.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    files[name] = entry.is_directory() ? "<dir>" : ReadFile(entry.path().string());
  }
  return files;
}

void ExpectLzmaError(const std::function<void()>& call, Kind kind, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no LzmaError; expected: " << message;
  } catch (const LzmaError& e) {
    EXPECT_EQ(e.kind(), kind) << e.what();
    EXPECT_EQ(std::string(e.what()), message);
  }
}

// ---------------------------------------------------------------------------
// Files from the independent encoders decode byte-exact.

struct EncoderCase {
  const char* name;
  Encoder encoder;
  const char* args;
  std::size_t size;
};
void PrintTo(const EncoderCase& c, std::ostream* os) {
  *os << c.name;
}

class LzmaInterop : public testing::TestWithParam<EncoderCase> {};

TEST_P(LzmaInterop, DecodesByteExactOverTheOldTarget) {
  const EncoderCase& c = GetParam();
  TempDir dir;
  const std::string payload = Payload(c.size, static_cast<std::uint32_t>(c.size) + 7);
  const auto original = dir.file("original");
  const auto input = dir.file("game.dat.lzma");
  const auto output = dir.file("game.dat");
  WriteFile(original, payload);
  Encode(c.encoder, c.args, original, input);
  // Longer than the payload, so a stale tail would show.
  WriteFile(output, std::string(c.size + 70000, 'X'));

  DecompressFile(input, output);

  EXPECT_TRUE(ReadFile(output) == payload) << "decoded bytes differ from the original";
  const auto after = Snapshot(dir.path());
  EXPECT_EQ(after.size(), 2u) << "only the original and the target remain";
  EXPECT_FALSE(after.count("game.dat.lzma"));
}

INSTANTIATE_TEST_SUITE_P(
    Encoders, LzmaInterop,
    testing::Values(
        EncoderCase{"alone_lc3_lp0_pb2_d16", Encoder::LzmaAlone, "-lc3 -lp0 -pb2 -d16", 200000},
        EncoderCase{"alone_lc0_lp2_pb0_d12", Encoder::LzmaAlone, "-lc0 -lp2 -pb0 -d12", 65535},
        EncoderCase{"alone_lc4_lp0_pb4_d20_eos", Encoder::LzmaAlone, "-lc4 -lp0 -pb4 -d20 -eos",
                    65536},
        EncoderCase{"alone_lc1_lp3_pb1_d24_eos", Encoder::LzmaAlone, "-lc1 -lp3 -pb1 -d24 -eos",
                    65537},
        EncoderCase{"alone_lc0_lp4_pb3_d18", Encoder::LzmaAlone, "-lc0 -lp4 -pb3 -d18",
                    (1 << 20) + (1 << 19) + 3},
        EncoderCase{"alone_lc2_lp1_pb0_d22_eos_fast", Encoder::LzmaAlone,
                    "-lc2 -lp1 -pb0 -d22 -eos -a0 -mfhc4", 3 * (1 << 20) + 1},
        EncoderCase{"alone_empty", Encoder::LzmaAlone, "-d16", 0},
        EncoderCase{"alone_empty_eos", Encoder::LzmaAlone, "-d16 -eos", 0},
        EncoderCase{"alone_one_byte_eos", Encoder::LzmaAlone, "-d12 -eos", 1},
        EncoderCase{"xz_preset6", Encoder::Xz, "-6", 2 * (1 << 20) + 12345},
        EncoderCase{"xz_lc1_lp3_pb0_dict64k", Encoder::Xz, "--lzma1=lc=1,lp=3,pb=0,dict=64KiB",
                    300000},
        EncoderCase{"xz_preset0_131072", Encoder::Xz, "-0", 131072},
        EncoderCase{"xz_empty", Encoder::Xz, "-6", 0}),
    [](const testing::TestParamInfo<EncoderCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Header variants around one payload: how the size field and the end marker
// end decoding.

constexpr std::size_t kBaseSize = 200000;  // crosses the 64 KiB buffer three times

// Encoded once for the whole suite: the payload with a known size (no end
// marker), with the size not given (end marker), and with lc=8.
struct BaseFiles {
  std::string payload;
  std::string sized;
  std::string marked;
  std::string lc8;
  std::string run;  // a run of one byte, dictionary 4096: matches at distance 1 only
};

const BaseFiles& Bases() {
  static const BaseFiles* bases = [] {
    TempDir dir;
    auto* b = new BaseFiles;
    b->payload = Payload(kBaseSize, 42);
    WriteFile(dir.file("p"), b->payload);
    Encode(Encoder::LzmaAlone, "-lc3 -lp0 -pb2 -d16", dir.file("p"), dir.file("sized"));
    Encode(Encoder::LzmaAlone, "-lc3 -lp0 -pb2 -d16 -eos", dir.file("p"), dir.file("marked"));
    Encode(Encoder::LzmaAlone, "-lc8 -lp0 -pb2 -d16", dir.file("p"), dir.file("lc8"));
    WriteFile(dir.file("run"), std::string(100000, 'a'));
    Encode(Encoder::LzmaAlone, "-d12", dir.file("run"), dir.file("runz"));
    b->sized = ReadFile(dir.file("sized"));
    b->marked = ReadFile(dir.file("marked"));
    b->lc8 = ReadFile(dir.file("lc8"));
    b->run = ReadFile(dir.file("runz"));
    return b;
  }();
  return *bases;
}

std::uint64_t SizeField(const std::string& bytes) {
  std::uint64_t size = 0;
  for (int i = 7; i >= 0; --i) size = size << 8 | static_cast<unsigned char>(bytes.at(5 + i));
  return size;
}

TEST(LzmaBases, EncodersWroteTheHeadersTheCasesRelyOn) {
  const BaseFiles& b = Bases();
  EXPECT_EQ(SizeField(b.sized), kBaseSize) << "no end marker: size given";
  EXPECT_EQ(SizeField(b.marked), kSizeNotGiven) << "end marker: size not given";
  EXPECT_GT(static_cast<unsigned char>(b.lc8[0]) % 9, 4) << "lc of the -lc8 file";
}

struct StreamEndCase {
  const char* name;
  std::function<std::string(const BaseFiles&)> make;
  std::function<std::string(const BaseFiles&)> expected;
};
void PrintTo(const StreamEndCase& c, std::ostream* os) {
  *os << c.name;
}

class LzmaStreamEnd : public testing::TestWithParam<StreamEndCase> {};

TEST_P(LzmaStreamEnd, DecodesToTheExpectedBytes) {
  const StreamEndCase& c = GetParam();
  TempDir dir;
  const auto input = dir.file("game.dat.lzma");
  const auto output = dir.file("game.dat");  // missing before: created
  WriteFile(input, c.make(Bases()));

  DecompressFile(input, output);

  const std::map<std::string, std::string> expected{{"game.dat", c.expected(Bases())}};
  EXPECT_TRUE(Snapshot(dir.path()) == expected) << "target holds the expected bytes, nothing else";
}

std::string WholePayload(const BaseFiles& b) {
  return b.payload;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, LzmaStreamEnd,
    testing::Values(
        StreamEndCase{"size_all_ones_with_end_marker", [](const BaseFiles& b) { return b.marked; },
                      WholePayload},
        StreamEndCase{"size_with_only_the_top_bit_set_means_not_given",
                      [](const BaseFiles& b) { return WithSize(b.marked, std::uint64_t{1} << 63); },
                      WholePayload},
        StreamEndCase{"known_size_with_end_marker_right_at_the_end",
                      [](const BaseFiles& b) { return WithSize(b.marked, kBaseSize); },
                      WholePayload},
        StreamEndCase{"known_size_then_trailing_bytes_not_read",
                      [](const BaseFiles& b) { return b.sized + std::string(5000, '\xA5'); },
                      WholePayload},
        StreamEndCase{"known_size_reached_before_the_data_ends",
                      [](const BaseFiles& b) { return WithSize(b.sized, 70001); },
                      [](const BaseFiles& b) { return b.payload.substr(0, 70001); }},
        StreamEndCase{"known_size_zero", [](const BaseFiles& b) { return WithSize(b.sized, 0); },
                      [](const BaseFiles&) { return std::string(); }},
        StreamEndCase{"dictionary_size_zero_with_distance_one_matches",
                      [](const BaseFiles& b) { return WithDictionary(b.run, 0); },
                      [](const BaseFiles&) { return std::string(100000, 'a'); }}),
    [](const testing::TestParamInfo<StreamEndCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Failures from the header on: the .lzma file goes, the target stays as it
// was (or missing), no temporary file remains.

struct FailureCase {
  const char* name;
  std::function<std::string(const BaseFiles&)> make;
  Kind kind;
  const char* message;
};
void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class LzmaFailure : public testing::TestWithParam<FailureCase> {};

void ExpectFailureLeavesTargetAndDeletesInput(const std::string& lzmaBytes, Kind kind,
                                              const std::string& message,
                                              const UnpackChecks& checks = {}) {
  for (const bool targetExists : {true, false}) {
    SCOPED_TRACE(targetExists ? "target exists" : "target missing");
    TempDir dir;
    const auto input = dir.file("game.dat.lzma");
    const auto output = dir.file("game.dat");
    WriteFile(input, lzmaBytes);
    if (targetExists) WriteFile(output, kOldTarget);
    auto expected = Snapshot(dir.path());
    expected.erase("game.dat.lzma");

    ExpectLzmaError([&] { DecompressFile(input, output, checks); }, kind, message);

    EXPECT_TRUE(Snapshot(dir.path()) == expected)
        << "the .lzma file is deleted, the target unchanged, no temporary file left";
  }
}

TEST_P(LzmaFailure, FailsWithItsMessage) {
  const FailureCase& c = GetParam();
  ExpectFailureLeavesTargetAndDeletesInput(c.make(Bases()), c.kind, c.message);
}

std::string Bytes(std::initializer_list<unsigned char> bytes) {
  return {bytes.begin(), bytes.end()};
}
std::string FlipByte(std::string bytes, std::size_t offset) {
  bytes.at(offset) ^= 0x55;
  return bytes;
}

constexpr const char* kTooShort = "input .lzma file is too short";
constexpr const char* kProperties = "Incorrect stream properties";
constexpr const char* kStreamSize = "Can't read stream size";
constexpr const char* kDataStream = "Error in data stream";

INSTANTIATE_TEST_SUITE_P(
    Inputs, LzmaFailure,
    testing::Values(
        FailureCase{"empty", [](const BaseFiles&) { return std::string(); }, Kind::TooShort,
                    kTooShort},
        FailureCase{"one_byte", [](const BaseFiles&) { return Bytes({0x5D}); }, Kind::TooShort,
                    kTooShort},
        FailureCase{"four_bytes", [](const BaseFiles& b) { return b.sized.substr(0, 4); },
                    Kind::TooShort, kTooShort},
        // Checked before the size field is read: 5 bytes are enough.
        FailureCase{"properties_byte_225_alone",
                    [](const BaseFiles&) {
                      return Bytes({225, 0, 0, 1, 0});
                    },
                    Kind::StreamProperties, kProperties},
        FailureCase{"properties_byte_255",
                    [](const BaseFiles& b) { return '\xFF' + b.sized.substr(1); },
                    Kind::StreamProperties, kProperties},
        FailureCase{"dictionary_2_pow_31",
                    [](const BaseFiles& b) { return WithDictionary(b.sized, 0x80000000u); },
                    Kind::StreamProperties, kProperties},
        // Below 2 GiB but above any preset: refused, not allocated.
        FailureCase{"dictionary_just_above_the_cap",
                    [](const BaseFiles& b) {
                      return WithDictionary(
                          b.sized, static_cast<std::uint32_t>(limits::kLzmaDictionary + 1));
                    },
                    Kind::StreamProperties, kProperties},
        FailureCase{"dictionary_all_ones",
                    [](const BaseFiles& b) { return WithDictionary(b.sized, 0xFFFFFFFFu); },
                    Kind::StreamProperties, kProperties},
        FailureCase{"lc_plus_lp_above_4_from_lzma_alone_lc8",
                    [](const BaseFiles& b) { return b.lc8; }, Kind::StreamProperties, kProperties},
        FailureCase{"five_bytes", [](const BaseFiles& b) { return b.sized.substr(0, 5); },
                    Kind::StreamSize, kStreamSize},
        FailureCase{"twelve_bytes", [](const BaseFiles& b) { return b.sized.substr(0, 12); },
                    Kind::StreamSize, kStreamSize},
        FailureCase{"header_only_size_known",
                    [](const BaseFiles& b) { return b.sized.substr(0, 13); }, Kind::DataStream,
                    kDataStream},
        FailureCase{"header_only_size_not_given",
                    [](const BaseFiles& b) { return b.marked.substr(0, 13); }, Kind::DataStream,
                    kDataStream},
        FailureCase{"corrupt_data", [](const BaseFiles& b) { return FlipByte(b.sized, 3000); },
                    Kind::DataStream, kDataStream},
        FailureCase{"corrupt_data_near_the_start",
                    [](const BaseFiles& b) { return FlipByte(b.marked, 40); }, Kind::DataStream,
                    kDataStream},
        FailureCase{"truncated_size_known",
                    [](const BaseFiles& b) { return b.sized.substr(0, b.sized.size() - 100); },
                    Kind::DataStream, kDataStream},
        FailureCase{"truncated_by_one_byte_size_known",
                    [](const BaseFiles& b) { return b.sized.substr(0, b.sized.size() - 1); },
                    Kind::DataStream, kDataStream},
        FailureCase{"truncated_before_the_end_marker",
                    [](const BaseFiles& b) { return b.marked.substr(0, b.marked.size() - 3); },
                    Kind::DataStream, kDataStream},
        FailureCase{"end_marker_one_byte_before_the_size",
                    [](const BaseFiles& b) { return WithSize(b.marked, kBaseSize + 1); },
                    Kind::DataStream, kDataStream},
        FailureCase{"end_marker_long_before_the_size",
                    [](const BaseFiles& b) { return WithSize(b.marked, 3 * kBaseSize); },
                    Kind::DataStream, kDataStream}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

#ifndef _WIN32
// Address space and file size are refused through resource limits, which Windows does not have.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUNE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(KESTRUNE_ASAN)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST(LzmaResources, WindowThatCannotBeAllocatedIsOutOfMemory) {
  // AddressSanitizer aborts on a refused allocation instead of failing it.
  if (kAddressSanitizer) GTEST_SKIP() << "needs a malloc that can return null";
  // Address space for what the process holds now plus 256 MiB: a window of
  // the largest dictionary allowed cannot be had, everything else can.
  std::ifstream statm("/proc/self/statm");
  std::uint64_t pages = 0;
  ASSERT_TRUE(statm >> pages);
  const auto limit = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) + (256u << 20);
  const std::string bytes =
      WithDictionary(Bases().sized, static_cast<std::uint32_t>(limits::kLzmaDictionary));
  test::ResourceLimit memory(RLIMIT_AS, limit);
  ExpectFailureLeavesTargetAndDeletesInput(bytes, Kind::OutOfMemory, "Out of memory");
}

TEST(LzmaResources, RefusedWriteFailsWithTheSystemText) {
  // A file-size limit refuses writes deterministically, as a full disk does;
  // once mid-stream and once only at the final flush of a small output.
  TempDir dir;
  const std::string big = Payload(1536 * 1024, 9);
  WriteFile(dir.file("big"), big);
  Encode(Encoder::LzmaAlone, "-d20", dir.file("big"), dir.file("big.lzma"));
  const std::string small = Payload(20000, 10);
  WriteFile(dir.file("small"), small);
  Encode(Encoder::LzmaAlone, "-d16", dir.file("small"), dir.file("small.lzma"));

  for (const auto& [name, limit] : {std::pair<std::string, rlim_t>{"big", 256 * 1024},
                                    std::pair<std::string, rlim_t>{"small", 4096}}) {
    SCOPED_TRACE(name);
    TempDir scene;
    const auto input = scene.file("game.dat.lzma");
    const auto output = scene.file("game.dat");
    WriteFile(input, ReadFile(dir.file(name + ".lzma")));
    WriteFile(output, kOldTarget);
    {
      test::ResourceLimit fileSize(RLIMIT_FSIZE, limit);
      ExpectLzmaError([&] { DecompressFile(input, output); }, Kind::Write,
                      "Cannot write file \"" + output + "\". " + std::strerror(EFBIG));
    }
    const std::map<std::string, std::string> expected{{"game.dat", kOldTarget}};
    EXPECT_TRUE(Snapshot(scene.path()) == expected) << "target unchanged, .lzma and temp gone";
  }
}

#endif

// ---------------------------------------------------------------------------
// The caller's checks: what it sees of the data, and what it may refuse.

// Records what the checks are shown and answers accept with `verdict`.
struct Recorder {
  std::string seen;
  std::uint64_t acceptedSize = ~std::uint64_t{0};
  bool verdict = true;
  UnpackChecks Checks(std::optional<std::uint64_t> maxSize = {}) {
    UnpackChecks checks;
    checks.maxSize = maxSize;
    checks.observe = [this](const void* data, std::size_t size) {
      seen.append(static_cast<const char*>(data), size);
    };
    checks.accept = [this](std::uint64_t size) {
      acceptedSize = size;
      return verdict;
    };
    return checks;
  }
};

TEST(LzmaChecks, ObserverSeesEveryDecodedByteAndAcceptGetsTheSize) {
  for (const bool marked : {false, true}) {
    SCOPED_TRACE(marked ? "end marker" : "size given");
    TempDir dir;
    const auto input = dir.file("game.dat.lzma");
    const auto output = dir.file("game.dat");
    WriteFile(input, marked ? Bases().marked : Bases().sized);
    Recorder recorder;

    DecompressFile(input, output, recorder.Checks(kBaseSize));

    EXPECT_TRUE(recorder.seen == Bases().payload) << "observed bytes differ from the payload";
    EXPECT_EQ(recorder.acceptedSize, kBaseSize);
    EXPECT_TRUE(ReadFile(output) == Bases().payload);
  }
}

TEST(LzmaChecks, RefusedOrOversizedOutputNeverReplacesTheTarget) {
  {
    SCOPED_TRACE("accept says no");
    Recorder recorder;
    recorder.verdict = false;
    // The message names the full output path; the helper's folders differ per run.
    for (const bool targetExists : {true, false}) {
      TempDir dir;
      const auto in = dir.file("game.dat.lzma");
      const auto out = dir.file("game.dat");
      WriteFile(in, Bases().sized);
      if (targetExists) WriteFile(out, kOldTarget);
      auto expected = Snapshot(dir.path());
      expected.erase("game.dat.lzma");
      ExpectLzmaError([&] { DecompressFile(in, out, recorder.Checks()); }, Kind::Mismatch,
                      "Unpacked data of \"" + out + "\" does not match its checksum");
      EXPECT_TRUE(Snapshot(dir.path()) == expected) << "target unchanged, nothing left behind";
    }
  }
  struct Case {
    const char* name;
    std::string bytes;
    bool observedNothing;  // refused from the header, before decoding
  };
  for (const Case& c : {Case{"header announces more", Bases().sized, true},
                        Case{"end-marker stream runs past it", Bases().marked, false}}) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto in = dir.file("game.dat.lzma");
    const auto out = dir.file("game.dat");
    WriteFile(in, c.bytes);
    WriteFile(out, kOldTarget);
    Recorder recorder;
    ExpectLzmaError([&] { DecompressFile(in, out, recorder.Checks(kBaseSize - 1)); },
                    Kind::Oversized,
                    "Uncompressed size of \"" + out + "\" exceeds the expected " +
                        std::to_string(kBaseSize - 1) + " bytes");
    if (c.observedNothing) {
      EXPECT_TRUE(recorder.seen.empty()) << "refused before decoding";
    }
    EXPECT_LT(recorder.seen.size(), kBaseSize);
    const std::map<std::string, std::string> expected{{"game.dat", kOldTarget}};
    EXPECT_TRUE(Snapshot(dir.path()) == expected) << "target unchanged, nothing left behind";
  }
}

#ifndef _WIN32
// The small file system is a tmpfs mounted for the test.
TEST(LzmaChecks, AnnouncedOutputAboveTheFreeSpaceFailsBeforeAnyWrite) {
  TempDir dir;
  const std::uint64_t announced = std::uint64_t{8} << 20;
  WriteFile(dir.file("zeros"), std::string(announced, '\0'));
  Encode(Encoder::LzmaAlone, "-d16", dir.file("zeros"), dir.file("sized.lzma"));
  Encode(Encoder::LzmaAlone, "-d16 -eos", dir.file("zeros"), dir.file("marked.lzma"));
  ASSERT_EQ(SizeField(ReadFile(dir.file("sized.lzma"))), announced);

  const fs::path small = dir.path() / "small";
  const test::SmallFileSystem fileSystem(small, 1 << 20);
  if (!fileSystem.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  struct Case {
    const char* name;
    const char* file;
    std::optional<std::uint64_t> maxSize;  // what the caller announces
  };
  for (const Case& c : {Case{"size in the header", "sized.lzma", std::nullopt},
                        Case{"size from the caller", "marked.lzma", announced}}) {
    SCOPED_TRACE(c.name);
    const auto in = (small / "game.dat.lzma").string();
    const auto out = (small / "game.dat").string();
    WriteFile(in, ReadFile(dir.file(c.file)));
    WriteFile(out, kOldTarget);
    Recorder recorder;
    try {
      DecompressFile(in, out, recorder.Checks(c.maxSize));
      ADD_FAILURE() << "no LzmaError";
    } catch (const LzmaError& e) {
      EXPECT_EQ(e.kind(), Kind::NoSpace) << e.what();
      const std::string prefix =
          "Not enough free space for \"" + out + "\": 8388608 bytes needed, ";
      EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix) << e.what();
    }
    EXPECT_TRUE(recorder.seen.empty()) << "nothing decoded";
    const std::map<std::string, std::string> expected{{"game.dat", kOldTarget}};
    EXPECT_TRUE(Snapshot(small) == expected) << "target unchanged, nothing left behind";
  }
}
#endif

// ---------------------------------------------------------------------------
// Open and create failures: nothing on disk changes.

struct OpenCase {
  const char* name;
  // Prepares the folder and returns {input, output}.
  std::function<std::pair<std::string, std::string>(const TempDir&)> setup;
  Kind kind;
  const char* prefix;
  bool aboutOutput;  // the message names the output, else the input
  int error;
};
void PrintTo(const OpenCase& c, std::ostream* os) {
  *os << c.name;
}

class LzmaOpen : public testing::TestWithParam<OpenCase> {};

TEST_P(LzmaOpen, FailsWithPathAndSystemTextAndTouchesNothing) {
  const OpenCase& c = GetParam();
  TempDir dir;
  // Named copies: clang 14 cannot capture structured bindings in a lambda.
  const auto paths = c.setup(dir);
  const std::string& input = paths.first;
  const std::string& output = paths.second;
  const auto before = Snapshot(dir.path());

  ExpectLzmaError([&] { DecompressFile(input, output); }, c.kind,
                  std::string(c.prefix) + " \"" + (c.aboutOutput ? output : input) + "\". " +
                      SystemText(c.error));

  EXPECT_TRUE(Snapshot(dir.path()) == before) << "the .lzma file stays, no temporary file";
}

std::string ValidLzma(const TempDir& dir) {
  const auto path = dir.file("game.dat.lzma");
  WriteFile(path, Bases().sized);
  return path;
}

// The system's errors for the open cases: errno values, or Win32 codes.
#ifdef _WIN32
constexpr int kMissing = ERROR_FILE_NOT_FOUND, kInputDirectory = ERROR_ACCESS_DENIED,
              kFolderMissing = ERROR_PATH_NOT_FOUND, kParentIsAFile = ERROR_PATH_NOT_FOUND,
              kTargetDirectory = ERROR_ACCESS_DENIED;
#else
constexpr int kMissing = ENOENT, kInputDirectory = EISDIR, kFolderMissing = ENOENT,
              kParentIsAFile = ENOTDIR, kTargetDirectory = EISDIR;
#endif

INSTANTIATE_TEST_SUITE_P(
    Paths, LzmaOpen,
    testing::Values(OpenCase{"input_missing",
                             [](const TempDir& d) {
                               WriteFile(d.file("game.dat"), kOldTarget);
                               return std::pair{d.file("game.dat.lzma"), d.file("game.dat")};
                             },
                             Kind::OpenInput, "Cannot open file", false, kMissing},
                    OpenCase{"input_is_a_directory",
                             [](const TempDir& d) {
                               fs::create_directory(d.file("game.dat.lzma"));
                               return std::pair{d.file("game.dat.lzma"), d.file("game.dat")};
                             },
                             Kind::OpenInput, "Cannot open file", false, kInputDirectory},
                    OpenCase{"output_folder_missing",
                             [](const TempDir& d) {
                               return std::pair{ValidLzma(d), d.file("missing/game.dat")};
                             },
                             Kind::CreateOutput, "Cannot create file", true, kFolderMissing},
                    OpenCase{"output_parent_is_a_file",
                             [](const TempDir& d) {
                               WriteFile(d.file("data"), "a file, not a folder");
                               return std::pair{ValidLzma(d), d.file("data/game.dat")};
                             },
                             Kind::CreateOutput, "Cannot create file", true, kParentIsAFile},
                    OpenCase{"target_is_a_directory",
                             [](const TempDir& d) {
                               fs::create_directory(d.file("game.dat"));
                               WriteFile(d.file("game.dat/inside"), "kept");
                               return std::pair{ValidLzma(d), d.file("game.dat")};
                             },
                             Kind::CreateOutput, "Cannot create file", true, kTargetDirectory}),
    [](const testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

#ifdef _WIN32
// A target another program holds open without sharing cannot be replaced: the unpacking fails
// before decoding, and the .lzma file stays for the next run.
TEST(LzmaHeldTarget, FailsToCreateTheOutputAndKeepsTheLzma) {
  TempDir dir;
  const std::string input = ValidLzma(dir);
  const std::string output = dir.file("game.dat");
  WriteFile(output, kOldTarget);
  {
    const test::HeldWithoutSharing held(output);
    ExpectLzmaError(
        [&] { DecompressFile(input, output); }, Kind::CreateOutput,
        "Cannot create file \"" + output + "\". " + SystemText(ERROR_SHARING_VIOLATION));
  }
  const std::map<std::string, std::string> expected{{"game.dat", kOldTarget},
                                                    {"game.dat.lzma", Bases().sized}};
  EXPECT_TRUE(Snapshot(dir.path()) == expected) << "the .lzma file stays, no temporary file";
}
#endif

}  // namespace
}  // namespace kestrune
