// A real self-update on POSIX: the launcher, run headless from a game folder, finds version 2
// announced by a real nginx, downloads the stand-in new launcher, hands over and exits; the
// shell script then swaps the stand-in in and starts it there.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "NginxServer.h"
#include "TestSupport.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// Each executable replaces itself: the one of its own name in the game folder.
class SelfUpdateEndToEnd : public ::testing::TestWithParam<const char*> {};

TEST_P(SelfUpdateEndToEnd, NewLauncherReplacesTheOldOneAndStartsInTheGameFolder) {
  const std::string launcher = GetParam();
  test::TempDir tmp;
  const fs::path www = tmp.path() / "www", game = tmp.path() / "game",
                 profile = tmp.path() / "home";
  for (const fs::path& p : {www / "pts", game, profile}) fs::create_directories(p);
  const std::string marker = (tmp.path() / "started").string();
  // Records its working directory; written then renamed so the test never reads half a line.
  const std::string standIn =
      "#!/bin/sh\npwd > '" + marker + ".tmp' && mv '" + marker + ".tmp' '" + marker + "'\n";
  WriteFile((www / "KestruneUpdater.exe").string(), standIn);
  // The settings vouch for it, as the publisher's --updater makes them.
  const std::string digest =
      test::CommandOutput("sha256sum '" + (www / "KestruneUpdater.exe").string() + "'")
          .substr(0, 64);

  test::NginxServer::Options options;
  options.root = www;
  test::NginxServer nginx(tmp.path() / "nginx", options);
  ASSERT_TRUE(nginx.running());
  WriteFile((www / "pts" / "Settings.xml").string(),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Settings>\n"
            "  <version>2</version>\n"
            "  <patchlistURL>" +
                nginx.Url("/none.xml") +
                "</patchlistURL>\n"
                "  <criticalPatchlistURL>" +
                nginx.Url("/none.xml") +
                "</criticalPatchlistURL>\n"
                "  <patchListFolder>" +
                nginx.Url("/files/") +
                "</patchListFolder>\n"
                "  <updaterURL>" +
                nginx.Url("/KestruneUpdater.exe") +
                "</updaterURL>\n"
                "  <updaterSHA256>" +
                digest +
                "</updaterSHA256>\n"
                "  <criticalVersion>0</criticalVersion>\n"
                "  <autoStartClient>false</autoStartClient>\n"
                "  <doubleRunCheck>false</doubleRunCheck>\n"
                "  <closeUpdaterAfterStartinGame>false</closeUpdaterAfterStartinGame>\n"
                "</Settings>\n");

  const test::ChildResult r =
      test::RunChild({launcher}, game,
                     {{"KESTRUNE_HEADLESS", "1"},
                      {"KESTRUNE_SETTINGS_HOST", "127.0.0.1:" + std::to_string(nginx.port())},
                      {"USERPROFILE", profile.string()},
                      {"HOME", profile.string()},
                      {"XDG_CONFIG_HOME", (tmp.path() / "config").string()},
                      {"XDG_RUNTIME_DIR", tmp.path().string()}},
                     tmp.path());
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("The program restart now."), std::string::npos) << r.out;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!fs::exists(marker) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(fs::exists(marker)) << "the new launcher was not started";
  EXPECT_EQ(ReadFile(marker), fs::canonical(game).string() + "\n");
  const fs::path installed = game / fs::path(launcher).filename();
  EXPECT_EQ(ReadFile(installed.string()), standIn);
  EXPECT_EQ(::access(installed.c_str(), X_OK), 0);
  EXPECT_FALSE(fs::exists(profile / "KestruneUpdater.exe"));
  // The script deletes itself as its last step, just after starting the new launcher.
  while (fs::exists(profile / "Installer.sh") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(fs::exists(profile / "Installer.sh"));
  EXPECT_TRUE(fs::exists(profile / "Installer.cmd"));
}

INSTANTIATE_TEST_SUITE_P(Executables, SelfUpdateEndToEnd,
                         ::testing::Values(KESTRUNE_UPDATER, KESTRUNE_CONSOLE_UPDATER),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           return info.index == 0 ? std::string("Window") : std::string("Console");
                         });

}  // namespace
}  // namespace kestrune
