// The patch worker against independent tools: the up-to-date scan of a big game folder against
// `rhash --crc32 -r`, and a whole patch pass from loopback nginx against curl over one
// connection plus `xz -dc --format=lzma` of each file. Both print ours / theirs.

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

#include "BenchSupport.h"
#include "LzmaEncode.h"
#include "NginxServer.h"
#include "TestSupport.h"
#include "ThreadManager.h"
#include "UiThread.h"

namespace kestrune::bench {
namespace {

namespace fs = std::filesystem;

// Just enough of a launcher for a headless run.
class HeadlessLauncher final : public LauncherInterface {
 public:
  LauncherSettings values;
  PlainUiThread ui;
  std::int32_t code = -1;

  const LauncherSettings& settings() const override { return values; }
  UiThread& uiThread() override { return ui; }
  void setStatus(std::int32_t c) override { code = c; }
  std::int32_t getLanguage() const override { return 1; }
  void StoreCritical(std::int32_t) override {}
  void ShowStatus() override {}
  void SetStatusText(const std::string&) override {}
  void ApplyIdleLayout() override {}
  void ApplyBusyLayout() override {}
  void SetCanUpdate(bool) override {}
  void SetBarWidth(Bar bar, float width) override { (bar == Bar::File ? file : total) = width; }
  float BarWidth(Bar bar) const override { return bar == Bar::File ? file : total; }
  void ShowMessage(const std::string&) override {}
  void StartClient() override {}
  void CloseWindow() override {}

  float file = 0, total = 0;
};

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
      const fs::path dir = game / ("d" + std::to_string(i / 200));
      fs::create_directories(dir);
      std::ofstream out(dir / ("f" + std::to_string(i) + ".bin"), std::ios::binary);
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

void BM_PatchPassVersusCurlAndXz(benchmark::State& state) {
  constexpr int kFiles = 200;
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
      const std::string name = "f" + std::to_string(i) + ".bin";
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
  std::system(("cat '" + www.string() + "'/files/* >/dev/null").c_str());
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
      const std::string name = "f" + std::to_string(i) + ".bin.lzma";
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

}  // namespace
}  // namespace kestrune::bench
