#include "VersionDownloaderThread.h"

#include <cctype>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>

#include "Platform.h"
#include "PlatformText.h"
#include "http/HttpClient.h"
#include "sign/SignedRelease.h"

namespace kestrune {

namespace {

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

std::string InstallerScript(const std::string& profileFolder, const std::string& gameFolder,
                            const std::string& exeName) {
  const std::string q = "\"";
  const std::string newExe = profileFolder + "\\" + exeName;
  const std::string oldExe = gameFolder + "\\" + exeName;
  const std::string script = profileFolder + "\\Installer.cmd";
  const std::string lines[] = {
      "@echo off",
      "Timeout /t 2 /nobreak >nul",
      "move /Y " + q + newExe + q + " " + q + oldExe + q,
      "Timeout /t 1 /nobreak >nul",
      "start " + q + q + " " + q + oldExe + q,
      "del " + q + script + q,
      "pause",
  };
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return platform::ToCodePage866(text);
}

std::string InstallerShellScript(const std::string& newExe, const std::string& oldExe) {
  const std::string from = ShellQuote(newExe), to = ShellQuote(oldExe);
  return "#!/bin/sh\n"
         "# Waits for the old launcher to end, swaps the new one in and starts it.\n"
         "sleep 2\n"
         "chmod +x " +
         from + " && mv -f " + from + " " + to +
         "\n"
         "sleep 1\n"
         // Inherits this script's working directory: the old launcher's game folder.
         + to +
         " </dev/null >/dev/null 2>&1 &\n"
         "rm -f -- \"$0\"\n";
}

InstallerPaths BuildInstallerPaths(const LauncherSettings& settings) {
  const std::string profile = settings.dirUserProfile;
  const std::string game = platform::CurrentDirectory();
  InstallerPaths paths;
  paths.newExe = profile + platform::NativePath("\\" + settings.exeName);
  paths.oldExe = game + platform::NativePath("\\" + settings.exeName);
  paths.runningExe = game + platform::NativePath("\\" + platform::ExecutableFileName());
  paths.script = profile + platform::NativePath("\\Installer.cmd");
  paths.secondScript = profile + platform::NativePath("\\Installer.vbs");
  return paths;
}

bool MatchesAnnouncedDigest(const std::string& digest, const std::string& announced) {
  if (announced.size() != digest.size()) return false;
  for (std::size_t i = 0; i < announced.size(); ++i) {
    const char c = announced[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex || std::tolower(static_cast<unsigned char>(c)) != digest[i]) return false;
  }
  return true;
}

bool StartInstallerScript(const InstallerPaths& paths) {
  return platform::StartHandOverScript(paths.script,
                                       InstallerShellScript(paths.newExe, paths.runningExe));
}

void RunInstaller(LauncherInterface& launcher, const ScriptStarter& start) {
  const LauncherSettings& settings = launcher.settings();
  const InstallerPaths paths = BuildInstallerPaths(settings);
  try {
    if (platform::IsReadOnly(paths.oldExe)) platform::ClearReadOnly(paths.oldExe);
  } catch (const platform::SystemError&) {
    // The move then fails and the old launcher starts again: nothing to report here.
  }
  launcher.setStatus(msgRestarting);
  launcher.ShowStatus();
  platform::RemoveFile(paths.script);
  platform::RemoveFile(paths.secondScript);

  // Never a half-written script for the command interpreter to run.
  platform::ReplaceFileContents(
      paths.script,
      InstallerScript(settings.dirUserProfile, platform::CurrentDirectory(), settings.exeName));

  try {
    // Whether it started changes nothing: the window closes either way.
    static_cast<void>(start(paths));
  } catch (...) {
  }
  launcher.CloseWindow();
}

void VersionDownloader::Execute() {
  try {
    if (CheckVersion() && !Download()) return;  // a failed download leaves both bars full
    ShowStatus(msgCheckDone);
  } catch (...) {
    // A write or hand-over failure ends silently: status and layout stay as they were.
  }
  SetBar(Bar::File, 0);
  SetBar(Bar::Total, 0);
}

void VersionDownloader::EndOfWork() {
  launcher.SetCanUpdate(true);
}

bool VersionDownloader::CheckVersion() {
  const LauncherSettings& settings = launcher.settings();
  if (settings.currentUpdaterVersion >= settings.version) return false;
  launcher.setStatus(msgSelfUpdateWait);
  Synchronize([this] { launcher.ApplyBusyLayout(); });
  Synchronize([this] { launcher.ShowStatus(); });
  return true;
}

bool VersionDownloader::Download() {
  SetBar(Bar::File, 0);
  SetBar(Bar::Total, 0);
  totalprogressV = kBarWidth;

  const LauncherSettings& settings = launcher.settings();
  // Streamed to the profile folder under another name, so that a crash, a full disk or a
  // refused body never leaves a partial KestruneUpdater.exe for the script to install.
  NewLauncherFile file(settings.dirUserProfile + platform::NativePath("\\" + settings.exeName),
                       maxBodySize);
  std::string signature;
  if (!Fetch(file, signature) || !Acceptable(file, signature)) {
    file.Discard();
    Synchronize([this] { launcher.ApplyIdleLayout(); });
    ShowStatus(msgSelfUpdateError);
    SetBar(Bar::File, kBarWidth);
    SetBar(Bar::Total, kBarWidth);
    return false;
  }
  file.Commit();
  StepTotalBar();
  Synchronize([this] { handOver(); });
  return true;
}

bool VersionDownloader::Fetch(NewLauncherFile& file, std::string& signature) {
  std::ostream out(&file);
  auto http = std::make_unique<HttpClient>();
  http->UserAgent = kSelfUpdateUserAgent;
  // Closing the window disconnects it (Cancel never does), so that the close does not wait
  // for the transfer. The close asks for termination first: one that came before the
  // connection was attached is seen here instead.
  const Connection connection(*this, [&http] { http->Disconnect(); });
  if (TerminationRequested()) return false;
  const std::string& url = launcher.settings().updaterURL;
  if (launcher.settings().publicKey) {
    // First, before the bars follow a transfer: an unsigned launcher is not even downloaded.
    try {
      signature = GetBytes(*http, url + ".minisig", limits::kSignatureBody);
    } catch (const std::exception&) {
      return false;
    }
  }
  http->MaxBodySize = maxBodySize;
  http->WorkBegin = [this](HttpClient&, HttpClient::WorkMode, std::int64_t total) {
    HttpWorkBegin(total);
  };
  http->Work = [this](HttpClient&, HttpClient::WorkMode, std::int64_t count) { HttpWork(count); };
  http->WorkEnd = [](HttpClient&, HttpClient::WorkMode) {};
  try {
    // A body cut short of its announced length fails here too, so it never gets installed.
    http->GetToStream(url, out);
  } catch (const std::exception&) {
    if (file.writeError()) std::rethrow_exception(file.writeError());
    return false;
  }
  return true;
}

bool VersionDownloader::Acceptable(NewLauncherFile& file, const std::string& signature) {
  if (!file.LooksLikeExecutable()) return false;
  const LauncherSettings& settings = launcher.settings();
  const std::optional<std::string>& announced = settings.updaterSHA256;
  if (announced && !MatchesAnnouncedDigest(file.HexDigest(), *announced)) return false;
  if (!settings.publicKey) return true;
  try {
    // The signature API takes the data in memory: the part, at most maxBodySize, is read back.
    const minisign::ReleaseStamp stamp = VerifyRelease(
        *settings.publicKey, signature, file.Contents(), UrlFileName(settings.updaterURL));
    AcceptRelease(stamp, launcher.AcceptSerial(stamp.serial));
    return true;
  } catch (const ReleaseRefused&) {
    return false;
  } catch (const platform::SystemError&) {
    return false;
  }
}

void VersionDownloader::ShowStatus(std::int32_t code) {
  launcher.setStatus(code);
  Synchronize([this] { launcher.ShowStatus(); });
}

void VersionDownloader::SetBar(Bar bar, float width) {
  Synchronize([this, bar, width] { launcher.SetBarWidth(bar, width); });
}

void VersionDownloader::StepTotalBar() {
  const auto step = static_cast<float>(totalprogressV);
  Synchronize([this, step] {
    const float width = launcher.BarWidth(Bar::Total);
    if (width <= kBarWidth) launcher.SetBarWidth(Bar::Total, width + step);
  });
}

void VersionDownloader::HttpWorkBegin(std::int64_t expectedTotal) {
  SetBar(Bar::File, 0);
  filesize = expectedTotal;
}

void VersionDownloader::HttpWork(std::int64_t count) {
  nowsize = count;
  if (filesize == 0) return;
  const float width = static_cast<float>(nowsize) / (static_cast<float>(filesize) / kBarWidth);
  SetBar(Bar::File, width);
}

}  // namespace kestrune
