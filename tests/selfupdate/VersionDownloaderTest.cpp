// The self-update worker against a scripted loopback server, and the hand-over on its own,
// with a fake launcher that records what they ask of the window.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "LoopbackServer.h"
#include "Platform.h"
#include "TestSupport.h"
#include "UiThread.h"
#include "VersionDownloaderThread.h"

#ifdef _WIN32
#include "WindowsSupport.h"
#else
#include "ResourceLimit.h"
#endif

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ReadFile;
using test::WriteFile;

// `size` bytes that this system would run: an ELF header (Windows: "MZ"), then reproducible
// noise.
std::string LauncherBytes(std::size_t size, unsigned seed) {
#ifdef _WIN32
  return "MZ" + Bytes(size - 2, seed);
#else
  return "\x7f"
         "ELF" +
         Bytes(size - 4, seed);
#endif
}

// How the launcher joins its paths, and this program's file name.
#ifdef _WIN32
constexpr const char* kSeparator = "\\";
constexpr const char* kTestProgram = "selfupdate_tests.exe";
#else
constexpr const char* kSeparator = "/";
constexpr const char* kTestProgram = "selfupdate_tests";
#endif

// What sha256sum says of `bytes`.
std::string Sha256Sum(const test::TempDir& tmp, const std::string& bytes) {
  const std::string path = tmp.file("to-hash");
  WriteFile(path, bytes);
  return test::CommandOutput("sha256sum '" + test::HostPath(path) + "'").substr(0, 64);
}

// Logs the calls in order ("busy", "idle", "status N", "show N" with the code shown, "file W",
// "total W", "close") and keeps the bars and the gate as the window would.
class FakeLauncher : public LauncherInterface {
 public:
  const LauncherSettings& settings() const override { return settings_; }
  UiThread& uiThread() override { return ui; }
  void setStatus(std::int32_t code) override {
    code_ = code;
    Log("status " + std::to_string(code));
  }
  std::int32_t getLanguage() const override { return 1; }
  void StoreCritical(std::int32_t) override { Log("critical"); }
  // Signatures are the headless tests' (a keyed launcher); no test here gives a key.
  bool AcceptSerial(std::uint64_t) override { return true; }
  void ShowStatus() override { Log("show " + std::to_string(code_.load())); }
  void SetStatusText(const std::string& text) override { Log("text " + text); }
  void ApplyIdleLayout() override {
    canUpdate = true;
    Log("idle");
  }
  void ApplyBusyLayout() override {
    canUpdate = false;
    Log("busy");
  }
  void SetCanUpdate(bool value) override { canUpdate = value; }
  void SetBarWidth(Bar bar, float width) override {
    (bar == Bar::File ? fileWidth : totalWidth) = width;
    if (bar == Bar::File) fileWidths.push_back(width);
    Log((bar == Bar::File ? "file " : "total ") + std::to_string(width));
  }
  float BarWidth(Bar bar) const override { return bar == Bar::File ? fileWidth : totalWidth; }
  void ShowMessage(const std::string&) override { Log("message"); }
  void StartClient() override { Log("client"); }
  void CloseWindow() override { Log("close"); }

  std::vector<std::string> Log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  bool Logged(const std::string& entry) const {
    for (const std::string& e : Log()) {
      if (e == entry) return true;
    }
    return false;
  }

  LauncherSettings settings_;
  PlainUiThread ui;
  std::atomic<float> fileWidth{-1};
  std::atomic<float> totalWidth{-1};
  std::vector<float> fileWidths;
  std::atomic<bool> canUpdate{false};

 private:
  void Log(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(entry);
  }
  std::atomic<std::int32_t> code_{-1};
  mutable std::mutex mutex_;
  std::vector<std::string> log_;
};

class VersionDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    profile = tmp.path() / "profile";
    fs::create_directories(profile);
    launcher.settings_.currentUpdaterVersion = 1;
    launcher.settings_.version = 2;
    launcher.settings_.exeName = "KestruneUpdater.exe";
    launcher.settings_.dirUserProfile = profile.string();
  }

  // Runs the worker to its end, serving its steps; the hand-over only records the file.
  void Run(const std::string& url) {
    launcher.settings_.updaterURL = url;
    auto worker = std::make_shared<VersionDownloader>(launcher);
    worker->handOver = [this] {
      handedOver = true;
      atHandOver = ReadFile((profile / "KestruneUpdater.exe").string());
      totalAtHandOver = launcher.totalWidth;
      profileAtHandOver = Listing();
    };
    worker->Start();
    launcher.ui.ServeUntil([&] { return worker->Finished(); });
  }

  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(profile))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempDir tmp;
  fs::path profile;
  FakeLauncher launcher;
  bool handedOver = false;
  std::string atHandOver;
  float totalAtHandOver = -1;
  std::vector<std::string> profileAtHandOver;
};

TEST_F(VersionDownloaderTest, DownloadFollowsTheFileBarAndReplacesAnEarlierFile) {
  const std::string body = LauncherBytes(1000000, 7);
  WriteFile((profile / "KestruneUpdater.exe").string(), "left by an earlier attempt");
  std::atomic<float> atHalf{-1};
  test::LoopbackServer server([&](test::LoopbackConnection& c, int) {
    c.ReadRequest();
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + body.substr(0, 500000));
    // The rest follows once the bar has reached half of its width (or could not, in 10 s): it
    // cannot get there before the client has taken the first half, nor pass it before the rest.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (launcher.fileWidth.load() < 204.5f && std::chrono::steady_clock::now() < deadline) {
      c.Sleep(std::chrono::milliseconds(1));
    }
    atHalf = launcher.fileWidth.load();
    c.Send(body.substr(500000));
  });
  Run(server.Url("/pts/KestruneUpdater.exe"));

  EXPECT_FLOAT_EQ(atHalf, 204.5f);
  ASSERT_TRUE(handedOver);
  EXPECT_TRUE(atHandOver == body) << "size at hand-over " << atHandOver.size();
  EXPECT_EQ(totalAtHandOver, 409.0f);
  EXPECT_EQ(profileAtHandOver, std::vector<std::string>{"KestruneUpdater.exe"});
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_NE(server.Requests()[0].find("\r\nUser-Agent: Qa7TzpLc2RbWk9YdGf4Hs\r\n"),
            std::string::npos)
      << server.Requests()[0];

  const std::vector<std::string> log = launcher.Log();
  ASSERT_GE(log.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 5),
            (std::vector<std::string>{"status 12", "busy", "show 12", "file 0.000000",
                                      "total 0.000000"}));
  // After the hand-over: status 1, then both bars empty.
  EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end()),
            (std::vector<std::string>{"status 1", "show 1", "file 0.000000", "total 0.000000"}));
  EXPECT_FLOAT_EQ(launcher.fileWidths.at(launcher.fileWidths.size() - 2), 409.0f);
  EXPECT_TRUE(launcher.canUpdate);
}

TEST_F(VersionDownloaderTest, WithoutADeclaredLengthTheFileBarStaysEmpty) {
  const std::string body = LauncherBytes(200000, 3);
  test::LoopbackServer server([&](test::LoopbackConnection& c, int) {
    c.ReadRequest();
    c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body.substr(0, 100000));
    c.Sleep(std::chrono::milliseconds(50));
    c.Send(body.substr(100000));
    c.Close();
  });
  Run(server.Url("/u.exe"));

  ASSERT_TRUE(handedOver);
  EXPECT_TRUE(atHandOver == body);
  for (const float w : launcher.fileWidths) EXPECT_EQ(w, 0.0f);
}

// A failed GET leaves the profile folder as it was: no partial file, no hand-over.
TEST_F(VersionDownloaderTest, FailedDownloadsShowTheErrorWithBothBarsFull) {
  struct Case {
    const char* name;
    std::function<void(test::LoopbackConnection&)> reply;
  };
  const Case cases[] = {
      {"404",
       [](test::LoopbackConnection& c) {
         c.Send(test::Response("HTTP/1.1 404 Not Found", "missing"));
       }},
      {"302",
       [](test::LoopbackConnection& c) {
         c.Send(test::Response("HTTP/1.1 302 Found", "", "Location: http://127.0.0.1:1/x\r\n"));
       }},
      {"short body",
       [](test::LoopbackConnection& c) {
         c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + Bytes(60000, 1));
         c.Close();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(profile);
    fs::create_directories(profile);
    launcher.fileWidths.clear();
    handedOver = false;
    test::LoopbackServer server([&](test::LoopbackConnection& conn, int) {
      conn.ReadRequest();
      c.reply(conn);
    });
    const std::size_t before = launcher.Log().size();
    Run(server.Url("/u.exe"));

    EXPECT_FALSE(handedOver);
    EXPECT_TRUE(Listing().empty());
    const std::vector<std::string> log = launcher.Log();
    const std::vector<std::string> tail(log.end() - 5, log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"idle", "status 11", "show 11", "file 409.000000",
                                              "total 409.000000"}));
    EXPECT_GT(log.size() - before, 5u);
    EXPECT_TRUE(launcher.canUpdate);
  }
}

// A body that is no launcher, or not the announced one, or larger than the cap takes the
// failure path and touches nothing: the launcher file already there stays as it was.
TEST_F(VersionDownloaderTest, RefusedBodiesLeaveTheLauncherFileAsItWas) {
  const std::string good = LauncherBytes(200000, 9);
  struct Case {
    const char* name;
    std::string reply;
    std::optional<std::string> announced;
    std::int64_t cap = 0;  // 0: the real one
    bool endless = false;  // then `reply` is the head only and the body never ends
  };
  const Case cases[] = {
      {"empty body", test::Response("HTTP/1.1 200 OK", ""), std::nullopt},
      {"HTML page",
       test::Response("HTTP/1.1 200 OK",
                      "<!DOCTYPE html><html><body>Service unavailable</body></html>",
                      "Content-Type: text/html\r\n"),
       std::nullopt},
      {"HTML page that names an ELF later",
       test::Response("HTTP/1.1 200 OK",
                      "<html>\x7f"
                      "ELF</html>"),
       std::nullopt},
      {"wrong updaterSHA256", test::Response("HTTP/1.1 200 OK", good), Sha256Sum(tmp, good + "x")},
      {"malformed updaterSHA256", test::Response("HTTP/1.1 200 OK", good),
       Sha256Sum(tmp, good).substr(0, 63) + "g"},
      {"updaterSHA256 with a blank", test::Response("HTTP/1.1 200 OK", good),
       " " + Sha256Sum(tmp, good)},
      {"empty updaterSHA256", test::Response("HTTP/1.1 200 OK", good), std::string()},
      {"announced length past the cap", test::Response("HTTP/1.1 200 OK", good), std::nullopt,
       100000},
      {"endless body past the cap",
       "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + LauncherBytes(65536, 2), std::nullopt,
       100000, true},
  };
  const fs::path target = profile / "KestruneUpdater.exe";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(profile);
    fs::create_directories(profile);
    WriteFile(target.string(), "the launcher of an earlier update");
    launcher.settings_.updaterSHA256 = c.announced;
    handedOver = false;
    std::atomic<bool> clientGaveUp{false};
    std::optional<test::LoopbackServer> server;
    server.emplace([&](test::LoopbackConnection& conn, int) {
      conn.ReadRequest();
      conn.Send(c.reply);
      // Until the client gives up, or far past any cap.
      for (int i = 0; c.endless && i < 1000; ++i) {
        if (conn.WaitForClientClose(std::chrono::milliseconds(5))) {
          clientGaveUp = true;
          break;
        }
        conn.Send(Bytes(65536, static_cast<unsigned>(i)));
      }
    });
    launcher.settings_.updaterURL = server->Url("/u.exe");
    auto worker = std::make_shared<VersionDownloader>(launcher);
    if (c.cap != 0) worker->maxBodySize = c.cap;
    worker->handOver = [this] { handedOver = true; };
    const std::size_t before = launcher.Log().size();
    worker->Start();
    launcher.ui.ServeUntil([&] { return worker->Finished(); });

    EXPECT_FALSE(handedOver);
    EXPECT_EQ(Listing(), std::vector<std::string>{"KestruneUpdater.exe"});
    EXPECT_EQ(ReadFile(target.string()), "the launcher of an earlier update");
    const std::vector<std::string> log = launcher.Log();
    ASSERT_GE(log.size() - before, 5u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 5, log.end()),
              (std::vector<std::string>{"idle", "status 11", "show 11", "file 409.000000",
                                        "total 409.000000"}));
    EXPECT_TRUE(launcher.canUpdate);
    server.reset();  // its script has ended
    EXPECT_EQ(clientGaveUp, c.endless);
  }
  launcher.settings_.updaterSHA256.reset();
}

// The announced SHA-256, in either case, lets the right body through byte for byte.
TEST_F(VersionDownloaderTest, TheAnnouncedDigestLetsTheRightBodyThrough) {
  const std::string body = LauncherBytes(300000, 4);
  const std::string digest = Sha256Sum(tmp, body);
  ASSERT_EQ(digest.size(), 64u);
  std::string upper = digest;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  for (const std::string& announced : {digest, upper}) {
    SCOPED_TRACE(announced);
    fs::remove_all(profile);
    fs::create_directories(profile);
    handedOver = false;
    launcher.settings_.updaterSHA256 = announced;
    test::LoopbackServer server([&](test::LoopbackConnection& c, int) {
      c.ReadRequest();
      c.Send(test::Response("HTTP/1.1 200 OK", body));
    });
    Run(server.Url("/u.exe"));
    ASSERT_TRUE(handedOver);
    EXPECT_TRUE(atHandOver == body) << "size at hand-over " << atHandOver.size();
    EXPECT_EQ(profileAtHandOver, std::vector<std::string>{"KestruneUpdater.exe"});
  }
}

// A write that fails (a full disk, an earlier download another program holds open without
// sharing, or a folder named KestruneUpdater.exe in the way) leaves no half-written executable
// and no partial file, and the window keeps the busy layout.
TEST_F(VersionDownloaderTest, AFailedWriteEndsSilentlyAndLeavesNoPartialFile) {
  const std::string body = LauncherBytes(200000, 5);
  const fs::path target = profile / "KestruneUpdater.exe";
  enum class Failure { FullDisk, Held, FolderInTheWay };
#ifdef _WIN32
  // Windows has no RLIMIT_FSIZE for a full disk.
  const Failure failures[] = {Failure::Held, Failure::FolderInTheWay};
#else
  const Failure failures[] = {Failure::FullDisk, Failure::FolderInTheWay};
#endif
  for (const Failure failure : failures) {
    const bool earlier = failure != Failure::FolderInTheWay;
    SCOPED_TRACE(failure == Failure::FullDisk ? "full disk"
                 : failure == Failure::Held   ? "held"
                                              : "folder in the way");
    fs::remove_all(profile);
    fs::create_directories(profile);
    if (earlier) {
      WriteFile(target.string(), "earlier download");
    } else {
      fs::create_directories(target / "in the way");
    }
    test::LoopbackServer server([&](test::LoopbackConnection& c, int) {
      c.ReadRequest();
      c.Send(test::Response("HTTP/1.1 200 OK", body));
    });
    const std::size_t before = launcher.Log().size();
    {
#ifdef _WIN32
      std::optional<test::HeldWithoutSharing> held;
      if (failure == Failure::Held) held.emplace(target);
#else
      std::optional<test::ResourceLimit> limit;
      if (failure == Failure::FullDisk) limit.emplace(RLIMIT_FSIZE, 65536);
#endif
      Run(server.Url("/u.exe"));
    }

    EXPECT_FALSE(handedOver);
    EXPECT_EQ(Listing(), std::vector<std::string>{"KestruneUpdater.exe"});
    if (earlier) {
      EXPECT_EQ(ReadFile(target.string()), "earlier download");
    }
    const std::vector<std::string> all = launcher.Log();
    const std::vector<std::string> log(all.begin() + static_cast<std::ptrdiff_t>(before),
                                       all.end());
    for (const char* absent : {"idle", "status 1", "total 409.000000"}) {
      EXPECT_EQ(std::count(log.begin(), log.end(), absent), 0) << absent;
    }
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
              (std::vector<std::string>{"file 0.000000", "total 0.000000"}));
    EXPECT_TRUE(launcher.canUpdate);
  }
}

TEST_F(VersionDownloaderTest, NotNewerDownloadsNothingAndResetsTheBars) {
  launcher.settings_.currentUpdaterVersion = 2;
  test::LoopbackServer server([](test::LoopbackConnection& c, int) { c.ReadRequest(); });
  Run(server.Url("/u.exe"));

  EXPECT_EQ(server.Connections(), 0);
  EXPECT_EQ(launcher.Log(),
            (std::vector<std::string>{"status 1", "show 1", "file 0.000000", "total 0.000000"}));
  EXPECT_TRUE(launcher.canUpdate);
}

// RunInstaller with the starter replaced, so that no script runs.
class RunInstallerTest : public VersionDownloaderTest {
 protected:
  void SetUp() override {
    VersionDownloaderTest::SetUp();
    game = tmp.path() / "game";
    fs::create_directories(game);
    saved = fs::current_path();
    fs::current_path(game);
  }
  void TearDown() override { fs::current_path(saved); }

  fs::path game, saved;
};

TEST_F(RunInstallerTest, WritesTheScriptAnewStartsItAndCloses) {
  const std::string oldExe = (game / "KestruneUpdater.exe").string();
  WriteFile(oldExe, "old");
  fs::permissions(oldExe, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  ASSERT_TRUE(platform::IsReadOnly(oldExe));
  WriteFile((profile / "Installer.cmd").string(), "stale");
  WriteFile((profile / "Installer.vbs").string(), "left by anything else");

  std::vector<InstallerPaths> started;
  RunInstaller(launcher, [&](const InstallerPaths& paths) {
    started.push_back(paths);
    return true;
  });

  EXPECT_FALSE(platform::IsReadOnly(oldExe));
  EXPECT_FALSE(fs::exists(profile / "Installer.vbs"));
  const std::string p = profile.string(), g = fs::current_path().string();
  const std::string script = ReadFile((profile / "Installer.cmd").string());
  EXPECT_NE(script.find("\r\nmove /Y \"" + p + "\\KestruneUpdater.exe\" \"" + g +
                        "\\KestruneUpdater.exe\"\r\n"),
            std::string::npos)
      << script;
  EXPECT_EQ(script.substr(0, 11), "@echo off\r\n");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].script, p + kSeparator + "Installer.cmd");
  EXPECT_EQ(started[0].newExe, p + kSeparator + "KestruneUpdater.exe");
  EXPECT_EQ(started[0].runningExe, g + kSeparator + kTestProgram);
  EXPECT_EQ(launcher.Log(), (std::vector<std::string>{"status 13", "show 13", "close"}));
}

TEST_F(RunInstallerTest, ClosesEvenWhenTheScriptDidNotStart) {
  RunInstaller(launcher, [](const InstallerPaths&) { return false; });
  EXPECT_TRUE(fs::exists(profile / "Installer.cmd"));
  EXPECT_EQ(launcher.Log().back(), "close");
}

#ifndef _WIN32
// The script goes under its name only once it is whole: a write the disk refuses part way
// (RLIMIT_FSIZE, POSIX only) leaves no Installer.cmd (nor a temporary file) for anything to run.
TEST_F(RunInstallerTest, AScriptTheDiskRefusesPartWayIsNeverInPlace) {
  bool started = false;
  {
    test::ResourceLimit limit(RLIMIT_FSIZE, 64);
    EXPECT_THROW(RunInstaller(launcher,
                              [&](const InstallerPaths&) {
                                started = true;
                                return true;
                              }),
                 platform::SystemError);
  }
  EXPECT_FALSE(started);
  EXPECT_TRUE(Listing().empty());
}
#endif

TEST_F(RunInstallerTest, AnUnwritableScriptKeepsTheWindowOpen) {
  launcher.settings_.dirUserProfile = (tmp.path() / "no such folder").string();
  bool started = false;
  EXPECT_THROW(RunInstaller(launcher,
                            [&](const InstallerPaths&) {
                              started = true;
                              return true;
                            }),
               platform::SystemError);
  EXPECT_FALSE(started);
  EXPECT_EQ(launcher.Log(), (std::vector<std::string>{"status 13", "show 13"}));
}

}  // namespace
}  // namespace kestrune
