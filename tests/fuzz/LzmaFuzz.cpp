// DecompressFile on arbitrary .lzma files. Besides sanitizer reports and
// exceptions other than LzmaError, a finding is any broken promise about
// what stays on disk: the .lzma file is gone after every outcome, the
// target exists only after success (and then with the announced size when
// one is given), and no temporary file is ever left behind.

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "lzma/LZMADecompressor.h"

namespace {

namespace fs = std::filesystem;
using kestrune::LzmaError;

// Decompression bombs: a given size is clamped to this, a size not given is
// stopped by the file-size limit (the write then fails like a full disk).
constexpr std::uint64_t kMaxOutput = std::uint64_t{16} << 20;
// Larger windows only cost allocation time; negative ones stay as they are.
constexpr std::uint32_t kMaxDictionary = std::uint32_t{16} << 20;

class Scratch {
 public:
  Scratch() {
    const fs::path base =
        fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "kestrune-lzma-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    dir_ = pattern;
    input = (dir_ / "game.dat.lzma").string();
    output = (dir_ / "game.dat").string();
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  bool OnlyTheOutputMayExist() const {
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path() != output) return false;
    }
    return true;
  }

  std::string input;
  std::string output;

 private:
  fs::path dir_;
};

Scratch& TheScratch() {
  static Scratch scratch;
  return scratch;
}

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "post-condition broken: %s\n", what);
  std::abort();
}

std::uint64_t LittleEndian(const std::string& bytes, std::size_t offset, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

void PutLittleEndian(std::string& bytes, std::size_t offset, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = kMaxOutput;
  setrlimit(RLIMIT_FSIZE, &limit);
  TheScratch();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Scratch& scratch = TheScratch();
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.size() >= 5 && LittleEndian(bytes, 1, 4) > kMaxDictionary &&
      LittleEndian(bytes, 1, 4) <= INT32_MAX) {
    PutLittleEndian(bytes, 1, kMaxDictionary, 4);
  }
  std::uint64_t announced = ~std::uint64_t{0};
  if (bytes.size() >= 13) {
    announced = LittleEndian(bytes, 5, 8);
    if ((announced >> 63) == 0 && announced > kMaxOutput) {
      announced %= kMaxOutput + 1;
      PutLittleEndian(bytes, 5, announced, 8);
    }
  }
  {
    std::ofstream out(scratch.input, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    Check(static_cast<bool>(out), "cannot write the input file");
  }

  bool decoded = false;
  try {
    kestrune::DecompressFile(scratch.input, scratch.output);
    decoded = true;
  } catch (const LzmaError& e) {
    Check(e.kind() != LzmaError::Kind::OpenInput && e.kind() != LzmaError::Kind::CreateOutput,
          "open or create failed on plain scratch paths");
  }

  Check(!fs::exists(scratch.input), "the .lzma file was not deleted");
  Check(scratch.OnlyTheOutputMayExist(), "a temporary file was left behind");
  if (decoded) {
    Check(fs::exists(scratch.output), "success without an output file");
    if ((announced >> 63) == 0) {
      Check(fs::file_size(scratch.output) == announced, "output size differs from the given size");
    }
    fs::remove(scratch.output);
  } else {
    Check(!fs::exists(scratch.output), "a failure created the target");
  }
  return 0;
}
