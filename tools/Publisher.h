#pragma once
// The publisher: turns a release folder into what the launcher reads from a static web server:
// one .lzma per file under files/, the patch list, and pts/Settings.xml.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sign/Minisign.h"

namespace kestrune {

// Which of the two patch lists a run writes; they share files/.
enum class PatchLists { Both, NormalOnly, CriticalOnly };

struct PublishOptions {
  std::string releaseDir;
  std::string outDir;
  // Where outDir is served (absolute http or https); the settings document points at it.
  std::string baseUrl;
  PatchLists lists = PatchLists::Both;
  // Plans the run (the summary's names) and writes nothing.
  bool dryRun = false;
  int preset = 6;                    // liblzma preset 0..9
  std::int32_t version = 1;          // not negative
  std::int32_t criticalVersion = 1;  // not negative
  std::string updaterUrl;  // absolute http or https; empty: baseUrl + "KestruneUpdater.exe"
  // The new launcher: its SHA-256 goes into Settings.xml as updaterSHA256, and without an
  // updaterUrl it is copied to outDir/KestruneUpdater.exe. Empty: none, no digest.
  std::string updaterFile;
  bool autoStartClient = false;
  bool doubleRunCheck = false;
  bool closeUpdaterAfterStartinGame = false;
  unsigned jobs = 0;  // 0: one per hardware thread
  // Earlier release folders: every file that differs from its namesake in one of them gets a
  // delta from it, kept when it is below half the file's .lzma.
  std::vector<std::string> deltaFrom;
  // Signs the lists, the settings document and the new launcher, all with one new serial;
  // nullopt: no signatures are written.
  std::optional<minisign::SecretKey> signingKey;
};

struct PublishProgress {
  std::size_t filesDone = 0;
  std::size_t filesTotal = 0;
  std::uint64_t bytesDone = 0;
  std::uint64_t bytesTotal = 0;
  double seconds = 0;
};

struct PublishSummary {
  std::size_t files = 0;
  std::size_t packed = 0;
  std::size_t unchanged = 0;
  std::size_t dropped = 0;
  std::uint64_t bytesIn = 0;   // of the packed files
  std::uint64_t bytesOut = 0;  // their .lzma files (0 in a dry run)
  // Names as the lists write them: what was (in a dry run: would be) packed, kept, dropped.
  std::vector<std::string> packedNames;
  std::vector<std::string> unchangedNames;
  std::vector<std::string> droppedNames;
  // The deltas the lists name (a dry run: those it would try), as "NAME from CRC", and how
  // many of them this run wrote, with their bytes.
  std::vector<std::string> deltaNames;
  std::size_t deltasWritten = 0;
  std::uint64_t deltaBytes = 0;
  // The lists this run wrote and then pts/Settings.xml, each with whether its content changed.
  struct Output {
    std::string name;
    bool written = false;
  };
  std::vector<Output> outputs;
  // A list the settings document names that outDir does not hold; empty when both are there.
  std::string missingList;
  // A signed run: its serial and its signatures (in a dry run: those it would write), paths
  // relative to outDir ("pts/Settings.xml.minisig"). 0 and none when unsigned.
  std::uint64_t serial = 0;
  std::vector<std::string> signatures;
  // An unsigned run: the signatures of an earlier signed run beside files this run changed,
  // which no longer match them.
  std::vector<std::string> staleSignatures;
  // A signed run: files the settings document names that the run leaves as they are (the
  // list left alone, an earlier run's KestruneUpdater.exe) and that no signature of this key
  // vouches for, so they stay unsigned.
  std::vector<std::string> unsignedFiles;
  // A signed run whose settings document announces a version above 1 but which signs no new
  // launcher: a keyed launcher older than that refuses the update (its signature is missing or
  // carries an older serial).
  bool launcherUnsigned = false;
  double seconds = 0;
};

// A failure that ends the run; the message names the path or option concerned.
class PublishError : public std::runtime_error {
 public:
  enum class Kind {
    BadOptions,  // options or folders that cannot make a working patch set
    Refused,     // release files the launcher could not handle, or unreadable ones
    Failed,      // reading, packing or writing failed
  };
  PublishError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// The file names of the two lists and the folder of the .lzma files, relative to outDir.
inline constexpr const char* kPatchListName = "patchlist.xml";
inline constexpr const char* kCriticalPatchListName = "criticalpatchlist.xml";
inline constexpr const char* kFilesFolder = "files";
// The new launcher's name in outDir, where the default updater URL points.
inline constexpr const char* kUpdaterName = "KestruneUpdater.exe";

// Text for an XML attribute value or element content in double quotes: the five markup
// characters as entities, characters beyond ASCII as &#N; (what the launcher's reader decodes
// whatever the transfer does to the bytes). Throws PublishError for text that is not UTF-8,
// holds a control character or a character above U+FFFE.
std::string EscapeXml(std::string_view utf8);

// The settings document for `options`; with `updaterSha256` (the new launcher's SHA-256 in
// hexadecimal) it carries updaterSHA256 too.
std::string SettingsXml(const PublishOptions& options, const std::string& updaterSha256 = {});

// Publishes; `progress` (may be empty) is called from the calling thread now and then.
// Throws PublishError; output files are then either complete or untouched. Every refused
// release path is named in the one error, one a line.
PublishSummary Publish(const PublishOptions& options,
                       const std::function<void(const PublishProgress&)>& progress = {});

}  // namespace kestrune
