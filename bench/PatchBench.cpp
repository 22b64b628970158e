// The patch worker against independent tools: the up-to-date scan of a big game folder against
// `rhash --crc32 -r`, and a whole patch pass from loopback nginx against curl over one
// connection plus `xz -dc --format=lzma` of each file. Both print ours / theirs. A third shows
// what checking the unpacked data (CRC-32 always, SHA-256 when the list gives it) costs of
// that patch pass.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchLauncher.h"
#include "BenchSupport.h"
#include "CRC32.h"
#include "LzmaEncode.h"
#include "NginxServer.h"
#include "TestSupport.h"
#include "ThreadManager.h"
#include "UiThread.h"
#include "hash/Sha256.h"

namespace kestrune::bench {
namespace {

namespace fs = std::filesystem;

// One run in `folder` as working directory; returns its status code.
int RunWorker(HeadlessLauncher& launcher, const fs::path& folder) {
  const fs::path old = fs::current_path();
  fs::current_path(folder);
  auto worker = std::make_shared<ThreadForDownLoad>(launcher);
  worker->Start();
  launcher.ui.ServeUntil([&] { return worker->Finished(); });
  fs::current_path(old);
  return launcher.code;
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string ListXml(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string xml = "<patch>\n";
  for (const auto& [name, crc] : entries) {
    xml += "<archive filename=\"" + name + "\" original=\"" + crc + "\"/>\n";
  }
  return xml + "</patch>\n";
}

// rhash's "path CRC" lines as (name below `root` with "\" separators, CRC upper-case).
std::vector<std::pair<std::string, std::string>> RhashEntries(const fs::path& root) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::istringstream lines(
      kestrune::test::CommandOutput("cd '" + root.string() + "' && rhash --crc32 -r ."));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == ';') continue;
    const auto cut = line.rfind(' ');
    std::string name = line.substr(0, cut);
    if (name.rfind("./", 0) == 0) name.erase(0, 2);
    for (char& c : name) c = c == '/' ? '\\' : c;
    std::string crc = line.substr(cut + 1);
    for (char& c : crc) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    entries.emplace_back(name, crc);
  }
  return entries;
}

void BM_UpToDateScanVersusRhash(benchmark::State& state) {
  constexpr int kFiles = 20000;
  constexpr std::uint64_t kTotal = 2ull << 30;
  const fs::path game = BenchDir() / "scan-game";
  if (!fs::exists(game / "done")) {
    const fs::path pattern = RandomFile("scan-pattern.bin", kTotal / kFiles);
    for (int i = 0; i < kFiles; ++i) {
      const fs::path dir = game / Numbered("d", i / 200);
      fs::create_directories(dir);
      std::ofstream out(dir / Numbered("f", i, ".bin"), std::ios::binary);
      out << std::ifstream(pattern, std::ios::binary).rdbuf() << i;  // distinct contents
    }
    WriteText(game / "done", "");
  }
  const fs::path www = BenchDir() / "scan-www";
  fs::create_directories(www);
  // The list comes from rhash, which also warms the page cache for both.
  WriteText(www / "list.xml", ListXml(RhashEntries(game)));
  test::NginxServer nginx(BenchDir() / "scan-nginx", {.root = www});
  HeadlessLauncher launcher;
  launcher.values.patchlist = nginx.Url("/list.xml");

  for (auto _ : state) {
    int code = 0;
    const double ours = SecondsOf([&] { code = RunWorker(launcher, game); });
    const double rhash = SecondsOf([&] {
      kestrune::test::CommandOutput("cd '" + game.string() + "' && rhash --crc32 -r . >/dev/null");
    });
    state.SetIterationTime(ours);
    state.counters["ours_s"] = ours;
    state.counters["rhash_s"] = rhash;
    state.counters["ratio"] = ours / rhash;
    state.counters["code"] = code;
    std::printf("scan of %d files / 2 GiB: ours %.2f s, rhash %.2f s, ratio %.2f (code %d)\n",
                kFiles, ours, rhash, ours / rhash, code);
  }
}
BENCHMARK(BM_UpToDateScanVersusRhash)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

constexpr int kPassFiles = 200;

// The patch set of the pass benchmarks: 200 files of 2.5 MB, made once, with list.xml (CRC-32
// only) and verified.xml (size, packed and SHA-256 too, from xz and sha256sum).
fs::path PassSet() {
  constexpr int kFiles = kPassFiles;
  constexpr std::size_t kSize = 500'000'000 / kFiles;
  const fs::path www = BenchDir() / "pass-www";
  std::vector<std::pair<std::string, std::string>> entries;
  if (!fs::exists(www / "list.xml")) {
    fs::create_directories(www / "files");
    std::mt19937 random(7);
    std::string content(kSize, '\0');
    for (int i = 0; i < kFiles; ++i) {
      // Half random bytes, half runs: compresses about 2:1, like game data.
      for (std::size_t j = 0; j < kSize; j += 64) {
        const bool run = (random() & 1) != 0;
        const char fill = static_cast<char>(random());
        for (std::size_t k = j; k < std::min(kSize, j + 64); ++k) {
          content[k] = run ? fill : static_cast<char>(random());
        }
      }
      const std::string name = Numbered("f", i, ".bin");
      WriteText(www / "files" / (name + ".lzma"), kestrune::test::EncodeLzmaAlone(content, 0));
      WriteText(BenchDir() / "pass-probe", content);
      std::string crc = kestrune::test::CommandOutput(
          "rhash --crc32 --simple '" + (BenchDir() / "pass-probe").string() + "' | cut -d' ' -f1");
      crc.resize(8);
      for (char& c : crc) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      entries.emplace_back(name, crc);
    }
    WriteText(www / "list.xml", ListXml(entries));
  }
  if (!fs::exists(www / "verified.xml")) {
    std::string xml = "<patch>\n";
    for (int i = 0; i < kFiles; ++i) {
      // Appended piece by piece: GCC 12 warns wrongly about prepending to a temporary.
      std::string name = "f";
      name += std::to_string(i);
      name += ".bin";
      const fs::path lzma = www / "files" / (name + ".lzma");
      std::string q = "'";
      q += lzma.string();
      q += "'";
      std::string crc = kestrune::test::CommandOutput(
          "xz -dc --format=lzma " + q + " | rhash --crc32 --simple - | cut -d' ' -f1");
      std::string sha =
          kestrune::test::CommandOutput("xz -dc --format=lzma " + q + " | sha256sum | cut -c1-64");
      crc.resize(8);
      sha.resize(64);
      for (char& c : crc) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      xml += "<archive filename=\"" + name + "\" original=\"" + crc + "\" size=\"" +
             std::to_string(kSize) + "\" packed=\"" + std::to_string(fs::file_size(lzma)) +
             "\" sha256=\"" + sha + "\"/>\n";
    }
    WriteText(www / "verified.xml", xml + "</patch>\n");
  }
  std::system(("cat '" + www.string() + "'/files/* >/dev/null").c_str());
  return www;
}

void BM_PatchPassVersusCurlAndXz(benchmark::State& state) {
  constexpr int kFiles = kPassFiles;
  const fs::path www = PassSet();
  test::NginxServer nginx(BenchDir() / "pass-nginx", {.root = www});
  HeadlessLauncher launcher;
  launcher.values.patchlist = nginx.Url("/list.xml");
  launcher.values.patchListFolder = nginx.Url("/files/");

  for (auto _ : state) {
    const fs::path game = BenchDir() / "pass-game";
    const fs::path theirs = BenchDir() / "pass-theirs";
    fs::remove_all(game);
    fs::remove_all(theirs);
    fs::create_directories(game);
    fs::create_directories(theirs);
    int code = 0;
    const double ours = SecondsOf([&] { code = RunWorker(launcher, game); });

    // One curl process fetches every file over one connection, then xz unpacks each.
    std::string command = "cd '" + theirs.string() + "' && curl -s";
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = Numbered("f", i, ".bin.lzma");
      command += " -o " + name + " " + nginx.Url("/files/" + name);
    }
    command +=
        " && for f in *.lzma; do xz -dc --format=lzma \"$f\" > \"${f%.lzma}\" && rm \"$f\"; done";
    const double reference = SecondsOf([&] { std::system(command.c_str()); });
    state.SetIterationTime(ours);
    state.counters["ours_s"] = ours;
    state.counters["curl_xz_s"] = reference;
    state.counters["ratio"] = ours / reference;
    state.counters["code"] = code;
    std::printf(
        "patch pass of %d files / 500 MB: ours %.2f s, curl+xz %.2f s, ratio %.2f (code %d)\n",
        kFiles, ours, reference, ours / reference, code);
    fs::remove_all(game);
    fs::remove_all(theirs);
  }
}
BENCHMARK(BM_PatchPassVersusCurlAndXz)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The checks of the unpacked data against the pass they guard: the pass with the plain list
// (CRC-32 checked) and with the verified list (CRC-32, size and SHA-256), and the checks
// alone over the same bytes in memory, in the decoder's 256 KiB blocks. The share is the
// checks' time over the verified pass's.
void BM_PatchPassCheckShare(benchmark::State& state) {
  const fs::path www = PassSet();
  test::NginxServer nginx(BenchDir() / "pass-nginx", {.root = www});
  HeadlessLauncher launcher;
  launcher.values.patchListFolder = nginx.Url("/files/");
  const fs::path game = BenchDir() / "check-game";

  for (auto _ : state) {
    auto pass = [&](const std::string& list) {
      std::string path = "/";
      path += list;
      launcher.values.patchlist = nginx.Url(path);
      fs::remove_all(game);
      fs::create_directories(game);
      int code = 0;
      const double seconds = SecondsOf([&] { code = RunWorker(launcher, game); });
      if (code != 4) throw std::runtime_error("a pass failed: " + list);
      return seconds;
    };
    // Alternated, best of three each: on a shared machine one pass alone varies by more than
    // the difference looked for.
    double plain = 1e9, verified = 1e9;
    for (int round = 0; round < 3; ++round) {
      plain = std::min(plain, pass("list.xml"));
      verified = std::min(verified, pass("verified.xml"));
    }

    const std::string data = kestrune::test::ReadFile((game / "f0.bin").string());
    constexpr std::size_t kBlock = std::size_t{256} << 10;
    std::uint32_t sink = 0;
    const double crcOnly = SecondsOf([&] {
      for (int i = 0; i < kPassFiles; ++i) {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (std::size_t at = 0; at < data.size(); at += kBlock) {
          crc = CRC32Update(crc, data.data() + at, std::min(kBlock, data.size() - at));
        }
        sink ^= crc;
      }
    });
    const double both = SecondsOf([&] {
      for (int i = 0; i < kPassFiles; ++i) {
        std::uint32_t crc = 0xFFFFFFFFu;
        Sha256 sha;
        for (std::size_t at = 0; at < data.size(); at += kBlock) {
          const std::size_t n = std::min(kBlock, data.size() - at);
          crc = CRC32Update(crc, data.data() + at, n);
          sha.Update(data.data() + at, n);
        }
        sink ^= crc ^ static_cast<std::uint32_t>(sha.HexDigest()[0]);
      }
    });
    benchmark::DoNotOptimize(sink);
    state.SetIterationTime(verified);
    state.counters["plain_s"] = plain;
    state.counters["verified_s"] = verified;
    state.counters["crc_s"] = crcOnly;
    state.counters["crc_sha_s"] = both;
    state.counters["share"] = both / verified;
    std::printf(
        "patch pass of %d files / 500 MB: CRC-32 list %.2f s, verified list %.2f s (%+.1f%%); "
        "the checks alone: CRC-32 %.3f s, CRC-32 + SHA-256 %.3f s = %.1f%% of the verified pass\n",
        kPassFiles, plain, verified, 100.0 * (verified - plain) / plain, crcOnly, both,
        100.0 * both / verified);
    fs::remove_all(game);
  }
}
BENCHMARK(BM_PatchPassCheckShare)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace kestrune::bench
