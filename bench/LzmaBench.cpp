// DecompressFile on a ~200 MB .lzma file made by `xz --format=lzma -6`,
// against `xz -dc --format=lzma FILE >/dev/null` on the same file.
// BM_XzToDevNull runs first so that BM_DecompressFile can report the ratio
// of the two throughputs as the counter ours_vs_xz (aim: 0.9 or more).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "lzma/LZMADecompressor.h"

namespace {

using kestrune::bench::SecondsOf;

namespace fs = std::filesystem;

constexpr std::uint64_t kPayloadSize = 200'000'000;

struct Corpus {
  fs::path dir;
  std::string lzma;
};

// Something like a game folder's content: mostly text and structured
// records, some already-compressed noise, some runs. xz -6 packs it about 2.7:1.
void WritePayload(const fs::path& path) {
  static const char* const kWords[] = {
      "texture", "model",   "sound", "mesh",   "npc",    "quest", "dialog", "item",  "weapon",
      "armor",   "spell",   "level", "map",    "script", "the",   "of",     "and",   "to",
      "player",  "dungeon", "gold",  "damage", "=",      "{",     "}",      ";",     "\r\n",
      "\t",      "0",       "1",     "true",   "false",  "name",  "id",     "value", "kestrune"};
  std::mt19937_64 rng(2024);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string block;
  std::uint64_t written = 0;
  std::uint32_t recordId = 0;
  while (written < kPayloadSize) {
    block.clear();
    while (block.size() < (1u << 20)) {
      const auto kind = rng() % 10;
      if (kind < 5) {  // text: words with a skew towards the first ones
        for (int n = 50 + static_cast<int>(rng() % 400); n > 0; --n) {
          const auto r = rng() % std::size(kWords);
          block += kWords[r * r / std::size(kWords)];
          block += ' ';
        }
      } else if (kind < 8) {  // fixed-size records with slowly changing fields
        for (int n = 20 + static_cast<int>(rng() % 200); n > 0; --n) {
          const std::uint32_t fields[4] = {recordId++, static_cast<std::uint32_t>(rng() % 1000),
                                           0x3F800000u, static_cast<std::uint32_t>(rng())};
          block.append(reinterpret_cast<const char*>(fields), sizeof fields);
        }
      } else if (kind < 9) {  // noise, as in embedded compressed images
        for (int n = 64 + static_cast<int>(rng() % 512); n > 0; --n) {
          const std::uint64_t word = rng();
          block.append(reinterpret_cast<const char*>(&word), sizeof word);
        }
      } else {
        block.append(16 + rng() % 4096, static_cast<char>(rng() % 4));
      }
    }
    const auto n = std::min<std::uint64_t>(block.size(), kPayloadSize - written);
    out.write(block.data(), static_cast<std::streamsize>(n));
    written += n;
  }
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Made once and kept (the encoding takes a minute or two); a file only
// appears under its final name when it is complete.
const Corpus& GetCorpus() {
  static const Corpus corpus = [] {
    Corpus c;
    c.dir = kestrune::bench::BenchDir() / "lzma";
    fs::create_directories(c.dir);
    c.lzma = (c.dir / "payload.lzma").string();
    if (!fs::exists(c.lzma)) {
      const auto payload = c.dir / "payload.bin";
      WritePayload(payload);
      Run("xz --format=lzma -6 -c '" + payload.string() + "' > '" + c.lzma + ".part'");
      fs::rename(c.lzma + ".part", c.lzma);
      fs::remove(payload);
    }
    Run("cat '" + c.lzma + "' >/dev/null");  // into the page cache for both contenders
    return c;
  }();
  return corpus;
}

double g_xzSecondsPerRun = 0;

void BM_XzToDevNull(benchmark::State& state) {
  const Corpus& c = GetCorpus();
  const std::string command = "xz -dc --format=lzma '" + c.lzma + "' >/dev/null";
  double total = 0;
  for (auto _ : state) {
    const double seconds = SecondsOf([&] { Run(command); });
    state.SetIterationTime(seconds);
    total += seconds;
  }
  g_xzSecondsPerRun = total / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayloadSize));
}

void BM_DecompressFile(benchmark::State& state) {
  const Corpus& c = GetCorpus();
  // DecompressFile deletes its input: each run gets a fresh hard link.
  const auto input = c.dir / "run.lzma";
  const auto output = c.dir / "run.out";
  double total = 0;
  for (auto _ : state) {
    fs::remove(input);
    // Replacing a 200 MB target frees its pages; that is not decoding time.
    fs::remove(output);
    fs::create_hard_link(c.lzma, input);
    const double seconds =
        SecondsOf([&] { kestrune::DecompressFile(input.string(), output.string()); });
    state.SetIterationTime(seconds);
    total += seconds;
  }
  if (fs::file_size(output) != kPayloadSize) state.SkipWithError("decoded size differs");
  fs::remove(output);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayloadSize));
  if (g_xzSecondsPerRun > 0) {
    state.counters["ours_vs_xz"] =
        g_xzSecondsPerRun * static_cast<double>(state.iterations()) / total;
  }
}

BENCHMARK(BM_XzToDevNull)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecompressFile)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
