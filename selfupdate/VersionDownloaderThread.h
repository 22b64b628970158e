#pragma once
// VersionDownloader, the self-update worker: downloads a newer launcher into the user's profile
// folder and hands over to the replacement script, which swaps it in and restarts the launcher.

#include <cstdint>
#include <functional>
#include <string>

#include "Limits.h"
#include "NewLauncherFile.h"
#include "Worker.h"

namespace kestrune {

class HttpClient;

// Sent as the User-Agent of the download of the new launcher.
inline constexpr const char* kSelfUpdateUserAgent = "Qa7TzpLc2RbWk9YdGf4Hs";

// The bytes of Installer.cmd: seven lines, each ending in CR LF, in code page 866 without a
// byte-order mark ("?" for every character the code page lacks). `profileFolder` and
// `gameFolder` are joined to `exeName` with "\" and inserted unescaped between quotes.
std::string InstallerScript(const std::string& profileFolder, const std::string& gameFolder,
                            const std::string& exeName);

// The POSIX shell equivalent of Installer.cmd: after 2 s moves `newExe` (made executable) over
// `oldExe`, after 1 s starts `oldExe` detached in the script's working directory, then deletes
// the script itself ("$0"). Both paths are quoted for the shell.
std::string InstallerShellScript(const std::string& newExe, const std::string& oldExe);

// The native paths of one hand-over, built from the launcher state and the working directory.
struct InstallerPaths {
  std::string newExe;  // the download, in the profile folder
  std::string oldExe;  // working directory + exeName, as Installer.cmd names it
  // Working directory + the running executable's own file name: what the shell script
  // replaces, since a POSIX launcher is not called exeName.
  std::string runningExe;
  std::string script;        // Installer.cmd
  std::string secondScript;  // Installer.vbs, only ever deleted
};
InstallerPaths BuildInstallerPaths(const LauncherSettings& settings);

// Whether `digest` (64 lower-case hexadecimal digits) is `announced`, a SHA-256 in
// hexadecimal digits of either case; an announced value of any other form matches nothing.
bool MatchesAnnouncedDigest(const std::string& digest, const std::string& announced);

// Starts the hand-over script written at paths.script; false when it did not start.
using ScriptStarter = std::function<bool(const InstallerPaths& paths)>;
// platform::StartHandOverScript, with the shell equivalent for systems without batch files.
bool StartInstallerScript(const InstallerPaths& paths);

// The hand-over, on the user-interface thread: makes the old executable writable, shows status
// 13, writes Installer.cmd anew (removing Installer.vbs), starts it through `start` and closes
// the window whether or not it started. Throws when the script cannot be written; the window
// then stays open.
void RunInstaller(LauncherInterface& launcher, const ScriptStarter& start = StartInstallerScript);

class VersionDownloader : public Worker {
 public:
  explicit VersionDownloader(LauncherInterface& launcher) : Worker(launcher, "kestrune-update") {}

  // The hand-over step, run on the user-interface thread once the new executable is in place;
  // RunInstaller unless a test replaces it before Start().
  std::function<void()> handOver = [this] { RunInstaller(launcher); };
  // The largest body taken as the new launcher; a test may lower it before Start().
  std::int64_t maxBodySize = limits::kUpdaterBody;

 protected:
  void Execute() override;
  // Opens the start gate again; the layout stays as the body left it.
  void EndOfWork() override;

 private:
  bool CheckVersion();
  // False when the GET failed or its body is no launcher (the failure steps have run);
  // throws when the disk refused the file.
  bool Download();
  // False when the GET of the body, or of its signature (fetched first into `signature`,
  // when the launcher has a key), failed; throws when the disk refused a write.
  bool Fetch(NewLauncherFile& file, std::string& signature);
  // Whether the body may replace the launcher: an executable of this system, with the
  // SHA-256 that the settings announce when they announce one and, when the launcher has a
  // key, signed by it for the last part of updaterURL with a serial it accepts.
  bool Acceptable(NewLauncherFile& file, const std::string& signature);
  void ShowStatus(std::int32_t code);
  void SetBar(Bar bar, float width);
  void StepTotalBar();

  void HttpWorkBegin(std::int64_t expectedTotal);
  void HttpWork(std::int64_t count);

  // 64-bit, so that a body of 2 GiB or more does not wrap the bar.
  std::int64_t filesize = 0;
  std::int64_t nowsize = 0;
  double totalprogressV = 0;
};

}  // namespace kestrune
