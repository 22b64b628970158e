// The patch worker end to end: a real nginx on loopback serves a patch list and .lzma files made
// here, the worker brings a temporary game folder (the working directory) into line, and the
// calls it makes on the launcher are recorded.

#include <gtest/gtest.h>
#include <lzma.h>

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
#include "TestSupport.h"
#include "ThreadManager.h"
#include "UiThread.h"
#include "UserStore.h"
#include "Utf8.h"
#include "http/DownloadPool.h"

#ifdef _WIN32
#include "WindowsSupport.h"
#else
#include "SmallFileSystem.h"
#endif

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
      test::HostPath(test::Utf8Path(path)) + "'");
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// The SHA-256 as the publisher writes it, computed by sha256sum.
std::string IndependentSha256(const std::string& path) {
  return test::CommandOutput("sha256sum '" + test::HostPath(test::Utf8Path(path)) +
                             "' | cut -c1-64 | tr -d '\\n'");
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
  std::string GameFile(const std::string& name) const {
    return test::Utf8(game() / test::Utf8Path(Native(name)));
  }

  // `text` with every character outside ASCII as a character reference, as the publisher
  // writes names: the list then reads the same in any charset a server may announce.
  static std::string AsciiXml(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
      const platform::Utf8Char c = platform::DecodeUtf8(text, at);
      if (c.code < 0x80) {
        out += static_cast<char>(c.code);
      } else {
        out += "&#" + std::to_string(c.code) + ";";
      }
      at += c.length;
    }
    return out;
  }

  // Publishes `files` (list and .lzma files) under `listName`.
  void Publish(const std::vector<PatchFile>& files, const std::string& listName = "list.xml") {
    std::string xml = "<?xml version=\"1.0\"?>\n<patch>\n";
    const std::vector<std::string> crcs = IndependentCrcs(files);
    for (std::size_t i = 0; i < files.size(); ++i) {
      const PatchFile& f = files[i];
      const std::string original = f.original.empty() ? crcs[i] : f.original;
      xml += "  <archive filename=\"" + AsciiXml(f.name) + "\" original=\"" + original + "\"/>\n";
      if (f.serve) {
        const fs::path lzma = www() / "files" / test::Utf8Path(Native(f.name + ".lzma"));
        fs::create_directories(lzma.parent_path());
        WriteFile(test::Utf8(lzma), test::EncodeLzmaAlone(f.content));
      }
    }
    xml += "</patch>\n";
    WriteFile((www() / listName).string(), xml);
  }

  // IndependentCrc of each file's content, all in one run of the interpreter.
  std::vector<std::string> IndependentCrcs(const std::vector<PatchFile>& files) const {
    std::string paths;
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::string probe = tmp.file("probe-" + std::to_string(i));
      WriteFile(probe, files[i].content);
      paths += " '" + test::HostPath(probe) + "'";
    }
    std::istringstream out(
        test::CommandOutput("python3 -c 'import sys,zlib\n"
                            "for p in sys.argv[1:]: print(\"%08X\" % "
                            "(zlib.crc32(open(p,\"rb\").read()) & 0xFFFFFFFF))'" +
                            paths));
    std::vector<std::string> crcs;
    for (std::string line; std::getline(out, line);) crcs.push_back(line);
    if (crcs.size() != files.size()) throw std::runtime_error("python3 could not sum the files");
    return crcs;
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
    return test::CommandOutput("xz --format=lzma -6 -c '" + test::HostPath(probe) + "'");
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
        files[test::Utf8(fs::relative(entry.path(), game()))] = ReadFile(test::Utf8(entry.path()));
      }
    }
    return files;
  }

  std::vector<std::string> LzmaLeftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(game())) {
      if (entry.path().extension() == ".lzma") found.push_back(test::Utf8(entry.path()));
    }
    return found;
  }

  // Everything a download leaves beside a target: .lzma files, partials and their records,
  // unpacking temporaries.
  std::vector<std::string> Temporaries() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(game())) {
      const std::string name = test::Utf8(entry.path().filename());
      for (const std::string end : {".lzma", ".part", ".part-info", "~kestrune.tmp"}) {
        if (name.size() > end.size() &&
            name.compare(name.size() - end.size(), end.size(), end) == 0) {
          found.push_back(test::Utf8(entry.path()));
        }
      }
    }
    return found;
  }

  test::TempDir tmp;
  test::FreshUserStore store{tmp.path()};
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
  test::CommandOutput("lzma_alone e '" + test::HostPath(tmp.file("top.txt")) + "' '" +
                      test::HostPath(www() / "files/top.txt.lzma") + "' >/dev/null 2>&1");

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
  std::vector<std::string> run(again.begin() + texts.size(), again.end());
  ASSERT_EQ(run.size(), 6u);
  EXPECT_EQ(run.front(), "Scan of files, please wait...");
  EXPECT_EQ(run[5], run[4]) << "the outcome shows the last text again";
  // The two files download and unpack side by side: each in its own order, in any order
  // between them.
  std::vector<std::string> stage(run.begin() + 1, run.end() - 1);
  const auto at = [&stage](const std::string& text) {
    return std::find(stage.begin(), stage.end(), text) - stage.begin();
  };
  EXPECT_LT(at("Download lower.dat"), at("Extract : lower.dat.lzma"));
  EXPECT_LT(at("Download dir.dat"), at("Extract : dir.dat.lzma"));
  std::sort(stage.begin(), stage.end());
  EXPECT_EQ(stage,
            (std::vector<std::string>{"Download dir.dat", "Download lower.dat",
                                      "Extract : dir.dat.lzma", "Extract : lower.dat.lzma"}));
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
  EXPECT_TRUE(Temporaries().empty()) << "a 404 leaves nothing to resume";
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

// A delta made by the zstd command, not by our publisher, applied in place of the .lzma.
TEST_F(PatchWorkerTest, ADeltaMadeByZstdPatchesTheLocalFileInPlace) {
  const std::string old = Bytes(300000, 1);
  std::string now = old;
  now.replace(150000, 5000, Bytes(5000, 2));
  WriteFile(GameFile("old.bin"), old);
  const std::string oldProbe = tmp.file("old-probe"), newProbe = tmp.file("new-probe");
  WriteFile(oldProbe, old);
  WriteFile(newProbe, now);
  const std::string from = IndependentCrc(oldProbe);
  const std::string zst = tmp.file("delta.zst");
  test::CommandOutput("zstd -q -f --patch-from='" + test::HostPath(oldProbe) + "' '" +
                      test::HostPath(newProbe) + "' -o '" + test::HostPath(zst) + "'");
  const std::string delta = ReadFile(zst);
  ASSERT_FALSE(delta.empty());
  fs::create_directories(www() / "files");
  WriteFile((www() / "files" / ("old.bin." + from + ".zst")).string(), delta);
  const std::string lzma = XzLzma(now);
  Serve("old.bin", lzma);
  const Vouched v = VouchFor(now, lzma);
  std::string archive = Archive("old.bin", v);
  archive.replace(archive.size() - 3, 3,
                  "><delta from=\"" + from + "\" sha256=\"" + IndependentSha256(oldProbe) +
                      "\" packed=\"" + std::to_string(delta.size()) + "\"/></archive>\n");
  WriteList(archive);

  Run();

  EXPECT_TRUE(ReadFile(GameFile("old.bin")) == now);
  EXPECT_EQ(form.messageId, msgAllUpdated);
  const auto texts = launcher.Texts();
  EXPECT_EQ(std::vector<std::string>(texts.begin() + 1, texts.end()),
            (std::vector<std::string>{"Download old.bin", "Extract : old.bin." + from + ".zst",
                                      "Extract : old.bin." + from + ".zst"}))
      << "the outcome shows the last text again";
  EXPECT_TRUE(Temporaries().empty());
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
  const std::string temporary = PartialPath(GameFile("endless.dat.lzma"));
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
  EXPECT_TRUE(Temporaries().empty()) << "a body past its bound is no start to resume from";
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

#ifndef _WIN32
// The small file system is a tmpfs mounted for the test.
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
#endif

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

#ifndef _WIN32
// The links are made with symlink(); Windows versions of these need privileges Wine's do not
// model.
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
  fs::create_symlink(outside / "file.txt", game() / "part.dat.lzma.part");
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
           {"part.dat", "its partial is a link"},
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
#endif

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
  // The Cancel arrives while the first line's step is on the user-interface thread: the worker
  // is still held there, so the request is seen before anything further is done, however
  // soon the worker would reach its next line.
  launcher.onEvent = [this](const std::string& e) {
    if (e.rfind("total ", 0) == 0 && e != "total 0.000000") {
      worker->RequestTermination();
      cancelNow = true;
    }
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

TEST_F(PatchWorkerTest, CancelDuringAThrottledTransferKeepsTheTargetAndThePartial) {
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
  // Small enough to be done beside the slow one, or cut off with it.
  EXPECT_TRUE(!fs::exists(GameFile("after.bin")) || ReadFile(GameFile("after.bin")) == "after");
  EXPECT_TRUE(LzmaLeftovers().empty());
  EXPECT_TRUE(fs::exists(PartialPath(GameFile("slow.bin.lzma"))))
      << "the next start resumes from it";
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
  const std::vector<std::string> before = {"busy", "total 0.000000",
                                           // patch list transfer
                                           "file 0.000000", "file 0.000000",
                                           // scan
                                           "text Scan of files, please wait...", "total " + third1,
                                           "total " + third2, "total " + third3,
                                           // download
                                           "total 0.000000"};
  ASSERT_GT(events.size(), before.size());
  EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + before.size()), before);
  const auto outcome = std::find(events.begin(), events.end(), "status 4");
  ASSERT_NE(outcome, events.end());
  // The two files download and unpack side by side: each in its own order, the total bar one
  // step per unpacked file, the file bar empty at the end.
  std::vector<std::string> stage;
  for (auto e = events.begin() + before.size(); e != outcome; ++e) {
    if (*e != "file 0.000000") stage.push_back(*e);
  }
  ASSERT_EQ(*(outcome - 1), "file 0.000000");
  const auto at = [&stage](const std::string& event) {
    return std::find(stage.begin(), stage.end(), event) - stage.begin();
  };
  EXPECT_LT(at("text Download one.dat"), at("text Extract : one.dat.lzma"));
  EXPECT_LT(at("text Download two.dat"), at("text Extract : two.dat.lzma"));
  EXPECT_LT(std::min(at("text Extract : one.dat.lzma"), at("text Extract : two.dat.lzma")),
            at("total " + half));
  EXPECT_LT(std::max(at("text Extract : one.dat.lzma"), at("text Extract : two.dat.lzma")),
            at("total 409.000000"));
  std::vector<std::string> sorted = stage;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted,
            (std::vector<std::string>{"text Download one.dat", "text Download two.dat",
                                      "text Extract : one.dat.lzma", "text Extract : two.dat.lzma",
                                      "total " + half, "total 409.000000"}))
      << "nothing else is shown";
  std::string lastText;
  for (const auto& e : stage) {
    if (e.rfind("text ", 0) == 0) lastText = e;
  }
  const std::vector<std::string> after = {// outcome
                                          "status 4", lastText, "show",
                                          // tail
                                          "idle", "file 0.000000", "total 0.000000",
                                          // end of work
                                          "idle"};
  EXPECT_EQ(std::vector<std::string>(outcome, events.end()), after);
  EXPECT_EQ(view.statusTexts.back(), "All files were successfully updated!");
  EXPECT_NEAR(std::stof(third3.c_str()), 409.0f, 0.001f);
}

TEST_F(PatchWorkerTest, WithOneTransferAtATimeAllDownloadsShareOneConnection) {
  StartNginx("    access_log " + test::HostPath(tmp.path() / "access.log") + " conn;",
             "  log_format conn '$connection $request_uri $status';");
  Publish({{"a.dat", "a"}, {"b\\b.dat", "b"}, {"c.dat", Bytes(100000, 6)}});
  form.parallelDownloads = 1;

  Run();

  EXPECT_EQ(form.messageId, msgAllUpdated);
  nginx.reset();  // flushes the log
  std::istringstream log(ReadFile((tmp.path() / "access.log").string()));
  std::string connection, uri, code;
  std::set<std::string> connections;
  int requests = 0;
  while (log >> connection >> uri >> code) {
    if (uri.rfind("/files/", 0) != 0) continue;  // the list comes through a client of its own
    connections.insert(connection);
    ++requests;
  }
  EXPECT_EQ(requests, 3);
  EXPECT_EQ(connections.size(), 1u);
}

// ---- The download stage: transfers in parallel, unpacking beside them. ----

// nginx's access log as the parallel tests read it: which connection, what, the answer, when
// the answer ended and how long the request took, and the Range asked for.
constexpr const char* kTimingLogFormat =
    "  log_format timing '$connection $request_uri $status $msec $request_time \"$http_range\"';";

struct LoggedRequest {
  std::string connection;
  std::string uri;
  int status = 0;
  double start = 0;  // seconds
  double end = 0;
  std::string range;  // "-" when none was asked for
};

std::vector<LoggedRequest> ReadTimingLog(const std::string& path) {
  std::vector<LoggedRequest> requests;
  std::istringstream lines(ReadFile(path));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    LoggedRequest r;
    double duration = 0;
    fields >> r.connection >> r.uri >> r.status >> r.end >> duration >> r.range;
    r.start = r.end - duration;
    if (r.range.size() >= 2) r.range = r.range.substr(1, r.range.size() - 2);
    if (r.uri.rfind("/files/", 0) == 0) requests.push_back(r);
  }
  return requests;
}

// The most requests that were under way together, counting two as together only when they
// overlapped by more than `margin` seconds (the log's times are rounded to milliseconds).
int MostAtOnce(const std::vector<LoggedRequest>& requests, double margin) {
  std::vector<std::pair<double, int>> edges;
  for (const LoggedRequest& r : requests) {
    if (r.end - r.start <= margin) continue;
    // Cut at the start by the margin: two cut intervals meet only where the whole ones
    // overlapped by more.
    edges.emplace_back(r.start + margin, 1);
    edges.emplace_back(r.end, -1);
  }
  std::sort(edges.begin(), edges.end());  // an end before a start at the same time
  int now = 0, most = 0;
  for (const auto& [time, step] : edges) most = std::max(most, now += step);
  return most;
}

// One run's calls as the parallel rules speak of them: the download stage's texts and bar
// widths (from the reset of the total bar after the scan to the outcome's status code).
struct StageCalls {
  std::vector<std::string> texts;
  std::vector<float> total;
  std::vector<float> file;
  bool complete = false;  // the stage began and reached an outcome
};

StageCalls DownloadStageOf(const std::vector<std::string>& run) {
  StageCalls calls;
  auto e = std::find(run.begin(), run.end(), "text Scan of files, please wait...");
  e = std::find(e, run.end(), "total 0.000000");
  if (e == run.end()) return calls;
  for (++e; e != run.end() && e->rfind("status ", 0) != 0; ++e) {
    if (e->rfind("text ", 0) == 0) calls.texts.push_back(e->substr(5));
    if (e->rfind("total ", 0) == 0) calls.total.push_back(std::stof(e->substr(6)));
    if (e->rfind("file ", 0) == 0) calls.file.push_back(std::stof(e->substr(5)));
  }
  calls.complete = e != run.end();
  return calls;
}

TEST_F(PatchWorkerTest, AParallelRunOfManyFilesEqualsTheReleaseAndKeepsTheRules) {
  const std::string log = (tmp.path() / "access.log").string();
  // The first file comes slowly: the others download and unpack while it is on its way.
  StartNginx("    access_log " + test::HostPath(log) +
                 " timing;\n    location = /files/slow.bin.lzma { limit_rate 64k; }",
             kTimingLogFormat);
  // About 3 s at that rate after the first second's share, against well under one for the rest.
  std::vector<PatchFile> release = {{"slow.bin", Bytes(256 << 10, 20)}};
  for (unsigned i = 1; i < 60; ++i) {
    const std::string name = "data" + std::to_string(i % 4) + "\\part" + std::to_string(i % 3) +
                             "\\f" + std::to_string(i) + ".bin";
    // Empty, below one receive block, and several blocks.
    release.emplace_back(name, Bytes(i == 7 ? 0 : (i * 7919) % 150000, 100 + i));
  }
  Publish(release);
  std::set<std::string> queued;
  for (unsigned i = 0; i < release.size(); ++i) {
    const PatchFile& f = release[i];
    const std::string path = GameFile(f.name);
    fs::create_directories(fs::path(path).parent_path());
    if (i % 5 == 1) {
      WriteFile(path, f.content);  // up to date
      continue;
    }
    if (i % 5 == 2) WriteFile(path, "outdated " + f.name);
    if (i % 5 == 3) WriteFile(path, Bytes(f.content.size(), 7));  // same size, other bytes
    queued.insert(f.name.substr(f.name.rfind('\\') + 1));
  }
  const std::size_t before = launcher.Events().size();

  Run();

  std::map<std::string, std::string> expected = {{"kestrune.lock", ""}};
  for (const PatchFile& f : release) expected[Native(f.name)] = f.content;
  EXPECT_TRUE(GameFolder() == expected) << "the release byte-exact, and nothing else";
  EXPECT_EQ(form.messageId, msgAllUpdated);

  const auto events = launcher.Events();
  const StageCalls stage = DownloadStageOf({events.begin() + before, events.end()});
  ASSERT_TRUE(stage.complete);
  // Each queued file shows its download, then its unpacking, once; nothing else is shown.
  std::map<std::string, int> downloads, extracts;
  for (const std::string& text : stage.texts) {
    if (text.rfind("Download ", 0) == 0) {
      ++downloads[text.substr(9)];
    } else if (text.rfind("Extract : ", 0) == 0 && text.size() > 15 &&
               text.compare(text.size() - 5, 5, ".lzma") == 0) {
      const std::string name = text.substr(10, text.size() - 15);
      EXPECT_EQ(downloads[name], 1) << text << " before its download";
      ++extracts[name];
    } else {
      ADD_FAILURE() << "unexpected text " << text;
    }
  }
  EXPECT_EQ(downloads.size(), queued.size());
  EXPECT_EQ(extracts.size(), queued.size());
  for (const std::string& name : queued) {
    EXPECT_EQ(downloads[name], 1) << name;
    EXPECT_EQ(extracts[name], 1) << name;
  }
  // Other files were fetched and unpacked while the slow one was still coming (its transfer
  // takes seconds; which of them, and how many, depends on the machine's pace).
  const auto slowStart = std::find(stage.texts.begin(), stage.texts.end(), "Download slow.bin");
  const auto slowEnd = std::find(slowStart, stage.texts.end(), "Extract : slow.bin.lzma");
  ASSERT_NE(slowEnd, stage.texts.end());
  EXPECT_TRUE(std::any_of(slowStart, slowEnd, [](const std::string& text) {
    return text.rfind("Extract : ", 0) == 0;
  })) << "no unpacking beside the slow transfer";

  // One step of the total bar per queued file, each a whole pixel or more, up to the full bar.
  ASSERT_EQ(stage.total.size(), queued.size());
  for (std::size_t i = 1; i < stage.total.size(); ++i)
    EXPECT_GT(stage.total[i], stage.total[i - 1]);
  EXPECT_NEAR(stage.total.back(), 409.0f, 0.01f);
  // The file bar: the bytes in flight against their totals, never below 0 or past the bar, and
  // empty at the end.
  ASSERT_FALSE(stage.file.empty());
  EXPECT_GT(*std::max_element(stage.file.begin(), stage.file.end()), 0.0f);
  for (const float width : stage.file) {
    EXPECT_GE(width, 0.0f);
    EXPECT_LE(width, 409.001f);
  }
  EXPECT_EQ(stage.file.back(), 0.0f);

  nginx.reset();  // flushes the log
  std::set<std::string> connections;
  for (const LoggedRequest& r : ReadTimingLog(log)) connections.insert(r.connection);
  EXPECT_GE(connections.size(), 2u);
  EXPECT_LE(connections.size(), std::size_t{DownloadPool::kDefaultConnections})
      << "the connections are kept for the next files";
}

TEST_F(PatchWorkerTest, FailedFilesAmongManyEndWithCode2AndTheOthersAreInstalled) {
  std::vector<PatchFile> release;
  for (unsigned i = 0; i < 30; ++i) {
    release.emplace_back("many\\f" + std::to_string(i) + ".bin", Bytes(5000 + 3000 * i, 200 + i));
  }
  release[4].serve = false;           // a 404
  release[11].original = "00000000";  // unpacks to data the list does not vouch for
  Publish(release);
  // A .lzma cut in half: the stream ends early.
  const std::string cut = (www() / "files" / "many" / "f20.bin.lzma").string();
  WriteFile(cut, ReadFile(cut).substr(0, fs::file_size(cut) / 2));
  fs::create_directories(game() / "many");
  WriteFile(GameFile(release[11].name), "old eleven");
  const std::size_t before = launcher.Events().size();

  Run();

  std::map<std::string, std::string> expected = {{"kestrune.lock", ""}};
  for (const PatchFile& f : release) expected[Native(f.name)] = f.content;
  expected.erase(Native(release[4].name));
  expected.erase(Native(release[20].name));
  expected[Native(release[11].name)] = "old eleven";
  EXPECT_TRUE(GameFolder() == expected) << "the others installed; nothing of the failed ones";
  EXPECT_EQ(form.messageId, msgError);
  const auto events = launcher.Events();
  const StageCalls stage = DownloadStageOf({events.begin() + before, events.end()});
  EXPECT_EQ(stage.total.size(), release.size()) << "a failed file takes its step too";
  EXPECT_EQ(view.statusTexts.back(), "An error occurred, try again later.");
}

// A name the list gives twice is fetched and unpacked twice, one after the other, as in one
// transfer at a time: the last entry that the data matches decides.
TEST_F(PatchWorkerTest, ANameListedTwiceIsFetchedOneAfterTheOther) {
  std::vector<PatchFile> files;
  for (unsigned i = 0; i < 6; ++i) {
    const std::string name = "twice\\d" + std::to_string(i) + ".bin";
    // The first entry vouches for other data than the server has: it fails, the second wins.
    files.emplace_back(name, Bytes(200000, 600 + i), false);
    files.emplace_back(name, Bytes(200000, 700 + i));
  }
  Publish(files);

  Run();

  std::map<std::string, std::string> expected = {{"kestrune.lock", ""}};
  for (const PatchFile& f : files) {
    if (f.serve) expected[Native(f.name)] = f.content;
  }
  EXPECT_TRUE(GameFolder() == expected) << "each the second entry's data, no temporaries left";
  EXPECT_EQ(form.messageId, msgError);
  const auto texts = launcher.Texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Download d0.bin"), 2);
}

TEST_F(PatchWorkerTest, TheSettingsNumberOfTransfersRunsThatManyAtOnce) {
  struct Case {
    std::optional<std::int32_t> setting;
    int atOnce;
  };
  for (const Case& c :
       {Case{std::nullopt, DownloadPool::kDefaultConnections}, Case{1, 1}, Case{8, 8}}) {
    SCOPED_TRACE(c.setting ? std::to_string(*c.setting) : "not set");
    const std::string log = (tmp.path() / ("access-" + std::to_string(c.atOnce) + ".log")).string();
    // Each transfer takes half a second past the first second's share, which nginx sends at
    // once, so that those that run together overlap long.
    StartNginx("    access_log " + test::HostPath(log) + " timing;\n    limit_rate 32k;",
               kTimingLogFormat);
    // One file more than may run at once: it starts only when the first has ended.
    std::vector<PatchFile> files;
    for (int i = 0; i <= c.atOnce; ++i) {
      files.emplace_back("n" + std::to_string(c.atOnce) + "\\f" + std::to_string(i) + ".bin",
                         Bytes(48 << 10, 300 + i));
    }
    Publish(files);
    form.parallelDownloads = c.setting;

    Run();

    EXPECT_EQ(form.messageId, msgAllUpdated);
    nginx.reset();
    const auto requests = ReadTimingLog(log);
    EXPECT_EQ(requests.size(), files.size());
    EXPECT_EQ(MostAtOnce(requests, 0.2), c.atOnce);
  }
}

// Cancels the run once several files are being fetched and bytes have arrived.
void CancelOnceTransfersRun(RecordingLauncher& launcher, std::atomic<bool>& cancelNow) {
  auto downloads = std::make_shared<std::set<std::string>>();
  launcher.onEvent = [downloads, &cancelNow](const std::string& e) {
    if (e.rfind("text Download ", 0) == 0) downloads->insert(e);
    if (downloads->size() >= 2 && e.rfind("file ", 0) == 0 && e != "file 0.000000") {
      cancelNow = true;
    }
  };
}

TEST_F(PatchWorkerTest, CancelDuringParallelTransfersLeavesEveryTargetOldOrNew) {
  StartNginx("    limit_rate 32k;");
  std::vector<PatchFile> release;
  for (unsigned i = 0; i < 12; ++i) {
    release.emplace_back("c\\f" + std::to_string(i) + ".bin", Bytes(160 << 10, 400 + i));
  }
  Publish(release);
  fs::create_directories(game() / "c");
  for (unsigned i = 0; i < release.size(); i += 2) WriteFile(GameFile(release[i].name), "old");
  CancelOnceTransfersRun(launcher, cancelNow);

  const auto start = std::chrono::steady_clock::now();
  Run();

  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
      << "the Cancel ends every transfer at once";
  for (unsigned i = 0; i < release.size(); ++i) {
    const std::string path = GameFile(release[i].name);
    if (i % 2 == 1 && !fs::exists(path)) continue;
    const std::string now = ReadFile(path);
    EXPECT_TRUE(now == (i % 2 == 0 ? "old" : release[i].content) || now == release[i].content)
        << release[i].name << " half-written";
  }
  for (const std::string& left : Temporaries()) {
    EXPECT_TRUE(left.size() > 5 && (left.compare(left.size() - 5, 5, ".part") == 0 ||
                                    left.compare(left.size() - 10, 10, ".part-info") == 0))
        << left << ": only what the next start resumes from stays";
  }
  EXPECT_EQ(form.messageId, msgUserCancelled);
  const auto texts = launcher.Texts();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts.back(), "Cancel");
  EXPECT_EQ(view.statusTexts.back(), "You canceled Updates.");
}

TEST_F(PatchWorkerTest, ACancelledRunResumesAtTheNextStartAndABadResumedBodyStartsOver) {
  // One server for all runs, so that nothing but the throttle changes between them.
  const std::string log = (tmp.path() / "access.log").string();
  const std::string throttle = tmp.file("throttle");
  WriteFile(throttle, "");
  StartNginx("    access_log " + test::HostPath(log) + " timing;\n    if (-f " +
                 test::HostPath(throttle) + ") { set $limit_rate 32k; }",
             kTimingLogFormat);
  std::vector<PatchFile> release;
  for (unsigned i = 0; i < 4; ++i) {
    release.emplace_back("r\\f" + std::to_string(i) + ".bin", Bytes(160 << 10, 500 + i));
  }
  Publish(release);
  const auto uri = [&release](std::size_t i) {
    std::string path = "/files/" + release[i].name + ".lzma";
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
  };
  CancelOnceTransfersRun(launcher, cancelNow);
  Run();
  ASSERT_EQ(form.messageId, msgUserCancelled);
  launcher.onEvent = nullptr;
  cancelNow = false;
  fs::remove(throttle);

  // The partials the cancelled transfers kept; the first one is spoilt, its length kept.
  std::vector<std::size_t> partial;
  for (std::size_t i = 0; i < release.size(); ++i) {
    std::error_code ec;
    const auto size = fs::file_size(PartialPath(GameFile(release[i].name + ".lzma")), ec);
    if (!ec && size > 0) partial.push_back(i);
  }
  ASSERT_FALSE(partial.empty()) << "a cut transfer keeps what it received";
  const std::size_t spoilt = partial.front();
  const std::string spoiltPath = PartialPath(GameFile(release[spoilt].name + ".lzma"));
  std::string bytes = ReadFile(spoiltPath);
  for (char& c : bytes) c = static_cast<char>(~c);
  WriteFile(spoiltPath, bytes);

  Run();

  EXPECT_EQ(form.messageId, msgError);
  const auto resumed = ReadTimingLog(log);
  for (const std::size_t i : partial) {
    EXPECT_TRUE(std::any_of(resumed.begin(), resumed.end(),
                            [&](const LoggedRequest& r) {
                              return r.uri == uri(i) && r.status == 206 &&
                                     r.range.rfind("bytes=", 0) == 0;
                            }))
        << uri(i) << " asks only for the rest";
  }
  for (std::size_t i = 0; i < release.size(); ++i) {
    if (i == spoilt) continue;
    EXPECT_EQ(ReadFile(GameFile(release[i].name)), release[i].content) << release[i].name;
  }
  EXPECT_FALSE(fs::exists(GameFile(release[spoilt].name)));
  EXPECT_TRUE(Temporaries().empty()) << "the bad body and its partial are gone";

  Run();

  EXPECT_EQ(form.messageId, msgAllUpdated);
  EXPECT_EQ(ReadFile(GameFile(release[spoilt].name)), release[spoilt].content);
  EXPECT_TRUE(Temporaries().empty());
  nginx.reset();  // flushes the log
  const auto all = ReadTimingLog(log);
  const auto last = std::find_if(all.rbegin(), all.rend(),
                                 [&](const LoggedRequest& r) { return r.uri == uri(spoilt); });
  ASSERT_NE(last, all.rend());
  EXPECT_EQ(last->range, "-") << "fetched whole";
  EXPECT_EQ(last->status, 200);
}

// ---- Names and files as Windows has them. ----

// Cyrillic names are summed, fetched and unpacked under their own names: no path goes through a
// code page that lacks them (on Windows the ANSI one of the narrow calls).
TEST_F(PatchWorkerTest, CyrillicNamesAreSummedAndUnpackedUnderTheirOwnNames) {
  const std::vector<PatchFile> files = {{"Данные\\Карта.dat", Bytes(9000, 40)},
                                        {"Данные\\Звук.wav", "звук"},
                                        {"Читать.txt", "как есть"}};
  Publish(files);
  fs::create_directories(game() / test::Utf8Path("Данные"));
  WriteFile(GameFile("Данные\\Звук.wav"), "старый звук");
  WriteFile(GameFile("Читать.txt"), "как есть");

  Run();

  EXPECT_EQ(form.messageId, msgAllUpdated);
  std::map<std::string, std::string> expected = {{"kestrune.lock", ""}};
  for (const PatchFile& f : files) expected[Native(f.name)] = f.content;
  EXPECT_TRUE(GameFolder() == expected) << "byte-exact under the listed names";
  EXPECT_EQ(
      test::CommandOutput("cd '" + test::HostPath(game()) + "' && find . -type f | LC_ALL=C sort"),
      "./kestrune.lock\n./Данные/Звук.wav\n./Данные/Карта.dat\n./Читать.txt\n")
      << "the names on disk, as the host sees them";
  const auto texts = launcher.Texts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Download Карта.dat"), texts.end());
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Extract : Звук.wav.lzma"), texts.end());
  EXPECT_EQ(std::find(texts.begin(), texts.end(), "Download Читать.txt"), texts.end())
      << "summed and found up to date";

  Run();
  EXPECT_EQ(form.messageId, msgUpToDate) << "every file summed again under its name";
}

#ifdef _WIN32
// A listed file another program holds open without sharing cannot be summed: the run ends at
// its line, silently, before anything is fetched.
TEST_F(PatchWorkerTest, AFileHeldWithoutSharingEndsTheScanSilently) {
  Publish({{"a.dat", "new a"}, {"held.dat", "new held"}, {"c.dat", "new c"}});
  WriteFile(GameFile("held.dat"), "old held");
  form.setStatus(msgReady);
  {
    const test::HeldWithoutSharing held(GameFile("held.dat"));

    Run();
  }

  EXPECT_EQ(ReadFile(GameFile("held.dat")), "old held");
  EXPECT_FALSE(fs::exists(GameFile("a.dat"))) << "nothing is fetched";
  EXPECT_FALSE(fs::exists(GameFile("c.dat")));
  EXPECT_EQ(launcher.Texts(), std::vector<std::string>{"Scan of files, please wait..."});
  EXPECT_EQ(view.statusTexts.back(), "Scan of files, please wait...") << "silently";
  EXPECT_EQ(form.messageId, msgReady);
  EXPECT_TRUE(form.canUpdate);

  Run();
  EXPECT_EQ(form.messageId, msgAllUpdated) << "released, the next run brings all three";
  EXPECT_EQ(ReadFile(GameFile("held.dat")), "new held");
}

// Held only once its download has begun, after the scan summed it: the unpacking cannot replace
// it, so it counts as not updated, and the others are installed.
TEST_F(PatchWorkerTest, AFileHeldWhileItsDownloadRunsIsNotUpdatedAndTheOthersAre) {
  const std::string fresh = Bytes(40000, 41);
  Publish({{"a.dat", "new a"}, {"held.dat", fresh}, {"c.dat", "new c"}});
  WriteFile(GameFile("held.dat"), "old held");
  std::unique_ptr<test::HeldWithoutSharing> held;
  launcher.onEvent = [&](const std::string& e) {
    if (e == "text Download held.dat" && !held) {
      held = std::make_unique<test::HeldWithoutSharing>(GameFile("held.dat"));
    }
  };

  Run();
  held.reset();

  EXPECT_EQ(ReadFile(GameFile("held.dat")), "old held");
  EXPECT_EQ(ReadFile(GameFile("a.dat")), "new a");
  EXPECT_EQ(ReadFile(GameFile("c.dat")), "new c");
  EXPECT_EQ(form.messageId, msgError) << "one file not updated";
  EXPECT_EQ(view.statusTexts.back(), "An error occurred, try again later.");

  launcher.onEvent = nullptr;
  Run();
  EXPECT_EQ(ReadFile(GameFile("held.dat")), fresh);
  EXPECT_EQ(form.messageId, msgAllUpdated);
  EXPECT_TRUE(Temporaries().empty());
}
#endif

}  // namespace
}  // namespace kestrune
