// GetToStream of a 1 GiB file from nginx on loopback into a file, against
// `curl -s -o FILE URL` on the same file in the same run.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "BenchSupport.h"
#include "NginxServer.h"
#include "http/HttpClient.h"

namespace {

using kestrune::bench::SecondsOf;

namespace fs = std::filesystem;
constexpr std::uint64_t kFileSize = std::uint64_t{1} << 30;

// Alternating, so that drift on the machine hits both alike.
// ratio = our time / curl's time: 1.0 means as fast as the curl tool.
void BM_GetToStreamVsCurl(benchmark::State& state) {
  const fs::path dir = kestrune::bench::BenchDir();
  const fs::path served = kestrune::bench::RandomFile("random-1g.bin", kFileSize);
  kestrune::test::NginxServer nginx(dir / "nginx", {.root = dir});
  if (!nginx.running()) return state.SkipWithError("nginx did not start");
  std::string path = "/";  // appended: GCC 12 warns wrongly about prepending to a temporary
  path += served.filename().string();
  const std::string url = nginx.Url(path);
  const fs::path target = dir / "download.bin";
  const std::string curl = "curl -s -o '" + target.string() + "' " + url;
  double ours = 0, tool = 0;
  for (auto _ : state) {
    ours += SecondsOf([&] {
      kestrune::HttpClient client;
      std::ofstream out(target, std::ios::binary | std::ios::trunc);
      client.GetToStream(url, out);
    });
    if (fs::file_size(target) != kFileSize) return state.SkipWithError("short download");
    fs::remove(target);
    tool += SecondsOf([&] {
      if (std::system(curl.c_str()) != 0) state.SkipWithError("curl failed");
    });
    fs::remove(target);
  }
  const double mib = static_cast<double>(state.iterations() * kFileSize) / (1 << 20);
  state.counters["ours_MiB/s"] = mib / ours;
  state.counters["curl_MiB/s"] = mib / tool;
  state.counters["ratio"] = ours / tool;
}

}  // namespace

BENCHMARK(BM_GetToStreamVsCurl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
