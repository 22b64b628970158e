// The console launcher, run as a child process exactly as a player runs it, against independent
// download tools over the same nginx: many small files behind a 50 ms round trip, big files on
// loopback, and a 1 GiB transfer cut halfway and run again. Each comparison alternates ours and
// theirs for KESTRUNE_BENCH_ROUNDS rounds (default 3) and prints the medians and ours / theirs;
// the reference tools run at the patch worker's niceness (10 above the caller's).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "DelayProxy.h"
#include "MeasuredChild.h"
#include "NginxServer.h"
#include "TestSupport.h"

namespace kestrune::bench {
namespace {

namespace fs = std::filesystem;

int Rounds() {
  const char* rounds = std::getenv("KESTRUNE_BENCH_ROUNDS");
  return rounds != nullptr && std::atoi(rounds) > 0 ? std::atoi(rounds) : 3;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Quote(const fs::path& path) {
  return "'" + path.string() + "'";
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Half random bytes, half runs, in 64-byte pieces: compresses about 2:1, like game data.
std::string GameLikeBytes(std::mt19937& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t at = 0; at < size; at += 64) {
    const bool run = (random() & 1) != 0;
    const char fill = static_cast<char>(random());
    for (std::size_t k = at; k < std::min(size, at + 64); ++k) {
      bytes[k] = run ? fill : static_cast<char>(random());
    }
  }
  return bytes;
}

// The base URL the patch sets are published with; each benchmark points Settings.xml at its
// own server by replacing it.
constexpr const char* kPlaceholder = "http://127.0.0.1:1";

// A patch set published by kestrune-publish, made once and kept in BenchDir(): `make` writes
// the release into the folder it is given, which is removed once published.
fs::path Published(const std::string& name, const std::string& preset,
                   const std::function<void(const fs::path&)>& make) {
  const fs::path www = BenchDir() / (name + "-www");
  if (fs::exists(www / "published")) return www;
  const fs::path release = BenchDir() / (name + "-release");
  fs::remove_all(release);
  fs::remove_all(www);
  fs::create_directories(release);
  std::fprintf(stderr, "making the patch set %s (once)...\n", name.c_str());
  make(release);
  const std::string command = std::string(KESTRUNE_PUBLISH) + " " + Quote(release) + " " +
                              Quote(www) + " --base-url " + kPlaceholder + " " + preset +
                              " >/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("publishing failed: " + name);
  fs::rename(www / "pts" / "Settings.xml", BenchDir() / (name + "-Settings.xml"));
  fs::remove_all(release);
  WriteText(www / "published", "");
  return www;
}

// Serves the set's Settings.xml with its URLs at `base`, asking for `transfers` at once when
// not zero.
void PointSettingsAt(const fs::path& www, const std::string& name, const std::string& base,
                     int transfers = 0) {
  std::string text = test::ReadFile((BenchDir() / (name + "-Settings.xml")).string());
  const std::string from = std::string(kPlaceholder) + "/";
  for (std::size_t at; (at = text.find(from)) != std::string::npos;) {
    text.replace(at, from.size(), base + "/");
  }
  // KESTRUNE_BENCH_TRANSFERS: the number of transfers at once the settings ask for.
  std::string asked = transfers > 0 ? std::to_string(transfers) : "";
  if (const char* fromEnvironment = std::getenv("KESTRUNE_BENCH_TRANSFERS")) {
    asked = fromEnvironment;
  }
  if (!asked.empty()) {
    // Appended piece by piece: GCC 12 warns wrongly about prepending to a temporary.
    std::string element = "  <parallelDownloads>";
    element += asked;
    element += "</parallelDownloads>\n";
    const std::size_t end = text.rfind("</");  // of the root element
    if (end != std::string::npos) text.insert(end, element);
  }
  WriteText(www / "pts" / "Settings.xml", text);
}

// The files/ names of a set, as "sub/name.lzma".
std::vector<std::string> PackedNames(const fs::path& www) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(www / "files")) {
    if (e.is_regular_file()) names.push_back(e.path().lexically_relative(www / "files").string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t CountFiles(const fs::path& root) {
  std::size_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(root)) n += e.is_regular_file() ? 1 : 0;
  return n;
}

// One patch run of the console launcher in a fresh game folder and per-user store.
MeasuredRun Ours(const std::string& settingsHost, const fs::path& game,
                 const std::string& executable = KESTRUNE_CONSOLE_UPDATER) {
  fs::remove_all(game);
  fs::remove_all(game.string() + "-config");
  fs::create_directories(game);
  const fs::path out = game.string() + ".out", err = game.string() + ".err";
  MeasuredRun run = RunMeasured({executable}, game,
                                {{"KESTRUNE_HEADLESS", "1"},
                                 {"KESTRUNE_SETTINGS_HOST", settingsHost},
                                 {"XDG_CONFIG_HOME", game.string() + "-config"}},
                                out, err);
  const std::string said = test::ReadFile(out.string());
  if (run.exitCode != 0 || said.find("All files were successfully updated!") == std::string::npos) {
    std::printf("  our run ended with code %d: %s%s\n", run.exitCode,
                said.substr(said.size() > 300 ? said.size() - 300 : 0).c_str(),
                test::ReadFile(err.string()).c_str());
  }
  return run;
}

// A shell command at the worker's niceness, in a fresh folder `theirs`.
MeasuredRun Theirs(const std::string& command, const fs::path& theirs) {
  fs::remove_all(theirs);
  fs::create_directories(theirs);
  return RunMeasured({"/usr/bin/nice", "-n", "10", "/bin/sh", "-c", command}, theirs, {},
                     theirs.string() + ".out", theirs.string() + ".err");
}

// curl fetching every file in one process (so over one connection, kept alive), then xz
// unpacking them one after the other.
std::string CurlThenXz(const fs::path& www, const std::string& base, const fs::path& scratch) {
  std::string config;
  for (const std::string& name : PackedNames(www)) {
    config += "url = \"" + base + "/files/" + name + "\"\noutput = \"" + name + "\"\n";
  }
  WriteText(scratch / "curl.config", config);
  return "curl -s --create-dirs -K " + Quote(scratch / "curl.config") +
         " && find . -name '*.lzma' | while read -r f; do"
         " xz -dc --format=lzma \"$f\" > \"${f%.lzma}\" && rm \"$f\"; done";
}

// aria2c with `jobs` downloads at a time, then xz unpacking two at a time (both cores).
std::string Aria2ThenXz(const fs::path& www, const std::string& base, const fs::path& scratch,
                        int jobs) {
  std::string input;
  for (const std::string& name : PackedNames(www)) {
    input += base + "/files/" + name + "\n  out=" + name + "\n";
  }
  WriteText(scratch / "aria2.input", input);
  return "aria2c -q -j" + std::to_string(jobs) +
         " --file-allocation=none --allow-overwrite=true --auto-file-renaming=false"
         " --console-log-level=error -i " +
         Quote(scratch / "aria2.input") +
         " && find . -name '*.lzma' -print0 | xargs -0 -P2 -n10 sh -c"
         " 'for f; do xz -dc --format=lzma \"$f\" > \"${f%.lzma}\" && rm \"$f\"; done' _";
}

struct Reference {
  std::string label;
  std::string command;
  std::vector<double> seconds;
};

// Alternates our run and each reference, then prints the medians and the ratios. `ourRun`
// starts before each of our runs and, once it has ended, returns a note on it.
void Compare(benchmark::State& state, const std::string& title, const std::string& settingsHost,
             std::vector<Reference> references, std::size_t expectedFiles,
             const std::function<std::function<std::string()>()>& ourRun = {}) {
  const fs::path game = BenchDir() / "transfer-game", theirs = BenchDir() / "transfer-theirs";
  std::vector<double> ours;
  long peakKiB = 0;
  for (int round = 0; round < Rounds(); ++round) {
    const auto note = ourRun ? ourRun() : std::function<std::string()>();
    const MeasuredRun run = Ours(settingsHost, game);
    ours.push_back(run.seconds);
    peakKiB = std::max(peakKiB, run.peakKiB);
    std::printf("  round %d: ours %.2f s (peak %ld KiB%s)", round + 1, run.seconds, run.peakKiB,
                note ? (", " + note()).c_str() : "");
    fs::remove_all(game);
    for (Reference& reference : references) {
      const MeasuredRun r = Theirs(reference.command, theirs);
      reference.seconds.push_back(r.seconds);
      const std::size_t files = CountFiles(theirs);
      std::printf(", %s %.2f s", reference.label.c_str(), r.seconds);
      if (r.exitCode != 0 || files != expectedFiles) {
        std::printf(" [exit %d, %zu of %zu files]", r.exitCode, files, expectedFiles);
      }
      fs::remove_all(theirs);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  const double median = Median(ours);
  std::printf("%s: ours %.2f s, peak memory %.1f MiB", title.c_str(), median, peakKiB / 1024.0);
  for (const Reference& reference : references) {
    const double theirMedian = Median(reference.seconds);
    std::printf("; %s %.2f s, ratio %.2f", reference.label.c_str(), theirMedian,
                median / theirMedian);
    state.counters["ratio_" + reference.label.substr(0, reference.label.find_first_of(" +"))] =
        median / theirMedian;
  }
  std::printf(" (medians of %d, ratio = ours / theirs)\n", Rounds());
  std::fflush(stdout);
  state.SetIterationTime(median);
  state.counters["ours_s"] = median;
  state.counters["peak_MiB"] = peakKiB / 1024.0;
}

// 2 000 files of 4-16 KiB, behind a 50 ms round trip.
void BM_SmallFilesBehindDelayVersusCurlAndAria2(benchmark::State& state) {
  constexpr int kFiles = 2000;
  const fs::path www = Published("small", "", [](const fs::path& release) {
    std::mt19937 random(11);
    for (int i = 0; i < kFiles; ++i) {
      const fs::path dir = release / Numbered("d", i / 100);
      fs::create_directories(dir);
      const std::size_t size = 4096 + random() % (12 * 1024 + 1);
      WriteText(dir / Numbered("f", i, ".bin"), GameLikeBytes(random, size));
    }
  });
  test::NginxServer nginx(BenchDir() / "small-nginx", {.root = www});
  DelayProxy proxy({.upstreamPort = nginx.port()});
  const std::string base = proxy.Url("");
  // As many transfers as aria2c gets: what a publisher of many small files for far-away
  // players asks for (the default of 4 waits out 500 round trips here).
  PointSettingsAt(www, "small", base, 16);

  // The proxy's own cost: a first response on a new connection takes two round trips.
  const MeasuredRun probe =
      RunMeasured({"/usr/bin/curl", "-s", "-o", "/dev/null", base + "/pts/Settings.xml"},
                  BenchDir(), {}, BenchDir() / "probe.out", BenchDir() / "probe.err");
  std::printf(
      "delay proxy: curl of one small file on a new connection %.0f ms (2 round trips "
      "= 100 ms)\n",
      probe.seconds * 1000);

  for (auto _ : state) {
    Compare(state, "patch pass of 2000 files of 4-16 KiB behind a 50 ms round trip",
            "127.0.0.1:" + std::to_string(proxy.port()),
            {{"curl+xz", CurlThenXz(www, base, BenchDir()), {}},
             {"aria2c-j16+xz", Aria2ThenXz(www, base, BenchDir(), 16), {}}},
            kFiles, [&] {
              const int before = proxy.connections();
              return [&proxy, before] {
                return std::to_string(proxy.connections() - before) + " connections";
              };
            });
  }
}
BENCHMARK(BM_SmallFilesBehindDelayVersusCurlAndAria2)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// 200 files of 2.5 MB (500 MB) from nginx on loopback.
void BM_BigFilesOnLoopbackVersusAria2AndCurl(benchmark::State& state) {
  constexpr int kFiles = 200;
  constexpr std::size_t kSize = 500'000'000 / kFiles;
  const fs::path www = Published("big", "-0", [](const fs::path& release) {
    std::mt19937 random(7);
    for (int i = 0; i < kFiles; ++i) {
      WriteText(release / Numbered("f", i, ".bin"), GameLikeBytes(random, kSize));
    }
  });
  std::system(("cat " + Quote(www) + "/files/* >/dev/null").c_str());
  test::NginxServer nginx(BenchDir() / "big-nginx", {.root = www});
  const std::string base = nginx.Url("");
  PointSettingsAt(www, "big", base);
  for (auto _ : state) {
    Compare(state, "patch pass of 200 files / 500 MB on loopback",
            "127.0.0.1:" + std::to_string(nginx.port()),
            {{"aria2c-j8+xz", Aria2ThenXz(www, base, BenchDir(), 8), {}},
             {"curl+xz", CurlThenXz(www, base, BenchDir()), {}}},
            kFiles);
  }
}
BENCHMARK(BM_BigFilesOnLoopbackVersusAria2AndCurl)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// What nginx sent of `uri`, in all, by its access log (one "bytes uri" line a request).
std::uint64_t BytesSent(const fs::path& log, const std::string& uri) {
  std::ifstream in(log);
  std::uint64_t total = 0;
  std::uint64_t bytes = 0;
  for (std::string path; in >> bytes >> path;) total += path == uri ? bytes : 0;
  return total;
}

// A 1 GiB transfer whose connection breaks at half of it; run again until it is complete.
void BM_InterruptedTransferFetchedTwice(benchmark::State& state) {
  constexpr std::uint64_t kSize = 1ull << 30;
  const fs::path www = Published("resume", "-0", [](const fs::path& release) {
    fs::create_hard_link(RandomFile("random-1g.bin", kSize), release / "world.pak");
  });
  const fs::path log = BenchDir() / "resume-access.log";
  test::NginxServer nginx(BenchDir() / "resume-nginx",
                          {.root = www,
                           .serverDirectives = "    access_log " + log.string() + " sent;",
                           .httpDirectives = "  log_format sent '$body_bytes_sent $uri';"});
  const std::string uri = "/files/world.pak.lzma";
  const std::uint64_t packed = fs::file_size(www / "files" / "world.pak.lzma");
  const fs::path game = BenchDir() / "transfer-game", theirs = BenchDir() / "transfer-theirs";
  const double mib = 1024.0 * 1024.0;

  for (auto _ : state) {
    std::vector<double> ours, curl;
    long peakKiB = 0;
    for (int round = 0; round < Rounds(); ++round) {
      fs::resize_file(log, 0);
      {
        DelayProxy proxy({.upstreamPort = nginx.port(),
                          .oneWay = std::chrono::milliseconds(0),
                          .connect = std::chrono::milliseconds(0),
                          .cutAfter = packed / 2});
        PointSettingsAt(www, "resume", proxy.Url(""));
        const std::string host = "127.0.0.1:" + std::to_string(proxy.port());
        // The first run may finish by itself (a retry inside the run); else runs go on, in the
        // same game folder, as a player starting the launcher again would.
        fs::remove_all(game);
        fs::create_directories(game);
        int runs = 0;
        MeasuredRun run;
        do {
          ++runs;
          run = RunMeasured({KESTRUNE_CONSOLE_UPDATER}, game,
                            {{"KESTRUNE_HEADLESS", "1"},
                             {"KESTRUNE_SETTINGS_HOST", host},
                             {"XDG_CONFIG_HOME", game.string() + "-config"}},
                            game.string() + ".out", game.string() + ".err");
          peakKiB = std::max(peakKiB, run.peakKiB);
        } while (run.exitCode != 0 && runs < 3);
        const std::uint64_t sent = BytesSent(log, uri);
        ours.push_back(static_cast<double>(sent - std::min(sent, packed)));
        std::printf(
            "  round %d: ours %d run(s), last exit %d, nginx sent %.1f MiB of %.1f (peak "
            "%ld KiB, cut %s)",
            round + 1, runs, run.exitCode, sent / mib, packed / mib, run.peakKiB,
            proxy.cut() ? "yes" : "no");
        fs::remove_all(game);
        fs::remove_all(game.string() + "-config");
      }
      fs::resize_file(log, 0);
      {
        DelayProxy proxy({.upstreamPort = nginx.port(),
                          .oneWay = std::chrono::milliseconds(0),
                          .connect = std::chrono::milliseconds(0),
                          .cutAfter = packed / 2});
        const std::string url = proxy.Url(uri);
        Theirs("curl -s -o world.pak.lzma " + url + "; curl -s -C - -o world.pak.lzma " + url,
               theirs);
        const std::uint64_t sent = BytesSent(log, uri);
        curl.push_back(static_cast<double>(sent - std::min(sent, packed)));
        std::printf(", curl then curl -C -: nginx sent %.1f MiB (%s)\n", sent / mib,
                    fs::file_size(theirs / "world.pak.lzma") == packed ? "complete" : "INCOMPLETE");
        fs::remove_all(theirs);
      }
      std::fflush(stdout);
    }
    const double oursTwice = Median(ours), curlTwice = Median(curl);
    std::printf(
        "1 GiB transfer cut at half: fetched twice: ours %.1f MiB (%.0f%% of the file), "
        "curl -C - %.1f MiB; peak memory %.1f MiB (medians of %d)\n",
        oursTwice / mib, 100.0 * oursTwice / static_cast<double>(packed), curlTwice / mib,
        peakKiB / 1024.0, Rounds());
    std::fflush(stdout);
    state.SetIterationTime(1);
    state.counters["ours_twice_MiB"] = oursTwice / mib;
    state.counters["curl_twice_MiB"] = curlTwice / mib;
    state.counters["peak_MiB"] = peakKiB / 1024.0;
  }
}
BENCHMARK(BM_InterruptedTransferFetchedTwice)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// A start with nothing to do (every file up to date) of the window executable, headless, and of
// the console one, alternated 20 times.
void BM_StartWithNothingToDo(benchmark::State& state) {
  const fs::path www = Published("tiny", "", [](const fs::path& release) {
    std::mt19937 random(3);
    for (int i = 0; i < 3; ++i) {
      WriteText(release / ("t" + std::to_string(i) + ".bin"), GameLikeBytes(random, 4096));
    }
  });
  test::NginxServer nginx(BenchDir() / "tiny-nginx", {.root = www});
  PointSettingsAt(www, "tiny", nginx.Url(""));
  const std::string host = "127.0.0.1:" + std::to_string(nginx.port());
  const fs::path game = BenchDir() / "tiny-game";
  for (auto _ : state) {
    // Brought up to date once; then every run only scans.
    Ours(host, game);
    std::vector<double> window, console;
    long windowKiB = 0, consoleKiB = 0;
    for (int i = 0; i < 20; ++i) {
      for (bool isConsole : {false, true}) {
        const MeasuredRun run =
            RunMeasured({isConsole ? KESTRUNE_CONSOLE_UPDATER : KESTRUNE_WINDOW_UPDATER}, game,
                        {{"KESTRUNE_HEADLESS", "1"},
                         {"KESTRUNE_SETTINGS_HOST", host},
                         {"XDG_CONFIG_HOME", game.string() + "-config"}},
                        game.string() + ".out", game.string() + ".err");
        if (run.exitCode != 0) std::printf("  a run ended with code %d\n", run.exitCode);
        (isConsole ? console : window).push_back(run.seconds);
        long& peak = isConsole ? consoleKiB : windowKiB;
        peak = std::max(peak, run.peakKiB);
      }
    }
    const double w = Median(window), c = Median(console);
    std::printf(
        "start with nothing to do: KestruneUpdater (headless) %.1f ms, peak %.1f MiB; "
        "KestruneUpdater-console %.1f ms, peak %.1f MiB; ratio %.2f (medians of 20)\n",
        w * 1000, windowKiB / 1024.0, c * 1000, consoleKiB / 1024.0, c / w);
    std::fflush(stdout);
    state.SetIterationTime(c);
    state.counters["window_ms"] = w * 1000;
    state.counters["console_ms"] = c * 1000;
    state.counters["ratio"] = c / w;
    fs::remove_all(game);
    fs::remove_all(game.string() + "-config");
  }
}
BENCHMARK(BM_StartWithNothingToDo)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrune::bench
