// The two launcher executables: the console one loads no GUI library, and the window one,
// started without a display, runs the same console front end.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "ChildProcess.h"
#include "NginxServer.h"
#include "TestSupport.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

// Every shared object the dynamic loader initialised in a run of `executable` (its LD_DEBUG
// trace, which also covers whatever is opened later by dlopen), by file name. The run fetches
// settings from a port nothing listens on, so it goes through start-up and ends.
std::set<std::string> LoadedLibraries(const std::string& executable, const fs::path& scratch) {
  fs::create_directories(scratch / "game");
  const test::ChildResult r = test::RunChild(
      {executable}, scratch / "game",
      {{"LD_DEBUG", "libs"},
       {"KESTRUNE_HEADLESS", "1"},
       {"KESTRUNE_SETTINGS_HOST", "127.0.0.1:" + std::to_string(test::FreeLoopbackPort())},
       {"XDG_CONFIG_HOME", (scratch / "config").string()}},
      scratch);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("Error! Please try again later!1"), std::string::npos) << r.err;
  std::set<std::string> names;
  const std::regex init("calling init: (\\S+)");
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, init)) names.insert(fs::path(m[1].str()).filename().string());
  }
  return names;
}

std::set<std::string> GuiLibraries(const std::set<std::string>& names) {
  const std::regex gui("lib(Qt|X11|xcb|GL|EGL|fontconfig).*");
  std::set<std::string> found;
  for (const std::string& n : names) {
    if (std::regex_match(n, gui)) found.insert(n);
  }
  return found;
}

std::string Join(const std::set<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += n + " ";
  return text;
}

TEST(ConsoleExecutable, LoadsNoGuiLibraryWhereTheWindowOneLoadsQt) {
  test::TempDir tmp;
  const std::set<std::string> console = LoadedLibraries(KESTRUNE_UPDATER, tmp.path() / "console");
  // The trace is read at all: the HTTP library is there.
  EXPECT_TRUE(std::any_of(console.begin(), console.end(), [](const std::string& n) {
    return n.rfind("libcurl", 0) == 0;
  })) << Join(console);
  EXPECT_EQ(GuiLibraries(console), std::set<std::string>{}) << Join(console);

  const std::set<std::string> window =
      LoadedLibraries(KESTRUNE_WINDOW_UPDATER, tmp.path() / "window");
  EXPECT_TRUE(GuiLibraries(window).count("libQt6Widgets.so.6")) << Join(window);
}

// No KESTRUNE_HEADLESS and no display (the child's environment drops DISPLAY and
// WAYLAND_DISPLAY): the window executable patches from the console.
TEST(WindowExecutable, WithoutADisplayPatchesHeadless) {
  test::TempDir tmp;
  const fs::path release = tmp.path() / "release", www = tmp.path() / "www",
                 game = tmp.path() / "game";
  for (const fs::path& p : {release, www, game}) fs::create_directories(p);
  test::WriteFile((release / "a.txt").string(), "alpha");
  test::NginxServer nginx(tmp.path() / "nginx", {.root = www});
  ASSERT_TRUE(nginx.running());
  const test::ChildResult published = test::RunChild(
      {KESTRUNE_PUBLISH, release.string(), www.string(), "--base-url", nginx.Url("")}, tmp.path(),
      {}, tmp.path());
  ASSERT_EQ(published.exitCode, 0) << published.err;

  const test::ChildResult r =
      test::RunChild({KESTRUNE_WINDOW_UPDATER}, game,
                     {{"KESTRUNE_HEADLESS", std::nullopt},
                      {"KESTRUNE_SETTINGS_HOST", "127.0.0.1:" + std::to_string(nginx.port())},
                      {"XDG_CONFIG_HOME", (tmp.path() / "config").string()}},
                     tmp.path());
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ASSERT_FALSE(r.OutLines().empty());
  EXPECT_EQ(r.OutLines().front(), "Updater is ready to work.");
  EXPECT_EQ(r.OutLines().back(), "All files were successfully updated!");
  EXPECT_EQ(test::ReadFile((game / "a.txt").string()), "alpha");
}

}  // namespace
}  // namespace kestrune
