// Deltas between releases, end to end: kestrune-publish makes release 2 with deltas from
// release 1, nginx serves it, and the console launcher brings a folder at release 1 to release
// 2, once with the deltas and once with them struck from the lists (the full .lzma path);
// against xdelta3 deltas of the same pairs fetched by curl and applied by xdelta3. Printed:
// bytes nginx sent for files/ and wall time of each, in one run.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "MeasuredChild.h"
#include "NginxServer.h"
#include "TestSupport.h"

namespace kestrune::bench {
namespace {

namespace fs = std::filesystem;
constexpr std::size_t kBlock = 64 << 10;

std::string Quote(const fs::path& path) {
  return "'" + path.string() + "'";
}

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Game-like data: per 64 KiB block, text-like records (compressible) or noise, about one
// block in three noise.
std::string GameLike(std::size_t blocks, std::mt19937& random) {
  std::string data;
  data.reserve(blocks * kBlock);
  for (std::size_t b = 0; b < blocks; ++b) {
    if (random() % 3 == 0) {
      for (std::size_t k = 0; k < kBlock; ++k) data += static_cast<char>(random());
      continue;
    }
    const std::size_t end = data.size() + kBlock;
    while (data.size() < end) {
      std::string record = "mesh " + std::to_string(random() % 5000) + " lod " +
                           std::to_string(random() % 4) + " tex " + std::to_string(random() % 900) +
                           "\n";
      data += record.substr(0, end - data.size());
    }
  }
  return data;
}

// `data` with one block in `every` replaced by fresh noise.
std::string Changed(std::string data, std::size_t every, std::mt19937& random) {
  const std::size_t blocks = data.size() / kBlock;
  for (std::size_t b = random() % every; b < blocks; b += every) {
    for (std::size_t k = 0; k < kBlock; ++k) data[b * kBlock + k] = static_cast<char>(random());
  }
  return data;
}

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::uint64_t FilesBytesSent(const fs::path& log) {
  std::ifstream in(log);
  std::uint64_t total = 0, bytes = 0;
  for (std::string uri; in >> bytes >> uri;) total += uri.rfind("/files/", 0) == 0 ? bytes : 0;
  return total;
}

struct Scenario {
  std::string name;
  // Writes release 1 and release 2 into the two folders; returns the changed names.
  std::function<std::vector<std::string>(const fs::path&, const fs::path&)> make;
};

void RunScenario(benchmark::State& state, const Scenario& s) {
  const fs::path dir = BenchDir() / ("delta-" + s.name);
  const fs::path one = dir / "release1", two = dir / "release2", www = dir / "www";
  const fs::path changedList = dir / "changed";
  if (!fs::exists(dir / "published")) {
    fs::remove_all(dir);
    std::fprintf(stderr, "making releases %s and publishing them (once)...\n", s.name.c_str());
    std::string names;
    for (const std::string& n : s.make(one, two)) names += n + "\n";
    Write(changedList, names);
    const std::string publish =
        std::string(KESTRUNE_PUBLISH) + " --base-url http://127.0.0.1:1 -1 ";
    Shell(publish + Quote(one) + " " + Quote(www) + " >/dev/null");
    Shell(publish + "--delta-from " + Quote(one) + " " + Quote(two) + " " + Quote(www));
    fs::create_directories(www / "xd");
    std::ifstream in(changedList);
    for (std::string n; std::getline(in, n);) {
      fs::create_directories((www / "xd" / n).parent_path());
      Shell("xdelta3 -e -f -B 1073741824 -s " + Quote(one / n) + " " + Quote(two / n) + " " +
            Quote(www / "xd" / (n + ".vcdiff")));
    }
    for (const char* list : {"patchlist.xml", "criticalpatchlist.xml"}) {
      fs::copy_file(www / list, dir / (std::string(list) + ".with"));
      Shell("grep -v '<delta ' " + Quote(www / list) + " > " + Quote(dir / list) + ".without");
    }
    Write(dir / "published", "");
  }
  const fs::path log = dir / "access.log";
  Write(log, "");
  test::NginxServer nginx(dir / "nginx",
                          {.root = www,
                           .serverDirectives = "    access_log " + log.string() + " sent;",
                           .httpDirectives = "  log_format sent '$body_bytes_sent $uri';"});
  std::string settings = test::ReadFile((www / "pts" / "Settings.xml").string());
  for (std::size_t at; (at = settings.find("http://127.0.0.1:1/")) != std::string::npos;) {
    settings.replace(at, 19, nginx.Url("/"));
  }
  Write(www / "pts" / "Settings.xml", settings);
  const fs::path game = dir / "game";
  const double mib = 1024.0 * 1024.0;

  auto ours = [&](const char* lists) {
    for (const char* list : {"patchlist.xml", "criticalpatchlist.xml"}) {
      fs::copy_file(dir / (std::string(list) + lists), www / list,
                    fs::copy_options::overwrite_existing);
    }
    fs::remove_all(game);
    Shell("cp -r " + Quote(one) + " " + Quote(game) + " && cat -- $(find " + Quote(game) +
          " -type f) >/dev/null");
    Write(log, "");
    MeasuredRun run;
    const double seconds = SecondsOf([&] {
      run = RunMeasured({KESTRUNE_CONSOLE_UPDATER}, game,
                        {{"KESTRUNE_HEADLESS", "1"},
                         {"KESTRUNE_SETTINGS_HOST", "127.0.0.1:" + std::to_string(nginx.port())},
                         {"XDG_CONFIG_HOME", game.string() + "-config"}},
                        game.string() + ".out", game.string() + ".err");
    });
    fs::remove(game / "kestrune.lock");
    const bool equal =
        std::system(("diff -r -q " + Quote(game) + " " + Quote(two) + " >/dev/null").c_str()) == 0;
    return std::tuple(FilesBytesSent(log), seconds, run.peakKiB, run.exitCode == 0 && equal);
  };

  for (auto _ : state) {
    const auto [deltaBytes, deltaSeconds, deltaPeak, deltaOk] = ours(".with");
    const auto [fullBytes, fullSeconds, fullPeak, fullOk] = ours(".without");

    // xdelta3: curl fetches each delta over one connection, xdelta3 applies them in turn.
    fs::remove_all(game);
    Shell("cp -r " + Quote(one) + " " + Quote(game));
    Write(log, "");
    std::string fetch = "curl -s", apply = "true";
    std::ifstream in(changedList);
    for (std::string n; std::getline(in, n);) {
      fetch += " -o " + Quote(game / (n + ".vcdiff")) + " " + nginx.Url("/xd/" + n + ".vcdiff");
      apply += " && xdelta3 -d -f -B 1073741824 -s " + Quote(game / n) + " " +
               Quote(game / (n + ".vcdiff")) + " " + Quote(game / (n + ".new")) + " && mv " +
               Quote(game / (n + ".new")) + " " + Quote(game / n) + " && rm " +
               Quote(game / (n + ".vcdiff"));
    }
    const double xdSeconds = SecondsOf([&] { Shell(fetch + " && " + apply); });
    std::uint64_t xdBytes = 0;
    {
      std::ifstream sent(log);
      std::uint64_t bytes = 0;
      for (std::string uri; sent >> bytes >> uri;) xdBytes += bytes;
    }
    const bool xdOk =
        std::system(("diff -r -q " + Quote(game) + " " + Quote(two) + " >/dev/null").c_str()) == 0;

    std::printf(
        "%s: deltas %.2f MiB in %.1f s (peak %.0f MiB%s), full .lzma %.2f MiB in %.1f s (peak "
        "%.0f MiB%s), xdelta3 %.2f MiB in %.1f s%s; deltas / full %.2f%%, deltas / xdelta3 "
        "%.2f\n",
        s.name.c_str(), deltaBytes / mib, deltaSeconds, deltaPeak / 1024.0,
        deltaOk ? "" : ", NOT EQUAL", fullBytes / mib, fullSeconds, fullPeak / 1024.0,
        fullOk ? "" : ", NOT EQUAL", xdBytes / mib, xdSeconds, xdOk ? "" : ", NOT EQUAL",
        100.0 * static_cast<double>(deltaBytes) / static_cast<double>(fullBytes),
        static_cast<double>(deltaBytes) / static_cast<double>(xdBytes));
    std::fflush(stdout);
    state.SetIterationTime(deltaSeconds);
    state.counters["delta_MiB"] = deltaBytes / mib;
    state.counters["full_MiB"] = fullBytes / mib;
    state.counters["xdelta3_MiB"] = xdBytes / mib;
    state.counters["delta_s"] = deltaSeconds;
    state.counters["full_s"] = fullSeconds;
    state.counters["xdelta3_s"] = xdSeconds;
  }
  fs::remove_all(game);
}

// One 1 GiB file changed in 1% of its 64 KiB blocks.
void BM_DeltaOneBigFile(benchmark::State& state) {
  RunScenario(state, {"1g", [](const fs::path& one, const fs::path& two) {
                        std::mt19937 random(1);
                        const std::string data = GameLike((1u << 30) / kBlock, random);
                        Write(one / "world.pak", data);
                        Write(two / "world.pak", Changed(data, 100, random));
                        return std::vector<std::string>{"world.pak"};
                      }});
}
BENCHMARK(BM_DeltaOneBigFile)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// 200 files of 512 KiB, 20 of them changed in one block.
void BM_DeltaTwentyOfTwoHundred(benchmark::State& state) {
  RunScenario(state, {"200", [](const fs::path& one, const fs::path& two) {
                        std::mt19937 random(2);
                        std::vector<std::string> changed;
                        for (int i = 0; i < 200; ++i) {
                          const std::string name = Numbered("data/f", i, ".bin");
                          const std::string data = GameLike(8, random);
                          Write(one / name, data);
                          if (i % 10 == 3) {
                            Write(two / name, Changed(data, 8, random));
                            changed.push_back(name);
                          } else {
                            Write(two / name, data);
                          }
                        }
                        return changed;
                      }});
}
BENCHMARK(BM_DeltaTwentyOfTwoHundred)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace kestrune::bench
