// kestrune-publish: the command-line front of the publisher.

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Platform.h"
#include "Publisher.h"
#include "SigningKeys.h"

namespace {

constexpr const char* kUsage =
    R"(Usage: kestrune-publish RELEASE_DIR OUT_DIR --base-url URL [options]
       kestrune-publish keygen [--unencrypted | --passphrase-file FILE] PUBLIC_FILE SECRET_FILE

Writes the patch set of the game files in RELEASE_DIR to OUT_DIR, ready for a static
web server that serves OUT_DIR at URL:
  OUT_DIR/files/NAME.lzma     each file, LZMA-compressed, sub-folders mirrored
  OUT_DIR/patchlist.xml       the patch list of the Start and Update buttons
  OUT_DIR/criticalpatchlist.xml  the critical patch list of the launcher's start-up
  OUT_DIR/pts/Settings.xml    the launcher's settings, pointing at the above
Both lists name the same files; --critical or --normal writes only one of them.
Point the launcher's settings host at the server (KESTRUNE_SETTINGS_HOST=HOST:PORT).

Runs are incremental: files whose CRC-32, size and SHA-256 match a previous patch
list, and whose .lzma still has the listed packed size, are not packed again, and
outputs whose content would not change are not rewritten.
Files gone from the release are dropped from files/ unless a list left alone names them.

Options:
  --base-url URL             where OUT_DIR is served, http:// or https:// (required)
  --critical                 write only criticalpatchlist.xml
  --normal                   write only patchlist.xml
  --dry-run                  print what would be packed, kept and dropped; write nothing
  -0 .. -9                   compression preset (default -6)
  --version N                newest launcher version, 0 or more (default 1: no self-update)
  --critical-version N       stored by the launcher after a critical update, 0 or more
                             (default 1)
  --updater-url URL          the new launcher executable, http:// or https://
                             (default URL/KestruneUpdater.exe)
  --updater FILE             the new launcher: Settings.xml gets its SHA-256 as
                             updaterSHA256, which the launcher requires of the download;
                             copied to OUT_DIR/KestruneUpdater.exe unless --updater-url
                             points elsewhere (then only hashed: upload that same file)
  --auto-start-client BOOL   start the client after a critical update (default false)
  --double-run-check BOOL    allow only one running launcher (default false)
  --close-after-start BOOL   close the launcher once the client starts (default false)
  --jobs N                   packing threads (default: one per core)
  --delta-from DIR           an earlier release folder (repeatable): each file that differs
                             from its namesake there also gets OUT_DIR/files/NAME.CRC.zst,
                             the new file as a Zstandard delta from the old one (CRC the
                             old file's CRC-32), kept when below half of its .lzma; the
                             lists name it, and launchers at that release fetch it instead
  --sign SECRET_FILE         sign with this minisign secret key: writes FILE.minisig
                             beside patchlist.xml, criticalpatchlist.xml (the lists
                             written) and pts/Settings.xml, and with --updater the
                             launcher's: OUT_DIR/KestruneUpdater.exe.minisig, or, when
                             --updater-url points elsewhere, OUT_DIR/NAME.minisig (NAME
                             the URL's last part), to be uploaded beside the launcher,
                             at the updater URL + ".minisig". All signatures of a run
                             carry one new release serial, one above the last, kept in
                             OUT_DIR/.kestrune-serial ("file:NAME serial:N time:T")
  --passphrase-file FILE     the secret key's passphrase is the first line of FILE
  --help                     this text
BOOL is true/false, yes/no or 1/0.

keygen writes a new key pair that minisign reads too: the public key (PUBLIC_FILE, by
convention NAME.pub) and the secret key (SECRET_FILE, NAME.key, readable by you alone),
and prints the line to build the launcher with (-DKESTRUNE_PUBLIC_KEY=...). It never
overwrites a file. The secret key is encrypted with a passphrase unless --unencrypted
(for a CI secret store) is given.
The passphrase (for keygen and for --sign with an encrypted key) is the first line of
--passphrase-file FILE, else the value of KESTRUNE_SIGN_PASSPHRASE, else asked at the
terminal without echo (keygen asks twice).
Writing only one list warns when OUT_DIR lacks the other, which Settings.xml names.
Exit code 0 on success; 1 on failure, naming every refused path (a name the launcher
cannot handle, an unreadable file or folder); 2 on bad usage (options, URLs, negative
versions, a release and output folder that are the same or one inside the other, no
passphrase to be had).
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

// "512.0 KB" under 1 MB, else "3.2 MB".
std::string Size(std::uint64_t bytes) {
  char text[32];
  const double b = static_cast<double>(bytes);
  if (bytes < 1000000) {
    std::snprintf(text, sizeof text, "%.1f KB", b / 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", b / 1e6);
  }
  return text;
}

void PrintPlan(const kestrune::PublishSummary& s) {
  for (const std::string& name : s.packedNames) std::printf("pack %s\n", name.c_str());
  for (const std::string& name : s.unchangedNames) std::printf("keep %s\n", name.c_str());
  for (const std::string& name : s.droppedNames) std::printf("drop %s\n", name.c_str());
  for (const std::string& name : s.deltaNames) std::printf("delta %s\n", name.c_str());
}

// kestrune-publish keygen ...: exit code 0, 1 (refused or failed) or 2 (bad usage).
int Keygen(int argc, char** argv) {
  bool unencrypted = false;
  std::string passphraseFile;
  std::vector<std::string> positional;
  try {
    for (int i = 2; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--help" || arg == "-h") {
        std::cout << kUsage;
        return 0;
      } else if (arg == "--unencrypted") {
        unencrypted = true;
      } else if (arg == "--passphrase-file") {
        if (i + 1 >= argc) throw UsageError{arg + " needs a value"};
        passphraseFile = argv[++i];
      } else if (arg.size() > 1 && arg[0] == '-') {
        throw UsageError{"unknown option " + arg};
      } else {
        positional.push_back(arg);
      }
    }
    if (positional.size() != 2) throw UsageError{"keygen needs PUBLIC_FILE and SECRET_FILE"};
    if (unencrypted && !passphraseFile.empty()) {
      throw UsageError{"--unencrypted and --passphrase-file exclude each other"};
    }
  } catch (const UsageError& error) {
    std::cerr << "kestrune-publish: " << error.text << "\n(kestrune-publish --help explains)\n";
    return 2;
  }
  try {
    std::optional<std::string> passphrase;
    if (!unencrypted) passphrase = kestrune::ObtainPassphrase(passphraseFile, true);
    const std::string line = kestrune::GenerateKeyFiles(positional[0], positional[1], passphrase);
    std::printf("public key %s, secret key %s (%s)\n-DKESTRUNE_PUBLIC_KEY=%s\n",
                positional[0].c_str(), positional[1].c_str(),
                unencrypted ? "unencrypted" : "encrypted with the passphrase", line.c_str());
    return 0;
  } catch (const kestrune::PublishError& error) {
    std::fprintf(stderr, "kestrune-publish: %s\n", error.what());
    return error.kind() == kestrune::PublishError::Kind::BadOptions ? 2 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kestrune-publish: %s\n", error.what());
    return 1;
  }
}

std::string Joined(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
  return joined;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "keygen") return Keygen(argc, argv);
  kestrune::PublishOptions options;
  std::string signKeyFile, passphraseFile;
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
      } else if (arg == "--critical" || arg == "--normal") {
        const auto only = arg == "--critical" ? kestrune::PatchLists::CriticalOnly
                                              : kestrune::PatchLists::NormalOnly;
        if (options.lists != kestrune::PatchLists::Both && options.lists != only) {
          throw UsageError{
              "--critical and --normal exclude each other (give neither for both lists)"};
        }
        options.lists = only;
      } else if (arg == "--dry-run") {
        options.dryRun = true;
      } else if (arg.size() == 2 && arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9') {
        options.preset = arg[1] - '0';
      } else if (arg == "--version") {
        options.version = ParseInt(arg, value());
      } else if (arg == "--critical-version") {
        options.criticalVersion = ParseInt(arg, value());
      } else if (arg == "--updater-url") {
        options.updaterUrl = value();
      } else if (arg == "--updater") {
        options.updaterFile = value();
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
      } else if (arg == "--delta-from") {
        options.deltaFrom.push_back(value());
      } else if (arg == "--sign") {
        signKeyFile = value();
      } else if (arg == "--passphrase-file") {
        passphraseFile = value();
      } else if (arg.size() > 1 && arg[0] == '-') {
        throw UsageError{"unknown option " + arg};
      } else {
        positional.push_back(arg);
      }
    }
    if (positional.size() != 2) throw UsageError{"RELEASE_DIR and OUT_DIR are needed"};
    if (!passphraseFile.empty() && signKeyFile.empty()) {
      throw UsageError{"--passphrase-file is for --sign"};
    }
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
                 Size(p.bytesDone).c_str(), Size(p.bytesTotal).c_str(),
                 Size(static_cast<std::uint64_t>(rate)).c_str());
    std::fflush(stderr);
  };
  try {
    // Before any packing: a wrong passphrase costs no time.
    if (!signKeyFile.empty()) {
      options.signingKey = kestrune::LoadSecretKey(signKeyFile, [&] {
        return kestrune::ObtainPassphrase(passphraseFile, false,
                                          "Passphrase of " + signKeyFile + ": ");
      });
    }
    const kestrune::PublishSummary s =
        terminal ? kestrune::Publish(options, progress) : kestrune::Publish(options);
    if (terminal) std::fputs("\n", stderr);
    std::string outputs;
    for (const auto& output : s.outputs) {
      outputs += (outputs.empty() ? "" : ", ") + output.name +
                 (output.written ? (options.dryRun ? " to write" : " written") : " unchanged");
    }
    if (!s.signatures.empty()) {
      outputs += std::string(options.dryRun ? "; to sign" : "; signed") + " with serial " +
                 std::to_string(s.serial) + ": " + Joined(s.signatures);
    }
    if (options.dryRun) {
      PrintPlan(s);
      std::printf(
          "dry run, nothing written: %zu files: %zu to pack (%s), %zu unchanged, %zu to drop; %s\n",
          s.files, s.packed, Size(s.bytesIn).c_str(), s.unchanged, s.dropped, outputs.c_str());
    } else {
      std::printf("%zu files: %zu packed (%s into %s), %zu unchanged, %zu dropped; %s; %.1f s\n",
                  s.files, s.packed, Size(s.bytesIn).c_str(), Size(s.bytesOut).c_str(), s.unchanged,
                  s.dropped, outputs.c_str(), s.seconds);
      if (!options.deltaFrom.empty()) {
        std::printf("%zu deltas listed, %zu written (%s)\n", s.deltaNames.size(), s.deltasWritten,
                    Size(s.deltaBytes).c_str());
      }
    }
    if (!s.staleSignatures.empty()) {
      std::fprintf(stderr,
                   "kestrune-publish: warning: signatures that no longer match the files this run "
                   "changed: %s; a launcher built with a public key refuses these files until "
                   "you publish with --sign\n",
                   Joined(s.staleSignatures).c_str());
    }
    if (!s.unsignedFiles.empty()) {
      std::fprintf(stderr,
                   "kestrune-publish: warning: left as they are, without a signature of this "
                   "key: %s (in %s); a launcher built with the key refuses them until they are "
                   "published again with --sign\n",
                   Joined(s.unsignedFiles).c_str(), options.outDir.c_str());
    }
    if (s.launcherUnsigned) {
      std::fprintf(stderr,
                   "kestrune-publish: warning: Settings.xml announces version %d, but this run "
                   "signs no launcher; a launcher built with the key and older than that "
                   "refuses the update unless the launcher's signature carries serial %llu: "
                   "give --updater FILE\n",
                   options.version, static_cast<unsigned long long>(s.serial));
    }
    if (!s.missingList.empty()) {
      std::fprintf(stderr,
                   "kestrune-publish: warning: Settings.xml names %s, which %s does not hold; "
                   "the launcher cannot use the patch set until it is published too\n",
                   s.missingList.c_str(), options.outDir.c_str());
    }
    return 0;
  } catch (const kestrune::PublishError& error) {
    if (terminal) std::fputs("\n", stderr);
    std::fprintf(stderr, "kestrune-publish: %s\n", error.what());
    if (error.kind() == kestrune::PublishError::Kind::BadOptions) {
      std::fputs("(kestrune-publish --help explains)\n", stderr);
      return 2;
    }
    return 1;
  } catch (const std::exception& error) {
    if (terminal) std::fputs("\n", stderr);
    std::fprintf(stderr, "kestrune-publish: %s\n", error.what());
    return 1;
  }
}
