#pragma once
// The publisher: turns a release folder into what the launcher reads from a static web server:
// one .lzma per file under files/, the patch list, and pts/Settings.xml.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestrune {

struct PublishOptions {
  std::string releaseDir;
  std::string outDir;
  // Where outDir is served; the settings document points at it.
  std::string baseUrl;
  // Writes criticalpatchlist.xml instead of patchlist.xml.
  bool critical = false;
  int preset = 6;  // liblzma preset 0..9
  std::int32_t version = 1;
  std::int32_t criticalVersion = 1;
  std::string updaterUrl;  // empty: baseUrl + "KestruneUpdater.exe"
  bool autoStartClient = false;
  bool doubleRunCheck = false;
  bool closeUpdaterAfterStartinGame = false;
  unsigned jobs = 0;  // 0: one per hardware thread
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
  std::uint64_t bytesOut = 0;  // their .lzma files
  bool listWritten = false;
  bool settingsWritten = false;
  double seconds = 0;
};

// A failure that ends the run; the message names the path concerned.
class PublishError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file names of the two lists and the folder of the .lzma files, relative to outDir.
inline constexpr const char* kPatchListName = "patchlist.xml";
inline constexpr const char* kCriticalPatchListName = "criticalpatchlist.xml";
inline constexpr const char* kFilesFolder = "files";

// Text for an XML attribute value or element content in double quotes: the five markup
// characters as entities, characters beyond ASCII as &#N; (what the launcher's reader decodes
// whatever the transfer does to the bytes). Throws PublishError for text that is not UTF-8,
// holds a control character or a character above U+FFFE.
std::string EscapeXml(std::string_view utf8);

// The settings document for `options`.
std::string SettingsXml(const PublishOptions& options);

// Publishes; `progress` (may be empty) is called from the calling thread now and then.
// Throws PublishError; output files are then either complete or untouched.
PublishSummary Publish(const PublishOptions& options,
                       const std::function<void(const PublishProgress&)>& progress = {});

}  // namespace kestrune
