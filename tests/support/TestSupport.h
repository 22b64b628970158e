#pragma once
// Small helpers shared by the test binaries: a scratch folder, whole-file I/O, and the host's
// tools (sha256sum, xz, python3, openssl) as independent oracles.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace kestrune::test {

// Where scratch folders go: the system's temporary directory; under Wine a folder of the Linux
// host's (Z:\tmp), so that the host's tools and nginx see the same files by HostPath.
std::filesystem::path ScratchBase();

// `path` as the host's tools see it: itself on POSIX; under Wine the Linux path of the file.
std::string HostPath(const std::filesystem::path& path);

// What `command` (run by the host's /bin/sh) writes to its standard output; empty when it
// cannot start. Under Wine the test program starts the Linux shell itself.
std::string CommandOutput(const std::string& command);

// The exit status of `command` run by the host's /bin/sh, its output discarded; -1 when it
// cannot start.
int CommandStatus(const std::string& command);

// A path from UTF-8 text, and back: on Windows std::filesystem reads a narrow string in the
// ANSI code page, which cannot hold every name (Cyrillic ones, for instance).
inline std::filesystem::path Utf8Path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string Utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// A fresh folder under ScratchBase(), removed with its contents.
class TempDir {
 public:
  TempDir() {
    std::random_device seed;
    auto base = ScratchBase();
    for (;;) {
      path_ = base / ("kestrune-test-" + std::to_string(seed()));
      if (std::filesystem::create_directory(path_)) break;
    }
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The UTF-8 path of `name` inside.
  std::string file(const std::string& name) const { return Utf8(path_ / Utf8Path(name)); }

 private:
  std::filesystem::path path_;
};

// `path` is UTF-8, as the code under test takes it.
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(Utf8Path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write test file " + path);
}

// `size` reproducible pseudo-random bytes; a different `seed` gives different bytes.
inline std::string Bytes(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(Utf8Path(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read test file " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace kestrune::test
