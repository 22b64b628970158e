// The headless launcher as a child process: what it prints and how it exits, against a real
// nginx serving a patch set made by kestrune-publish.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Headless.h"
#include "NginxServer.h"
#include "TestSupport.h"

namespace kestrune {
namespace {

using test::Bytes;

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

TEST(HeadlessChoice, FollowsTheSwitchAndTheDisplay) {
  struct Case {
    const char* headless;
    const char* display;
    const char* wayland;
    bool expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, true},
      {nullptr, ":0", nullptr, false},
      {nullptr, nullptr, "wayland-0", false},
      {"1", ":0", "wayland-0", true},
      {"0", ":0", nullptr, false},
      {"", nullptr, nullptr, true},
      {nullptr, "", "", true},
      {"yes", ":0", nullptr, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WantHeadless(c.headless, c.display, c.wayland), c.expected)
        << (c.headless ? c.headless : "-") << " " << (c.display ? c.display : "-") << " "
        << (c.wayland ? c.wayland : "-");
  }
}

// The progress line is what a terminal shows; with a stream standing in for it, the frame
// drawn first (frames are throttled afterwards) carries the bars, the transfer and the total.
TEST(ConsoleProgress, DrawsTheTransferBesideTheBarsAndClearsBeforeText) {
  std::ostringstream out, err;
  ConsoleView view(out, err, true);
  view.SetTransferText("0.5 of 2.0 MB");
  EXPECT_NE(err.str().find("file   0%  0.5 of 2.0 MB  total   0%"), std::string::npos) << err.str();
  view.SetStatusText("Extract : a.bin.lzma");
  EXPECT_EQ(out.str(), "Extract : a.bin.lzma\n");
  EXPECT_NE(err.str().rfind("\r\033[K"), std::string::npos) << "the line is cleared first";

  std::ostringstream quietOut, quietErr;
  ConsoleView quiet(quietOut, quietErr, false);
  quiet.SetTransferText("0.5 of 2.0 MB");
  quiet.SetBarWidth(Control::FileProgress, 100);
  EXPECT_EQ(quietErr.str(), "") << "nothing is drawn when stderr is no terminal";
}

class HeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const fs::path& p : {release(), www(), game()}) fs::create_directories(p);
  }

  void Serve(const std::string& serverDirectives = "") {
    test::NginxServer::Options options;
    options.root = www();
    options.serverDirectives = serverDirectives;
    nginx = std::make_unique<test::NginxServer>(tmp.path() / "nginx", options);
    ASSERT_TRUE(nginx->running());
    host = "127.0.0.1:" + std::to_string(nginx->port());
    const test::ChildResult r = test::RunChild(
        {KESTRUNE_PUBLISH, release().string(), www().string(), "--base-url", nginx->Url("")},
        tmp.path(), {}, tmp.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }

  fs::path release() const { return tmp.path() / "release"; }
  fs::path www() const { return tmp.path() / "www"; }
  fs::path game() const { return tmp.path() / "game"; }

  void Put(const fs::path& root, const std::string& name, const std::string& bytes) {
    fs::create_directories((root / name).parent_path());
    WriteFile((root / name).string(), bytes);
  }

  std::map<std::string, std::optional<std::string>> Env() const {
    return {{"KESTRUNE_HEADLESS", "1"},
            {"KESTRUNE_SETTINGS_HOST", host},
            {"XDG_CONFIG_HOME", (tmp.path() / "config").string()}};
  }
  test::ChildResult Launch() {
    return test::RunChild({KESTRUNE_UPDATER}, game(), Env(), tmp.path());
  }

  test::TempDir tmp;
  std::unique_ptr<test::NginxServer> nginx;
  std::string host;
};

TEST_F(HeadlessTest, UpdatesThenFindsEverythingUpToDate) {
  Put(release(), "a.txt", "alpha");
  Put(release(), "sub/b.bin", Bytes(9000, 1));
  Serve();

  const test::ChildResult first = Launch();
  EXPECT_EQ(first.exitCode, 0) << first.err;
  const std::vector<std::string> lines = first.OutLines();
  ASSERT_EQ(lines.size(), 8u) << first.out;
  EXPECT_EQ(lines[0], "Updater is ready to work.");
  EXPECT_EQ(lines[1], "Scan of files, please wait...");
  EXPECT_EQ(lines[7], "All files were successfully updated!");
  EXPECT_EQ(lines[6], lines[5]) << "the outcome shows the last text again";
  // The two files download and unpack side by side: each in its own order.
  std::vector<std::string> stage(lines.begin() + 2, lines.begin() + 6);
  const auto at = [&stage](const std::string& text) {
    return std::find(stage.begin(), stage.end(), text) - stage.begin();
  };
  EXPECT_LT(at("Download a.txt"), at("Extract : a.txt.lzma"));
  EXPECT_LT(at("Download b.bin"), at("Extract : b.bin.lzma"));
  std::sort(stage.begin(), stage.end());
  EXPECT_EQ(stage, (std::vector<std::string>{"Download a.txt", "Download b.bin",
                                             "Extract : a.txt.lzma", "Extract : b.bin.lzma"}));
  EXPECT_EQ(first.err, "");  // not a terminal: no progress line
  auto expectedTree = test::Tree(release());
  expectedTree["kestrune.lock"] = "";  // the patch run's lock file stays, empty
  EXPECT_EQ(test::Tree(game()), expectedTree);

  const test::ChildResult second = Launch();
  EXPECT_EQ(second.exitCode, 0);
  ASSERT_FALSE(second.OutLines().empty());
  EXPECT_EQ(second.OutLines().back(), "Your patch is up to date.");
}

TEST_F(HeadlessTest, OneMissingFileOnTheServerIsAnError) {
  Put(release(), "a.txt", "alpha");
  Put(release(), "b.txt", "beta");
  Serve();
  fs::remove(www() / "files" / "b.txt.lzma");

  const test::ChildResult r = Launch();
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_FALSE(r.OutLines().empty());
  EXPECT_EQ(r.OutLines().back(), "An error occurred, try again later.");
  EXPECT_EQ(ReadFile((game() / "a.txt").string()), "alpha");
  EXPECT_FALSE(fs::exists(game() / "b.txt"));
}

TEST_F(HeadlessTest, SettingsServerDownShowsTheMessageAndFails) {
  host = "127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
  const test::ChildResult r = Launch();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Error! Please try again later!1\n"), std::string::npos) << r.err;
}

TEST_F(HeadlessTest, InterruptDuringADownloadCancelsAndLeavesTheTarget) {
  Put(release(), "big.bin", Bytes(1 << 20, 2));
  Put(game(), "big.bin", "old content");
  Serve("    limit_rate 64k;");

  test::Child child({KESTRUNE_UPDATER}, game(), Env(), tmp.path());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (child.OutSoFar().find("Download big.bin\n") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto sent = std::chrono::steady_clock::now();
  child.Signal(SIGINT);
  const test::ChildResult r = child.Wait(std::chrono::seconds(10));

  EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(3));
  ASSERT_FALSE(r.OutLines().empty());
  EXPECT_EQ(r.OutLines().back(), "You canceled Updates.");
  // By name: the partial and its record stay for the next start to resume.
  auto tree = test::Tree(game());
  EXPECT_EQ(tree["big.bin"], "old content");
  std::set<std::string> names;
  for (const auto& [name, bytes] : tree) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"big.bin", "big.bin.lzma.part", "big.bin.lzma.part-info",
                                          "kestrune.lock"}));
}

// Two launchers started together on one game folder (the single-instance check is off) never
// patch it at the same time: each round, one run brings it up to date and the other, unable to
// take the folder's lock while the first downloads, ends with code 2 before it scans anything.
TEST_F(HeadlessTest, TwoLaunchersOnOneFolderTakeTurnsAndEveryFileEndsCorrect) {
  for (int i = 0; i < 2; ++i) {
    Put(release(), "part" + std::to_string(i) + ".bin", Bytes(160000, i));
  }
  Put(release(), "sub/small.txt", "small");
  // nginx sends a second's worth at once, then 32k/s: the parts download side by side for about
  // 4 s, so the first run still downloads when the second gives up waiting for the lock.
  Serve("    limit_rate 32k;");
  const std::vector<std::string> refused = {"Updater is ready to work.",
                                            "An error occurred, try again later."};
  auto expectedTree = test::Tree(release());
  expectedTree["kestrune.lock"] = "";

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    fs::remove_all(game());
    fs::create_directories(game());
    Put(game(), "part0.bin", "outdated");

    test::Child one({KESTRUNE_UPDATER}, game(), Env(), tmp.path());
    test::Child two({KESTRUNE_UPDATER}, game(), Env(), tmp.path());
    const test::ChildResult results[] = {one.Wait(std::chrono::seconds(30)),
                                         two.Wait(std::chrono::seconds(30))};

    int patched = 0;
    int locked = 0;
    for (const test::ChildResult& r : results) {
      if (r.exitCode == 0) {
        ++patched;
        ASSERT_FALSE(r.OutLines().empty());
        EXPECT_EQ(r.OutLines().back(), "All files were successfully updated!") << r.out << r.err;
      } else {
        ++locked;
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_EQ(r.OutLines(), refused) << "it scanned or fetched nothing";
      }
    }
    EXPECT_EQ(patched, 1);
    EXPECT_EQ(locked, 1);
    // By name only: the parts are too long to print.
    const auto tree = test::Tree(game());
    for (const auto& [name, bytes] : expectedTree) {
      EXPECT_TRUE(tree.count(name) != 0 && tree.at(name) == bytes) << name << " is wrong";
    }
    EXPECT_EQ(tree.size(), expectedTree.size());
  }
}

// What a terminal shows on its last line: the text after the last line end, after the last
// carriage return, without the erase-to-end sequences.
std::string LastScreenLine(const std::string& transcript) {
  std::string line = transcript.substr(transcript.rfind('\n') + 1);
  line = line.substr(line.rfind('\r') + 1);
  for (std::size_t at; (at = line.find("\033[K")) != std::string::npos;) line.erase(at, 3);
  return line;
}

// Waits up to ten seconds for `text` in what the child has written so far.
bool WaitForOutput(test::Child& child, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (child.OutSoFar().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// On a player's console the first Ctrl+C is answered while the worker is still stuck summing
// a file (a pipe that gives no bytes yet), not only once it gets round to looking.
TEST_F(HeadlessTest, OnATerminalTheFirstInterruptIsAnsweredAtOnce) {
  Put(release(), "slow.bin", "new content");
  Serve();
  ASSERT_EQ(::mkfifo((game() / "slow.bin").c_str(), 0644), 0);

  test::Child child({KESTRUNE_UPDATER}, game(), Env(), tmp.path(), test::Streams::Terminal);
  ASSERT_TRUE(WaitForOutput(child, "Scan of files, please wait...\n")) << child.OutSoFar();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  child.Signal(SIGINT);
  EXPECT_TRUE(WaitForOutput(child, "Cancelling the update, please wait...\n")) << child.OutSoFar();
  // Lets the worker go on, once it holds the FIFO open; a Cancel seen before the line never
  // opens it, and a blocking open here would then wait for good.
  for (int i = 0; i < 500; ++i) {
    const int fd = ::open((game() / "slow.bin").c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
      (void)!::write(fd, "old", 3);
      ::close(fd);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const test::ChildResult r = child.Wait(std::chrono::seconds(10));
  EXPECT_NE(r.exitCode, -1) << r.out;
  EXPECT_EQ(LastScreenLine(r.out), "") << r.out;
}

// A cancelled download on a terminal ends with its status line, and nothing drawn after it.
TEST_F(HeadlessTest, OnATerminalACancelledRunEndsOnAFinishedLine) {
  Put(release(), "big.bin", Bytes(1 << 20, 2));
  Serve("    limit_rate 64k;");

  test::Child child({KESTRUNE_UPDATER}, game(), Env(), tmp.path(), test::Streams::Terminal);
  ASSERT_TRUE(WaitForOutput(child, "Download big.bin\n")) << child.OutSoFar();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  child.Signal(SIGINT);
  const test::ChildResult r = child.Wait(std::chrono::seconds(10));

  EXPECT_EQ(r.exitCode, 2) << r.out;
  EXPECT_NE(r.out.find("Cancelling the update, please wait...\n"), std::string::npos) << r.out;
  const std::string last = "You canceled Updates.\n";
  const std::size_t at = r.out.rfind(last);
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_EQ(LastScreenLine(r.out.substr(0, at + last.size() - 1)), "You canceled Updates.");
  EXPECT_EQ(LastScreenLine(r.out), "") << r.out;
}

}  // namespace
}  // namespace kestrune
