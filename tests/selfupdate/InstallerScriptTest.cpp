// The replacement scripts as text: Installer.cmd byte for byte, and the POSIX shell script
// run for real (with the waits skipped) on awkward paths.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "ScopedEnv.h"
#include "TestSupport.h"
#include "VersionDownloaderThread.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

TEST(InstallerScript, WorkedExampleMatchesTheHandWrittenFile) {
  const std::string expected = ReadFile(KESTRUNE_TEST_DATA "/selfupdate/Installer.cmd");
  ASSERT_EQ(expected.size(), 244u);  // the fixture itself came through checkout unchanged
  EXPECT_EQ(InstallerScript("C:\\Users\\player", "D:\\Games\\Client", "KestruneUpdater.exe"),
            expected);
}

// Each line spelled out by hand; only the folders differ from case to case.
TEST(InstallerScript, PathsAreQuotedAsGivenAndEncodedInCp866) {
  struct Case {
    const char* name;
    std::string profile;  // UTF-8, as the launcher holds it
    std::string game;
    std::string profileBytes;  // the same folder in code page 866
    std::string gameBytes;
  };
  const Case cases[] = {
      {"blank", "C:\\Users\\player one", "D:\\Games\\Client", "C:\\Users\\player one",
       "D:\\Games\\Client"},
      // И в а н, and Ё (0xF0), in the DOS Cyrillic code page.
      {"cyrillic", "C:\\Users\\Иван", "D:\\Игры\\Ёж", "C:\\Users\\\x88\xA2\xA0\xAD",
       "D:\\\x88\xA3\xE0\xEB\\\xF0\xA6"},
      // ë, a CJK letter and a four-byte character are not in the code page: one "?" each.
      {"outside", "C:\\Users\\Zoë", "D:\\游戏\\\U0001F3AE", "C:\\Users\\Zo?", "D:\\??\\?"},
  };
  for (const Case& c : cases) {
    const std::string p = c.profileBytes, g = c.gameBytes;
    const std::string expected =
        "@echo off\r\n"
        "Timeout /t 2 /nobreak >nul\r\n"
        "move /Y \"" +
        p + "\\KestruneUpdater.exe\" \"" + g +
        "\\KestruneUpdater.exe\"\r\n"
        "Timeout /t 1 /nobreak >nul\r\n"
        "start \"\" \"" +
        g +
        "\\KestruneUpdater.exe\"\r\n"
        "del \"" +
        p +
        "\\Installer.cmd\"\r\n"
        "pause\r\n";
    EXPECT_EQ(InstallerScript(c.profile, c.game, "KestruneUpdater.exe"), expected) << c.name;
  }
}

#ifndef _WIN32
// The shell script is the POSIX hand-over; Windows runs Installer.cmd (the end-to-end run).
// Runs the shell script as the hand-over would, with a `sleep` on PATH that returns at once.
TEST(InstallerShellScript, SwapsStartsInItsFolderAndDeletesItself) {
  test::TempDir tmp;
  const fs::path profile = tmp.path() / "pro'file $HOME";
  const fs::path game = tmp.path() / "game \"dir\"";
  const fs::path bin = tmp.path() / "bin";
  for (const fs::path& p : {profile, game, bin}) fs::create_directories(p);
  WriteFile((bin / "sleep").string(), "#!/bin/sh\nexit 0\n");
  fs::permissions(bin / "sleep", fs::perms::owner_all);
  test::ScopedEnv path("PATH", bin.string() + ":" + std::getenv("PATH"));

  const std::string marker = (tmp.path() / "ran").string();
  const std::string newExe = (profile / "KestruneUpdater.exe").string();
  const std::string oldExe = (game / "KestruneUpdater").string();
  const std::string stand =
      "#!/bin/sh\npwd > '" + marker + ".tmp' && mv '" + marker + ".tmp' '" + marker + "'\n";
  WriteFile(newExe, stand);  // written without the executable bit, like the download
  WriteFile(oldExe, "old launcher");
  const std::string script = (profile / "Installer.sh").string();
  WriteFile(script, InstallerShellScript(newExe, oldExe));

  const fs::path saved = fs::current_path();
  fs::current_path(game);
  std::string quoted = "'";
  for (const char c : script) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  const int rc = std::system(("/bin/sh " + quoted + "'").c_str());
  fs::current_path(saved);
  ASSERT_EQ(rc, 0);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!fs::exists(marker) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(fs::exists(marker)) << "the new launcher did not run";
  EXPECT_EQ(ReadFile(marker), game.string() + "\n");
  EXPECT_EQ(ReadFile(oldExe), stand);
  EXPECT_EQ(::access(oldExe.c_str(), X_OK), 0);
  EXPECT_FALSE(fs::exists(newExe));
  EXPECT_FALSE(fs::exists(script));
}

#endif

}  // namespace
}  // namespace kestrune
