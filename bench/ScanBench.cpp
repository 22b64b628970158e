// The up-to-date check of a big game folder and the checksum of a big cached file, each
// against independent tools in the same run: the first check (no scan cache) against
// `find | xargs cksum` and `rhash --crc32 -r`, the check with a warm cache against rhash, and
// CRC32File of a page-cached 2 GiB file (summed from a memory map) against
// `cat FILE >/dev/null`, and, to show why the map was chosen, against two buffers with the read
// of one beside the sum of the other. Our runs go in a
// child process so that their peak memory (getrusage's maxrss) is theirs alone. The reference
// tools run at the patch worker's own niceness (10).

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchLauncher.h"
#include "BenchSupport.h"
#include "CRC32.h"
#include "NginxServer.h"
#include "ScanCache.h"
#include "TestSupport.h"
#include "ThreadManager.h"
#include "UiThread.h"

namespace kestrune::bench {
namespace {

namespace fs = std::filesystem;

struct ChildRun {
  double seconds = 0;
  double peakMiB = 0;
  int code = -1;
};

// `body` in a child process: its wall time, its exit code and its own peak resident memory.
ChildRun InChild(const std::function<int()>& body) {
  std::fflush(nullptr);
  ChildRun run;
  run.seconds = SecondsOf([&] {
    const pid_t pid = ::fork();
    if (pid == 0) std::_Exit(body());
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  });
  return run;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void Shell(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

constexpr int kFiles = 20000;
constexpr std::uint64_t kTotal = std::uint64_t{2} << 30;

// 20 000 files of random content, 2 GiB in all, in 100 folders, made once; their times set a
// day back, as an installed game's are. The list is made from rhash's sums.
struct ScanSet {
  fs::path game, www;
};

ScanSet MakeScanSet() {
  ScanSet set{BenchDir() / "scan20k-game", BenchDir() / "scan20k-www"};
  if (!fs::exists(set.game / ".done")) {
    fs::remove_all(set.game);
    std::mt19937_64 random(20000);
    std::vector<std::uint64_t> block(kTotal / kFiles / 8);
    for (int i = 0; i < kFiles; ++i) {
      // Appended piece by piece: GCC 12 warns wrongly about prepending to a temporary.
      std::string folder = "d", file = "f";
      folder += std::to_string(i / 200);
      file += std::to_string(i);
      file += ".bin";
      const fs::path dir = set.game / folder;
      fs::create_directories(dir);
      for (auto& word : block) word = random();
      std::ofstream(dir / file, std::ios::binary)
          .write(reinterpret_cast<const char*>(block.data()),
                 static_cast<std::streamsize>(block.size() * 8));
    }
    Shell(std::string("find '") + set.game.string() + "' -type f -exec touch -d '1 day ago' {} +");
    std::ofstream(set.game / ".done");
  }
  fs::create_directories(set.www);
  if (!fs::exists(set.www / "list.xml")) {
    std::istringstream lines(
        test::CommandOutput(std::string("cd '") + set.game.string() + "' && rhash --crc32 -r d*"));
    std::string xml = "<patch>\n";
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line[0] == ';') continue;
      const auto cut = line.rfind(' ');
      std::string name = line.substr(0, cut);
      for (char& c : name) c = c == '/' ? '\\' : c;
      std::string crc = line.substr(cut + 1);
      for (char& c : crc) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      xml += "<archive filename=\"" + name + "\" original=\"" + crc + "\"/>\n";
    }
    std::ofstream(set.www / "list.xml") << xml << "</patch>\n";
  }
  Shell(std::string("cat '") + set.game.string() +
        "'/d*/* >/dev/null");  // in the page cache for all
  return set;
}

// One patch run over `game` with the scan cache in `cacheFolder`; its status code.
int RunCheck(const std::string& listUrl, const fs::path& game, const fs::path& cacheFolder) {
  HeadlessLauncher launcher;
  launcher.values.patchlist = listUrl;
  fs::current_path(game);
  auto worker = std::make_shared<ThreadForDownLoad>(launcher);
  worker->scanCacheFolder = cacheFolder.string();
  worker->Start();
  launcher.ui.ServeUntil([&] { return worker->Finished(); });
  return launcher.code;
}

std::string AtWorkerNiceness(const fs::path& game, const std::string& command) {
  return std::string("cd '") + game.string() + "' && nice -n 10 sh -c '" + command + "'";
}

void BM_UpToDateCheck(benchmark::State& state) {
  const ScanSet set = MakeScanSet();
  test::NginxServer nginx(BenchDir() / "scan20k-nginx", {.root = set.www});
  const std::string url = nginx.Url("/list.xml");
  const fs::path cacheFolder = BenchDir() / "scan20k-cache";
  fs::create_directories(cacheFolder);
  const fs::path cacheFile =
      ScanCache::FileFor(cacheFolder.string(), fs::canonical(set.game).string());
  const std::string cksum =
      AtWorkerNiceness(set.game, "find d* -type f -print0 | xargs -0 cksum >/dev/null");
  const std::string rhash = AtWorkerNiceness(set.game, "rhash --crc32 -r d* >/dev/null");

  for (auto _ : state) {
    std::vector<double> first, warm, cksumTimes, rhashTimes;
    double firstPeak = 0, warmPeak = 0;
    int firstCode = 0, warmCode = 0;
    // Interleaved rounds, so that drift on the shared machine hits every tool alike.
    for (int round = 0; round < 3; ++round) {
      fs::remove(cacheFile);
      const ChildRun cold = InChild([&] { return RunCheck(url, set.game, cacheFolder); });
      first.push_back(cold.seconds);
      firstPeak = std::max(firstPeak, cold.peakMiB);
      firstCode = cold.code;
      cksumTimes.push_back(SecondsOf([&] { Shell(cksum); }));
      rhashTimes.push_back(SecondsOf([&] { Shell(rhash); }));
      const ChildRun cached = InChild([&] { return RunCheck(url, set.game, cacheFolder); });
      warm.push_back(cached.seconds);
      warmPeak = std::max(warmPeak, cached.peakMiB);
      warmCode = cached.code;
    }
    const double f = Median(first), w = Median(warm), c = Median(cksumTimes),
                 r = Median(rhashTimes);
    state.SetIterationTime(f);
    state.counters["first_s"] = f;
    state.counters["warm_s"] = w;
    state.counters["cksum_s"] = c;
    state.counters["rhash_s"] = r;
    std::printf(
        "up-to-date check, %d files / 2 GiB, page-cached, medians of 3 interleaved runs:\n"
        "  first check (no cache): ours %.3f s, find|xargs cksum %.3f s, rhash %.3f s: "
        "ratio %.2f vs cksum, %.2f vs rhash; peak %.1f MiB; code %d\n"
        "  warm cache:             ours %.3f s, rhash %.3f s: ratio %.3f (%.1f%% of rhash); "
        "peak %.1f MiB; code %d\n",
        kFiles, f, c, r, f / c, f / r, firstPeak, firstCode, w, r, w / r, 100 * w / r, warmPeak,
        warmCode);
  }
}
BENCHMARK(BM_UpToDateCheck)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The other way to overlap copying and summing, measured beside ours: a reader thread fills
// one buffer while this one sums the other.
std::uint32_t TwoBufferCrc(const std::string& path, std::size_t bufferSize) {
  platform::File file = platform::File::OpenRead(path, platform::File::Share::None);
  std::vector<unsigned char> buffers[2] = {std::vector<unsigned char>(bufferSize),
                                           std::vector<unsigned char>(bufferSize)};
  std::size_t lengths[2] = {0, 0};
  bool full[2] = {false, false};
  std::mutex mutex;
  std::condition_variable changed;
  std::jthread reader([&] {
    for (int i = 0;; i ^= 1) {
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return !full[i]; });
      }
      const std::size_t n = file.Read(buffers[i].data(), bufferSize);
      {
        const std::lock_guard lock(mutex);
        lengths[i] = n;
        full[i] = true;
      }
      changed.notify_all();
      if (n == 0) return;
    }
  });
  std::uint32_t crc = 0xFFFFFFFFu;
  for (int i = 0;; i ^= 1) {
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return full[i]; });
    }
    if (lengths[i] == 0) break;
    crc = CRC32Update(crc, buffers[i].data(), lengths[i]);
    {
      const std::lock_guard lock(mutex);
      full[i] = false;
    }
    changed.notify_all();
  }
  return ~crc;
}

void BM_CachedLargeFileCrc(benchmark::State& state) {
  const std::string path = RandomFile("random-2g.bin", std::uint64_t{2} << 30).string();
  const std::string cat = "cat '" + path + "' >/dev/null";
  for (auto _ : state) {
    std::vector<double> ours, cats, small, large;
    double peak = 0;
    std::string crc;
    for (int round = 0; round < 5; ++round) {
      const ChildRun run = InChild([&] { return CRC32File(path).empty() ? 1 : 0; });
      ours.push_back(run.seconds);
      peak = std::max(peak, run.peakMiB);
      cats.push_back(SecondsOf([&] { Shell(cat); }));
      small.push_back(SecondsOf([&] { benchmark::DoNotOptimize(TwoBufferCrc(path, 256 << 10)); }));
      large.push_back(SecondsOf([&] { benchmark::DoNotOptimize(TwoBufferCrc(path, 1 << 20)); }));
    }
    const double o = Median(ours), c = Median(cats), s256 = Median(small), s1m = Median(large);
    const double gb = static_cast<double>(std::uint64_t{2} << 30) / 1e9;
    state.SetIterationTime(o);
    state.counters["ratio"] = c / o;
    std::printf(
        "CRC-32 of a page-cached 2 GiB file, medians of 5 interleaved runs:\n"
        "  CRC32File %.3f s (%.2f GB/s), cat %.3f s (%.2f GB/s): %.2f of cat's speed; "
        "peak %.1f MiB\n"
        "  two buffers, the read of one beside the sum of the other, instead: 256 KiB %.3f s "
        "(%.2f of cat's speed), 1 MiB %.3f s (%.2f)\n",
        o, gb / o, c, gb / c, c / o, peak, s256, c / s256, s1m, c / s1m);
  }
}
BENCHMARK(BM_CachedLargeFileCrc)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace kestrune::bench
