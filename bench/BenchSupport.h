#pragma once
// What the benchmarks share: where their big input files live, how they are
// made, and a wall-clock stopwatch.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace kestrune::bench {

// $KESTRUNE_BENCH_DIR, else the system's temporary folder, + "/kestrune-bench".
// `prefix` + the number + `suffix` ("f12.bin"), appended piece by piece: GCC 12 warns wrongly
// about prepending a literal to a temporary string.
inline std::string Numbered(const char* prefix, long number, const char* suffix = "") {
  std::string name = prefix;
  name += std::to_string(number);
  name += suffix;
  return name;
}

inline std::filesystem::path BenchDir() {
  const char* base = std::getenv("KESTRUNE_BENCH_DIR");
  auto dir = std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
             "kestrune-bench";
  std::filesystem::create_directories(dir);
  return dir;
}

// A file of `size` incompressible bytes in BenchDir(), made once and kept
// between runs, then read once so that it sits in the page cache.
inline std::filesystem::path RandomFile(const std::string& name, std::uint64_t size) {
  const auto file = BenchDir() / name;
  if (!std::filesystem::exists(file) || std::filesystem::file_size(file) != size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uint64_t done = 0; done < size; done += block.size() * 8) {
      for (auto& word : block) word = random();
      const auto bytes = std::min<std::uint64_t>(block.size() * 8, size - done);
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(bytes));
    }
  }
  std::system(("cat '" + file.string() + "' >/dev/null").c_str());
  return file;
}

inline double SecondsOf(auto&& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace kestrune::bench
