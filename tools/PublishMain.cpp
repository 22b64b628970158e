// kestrune-publish: the command-line front of the publisher.

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "Platform.h"
#include "Publisher.h"

namespace {

constexpr const char* kUsage =
    R"(Usage: kestrune-publish RELEASE_DIR OUT_DIR --base-url URL [options]

Writes the patch set of the game files in RELEASE_DIR to OUT_DIR, ready for a static
web server that serves OUT_DIR at URL:
  OUT_DIR/files/NAME.lzma     each file, LZMA-compressed, sub-folders mirrored
  OUT_DIR/patchlist.xml       the patch list (criticalpatchlist.xml with --critical)
  OUT_DIR/pts/Settings.xml    the launcher's settings, pointing at the above
Point the launcher's settings host at the server (KESTRUNE_SETTINGS_HOST=HOST:PORT).

Runs are incremental: files whose CRC-32 and size match the previous patch list are
not packed again, and outputs whose content would not change are not rewritten.
Files gone from the release are dropped from files/ unless the other list names them.

Options:
  --base-url URL             where OUT_DIR is served (required)
  --critical                 write the critical patch list
  -0 .. -9                   compression preset (default -6)
  --version N                newest launcher version (default 1: no self-update)
  --critical-version N       stored by the launcher after a critical update (default 1)
  --updater-url URL          the new launcher executable (default URL/KestruneUpdater.exe)
  --auto-start-client BOOL   start the client after a critical update (default false)
  --double-run-check BOOL    allow only one running launcher (default false)
  --close-after-start BOOL   close the launcher once the client starts (default false)
  --jobs N                   packing threads (default: one per core)
  --help                     this text
BOOL is true/false, yes/no or 1/0. Exit code 0 on success, 1 on failure, 2 on bad usage.
)";

struct UsageError {
  std::string text;
};

bool ParseBool(const std::string& option, const std::string& value) {
  if (value == "true" || value == "yes" || value == "1") return true;
  if (value == "false" || value == "no" || value == "0") return false;
  throw UsageError{option + " takes true or false, not \"" + value + "\""};
}

int ParseInt(const std::string& option, const std::string& value) {
  try {
    std::size_t used = 0;
    const int n = std::stoi(value, &used);
    if (used == value.size()) return n;
  } catch (...) {
  }
  throw UsageError{option + " takes a number, not \"" + value + "\""};
}

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  kestrune::PublishOptions options;
  try {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw UsageError{arg + " needs a value"};
        return argv[++i];
      };
      if (arg == "--help" || arg == "-h") {
        std::cout << kUsage;
        return 0;
      } else if (arg == "--base-url") {
        options.baseUrl = value();
      } else if (arg == "--critical") {
        options.critical = true;
      } else if (arg.size() == 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9') {
        options.preset = arg[1] - '0';
      } else if (arg == "--version") {
        options.version = ParseInt(arg, value());
      } else if (arg == "--critical-version") {
        options.criticalVersion = ParseInt(arg, value());
      } else if (arg == "--updater-url") {
        options.updaterUrl = value();
      } else if (arg == "--auto-start-client") {
        options.autoStartClient = ParseBool(arg, value());
      } else if (arg == "--double-run-check") {
        options.doubleRunCheck = ParseBool(arg, value());
      } else if (arg == "--close-after-start") {
        options.closeUpdaterAfterStartinGame = ParseBool(arg, value());
      } else if (arg == "--jobs") {
        const int jobs = ParseInt(arg, value());
        if (jobs < 1) throw UsageError{"--jobs takes a positive number"};
        options.jobs = static_cast<unsigned>(jobs);
      } else if (arg.size() > 1 && arg[0] == '-') {
        throw UsageError{"unknown option " + arg};
      } else {
        positional.push_back(arg);
      }
    }
    if (positional.size() != 2) throw UsageError{"RELEASE_DIR and OUT_DIR are needed"};
    if (options.baseUrl.empty()) throw UsageError{"--base-url is needed"};
    options.releaseDir = positional[0];
    options.outDir = positional[1];
  } catch (const UsageError& error) {
    std::cerr << "kestrune-publish: " << error.text << "\n(kestrune-publish --help explains)\n";
    return 2;
  }

  const bool terminal = platform::StderrIsTerminal();
  auto progress = [](const kestrune::PublishProgress& p) {
    const double rate = p.seconds > 0 ? static_cast<double>(p.bytesDone) / p.seconds : 0;
    std::fprintf(stderr, "\r%zu/%zu files, %s of %s, %s/s   ", p.filesDone, p.filesTotal,
                 Megabytes(p.bytesDone).c_str(), Megabytes(p.bytesTotal).c_str(),
                 Megabytes(static_cast<std::uint64_t>(rate)).c_str());
    std::fflush(stderr);
  };
  try {
    const kestrune::PublishSummary s =
        terminal ? kestrune::Publish(options, progress) : kestrune::Publish(options);
    if (terminal) std::fputs("\n", stderr);
    std::printf(
        "%zu files: %zu packed (%s into %s), %zu unchanged, %zu dropped; %s %s, "
        "Settings.xml %s; %.1f s\n",
        s.files, s.packed, Megabytes(s.bytesIn).c_str(), Megabytes(s.bytesOut).c_str(), s.unchanged,
        s.dropped, options.critical ? kestrune::kCriticalPatchListName : kestrune::kPatchListName,
        s.listWritten ? "written" : "unchanged", s.settingsWritten ? "written" : "unchanged",
        s.seconds);
    return 0;
  } catch (const std::exception& error) {
    if (terminal) std::fputs("\n", stderr);
    std::fprintf(stderr, "kestrune-publish: %s\n", error.what());
    return 1;
  }
}
