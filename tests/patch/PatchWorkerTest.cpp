// The patch worker end to end: a real nginx on loopback serves a patch list and .lzma files made
// here, the worker brings a temporary game folder (the working directory) into line, and the
// calls it makes on the launcher are recorded.

#include <gtest/gtest.h>
#include <lzma.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "LauncherTestSupport.h"
#include "LoopbackServer.h"
#include "LzmaEncode.h"
#include "MainForm.h"
#include "NginxServer.h"
#include "ScopedEnv.h"
#include "SmallFileSystem.h"
#include "TestSupport.h"
#include "ThreadManager.h"
#include "UiThread.h"

namespace kestrune {
namespace {

using test::Bytes;

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// The CRC-32 as the patch list writes it, computed by zlib, not by the code under test.
std::string IndependentCrc(const std::string& path) {
  std::string out = test::CommandOutput(
      "python3 -c 'import sys,zlib; "
      "print(\"%08X\" % (zlib.crc32(open(sys.argv[1],\"rb\").read()) & 0xFFFFFFFF))' '" +
      path + "'");
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// The SHA-256 as the publisher writes it, computed by sha256sum.
std::string IndependentSha256(const std::string& path) {
  return test::CommandOutput("sha256sum '" + path + "' | cut -c1-64 | tr -d '\\n'");
}

// A LauncherInterface over a real TFormUpdater that logs the worker's calls in order and lets
// a test act on the user-interface thread when one arrives.
class RecordingLauncher : public LauncherInterface {
 public:
  explicit RecordingLauncher(TFormUpdater& form) : form_(form) {}

  const LauncherSettings& settings() const override { return form_.settings(); }
  UiThread& uiThread() override { return form_.uiThread(); }
  void setStatus(std::int32_t code) override {
    Log("status " + std::to_string(code));
    form_.setStatus(code);
  }
  std::int32_t getLanguage() const override { return form_.getLanguage(); }
  void StoreCritical(std::int32_t value) override {
    Log("critical " + std::to_string(value));
    form_.StoreCritical(value);
  }
  bool AcceptSerial(std::uint64_t serial) override { return form_.AcceptSerial(serial); }
  void ShowStatus() override {
    Log("show");
    form_.ShowStatus();
  }
  void SetStatusText(const std::string& text) override {
    Log("text " + text);
    form_.SetStatusText(text);
  }
  void ApplyIdleLayout() override {
    Log("idle");
    form_.ApplyIdleLayout();
  }
  void ApplyBusyLayout() override {
    Log("busy");
    form_.ApplyBusyLayout();
  }
  void SetCanUpdate(bool value) override { form_.SetCanUpdate(value); }
  void SetBarWidth(Bar bar, float width) override {
    barLog.emplace_back(bar, width);
    Log(std::string(bar == Bar::File ? "file " : "total ") + std::to_string(width));
    form_.SetBarWidth(bar, width);
  }
  float BarWidth(Bar bar) const override { return form_.BarWidth(bar); }
  void ShowMessage(const std::string& text) override {
    Log("message " + text);
    form_.ShowMessage(text);
  }
  void StartClient() override {
    Log("client");
    form_.StartClient();
  }
  void CloseWindow() override { form_.CloseWindow(); }

  std::vector<std::string> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  bool Has(const std::string& event) {
    for (const auto& e : Events()) {
      if (e == event) return true;
    }
    return false;
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const auto& e : Events()) {
      if (e.rfind("text ", 0) == 0) texts.push_back(e.substr(5));
    }
    return texts;
  }

  std::function<void(const std::string&)> onEvent;
  std::vector<std::pair<Bar, float>> barLog;

 private:
  void Log(const std::string& event) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
    }
    if (onEvent) onEvent(event);
  }

  TFormUpdater& form_;
  std::mutex mutex_;
  std::vector<std::string> events_;
};

struct PatchFile {
  PatchFile(std::string name, std::string content, bool serve = true, std::string original = {})
      : name(std::move(name)), content(std::move(content)), serve(serve), original(original) {}
  std::string name;      // as in the patch list, "\" separated
  std::string content;   // what the server's .lzma unpacks to
  bool serve;            // whether the .lzma is on the server
  std::string original;  // the list's checksum; empty: the content's CRC-32
};

class PatchWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The worker's client start is recorded by RecordingLauncher; nothing is really opened.
    form.shellOpen = [](const std::string&, const std::string&) { return true; };
    fs::create_directories(www());
    fs::create_directories(game());
    env.Set("XDG_CONFIG_HOME", tmp.file("config"));
    StartNginx("");
    oldCwd = fs::current_path();
    fs::current_path(game());
    form.language = 1;
    form.canUpdate = true;
    form.RegistreD = platform::UserKey::OpenOrCreate(kSettingsKeyPath);
  }
  void TearDown() override { fs::current_path(oldCwd); }

  void StartNginx(const std::string& serverDirectives, const std::string& httpDirectives = "") {
    nginx.reset();
    test::NginxServer::Options options;
    options.root = www();
    options.serverDirectives = serverDirectives;
    options.httpDirectives = httpDirectives;
    nginx = std::make_unique<test::NginxServer>(tmp.path() / "nginx", options);
    ASSERT_TRUE(nginx->running());
    form.patchlist = nginx->Url("/list.xml");
    form.criticalPatchlist = nginx->Url("/critical.xml");
    form.patchListFolder = nginx->Url("/files/");
  }

  fs::path www() const { return tmp.path() / "www"; }
  fs::path game() const { return tmp.path() / "game"; }
  static std::string Native(const std::string& name) { return platform::NativePath(name); }
  std::string GameFile(const std::string& name) const { return (game() / Native(name)).string(); }

  // Publishes `files` (list and .lzma files) under `listName`.
  void Publish(const std::vector<PatchFile>& files, const std::string& listName = "list.xml") {
    std::string xml = "<?xml version=\"1.0\"?>\n<patch>\n";
    for (const PatchFile& f : files) {
      std::string original = f.original;
      if (original.empty()) {
        const std::string probe = tmp.file("probe");
        WriteFile(probe, f.content);
        original = IndependentCrc(probe);
      }
      xml += "  <archive filename=\"" + f.name + "\" original=\"" + original + "\"/>\n";
      if (f.serve) {
        const fs::path lzma = www() / "files" / Native(f.name + ".lzma");
        fs::create_directories(lzma.parent_path());
        WriteFile(lzma.string(), test::EncodeLzmaAlone(f.content));
      }
    }
    xml += "</patch>\n";
    WriteFile((www() / listName).string(), xml);
  }

  // Runs one worker to its end, serving its steps here; `cancelWhen` may ask for a Cancel
  // (termination request plus disconnect, as the window's Cancel does) after a step.
  void Run(bool critical = false) {
    worker = std::make_shared<ThreadForDownLoad>(launcher);
    worker->critical = critical;
    std::atomic<bool> cancelled{false};
    worker->Start();
    ui.ServeUntil([&] {
      if (cancelNow && !cancelled) {
        cancelled = true;
        worker->RequestTermination();
        worker->DisconnectHttp();
      }
      return worker->Finished();
    });
  }

  // `content` as a .lzma made by xz, an encoder independent of the code under test.
  std::string XzLzma(const std::string& content) const {
    const std::string probe = tmp.file("xz-probe");
    WriteFile(probe, content);
    return test::CommandOutput("xz --format=lzma -6 -c '" + probe + "'");
  }

  // What a publisher would write about `content`: CRC-32, size and SHA-256 (independently
  // computed), and the size of `lzma`.
  struct Vouched {
    std::string original, size, packed, sha256;
  };
  Vouched VouchFor(const std::string& content, const std::string& lzma) const {
    const std::string probe = tmp.file("vouch-probe");
    WriteFile(probe, content);
    return {IndependentCrc(probe), std::to_string(content.size()), std::to_string(lzma.size()),
            IndependentSha256(probe)};
  }

  static std::string Archive(const std::string& name, const Vouched& v) {
    return "  <archive filename=\"" + name + "\" original=\"" + v.original + "\" size=\"" + v.size +
           "\" packed=\"" + v.packed + "\" sha256=\"" + v.sha256 + "\"/>\n";
  }
  void WriteList(const std::string& archives) const {
    WriteFile((www() / "list.xml").string(),
              "<?xml version=\"1.0\"?>\n<patch>\n" + archives + "</patch>\n");
  }
  void Serve(const std::string& name, const std::string& lzma) const {
    fs::create_directories(www() / "files");
    WriteFile((www() / "files" / (name + ".lzma")).string(), lzma);
  }

  // Every file of the game folder with its content.
  std::map<std::string, std::string> GameFolder() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(game())) {
      if (entry.is_regular_file()) {
        files[fs::relative(entry.path(), game()).string()] = ReadFile(entry.path().string());
      }
    }
    return files;
  }

  std::vector<std::string> LzmaLeftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(game())) {
      if (entry.path().extension() == ".lzma") found.push_back(entry.path().string());
    }
    return found;
  }

  test::TempDir tmp;
  test::ScopedEnv env;
  std::unique_ptr<test::NginxServer> nginx;
  fs::path oldCwd;
  PlainUiThread ui;
  test::RecordingView view;
  TFormUpdater form{view, ui};
  RecordingLauncher launcher{form};
  std::shared_ptr<ThreadForDownLoad> worker;
  std::atomic<bool> cancelNow{false};
};

TEST_F(PatchWorkerTest, UpToDateFolderEndsWithCode7AndNoCriticalTail) {
  const std::vector<PatchFile> files = {{"a.dat", "alpha"}, {"sub\\b.dat", Bytes(5000, 1)}};
  Publish(files, "critical.xml");
  WriteFile(GameFile("a.dat"), "alpha");
  fs::create_directories(game() / "sub");
  WriteFile(GameFile("sub\\b.dat"), Bytes(5000, 1));
  form.autoStartClient = true;
  form.runnedFromExe = true;
  form.criticalVersion = 9;

  Run(true);

  EXPECT_EQ(form.messageId, msgUpToDate);
  EXPECT_FALSE(launcher.Has("client"));
  EXPECT_FALSE(launcher.Has("critical 9"));
  EXPECT_FALSE(form.RegistreD.ReadNumber("Critical").has_value());
  EXPECT_EQ(view.statusTexts.back(), "Your patch is up to date.") << "final status line";
  EXPECT_TRUE(form.canUpdate);
}

TEST_F(PatchWorkerTest, MissingFilesInNewSubdirectoriesLandByteExact) {
  const std::vector<PatchFile> files = {{"system\\data\\deep.bin", Bytes(70000, 2)},
                                        {"top.txt", "top level\r\n"},
                                        {"system\\x & y.cfg", "amp"}};
  Publish(files);
  // The ampersand goes through the list as an entity reference.
  std::string xml = ReadFile((www() / "list.xml").string());
  xml.replace(xml.find("x & y"), 5, "x &amp; y");
  WriteFile((www() / "list.xml").string(), xml);
  // One file made by an independent encoder.
  WriteFile(tmp.file("top.txt"), "top level\r\n");
  test::CommandOutput("lzma_alone e '" + tmp.file("top.txt") + "' '" +
                      (www() / "files/top.txt.lzma").string() + "' >/dev/null 2>&1");

  Run();

  for (const PatchFile& f : files) EXPECT_EQ(ReadFile(GameFile(f.name)), f.content) << f.name;
  EXPECT_EQ(form.messageId, msgAllUpdated);
  EXPECT_TRUE(LzmaLeftovers().empty());
  const auto texts = launcher.Texts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Download deep.bin"), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Extract : deep.bin.lzma"), texts.end());
}

TEST_F(PatchWorkerTest, ChangedReadOnlyLowerCaseAndDirectoryCases) {
  const std::string fresh = Bytes(3000, 3);
  const std::string probe = tmp.file("probe");
  WriteFile(probe, "same");
  std::string lower = IndependentCrc(probe);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_NE(lower, IndependentCrc(probe)) << "the checksum needs a hex letter for this case";
  Publish({{"changed.dat", fresh},
           {"locked.dat", fresh},
           {"lower.dat", "same", true, lower},
           {"dir.dat", "was a folder"}});
  WriteFile(GameFile("changed.dat"), "old content");
  WriteFile(GameFile("locked.dat"), "old locked");
  fs::permissions(GameFile("locked.dat"), fs::perms::owner_read);
  WriteFile(GameFile("lower.dat"), "same");
  fs::create_directories(game() / "dir.dat");

  Run();

  EXPECT_EQ(ReadFile(GameFile("changed.dat")), fresh);
  EXPECT_EQ(ReadFile(GameFile("locked.dat")), "old locked");
  EXPECT_EQ(ReadFile(GameFile("lower.dat")), "same");
  const auto texts = launcher.Texts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Download lower.dat"), texts.end())
      << "a lower-case checksum never matches";
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "Download locked.dat"), texts.end());
  // A directory where the file should be is queued; unpacking over it fails.
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Download dir.dat"), texts.end());
  EXPECT_EQ(form.messageId, msgError);

  // The lower-case entry is fetched again on the next run too.
  fs::remove(game() / "dir.dat");
  Run();
  EXPECT_EQ(ReadFile(GameFile("dir.dat")), "was a folder");
  const auto again = launcher.Texts();
  EXPECT_EQ(std::vector<std::string>(again.begin() + texts.size(), again.end()),
            (std::vector<std::string>{"Scan of files, please wait...", "Download lower.dat",
                                      "Extract : lower.dat.lzma", "Download dir.dat",
                                      "Extract : dir.dat.lzma", "Extract : dir.dat.lzma"}));
  EXPECT_EQ(form.messageId, msgAllUpdated);
}

TEST_F(PatchWorkerTest, A404AmongThreeUpdatesTheOthersEndsWithCode2AndIsQueuedAgain) {
  Publish({{"one.dat", "1"}, {"two.dat", "2", false}, {"three.dat", "3"}}, "critical.xml");
  form.autoStartClient = true;
  form.runnedFromExe = true;

  Run(true);

  EXPECT_EQ(ReadFile(GameFile("one.dat")), "1");
  EXPECT_EQ(ReadFile(GameFile("three.dat")), "3");
  EXPECT_FALSE(fs::exists(GameFile("two.dat")));
  EXPECT_TRUE(LzmaLeftovers().empty()) << "the failed transfer's .lzma is removed";
  EXPECT_EQ(form.messageId, msgError);
  EXPECT_FALSE(launcher.Has("client")) << "no critical tail after a failure";
  EXPECT_FALSE(form.RegistreD.ReadNumber("Critical").has_value());
  EXPECT_FLOAT_EQ(form.BarWidth(Bar::Total), 0.0f);

  const std::size_t before = launcher.Texts().size();
  Run(true);
  const auto texts = launcher.Texts();
  EXPECT_EQ(std::vector<std::string>(texts.begin() + before, texts.end()),
            (std::vector<std::string>{"Scan of files, please wait...", "Download two.dat",
                                      "Download two.dat"}));
  EXPECT_EQ(view.statusTexts.back(), "An error occurred, try again later.");
}

TEST_F(PatchWorkerTest, ACorruptLzmaLeavesTheTargetUnchanged) {
  Publish({{"c.dat", Bytes(20000, 4)}});
  std::string lzma = ReadFile((www() / "files/c.dat.lzma").string());
  lzma.resize(lzma.size() / 2);
  WriteFile((www() / "files/c.dat.lzma").string(), lzma);
  WriteFile(GameFile("c.dat"), "previous");

  Run();

  EXPECT_EQ(ReadFile(GameFile("c.dat")), "previous");
  EXPECT_TRUE(LzmaLeftovers().empty());
  EXPECT_EQ(form.messageId, msgError);
}

TEST_F(PatchWorkerTest, OnlyDataTheListVouchesForIsInstalled) {
  const std::string good = Bytes(90000, 11), other = Bytes(90000, 12);
  // Each case: what the server's .lzma unpacks to, and what the list says of the file.
  const std::string goodLzma = XzLzma(good), otherLzma = XzLzma(other);
  const Vouched forGood = VouchFor(good, goodLzma), forOther = VouchFor(other, otherLzma);
  Vouched rightCrcWrongSha = forOther;
  rightCrcWrongSha.sha256 = forGood.sha256;
  Vouched shortSize = forGood;
  shortSize.size = std::to_string(good.size() - 1);
  Vouched badSha = forGood;
  badSha.sha256 = "not-a-digest";
  std::string list;
  list += Archive("good.dat", forGood);
  list += Archive("crc.dat", forGood);           // serves other: CRC, size and SHA-256 all differ
  list += Archive("sha.dat", rightCrcWrongSha);  // serves other: right CRC and size
  list += Archive("size.dat", shortSize);        // the header announces one byte more
  list += Archive("bad.dat", badSha);
  // The plain form, as lists were before: the CRC-32 alone still decides.
  list += "  <archive filename=\"plain.dat\" original=\"" + forGood.original + "\"/>\n";
  list += "  <archive filename=\"plainbad.dat\" original=\"" + forGood.original + "\"/>\n";
  WriteList(list);
  for (const std::string name : {"good.dat", "size.dat", "bad.dat", "plain.dat"}) {
    Serve(name, goodLzma);
  }
  for (const std::string name : {"crc.dat", "sha.dat", "plainbad.dat"}) Serve(name, otherLzma);
  for (const std::string name : {"crc.dat", "sha.dat", "size.dat", "plainbad.dat"}) {
    WriteFile(GameFile(name), "old " + name);
  }

  Run();

  const std::map<std::string, std::string> expected = {
      {"good.dat", good},           {"plain.dat", good},
      {"crc.dat", "old crc.dat"},   {"sha.dat", "old sha.dat"},
      {"size.dat", "old size.dat"}, {"plainbad.dat", "old plainbad.dat"},
      {"kestrune.lock", ""}};
  EXPECT_TRUE(GameFolder() == expected)
      << "refused targets unchanged; no .lzma, no temporary file, bad.dat never created";
  EXPECT_EQ(form.messageId, msgError);
  const auto texts = launcher.Texts();
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "Download bad.dat"), texts.end())
      << "an unreadable sha256 is never fetched";
}

TEST_F(PatchWorkerTest, AnEndlessLzmaBodyIsCutAtItsPackedSize) {
  const std::string content = Bytes(50000, 13);
  const std::string lzma = XzLzma(content);
  const std::string temporary = GameFile("endless.dat.lzma");
  std::atomic<std::uint64_t> sent{0}, largestTemporary{0};
  test::LoopbackServer server([&](test::LoopbackConnection& c, int) {
    if (c.ReadRequest().empty()) return;
    // No length: the body goes on until one side gives up.
    if (!c.TrySend("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + lzma)) return;
    const std::string garbage = Bytes(65536, 14);
    for (sent = lzma.size(); sent < (std::uint64_t{256} << 20); sent += garbage.size()) {
      std::error_code ec;
      const auto size = fs::file_size(temporary, ec);
      if (!ec && size > largestTemporary) largestTemporary = size;
      if (!c.TrySend(garbage)) return;
    }
  });
  form.patchListFolder = server.Url("/files/");
  WriteList(Archive("endless.dat", VouchFor(content, lzma)));
  WriteFile(GameFile("endless.dat"), "before");

  Run();

  EXPECT_LE(largestTemporary, lzma.size()) << "the .lzma never grew past its packed size";
  EXPECT_LT(sent, std::uint64_t{64} << 20) << "the client stopped reading";
  EXPECT_EQ(ReadFile(GameFile("endless.dat")), "before");
  EXPECT_TRUE(LzmaLeftovers().empty());
  EXPECT_EQ(form.messageId, msgError);
}

// A patch list that never ends is cut at its bound; nothing in the game folder is touched.
TEST_F(PatchWorkerTest, AnEndlessPatchListIsCutAtItsBound) {
  std::atomic<std::int64_t> sent{0};
  test::LoopbackServer server([&](test::LoopbackConnection& c, int) {
    if (c.ReadRequest().empty()) return;
    c.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    std::string entry;
    while (entry.size() < 60000) entry += "<archive filename=\"a.dat\" original=\"00000000\"/>";
    char size[32];
    std::snprintf(size, sizeof size, "%zx", entry.size());
    const std::string chunk = std::string(size) + "\r\n" + entry + "\r\n";
    // 256 MiB at most, so that a client without a bound still ends the test.
    while (sent < (std::int64_t{256} << 20) && c.TrySend(chunk)) sent += chunk.size();
  });
  form.patchlist = server.Url("/list.xml");
  WriteFile(GameFile("a.dat"), "before");

  Run();

  EXPECT_LT(sent.load(), std::int64_t{80} << 20) << "the client read on past its bound";
  EXPECT_EQ(ReadFile(GameFile("a.dat")), "before");
  EXPECT_TRUE(LzmaLeftovers().empty());
}

TEST_F(PatchWorkerTest, AFileLargerThanTheFreeSpaceFailsAndLeavesTheFolderAsItWas) {
  const test::SmallFileSystem small(game(), 1 << 20);
  if (!small.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  fs::current_path(game());  // the mount hides the folder the process was in
  const std::string big(std::size_t{8} << 20, '\0');
  const std::string bigLzma = XzLzma(big);
  const std::string fits = Bytes(1000, 15);
  const std::string fitsLzma = XzLzma(fits);
  WriteList(Archive("big.dat", VouchFor(big, bigLzma)) +
            Archive("fits.dat", VouchFor(fits, fitsLzma)));
  Serve("big.dat", bigLzma);
  Serve("fits.dat", fitsLzma);
  WriteFile(GameFile("big.dat"), "before");

  Run();

  const std::map<std::string, std::string> expected = {
      {"big.dat", "before"}, {"fits.dat", fits}, {"kestrune.lock", ""}};
  EXPECT_TRUE(GameFolder() == expected) << "no partial output, no .lzma left";
  EXPECT_EQ(form.messageId, msgError);
}

TEST_F(PatchWorkerTest, UnsafeNamesAreNeverTouchedAndCountAsNotUpdated) {
  // Each unsafe name is served where its path would resolve, so fetching it would show.
  const std::vector<std::string> unsafe = {"..\\outside.dat", "sub\\..\\..\\outside.dat",
                                           "\\rooted.dat",    "/rooted.dat",
                                           "C:evil.dat",      ""};
  for (const std::string& name : unsafe) {
    SCOPED_TRACE("name '" + name + "'");
    Publish({{name, "bad", false, "00000000"}, {"fine.dat", "ok"}});
    WriteFile((www() / "outside.dat.lzma").string(), test::EncodeLzmaAlone("bad"));
    WriteFile(tmp.file("outside.dat"), "keep");

    Run();

    EXPECT_EQ(ReadFile(GameFile("fine.dat")), "ok");
    EXPECT_EQ(ReadFile(tmp.file("outside.dat")), "keep");
    EXPECT_FALSE(fs::exists("/rooted.dat"));
    EXPECT_FALSE(fs::exists(game() / "C:evil.dat"));
    EXPECT_EQ(form.messageId, msgError);
    fs::remove(GameFile("fine.dat"));
  }
}

// Every entry below `root` by its relative path: a folder as "/", a link as "-> " and where it
// points (not followed), a file as its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string name = e.path().lexically_relative(root).generic_string();
    if (e.is_symlink()) {
      entries[name] = "-> " + fs::read_symlink(e.path()).string();
    } else if (e.is_directory()) {
      entries[name] = "/";
    } else {
      entries[name] = ReadFile(e.path().string());
    }
  }
  return entries;
}

TEST_F(PatchWorkerTest, LinksBelowTheGameFolderAreNeverWrittenOrReadThrough) {
  const fs::path outside = tmp.path() / "outside";
  fs::create_directories(outside / "folder");
  WriteFile((outside / "folder" / "inside.txt").string(), "keep inside");
  WriteFile((outside / "file.txt").string(), "keep file");
  fs::create_directory_symlink(outside / "folder", game() / "linked");
  fs::create_symlink(outside / "file.txt", game() / "file.lnk");
  fs::create_symlink(outside / "gone.dat", game() / "dangling.dat");
  fs::create_symlink(outside / "fresh", game() / "dangling-folder");
  fs::create_symlink(outside / "file.txt", game() / "temp.dat.lzma");
  fs::create_directories(game() / "real");
  fs::create_directory_symlink(outside / "folder", game() / "real" / "deeper");
  const auto outsideBefore = Snapshot(outside);
  const auto gameBefore = Snapshot(game());

  // "file.lnk" matches what its link points to: read through the link it would pass the scan.
  const std::string probe = tmp.file("probe");
  WriteFile(probe, "keep file");
  Publish({{"linked\\inside.txt", "written through a folder link"},
           {"linked\\new\\deep.txt", "a folder made through a link"},
           {"file.lnk", "keep file", true, IndependentCrc(probe)},
           {"dangling.dat", "created through a dangling link"},
           {"dangling-folder\\x.txt", "a folder made through a dangling link"},
           {"temp.dat", "its .lzma is a link"},
           {"real\\deeper\\inside.txt", "a link one level down"},
           {"fine.dat", "ok"}});

  Run();

  EXPECT_EQ(Snapshot(outside), outsideBefore) << "nothing outside is written or created";
  auto expected = gameBefore;
  expected["fine.dat"] = "ok";
  expected["kestrune.lock"] = "";
  EXPECT_EQ(Snapshot(game()), expected) << "the links stay as they were";
  EXPECT_EQ(form.messageId, msgError) << "each refused name counts as not updated";
  const auto texts = launcher.Texts();
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [](const std::string& t) { return t.rfind("Download ", 0) == 0; }),
            1)
      << "only fine.dat is fetched";
}

// One patch run per game folder: a run that cannot take the folder's lock in time touches
// nothing and does not claim success; a list entry naming the lock file is refused.
TEST_F(PatchWorkerTest, ARunThatCannotLockTheFolderTouchesNothingAndEndsWithCode2) {
  Publish({{"a.dat", "new a"}, {"kestrune.lock", "replaced lock"}});
  WriteFile(GameFile("a.dat"), "old a");
  const std::string lockPath = GameFile("kestrune.lock");
  {
    const platform::FileLock other =
        platform::FileLock::Acquire(lockPath, std::chrono::milliseconds(0));
    ASSERT_TRUE(other.isLocked());
    form.setStatus(msgReady);

    Run();

    EXPECT_EQ(Snapshot(game()),
              (std::map<std::string, std::string>{{"a.dat", "old a"}, {"kestrune.lock", ""}}));
    EXPECT_TRUE(launcher.Texts().empty()) << "no scan, no download";
    EXPECT_EQ(form.messageId, msgError);
    EXPECT_EQ(view.statusTexts.back(), "An error occurred, try again later.");
    EXPECT_TRUE(form.canUpdate);
    EXPECT_FLOAT_EQ(form.BarWidth(Bar::Total), 0.0f);
  }

  Run();

  EXPECT_EQ(ReadFile(GameFile("a.dat")), "new a") << "the lock ends with its holder";
  EXPECT_EQ(ReadFile(lockPath), "") << "the entry naming the lock file is refused";
  EXPECT_EQ(form.messageId, msgError);
}

TEST_F(PatchWorkerTest, EmptyListIsUpToDateAndFailedListsEndSilently) {
  WriteFile((www() / "list.xml").string(), "<patch><other/></patch>");
  Run();
  EXPECT_EQ(form.messageId, msgUpToDate);
  EXPECT_EQ(launcher.Texts(), (std::vector<std::string>{"Scan of files, please wait...",
                                                        "Scan of files, please wait..."}));
  EXPECT_EQ(view.statusTexts.back(), "Your patch is up to date.");
  EXPECT_FLOAT_EQ(form.BarWidth(Bar::File), 0.0f);
  EXPECT_FLOAT_EQ(form.BarWidth(Bar::Total), 0.0f);

  struct Case {
    const char* what;
    bool present;
    const char* body;
  };
  for (const Case& c : {Case{"404", false, ""}, Case{"empty body", true, ""},
                        Case{"no element", true, "just text"}}) {
    SCOPED_TRACE(c.what);
    fs::remove(www() / "list.xml");
    if (c.present) WriteFile((www() / "list.xml").string(), c.body);
    form.setStatus(msgReady);
    const std::size_t before = launcher.Events().size();

    Run();

    const auto events = launcher.Events();
    const std::vector<std::string> run(events.begin() + before, events.end());
    EXPECT_EQ(run.front(), "busy");
    EXPECT_EQ(run.back(), "idle");
    for (const auto& e : run) {
      EXPECT_TRUE(e.rfind("text", 0) != 0 && e.rfind("status", 0) != 0 &&
                  e.rfind("message", 0) != 0)
          << e;
    }
    EXPECT_EQ(form.messageId, msgReady);
    EXPECT_TRUE(form.canUpdate);
  }
}

TEST_F(PatchWorkerTest, CancelDuringTheScanStopsExaminingLines) {
  Publish({{"a.dat", "a"}, {"b.dat", "b"}, {"c.dat", "c"}});
  // The Cancel arrives right after the first line was examined and stepped.
  launcher.onEvent = [this](const std::string& e) {
    if (e.rfind("total ", 0) == 0 && e != "total 0.000000") cancelNow = true;
  };

  Run();

  EXPECT_FALSE(fs::exists(GameFile("a.dat")));
  EXPECT_FALSE(fs::exists(GameFile("b.dat")));
  const auto texts = launcher.Texts();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts.back(), "Cancel");
  EXPECT_EQ(view.statusTexts.back(), "You canceled Updates.");
  EXPECT_EQ(form.messageId, msgUserCancelled);
  int steps = 0;
  for (const auto& [bar, width] : launcher.barLog) {
    if (bar == Bar::Total && width > 0) ++steps;
  }
  EXPECT_EQ(steps, 1) << "no line after the cancel is stepped";
}

TEST_F(PatchWorkerTest, CancelDuringAThrottledTransferLeavesNothingBehind) {
  StartNginx("    limit_rate 16k;");
  Publish({{"slow.bin", Bytes(400000, 5)}, {"after.bin", "after"}});
  WriteFile(GameFile("slow.bin"), "before");
  // The Cancel arrives once the slow file's transfer has moved the file bar.
  bool transferring = false;
  launcher.onEvent = [this, &transferring](const std::string& e) {
    if (e == "text Download slow.bin") transferring = true;
    if (transferring && e.rfind("file ", 0) == 0 && e != "file 0.000000") cancelNow = true;
  };

  const auto start = std::chrono::steady_clock::now();
  Run();

  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
      << "the disconnect ends the transfer at once";
  EXPECT_EQ(ReadFile(GameFile("slow.bin")), "before");
  EXPECT_FALSE(fs::exists(GameFile("after.bin")));
  EXPECT_TRUE(LzmaLeftovers().empty());
  const auto texts = launcher.Texts();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts.back(), "Cancel");
  EXPECT_EQ(view.statusTexts.back(), "You canceled Updates.");
  EXPECT_EQ(form.messageId, msgUserCancelled);
}

TEST_F(PatchWorkerTest, CriticalTailStoresCriticalThenStartsTheClientOnlyWhenAsked) {
  struct Case {
    bool autoStart;
    bool fromClient;
    bool critical;
    bool expectStart;
    bool expectStore;
  };
  for (const Case& c :
       {Case{true, true, true, true, true}, Case{true, false, true, false, true},
        Case{false, true, true, false, true}, Case{true, true, false, false, false}}) {
    SCOPED_TRACE(::testing::Message() << "autoStart " << c.autoStart << " -client " << c.fromClient
                                      << " critical " << c.critical);
    fs::remove_all(game() / "new.dat");
    Publish({{"new.dat", "n"}}, c.critical ? "critical.xml" : "list.xml");
    form.autoStartClient = c.autoStart;
    form.runnedFromExe = c.fromClient;
    form.criticalVersion = 0x7FFFFFF0;
    form.RegistreD.WriteText("Critical", "none");
    const std::size_t before = launcher.Events().size();

    Run(c.critical);

    EXPECT_EQ(form.messageId, msgAllUpdated);
    const auto events = launcher.Events();
    const std::vector<std::string> run(events.begin() + before, events.end());
    const auto store = std::find(run.begin(), run.end(), "critical 2147483632");
    const auto start = std::find(run.begin(), run.end(), "client");
    EXPECT_EQ(store != run.end(), c.expectStore);
    EXPECT_EQ(start != run.end(), c.expectStart);
    if (c.expectStart) {
      EXPECT_LT(store, start) << "stored before the client may close us";
    }
    if (c.expectStore) {
      EXPECT_EQ(form.RegistreD.ReadNumber("Critical"), std::optional<std::uint32_t>(0x7FFFFFF0));
    } else {
      EXPECT_EQ(form.RegistreD.ReadText("Critical"), std::optional<std::string>("none"));
    }
  }
}

TEST_F(PatchWorkerTest, ViewCallsOfOneSmallRunFollowTheDescribedOrder) {
  // Both files are smaller than one receive block, so each transfer reports once.
  Publish({{"keep.dat", "kept"}, {"sub\\one.dat", "first"}, {"two.dat", "second"}});
  WriteFile(GameFile("keep.dat"), "kept");
  const float third = static_cast<float>(409.0 / 3);
  const std::string third1 = std::to_string(third);
  const std::string third2 = std::to_string(static_cast<float>(third + 409.0 / 3));
  const std::string third3 =
      std::to_string(static_cast<float>(static_cast<float>(third + 409.0 / 3) + 409.0 / 3));
  const std::string half = std::to_string(409.0f / 2);

  Run();

  std::vector<std::string> events;
  for (const auto& e : launcher.Events()) {
    // The file bar's reported widths depend on the transfer; its resets do not.
    if (e.rfind("file ", 0) == 0 && e != "file 0.000000") continue;
    events.push_back(e);
  }
  const std::vector<std::string> expected = {
      "busy", "total 0.000000",
      // patch list transfer
      "file 0.000000", "file 0.000000",
      // scan
      "text Scan of files, please wait...", "total " + third1, "total " + third2, "total " + third3,
      // download
      "total 0.000000", "text Download one.dat", "file 0.000000", "file 0.000000",
      "text Extract : one.dat.lzma", "total " + half, "text Download two.dat", "file 0.000000",
      "file 0.000000", "text Extract : two.dat.lzma", "total 409.000000",
      // outcome
      "status 4", "text Extract : two.dat.lzma", "show",
      // tail
      "idle", "file 0.000000", "total 0.000000",
      // end of work
      "idle"};
  EXPECT_EQ(events, expected);
  EXPECT_EQ(view.statusTexts.back(), "All files were successfully updated!");
  EXPECT_NEAR(std::stof(third3.c_str()), 409.0f, 0.001f);
}

TEST_F(PatchWorkerTest, AllDownloadsOfARunShareOneConnection) {
  StartNginx("    access_log " + (tmp.path() / "access.log").string() + " conn;",
             "  log_format conn '$connection $request_uri $status';");
  Publish({{"a.dat", "a"}, {"b\\b.dat", "b"}, {"c.dat", Bytes(100000, 6)}});

  Run();

  EXPECT_EQ(form.messageId, msgAllUpdated);
  nginx.reset();  // flushes the log
  std::istringstream log(ReadFile((tmp.path() / "access.log").string()));
  std::string connection, uri, code;
  std::set<std::string> connections;
  int requests = 0;
  while (log >> connection >> uri >> code) {
    connections.insert(connection);
    ++requests;
  }
  EXPECT_EQ(requests, 4);
  EXPECT_EQ(connections.size(), 1u);
}

}  // namespace
}  // namespace kestrune
