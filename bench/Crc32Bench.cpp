// CRC32File on a page-cached 1 GiB file, against `cat FILE >/dev/null` (the
// cost of just reading it) and a classic byte-table CRC over the same reads.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <vector>

#include "BenchSupport.h"
#include "CRC32.h"

namespace {

using kestrune::bench::SecondsOf;

constexpr std::uint64_t kFileSize = std::uint64_t{1} << 30;

const std::string& BigFile() {
  static const std::string path = kestrune::bench::RandomFile("random-1g.bin", kFileSize).string();
  return path;
}

void RunCat(benchmark::State& state) {
  const std::string command = "cat '" + BigFile() + "' >/dev/null";
  if (std::system(command.c_str()) != 0) state.SkipWithError("cat failed");
}

std::uint32_t ByteTableCrc32File(const std::string& path) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  auto file = platform::File::OpenRead(path, platform::File::Share::None);
  std::vector<unsigned char> buffer(16384);
  std::uint32_t reg = 0xFFFFFFFFu;
  while (std::size_t n = file.Read(buffer.data(), buffer.size())) {
    for (std::size_t i = 0; i < n; ++i) reg = (reg >> 8) ^ table[(reg ^ buffer[i]) & 0xFF];
  }
  return ~reg;
}

void BM_CRC32File(benchmark::State& state) {
  const auto& path = BigFile();
  for (auto _ : state) benchmark::DoNotOptimize(kestrune::CRC32File(path));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_CatToDevNull(benchmark::State& state) {
  BigFile();
  for (auto _ : state) RunCat(state);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

void BM_ByteTableCRC32(benchmark::State& state) {
  const auto& path = BigFile();
  for (auto _ : state) benchmark::DoNotOptimize(ByteTableCrc32File(path));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileSize));
}

// Both in one loop, alternating, so drift on the machine hits both alike.
// ratio = cat time / CRC32File time: 1.0 means summing costs no more than reading.
void BM_CRC32FileVsCat(benchmark::State& state) {
  const auto& path = BigFile();
  double ours = 0, cat = 0;
  for (auto _ : state) {
    ours += SecondsOf([&] { benchmark::DoNotOptimize(kestrune::CRC32File(path)); });
    cat += SecondsOf([&] { RunCat(state); });
  }
  const double mb = static_cast<double>(state.iterations() * kFileSize) / 1e6;
  state.counters["ours_MB/s"] = mb / ours;
  state.counters["cat_MB/s"] = mb / cat;
  state.counters["ratio"] = cat / ours;
}

}  // namespace

BENCHMARK(BM_CRC32File)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_CatToDevNull)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(BM_ByteTableCRC32)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_CRC32FileVsCat)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
