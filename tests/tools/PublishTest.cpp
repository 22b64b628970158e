// kestrune-publish end to end: the real executable publishes a release folder, a real nginx
// serves the result and the real launcher (headless) brings a game folder into line from it.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "NginxServer.h"
#include "TestSupport.h"
#include "sign/Minisign.h"
#include "sign/ReleaseStamp.h"
#include "xml/XmlDocument.h"

namespace kestrune {
namespace {

using test::Bytes;

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// Where and when each output file was last written.
std::map<std::string, std::pair<ino_t, std::int64_t>> Stamps(const fs::path& root) {
  std::map<std::string, std::pair<ino_t, std::int64_t>> stamps;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    if (e.is_regular_file() && ::stat(e.path().c_str(), &st) == 0) {
      stamps[e.path().lexically_relative(root).generic_string()] = {
          st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    }
  }
  return stamps;
}

// Every folder and file under `root`, with the content and stamps of the files.
std::pair<std::set<std::string>, std::map<std::string, std::string>> Snapshot(
    const fs::path& root) {
  std::set<std::string> paths;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    paths.insert(e.path().lexically_relative(root).generic_string());
  }
  std::map<std::string, std::string> files = test::Tree(root);
  for (const auto& [name, stamp] : Stamps(root)) {
    files[name] += "|" + std::to_string(stamp.first) + "|" + std::to_string(stamp.second);
  }
  return {paths, files};
}

// The names a patch list holds.
std::set<std::string> ListNames(const fs::path& list) {
  XmlDocument doc;
  doc.Parse(ReadFile(list.string()));
  std::vector<XmlElement> archives;
  doc.Root().FindElements("archive", archives);
  std::set<std::string> names;
  for (const XmlElement& a : archives) names.insert(a.Attribute("filename"));
  return names;
}

// The names the .lzma files under `files` stand for, as a list writes them.
std::set<std::string> PackedNames(const fs::path& files) {
  std::set<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(files)) {
    if (!e.is_regular_file()) continue;
    std::string name = e.path().lexically_relative(files).generic_string();
    std::replace(name.begin(), name.end(), '/', '\\');
    names.insert(name.substr(0, name.size() - std::string(".lzma").size()));
  }
  return names;
}

class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const fs::path& p : {release(), out(), game()}) fs::create_directories(p);
    test::NginxServer::Options options;
    options.root = out();
    options.serverDirectives = "    access_log " + accessLog().string() + " combined;";
    nginx = std::make_unique<test::NginxServer>(tmp.path() / "nginx", options);
    ASSERT_TRUE(nginx->running());
  }

  fs::path release() const { return tmp.path() / "release"; }
  fs::path out() const { return tmp.path() / "out"; }
  fs::path game() const { return tmp.path() / "game"; }
  fs::path accessLog() const { return tmp.path() / "access.log"; }

  // The files/ requests nginx logged since the last call, as "PATH STATUS", in order.
  std::vector<std::string> Fetched() {
    const std::string text = ReadFile(accessLog().string());
    const std::regex request("\"GET /files/([^ ]+) HTTP/[0-9.]+\" ([0-9]+)");
    std::vector<std::string> fetched;
    for (auto it =
             std::sregex_iterator(text.begin() + static_cast<long>(logSeen), text.end(), request);
         it != std::sregex_iterator(); ++it) {
      fetched.push_back((*it)[1].str() + " " + (*it)[2].str());
    }
    logSeen = text.size();
    return fetched;
  }

  void Put(const std::string& name, const std::string& bytes) {
    const fs::path path = release() / name;
    fs::create_directories(path.parent_path());
    WriteFile(path.string(), bytes);
  }

  // Root reads every folder: then the run drops its privileges, so that modes can refuse.
  test::ChildResult Publish(std::vector<std::string> extra = {}, bool unprivileged = false,
                            const fs::path& from = {}) {
    std::vector<std::string> argv = {KESTRUNE_PUBLISH, (from.empty() ? release() : from).string(),
                                     out().string(), "--base-url", nginx->Url("")};
    if (unprivileged && ::geteuid() == 0) {
      argv.insert(argv.begin(),
                  {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    return test::RunChild(argv, tmp.path(), {}, tmp.path());
  }

  test::ChildResult Launch() {
    return test::RunChild({KESTRUNE_UPDATER}, game(),
                          {{"KESTRUNE_HEADLESS", "1"},
                           {"KESTRUNE_SETTINGS_HOST", "127.0.0.1:" + std::to_string(nginx->port())},
                           {"XDG_CONFIG_HOME", (tmp.path() / "config").string()}},
                          tmp.path());
  }

  test::TempDir tmp;
  std::unique_ptr<test::NginxServer> nginx;
  std::size_t logSeen = 0;
};

TEST_F(PublishTest, ReleaseArrivesByteIdenticalInAnEmptyGameFolder) {
  Put("readme.txt", "hello\n");
  Put("empty.dat", "");
  Put("system/data/deep.bin", Bytes(70000, 1));
  Put("with blanks/a b.txt", "blanks");
  Put("x & y's \"quoted\".cfg", "markup");
  Put("Данные/файл.txt", "кириллица");
  Put("big.bin", Bytes(2 << 20, 2));

  const test::ChildResult published = Publish();
  ASSERT_EQ(published.exitCode, 0) << published.err;
  const test::ChildResult launched = Launch();
  EXPECT_EQ(launched.exitCode, 0) << launched.out << launched.err;
  auto expected = test::Tree(release());
  expected["kestrune.lock"] = "";  // the patch run's lock file stays, empty
  EXPECT_EQ(test::Tree(game()), expected);
}

TEST_F(PublishTest, RepublishingRewritesOnlyWhatChanged) {
  Put("keep.txt", "kept");
  Put("sub/change.bin", Bytes(5000, 3));
  Put("sub/gone.txt", "gone soon");
  ASSERT_EQ(Publish().exitCode, 0);
  ASSERT_EQ(Launch().exitCode, 0);
  const auto first = Stamps(out());

  const test::ChildResult again = Publish();
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(Stamps(out()), first);

  // Same size, other bytes: only the CRC tells.
  Put("sub/change.bin", Bytes(5000, 4));
  fs::remove(release() / "sub/gone.txt");
  ASSERT_EQ(Publish().exitCode, 0);
  auto now = Stamps(out());
  EXPECT_EQ(now.count("files/sub/gone.txt.lzma"), 0u);
  EXPECT_NE(now.at("files/sub/change.bin.lzma"), first.at("files/sub/change.bin.lzma"));
  EXPECT_EQ(now.at("files/keep.txt.lzma"), first.at("files/keep.txt.lzma"));
  EXPECT_NE(now.at("criticalpatchlist.xml"), first.at("criticalpatchlist.xml"));
  EXPECT_EQ(now.at("pts/Settings.xml"), first.at("pts/Settings.xml"));
  EXPECT_EQ(ReadFile((out() / "criticalpatchlist.xml").string()).find("gone"), std::string::npos);

  const test::ChildResult launched = Launch();
  EXPECT_EQ(launched.exitCode, 0) << launched.out;
  std::vector<std::string> downloads;
  for (const auto& line : launched.OutLines()) {
    if (line.rfind("Download ", 0) == 0) downloads.push_back(line);
  }
  EXPECT_EQ(downloads, std::vector<std::string>{"Download change.bin"});
  EXPECT_EQ(ReadFile((game() / "sub/change.bin").string()), Bytes(5000, 4));
}

// Decoded by xz, not by the launcher's own decoder; the header must carry the size.
TEST_F(PublishTest, LzmaFilesDecodeWithXzAndCarryTheirSize) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"empty", ""},
      {"one", "x"},
      {"text", std::string(200000, 'a') + "tail"},
      {"random", Bytes(300000, 5)}};
  for (const auto& [name, bytes] : files) Put(name, bytes);
  for (const char* preset : {"-0", "-9"}) {
    fs::remove_all(out() / "files");
    fs::remove(out() / "criticalpatchlist.xml");
    ASSERT_EQ(Publish({preset}).exitCode, 0) << preset;
    for (const auto& [name, bytes] : files) {
      const std::string lzma = (out() / "files" / (name + ".lzma")).string();
      EXPECT_EQ(test::CommandOutput("xz --format=lzma -dc '" + lzma + "'"), bytes)
          << name << " " << preset;
      const std::string header = ReadFile(lzma).substr(0, 13);
      std::uint64_t size = 0;
      for (int i = 7; i >= 0; --i) size = size << 8 | static_cast<unsigned char>(header[5 + i]);
      EXPECT_EQ(size, bytes.size()) << name;
    }
  }
}

// Each entry vouches for its file: size, packed size and SHA-256, checked here with tools
// independent of the publisher.
TEST_F(PublishTest, ListGivesSizePackedAndSha256OfEveryFile) {
  Put("empty.dat", "");
  Put("top.txt", "top\n");
  Put("sub/deep/r.bin", Bytes(300000, 6));
  ASSERT_EQ(Publish().exitCode, 0);

  auto check = [&](const std::string& when) {
    SCOPED_TRACE(when);
    XmlDocument doc;
    doc.Parse(ReadFile((out() / "criticalpatchlist.xml").string()));
    std::vector<XmlElement> archives;
    doc.Root().FindElements("archive", archives);
    ASSERT_EQ(archives.size(), 3u);
    for (const XmlElement& a : archives) {
      std::string name = a.Attribute("filename");
      SCOPED_TRACE(name);
      std::replace(name.begin(), name.end(), '\\', '/');
      const fs::path source = release() / name;
      const fs::path lzma = out() / "files" / (name + ".lzma");
      EXPECT_EQ(a.Attribute("size"), std::to_string(fs::file_size(source)));
      EXPECT_EQ(a.Attribute("packed"), std::to_string(fs::file_size(lzma)));
      EXPECT_EQ(a.Attribute("sha256"), test::CommandOutput("sha256sum '" + source.string() +
                                                           "' | cut -c1-64 | tr -d '\\n'"));
    }
  };
  check("first run");

  // A .lzma replaced on the server since (a stale upload) is packed again.
  WriteFile((out() / "files/top.txt.lzma").string(),
            test::CommandOutput("printf 'other\\n' | xz --format=lzma -c"));
  auto before = Stamps(out());
  ASSERT_EQ(Publish().exitCode, 0);
  auto after = Stamps(out());
  EXPECT_NE(after.at("files/top.txt.lzma"), before.at("files/top.txt.lzma"));
  EXPECT_EQ(after.at("files/sub/deep/r.bin.lzma"), before.at("files/sub/deep/r.bin.lzma"));
  check("after a stale upload");

  // Lists of an older publisher, without the new attributes, gain them without a repack.
  for (const char* list : {"patchlist.xml", "criticalpatchlist.xml"}) {
    std::string xml = ReadFile((out() / list).string());
    for (std::size_t at; (at = xml.find(" packed=")) != std::string::npos;) {
      xml.erase(at, xml.find("/>", at) - at);
    }
    WriteFile((out() / list).string(), xml);
  }
  before = Stamps(out());
  ASSERT_EQ(Publish().exitCode, 0);
  after = Stamps(out());
  for (const char* lzma : {"files/top.txt.lzma", "files/empty.dat.lzma"}) {
    EXPECT_EQ(after.at(lzma), before.at(lzma)) << lzma;
  }
  check("from an older list");
  const test::ChildResult launched = Launch();
  EXPECT_EQ(launched.exitCode, 0) << launched.out << launched.err;
  auto expected = test::Tree(release());
  expected["kestrune.lock"] = "";  // the patch run's lock file stays, empty
  EXPECT_TRUE(test::Tree(game()) == expected) << "the game folder is the release";
}

TEST_F(PublishTest, SettingsDocumentCarriesTheOptions) {
  Put("a.txt", "a");
  ASSERT_EQ(Publish({"--version", "3", "--critical-version", "7", "--auto-start-client", "yes",
                     "--close-after-start", "true", "--updater-url", "http://u/x?a=1&b=2"})
                .exitCode,
            0);
  XmlDocument doc;
  doc.Parse(ReadFile((out() / "pts/Settings.xml").string()));
  const XmlElement root = doc.Root();
  EXPECT_EQ(root.FindElement("version").ValueInteger(), 3);
  EXPECT_EQ(root.FindElement("criticalVersion").ValueInteger(), 7);
  EXPECT_TRUE(root.FindElement("autoStartClient").ValueBool());
  EXPECT_FALSE(root.FindElement("doubleRunCheck").ValueBool());
  EXPECT_TRUE(root.FindElement("closeUpdaterAfterStartinGame").ValueBool());
  EXPECT_EQ(root.FindElement("updaterURL").ValueText(), "http://u/x?a=1&b=2");
  EXPECT_EQ(root.ChildText("patchListFolder", ""), nginx->Url("/files/"));
  EXPECT_EQ(root.FindElement("patchlistURL").ValueText(), nginx->Url("/patchlist.xml"));
  EXPECT_EQ(root.FindElement("criticalPatchlistURL").ValueText(),
            nginx->Url("/criticalpatchlist.xml"));
}

// --updater vouches for the new launcher in Settings.xml (what sha256sum says of the file),
// and puts it where the default updater URL points; pointed elsewhere, it only hashes it.
TEST_F(PublishTest, UpdaterFileIsHashedIntoTheSettingsAndServedAtTheDefaultUrl) {
  Put("a.txt", "a");
  const std::string first = tmp.file("launcher-2"), second = tmp.file("launcher-3");
  WriteFile(first,
            "\x7f"
            "ELF" +
                Bytes(300000, 1));
  WriteFile(second, "#!/bin/sh\necho 3\n");
  auto announced = [&] {
    XmlDocument doc;
    doc.Parse(ReadFile((out() / "pts/Settings.xml").string()));
    const XmlElement digest = doc.Root().FindElement("updaterSHA256");
    return digest ? std::optional<std::string>(digest.ValueText()) : std::nullopt;
  };
  auto sha256sum = [](const std::string& path) {
    return test::CommandOutput("sha256sum '" + path + "'").substr(0, 64);
  };

  const test::ChildResult served = Publish({"--version", "2", "--updater", first});
  ASSERT_EQ(served.exitCode, 0) << served.err;
  EXPECT_EQ(announced(), sha256sum(first));
  EXPECT_EQ(ReadFile((out() / "KestruneUpdater.exe").string()), ReadFile(first));
  EXPECT_NE(served.out.find("KestruneUpdater.exe written"), std::string::npos) << served.out;

  const test::ChildResult elsewhere =
      Publish({"--version", "3", "--updater", second, "--updater-url", "http://cdn/u.exe"});
  ASSERT_EQ(elsewhere.exitCode, 0) << elsewhere.err;
  EXPECT_EQ(announced(), sha256sum(second));
  EXPECT_EQ(ReadFile((out() / "KestruneUpdater.exe").string()), ReadFile(first));

  ASSERT_EQ(Publish({"--version", "3"}).exitCode, 0);
  EXPECT_EQ(announced(), std::nullopt);
}

// A launcher no launcher would take is refused before anything is written.
TEST_F(PublishTest, AnUpdaterThatCannotBeALauncherIsRefused) {
  Put("a.txt", "a");
  const std::string empty = tmp.file("empty.exe");
  WriteFile(empty, "");
  for (const std::string& path : {empty, tmp.file("missing.exe"), tmp.path().string()}) {
    SCOPED_TRACE(path);
    const test::ChildResult r = Publish({"--updater", path});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(out()));
  }
}

// A failed run leaves what an earlier run wrote as it was, and no partial file.
TEST_F(PublishTest, FailuresNameThePathAndLeaveEarlierOutputIntact) {
  Put("a.txt", "a");
  ASSERT_EQ(Publish().exitCode, 0);
  const std::string list = ReadFile((out() / "criticalpatchlist.xml").string());

  struct Case {
    const char* what;
    std::function<void(const fs::path&)> spoil;
    std::vector<std::string> expect;  // each in stderr
  };
  const std::vector<Case> cases = {
      {"unreadable file",
       [](const fs::path& r) { fs::create_symlink(r / "nowhere", r / "dangling.txt"); },
       {"dangling.txt"}},
      {"backslash in a name",
       [](const fs::path& r) { WriteFile((r / "a\\b").string(), "x"); },
       {"a\\b"}},
      {"name the launcher cannot fetch",
       [](const fs::path& r) { WriteFile((r / "50%.txt").string(), "x"); },
       {"50%.txt"}},
      // Every refusal is named, an unreadable folder by its own path.
      {"several at once",
       [](const fs::path& r) {
         WriteFile((r / "50%.txt").string(), "x");
         fs::create_symlink(r / "nowhere", r / "dangling.txt");
         fs::create_directories(r / "sub/locked");
         WriteFile((r / "sub/locked/inside.txt").string(), "x");
         fs::permissions(r / "sub/locked", fs::perms::none);
         WriteFile((r / "sub/secret.txt").string(), "x");
         fs::permissions(r / "sub/secret.txt", fs::perms::none);
       },
       {"4 release paths refused", "50%.txt\"", "dangling.txt\"",
        "sub/locked\": cannot read the folder", "sub/secret.txt\": cannot read it"}},
  };
  for (const Case& c : cases) {
    fs::remove_all(release());
    Put("a.txt", "changed");
    c.spoil(release());
    const test::ChildResult r = Publish({}, true);
    EXPECT_EQ(r.exitCode, 1) << c.what;
    for (const std::string& expect : c.expect) {
      EXPECT_NE(r.err.find(expect), std::string::npos) << c.what << ": " << expect << "\n" << r.err;
    }
    EXPECT_EQ(ReadFile((out() / "criticalpatchlist.xml").string()), list) << c.what;
    EXPECT_EQ(
        test::CommandOutput("xz --format=lzma -dc '" + (out() / "files/a.txt.lzma").string() + "'"),
        "a")
        << c.what;
    for (const auto& e : fs::recursive_directory_iterator(out())) {
      EXPECT_EQ(e.path().string().find(".publishing"), std::string::npos) << e.path();
    }
  }
  fs::permissions(release() / "sub/locked", fs::perms::owner_all);  // for the clean-up
}

TEST_F(PublishTest, UsageErrorsAndHelp) {
  const test::ChildResult help =
      test::RunChild({KESTRUNE_PUBLISH, "--help"}, tmp.path(), {}, tmp.path());
  EXPECT_EQ(help.exitCode, 0);
  for (const char* word : {"RELEASE_DIR", "--base-url", "--critical", "--normal", "--dry-run", "-9",
                           "Settings.xml", "--updater FILE", "updaterSHA256"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  // The output folder reached through a link into the release folder.
  fs::create_directory_symlink(release(), tmp.path() / "alias");
  fs::create_directories(out() / "staging");
  const std::string r = release().string(), o = out().string(), url = "http://h/";
  struct Case {
    std::vector<std::string> args;
    std::string expect;  // in stderr
  };
  const std::vector<Case> cases = {
      {{r, o}, "--base-url is needed"},
      {{r, "--base-url", url}, "RELEASE_DIR and OUT_DIR"},
      {{r, o, "--base-url", url, "-x"}, "unknown option -x"},
      {{r, o, "--base-url", url, "--jobs", "0"}, "--jobs"},
      {{r, o, "--base-url", "u"}, "the base URL \"u\" does not start with http:// or https://"},
      {{r, o, "--base-url", "ftp://h/"}, "does not start with http:// or https://"},
      {{r, o, "--base-url", "http:///pts"}, "the base URL \"http:///pts\" names no host"},
      {{r, o, "--base-url", "https://h:http/"}, "has a port that is not a number"},
      {{r, o, "--base-url", "http://[::1]:8080/"}, "names an IPv6 address"},
      {{r, o, "--base-url", "http://h/game files"}, "holds a blank or a control character"},
      {{r, o, "--base-url", "http://h/\t"}, "holds a blank or a control character"},
      {{r, o, "--base-url", "http://h/?v=2"}, "holds a query or fragment"},
      {{r, o, "--base-url", url, "--updater-url", "KestruneUpdater.exe"},
       "the updater URL \"KestruneUpdater.exe\" does not start with http://"},
      {{r, o, "--base-url", url, "--version", "-1"}, "the version must not be negative"},
      {{r, o, "--base-url", url, "--critical-version", "-1"},
       "the critical version must not be negative"},
      {{r, o, "--base-url", url, "--critical", "--normal"}, "exclude each other"},
      {{r, r, "--base-url", url}, "are the same folder"},
      {{r, (tmp.path() / "alias/www").string(), "--base-url", url},
       "lies inside the release folder"},
      {{(out() / "staging").string(), o, "--base-url", url}, "lies inside the output folder"},
  };
  for (Case c : cases) {
    c.args.insert(c.args.begin(), KESTRUNE_PUBLISH);
    const test::ChildResult result = test::RunChild(c.args, tmp.path(), {}, tmp.path());
    EXPECT_EQ(result.exitCode, 2) << c.expect;
    EXPECT_NE(result.err.find(c.expect), std::string::npos) << c.expect << ": " << result.err;
  }
  EXPECT_FALSE(fs::exists(release() / "www"));
  EXPECT_FALSE(fs::exists(out() / "pts"));

  const test::ChildResult missing =
      test::RunChild({KESTRUNE_PUBLISH, (tmp.path() / "none").string(), o, "--base-url", url},
                     tmp.path(), {}, tmp.path());
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("none"), std::string::npos);
}

// Both lists from one run name the same files; writing one warns while the other is absent,
// and keeps the files the other still names.
TEST_F(PublishTest, OneRunWritesBothListsOverTheSameFiles) {
  Put("a.txt", "a");
  Put("sub/b.bin", Bytes(3000, 6));
  const test::ChildResult both = Publish();
  ASSERT_EQ(both.exitCode, 0) << both.err;
  EXPECT_EQ(both.err, "");
  const std::set<std::string> names = {"a.txt", "sub\\b.bin"};
  EXPECT_EQ(ListNames(out() / "patchlist.xml"), names);
  EXPECT_EQ(ReadFile((out() / "patchlist.xml").string()),
            ReadFile((out() / "criticalpatchlist.xml").string()));
  EXPECT_EQ(PackedNames(out() / "files"), names);

  // An old file survives while a list left alone names it, and goes with the next full run.
  fs::remove(release() / "sub/b.bin");
  ASSERT_EQ(Publish({"--critical"}).exitCode, 0);
  EXPECT_EQ(ListNames(out() / "criticalpatchlist.xml"), std::set<std::string>{"a.txt"});
  EXPECT_EQ(ListNames(out() / "patchlist.xml"), names);
  EXPECT_EQ(PackedNames(out() / "files"), names);
  ASSERT_EQ(Publish().exitCode, 0);
  EXPECT_EQ(ListNames(out() / "patchlist.xml"), std::set<std::string>{"a.txt"});
  EXPECT_EQ(PackedNames(out() / "files"), std::set<std::string>{"a.txt"});

  struct Case {
    std::string flag;
    bool otherThere;
    const char* written;
    const char* warning;  // empty: none
  };
  const std::vector<Case> cases = {
      {"--critical", false, "criticalpatchlist.xml", "names patchlist.xml"},
      {"--normal", false, "patchlist.xml", "names criticalpatchlist.xml"},
      {"--normal", true, "patchlist.xml", ""},
  };
  for (const Case& c : cases) {
    fs::remove_all(out());
    if (c.otherThere) {
      ASSERT_EQ(Publish().exitCode, 0);
    }
    fs::remove(out() / c.written);
    const test::ChildResult r = Publish({c.flag});
    EXPECT_EQ(r.exitCode, 0) << c.flag;
    EXPECT_TRUE(fs::exists(out() / c.written)) << c.flag;
    EXPECT_EQ(fs::exists(out() / "patchlist.xml") && fs::exists(out() / "criticalpatchlist.xml"),
              c.otherThere)
        << c.flag;
    if (*c.warning) {
      EXPECT_NE(r.err.find(std::string("warning: Settings.xml ") + c.warning), std::string::npos)
          << c.flag << ": " << r.err;
    } else {
      EXPECT_EQ(r.err, "") << c.flag;
    }
  }
}

TEST_F(PublishTest, DryRunPrintsThePlanAndWritesNothing) {
  Put("keep.txt", "kept");
  Put("change.bin", Bytes(5000, 3));
  Put("sub/gone.txt", "gone soon");
  ASSERT_EQ(Publish().exitCode, 0);
  WriteFile((out() / "files/left.lzma.publishing").string(), "an interrupted run's");
  Put("change.bin", Bytes(5000, 4));
  Put("new.txt", "new");
  fs::remove(release() / "sub/gone.txt");
  const auto before = Snapshot(out());

  const test::ChildResult dry = Publish({"--dry-run"});
  ASSERT_EQ(dry.exitCode, 0) << dry.err;
  EXPECT_EQ(Snapshot(out()), before);
  std::set<std::string> plan;
  for (const std::string& line : dry.OutLines()) {
    if (line.rfind("pack ", 0) == 0 || line.rfind("keep ", 0) == 0 || line.rfind("drop ", 0) == 0) {
      plan.insert(line);
    }
  }
  EXPECT_EQ(plan, (std::set<std::string>{"pack change.bin", "pack new.txt", "keep keep.txt",
                                         "drop sub\\gone.txt"}));
  EXPECT_NE(dry.out.find("nothing written: 3 files: 2 to pack (5.0 KB), 1 unchanged, 1 to drop"),
            std::string::npos)
      << dry.out;

  // Into a folder that does not exist yet: not even the folder appears.
  const test::ChildResult fresh =
      test::RunChild({KESTRUNE_PUBLISH, release().string(), (tmp.path() / "new").string(),
                      "--base-url", nginx->Url(""), "--dry-run"},
                     tmp.path(), {}, tmp.path());
  EXPECT_EQ(fresh.exitCode, 0) << fresh.err;
  EXPECT_NE(fresh.out.find("pack keep.txt"), std::string::npos);
  EXPECT_FALSE(fs::exists(tmp.path() / "new"));

  // The real run does what the plan said.
  const test::ChildResult real = Publish();
  ASSERT_EQ(real.exitCode, 0) << real.err;
  EXPECT_NE(real.out.find("3 files: 2 packed (5.0 KB into "), std::string::npos) << real.out;
  EXPECT_NE(real.out.find("1 unchanged, 1 dropped"), std::string::npos) << real.out;
}

// Signing: key files the minisign tool takes, and signatures it verifies.
class SigningTest : public PublishTest {
 protected:
  std::string pub() const { return tmp.file("demo.pub"); }
  std::string key() const { return tmp.file("demo.key"); }

  // Without a passphrase in the environment unless `env` gives one.
  test::ChildResult Keygen(std::vector<std::string> args,
                           std::map<std::string, std::optional<std::string>> env = {},
                           std::vector<std::string> wrapper = {}) {
    env.emplace("KESTRUNE_SIGN_PASSPHRASE", std::nullopt);
    std::vector<std::string> argv = wrapper;
    argv.push_back(KESTRUNE_PUBLISH);
    argv.push_back("keygen");
    argv.insert(argv.end(), args.begin(), args.end());
    return test::RunChild(argv, tmp.path(), env, tmp.path());
  }

  // The real minisign's verdict on `file` and its signature; its output names the comment.
  test::ChildResult MinisignVerify(const std::string& file, const std::string& signature) {
    return test::RunChild({"/usr/bin/minisign", "-V", "-p", pub(), "-m", file, "-x", signature},
                          tmp.path(), {}, tmp.path());
  }

  // The stamp of `signature` over `file`, checked by the project's own verifier.
  minisign::ReleaseStamp Stamp(const std::string& file, const std::string& signature) {
    const std::string comment = minisign::Verify(minisign::ParsePublicKey(ReadFile(pub())),
                                                 ReadFile(signature), ReadFile(file));
    const auto stamp = minisign::ParseReleaseStamp(comment);
    if (!stamp) throw std::runtime_error("not a release stamp: " + comment);
    return *stamp;
  }

  // Each of `signed_` (file, its signature, the name the stamp must give) verifies with
  // minisign and with Verify, with the serial `serial`.
  void ExpectSigned(const std::vector<std::array<std::string, 3>>& signed_, std::uint64_t serial) {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    for (const auto& [file, signature, name] : signed_) {
      SCOPED_TRACE(signature);
      const test::ChildResult verified = MinisignVerify(file, signature);
      EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
      EXPECT_NE(verified.out.find("Trusted comment: file:" + name +
                                  " serial:" + std::to_string(serial) + " time:"),
                std::string::npos)
          << verified.out;
      const minisign::ReleaseStamp stamp = Stamp(file, signature);
      EXPECT_EQ(stamp.file, name);
      EXPECT_EQ(stamp.serial, serial);
      EXPECT_LE(std::abs(stamp.time - now), 600);
    }
  }
};

TEST_F(SigningTest, KeygenWritesAKeyPairMinisignSignsWithAndNeverOverwrites) {
  const test::ChildResult made = Keygen({"--unencrypted", pub(), key()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const std::string pubText = ReadFile(pub()), keyText = ReadFile(key());
  const std::string line = pubText.substr(pubText.find('\n') + 1, 56);
  EXPECT_NE(made.out.find("-DKESTRUNE_PUBLIC_KEY=" + line + "\n"), std::string::npos) << made.out;
  EXPECT_EQ(fs::status(key()).permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none);
  const minisign::SecretKey secret = minisign::ParseSecretKey(keyText, std::nullopt);
  const minisign::PublicKey publicKey = minisign::ParsePublicKey(pubText);
  EXPECT_EQ(secret.Public().keyId, publicKey.keyId);
  EXPECT_EQ(secret.Public().key, publicKey.key);
  EXPECT_EQ(minisign::PublicKeyLine(publicKey), line);

  // The minisign tool signs with the secret key, and checks with the public one.
  const std::string data = tmp.file("data.bin");
  WriteFile(data, Bytes(10000, 7));
  const test::ChildResult signedByMinisign = test::RunChild(
      {"/usr/bin/minisign", "-S", "-s", key(), "-m", data}, tmp.path(), {}, tmp.path());
  ASSERT_EQ(signedByMinisign.exitCode, 0) << signedByMinisign.err;
  EXPECT_EQ(MinisignVerify(data, data + ".minisig").exitCode, 0);

  struct Case {
    const char* what;
    std::vector<std::string> present;  // the files there before the run
  };
  const std::vector<Case> cases = {
      {"both there", {pub(), key()}},
      {"the public key there", {pub()}},
      {"the secret key there", {key()}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(pub());
    fs::remove(key());
    for (const std::string& file : c.present) WriteFile(file, "earlier " + file);
    const test::ChildResult again = Keygen({"--unencrypted", pub(), key()});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("exists; a key file is never overwritten"), std::string::npos)
        << again.err;
    for (const std::string& file : {pub(), key()}) {
      const bool there = std::count(c.present.begin(), c.present.end(), file) > 0;
      EXPECT_EQ(fs::exists(file), there) << file;
      if (there) {
        EXPECT_EQ(ReadFile(file), "earlier " + file);
      }
    }
  }
}

// The one test that pays for scrypt at minisign's limits (about 1 GiB and a few seconds a go).
TEST_F(SigningTest, AnEncryptedKeyOpensWithItsPassphraseOnly) {
  const std::string passphraseFile = tmp.file("passphrase");
  WriteFile(passphraseFile, "correct horse\n");
  const test::ChildResult made = Keygen({"--passphrase-file", passphraseFile, pub(), key()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  EXPECT_NE(made.out.find("encrypted with the passphrase"), std::string::npos) << made.out;

  Put("a.txt", "a");
  const test::ChildResult wrong =
      test::RunChild({KESTRUNE_PUBLISH, release().string(), out().string(), "--base-url",
                      nginx->Url(""), "--sign", key()},
                     tmp.path(), {{"KESTRUNE_SIGN_PASSPHRASE", "wrong horse"}}, tmp.path());
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_NE(wrong.err.find("does not open with this passphrase"), std::string::npos) << wrong.err;
  EXPECT_TRUE(fs::is_empty(out()));

  const test::ChildResult right = Publish({"--sign", key(), "--passphrase-file", passphraseFile});
  ASSERT_EQ(right.exitCode, 0) << right.err;
  const std::string settings = (out() / "pts/Settings.xml").string();
  ExpectSigned({{settings, settings + ".minisig", "Settings.xml"}}, 1);

  // minisign opens the same key with the same passphrase (it reads it from a pipe).
  const std::string data = tmp.file("data.bin");
  WriteFile(data, "signed by minisign");
  EXPECT_EQ(std::system(("printf 'correct horse\\n' | /usr/bin/minisign -S -s '" + key() +
                         "' -m '" + data + "' >/dev/null 2>&1")
                            .c_str()),
            0);
  EXPECT_EQ(MinisignVerify(data, data + ".minisig").exitCode, 0);
}

// keygen at a terminal of its own (its controlling one, as in a shell): the prompts, no echo
// of what is typed, and the echo back however the prompt ends.
TEST_F(SigningTest, TerminalPromptHidesThePassphraseAndRestoresTheEcho) {
  struct Case {
    const char* what;
    std::vector<std::string> typed;  // each sent once the transcript shows the prompt before it
    int exitCode;                    // -SIGNAL for a death by that signal
    const char* expect;              // in the transcript
  };
  const std::vector<Case> cases = {
      {"two passphrases that differ",
       {"open sesame\n", "close sesame\n"},
       1,
       "the two passphrases differ"},
      {"Ctrl+C at the prompt", {"\x03"}, -SIGINT, "Passphrase: "},
  };
  const std::vector<const char*> prompts = {"Passphrase: ", "The same passphrase again: "};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Built before fork: only async-signal-safe calls after it.
    std::vector<std::string> args = {KESTRUNE_PUBLISH, "keygen", pub(), key()};
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::string_view(*e).rfind("KESTRUNE_SIGN_PASSPHRASE=", 0) != 0) envp.push_back(*e);
    }
    envp.push_back(nullptr);
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    std::string transcript;
    // Reads until `text` shows or 10 s pass.
    auto await = [&](const std::string& text) {
      for (int i = 0; i < 100 && transcript.find(text) == std::string::npos; ++i) {
        pollfd p{master, POLLIN, 0};
        char buffer[256];
        if (::poll(&p, 1, 100) > 0) {
          const ssize_t n = ::read(master, buffer, sizeof buffer);
          if (n <= 0) break;
          transcript.append(buffer, static_cast<std::size_t>(n));
        }
      }
      return transcript.find(text) != std::string::npos;
    };
    for (std::size_t i = 0; i < c.typed.size(); ++i) {
      ASSERT_TRUE(await(prompts[i])) << transcript;
      termios t{};
      ASSERT_EQ(::tcgetattr(master, &t), 0);
      EXPECT_EQ(t.c_lflag & ECHO, 0u) << "echo while asking";
      ASSERT_EQ(::write(master, c.typed[i].data(), c.typed[i].size()),
                static_cast<ssize_t>(c.typed[i].size()));
    }
    await(c.expect);
    // Bounded: a prompt that missed the signal would otherwise hold the whole test run.
    int status = 0;
    pid_t reaped = 0;
    for (int i = 0; i < 1000 && reaped == 0; ++i) {
      reaped = ::waitpid(pid, &status, WNOHANG);
      if (reaped == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reaped == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      ::close(master);
      FAIL() << "keygen still waits after 10 s: " << transcript;
    }
    ASSERT_EQ(reaped, pid);
    EXPECT_EQ(WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status), c.exitCode);
    EXPECT_NE(transcript.find(c.expect), std::string::npos) << transcript;
    EXPECT_EQ(transcript.find("sesame"), std::string::npos) << transcript;
    termios after{};
    ASSERT_EQ(::tcgetattr(master, &after), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u) << "the echo is back";
    ::close(master);
    EXPECT_FALSE(fs::exists(pub()) || fs::exists(key()));
  }
}

// Every file a signed run writes carries a signature that minisign and the launcher's verifier
// accept, naming that file, with one serial per run that grows from run to run.
TEST_F(SigningTest, SignedPublishVerifiesWithMinisignAndCarriesOneSerialPerRun) {
  ASSERT_EQ(Keygen({"--unencrypted", pub(), key()}).exitCode, 0);
  Put("a.txt", "a");
  Put("sub/b.bin", Bytes(3000, 6));
  const std::string launcher = tmp.file("launcher-2");
  WriteFile(launcher,
            "\x7f"
            "ELF" +
                Bytes(20000, 1));
  const std::string o = out().string();
  const std::vector<std::array<std::string, 3>> all = {
      {o + "/patchlist.xml", o + "/patchlist.xml.minisig", "patchlist.xml"},
      {o + "/criticalpatchlist.xml", o + "/criticalpatchlist.xml.minisig", "criticalpatchlist.xml"},
      {o + "/KestruneUpdater.exe", o + "/KestruneUpdater.exe.minisig", "KestruneUpdater.exe"},
      {o + "/pts/Settings.xml", o + "/pts/Settings.xml.minisig", "Settings.xml"}};

  const test::ChildResult first =
      Publish({"--sign", key(), "--updater", launcher, "--version", "2"});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  EXPECT_NE(first.out.find("signed with serial 1: patchlist.xml.minisig, "
                           "criticalpatchlist.xml.minisig, KestruneUpdater.exe.minisig, "
                           "pts/Settings.xml.minisig"),
            std::string::npos)
      << first.out;
  ExpectSigned(all, 1);
  EXPECT_EQ(ReadFile(o + "/.kestrune-serial"), "1\n");

  // A dry run names the serial it would sign with, and writes neither it nor a signature.
  Put("a.txt", "changed");
  const auto before = Snapshot(out());
  const test::ChildResult dry = Publish({"--sign", key(), "--dry-run"});
  ASSERT_EQ(dry.exitCode, 0) << dry.err;
  EXPECT_NE(dry.out.find("to sign with serial 2: "), std::string::npos) << dry.out;
  EXPECT_EQ(Snapshot(out()), before);

  // The next run, without --updater, signs again all it names, the launcher copy included;
  // unchanged files keep their stamps, their signatures do not.
  const auto stamps = Stamps(out());
  ASSERT_EQ(Publish({"--sign", key(), "--version", "2"}).exitCode, 0);
  ExpectSigned(all, 2);
  EXPECT_EQ(Stamps(out()).at("KestruneUpdater.exe"), stamps.at("KestruneUpdater.exe"));
  EXPECT_NE(Stamps(out()).at("KestruneUpdater.exe.minisig"),
            stamps.at("KestruneUpdater.exe.minisig"));

  // One list written: the other, left alone, still gets the run's serial.
  ASSERT_EQ(Publish({"--sign", key(), "--normal"}).exitCode, 0);
  ExpectSigned(all, 3);

  // The serial file lost: the signed settings document still says where the count stands.
  fs::remove(out() / ".kestrune-serial");
  ASSERT_EQ(Publish({"--sign", key()}).exitCode, 0);
  ExpectSigned(all, 4);

  // A launcher served elsewhere: its signature waits in OUT_DIR under the name it is served as.
  const std::string next = tmp.file("launcher-3");
  WriteFile(next, "#!/bin/sh\necho 3\n");
  const test::ChildResult elsewhere = Publish(
      {"--sign", key(), "--updater", next, "--updater-url", "http://cdn/dl/Kestrune-3.exe"});
  ASSERT_EQ(elsewhere.exitCode, 0) << elsewhere.err;
  ExpectSigned({{next, o + "/Kestrune-3.exe.minisig", "Kestrune-3.exe"}, all[0], all[1], all[3]},
               5);
  EXPECT_EQ(ReadFile(o + "/.kestrune-serial"), "5\n");
}

// What a signed or unsigned run cannot vouch for is said, and a refused run writes nothing.
TEST_F(SigningTest, RefusalsAndWarnings) {
  ASSERT_EQ(Keygen({"--unencrypted", pub(), key()}).exitCode, 0);
  Put("a.txt", "a");
  const std::string r = release().string(), o = out().string(), url = nginx->Url("");
  const std::string empty = tmp.file("empty");
  WriteFile(empty, "");
  struct Case {
    const char* what;
    std::vector<std::string> args;  // after the program's name
    std::function<void()> prepare;  // empty: nothing
    int exitCode;
    std::string expect;  // in stderr
  };
  const std::vector<Case> cases = {
      {"a public key as the secret key",
       {r, o, "--base-url", url, "--sign", pub()},
       {},
       1,
       "is not a minisign secret key"},
      {"no key file",
       {r, o, "--base-url", url, "--sign", tmp.file("none.key")},
       {},
       1,
       "is not a readable file"},
      {"a serial file without a serial",
       {r, o, "--base-url", url, "--sign", key()},
       [&] { WriteFile(o + "/.kestrune-serial", "seven\n"); },
       1,
       "holds no release serial"},
      {"a launcher URL without a file name",
       {r, o, "--base-url", url, "--sign", key(), "--updater", pub(), "--updater-url",
        "http://cdn/dl/"},
       {},
       2,
       "ends in no file name"},
      {"a passphrase file without --sign",
       {r, o, "--base-url", url, "--passphrase-file", pub()},
       {},
       2,
       "--passphrase-file is for --sign"},
      {"keygen with one file",
       {"keygen", pub()},
       {},
       2,
       "keygen needs PUBLIC_FILE and SECRET_FILE"},
      {"keygen unencrypted with a passphrase",
       {"keygen", "--unencrypted", "--passphrase-file", pub(), tmp.file("x.pub"),
        tmp.file("x.key")},
       {},
       2,
       "exclude each other"},
      {"keygen with an empty passphrase",
       {"keygen", "--passphrase-file", empty, tmp.file("x.pub"), tmp.file("x.key")},
       {},
       1,
       "an empty passphrase protects nothing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(out());
    fs::create_directories(out());
    if (c.prepare) c.prepare();
    const auto before = test::Tree(out());
    std::vector<std::string> argv = c.args;
    argv.insert(argv.begin(), KESTRUNE_PUBLISH);
    const test::ChildResult result = test::RunChild(argv, tmp.path(), {}, tmp.path());
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_NE(result.err.find(c.expect), std::string::npos) << result.err;
    EXPECT_EQ(test::Tree(out()), before);
    EXPECT_FALSE(fs::exists(tmp.file("x.pub")) || fs::exists(tmp.file("x.key")));
  }

  // Without a passphrase from a file, the environment or a terminal, keygen writes nothing.
  const test::ChildResult noTerminal =
      Keygen({tmp.file("x.pub"), tmp.file("x.key")}, {}, {"/usr/bin/setsid", "-w"});
  EXPECT_EQ(noTerminal.exitCode, 2);
  EXPECT_NE(noTerminal.err.find("a passphrase is needed and there is no terminal to ask"),
            std::string::npos)
      << noTerminal.err;
  EXPECT_FALSE(fs::exists(tmp.file("x.pub")) || fs::exists(tmp.file("x.key")));

  // An unsigned run that changes a signed file says that its signature no longer matches.
  fs::remove_all(out());
  ASSERT_EQ(Publish({"--sign", key()}).exitCode, 0);
  Put("a.txt", "changed");
  const test::ChildResult unsignedRun = Publish();
  ASSERT_EQ(unsignedRun.exitCode, 0) << unsignedRun.err;
  EXPECT_NE(unsignedRun.err.find("warning: signatures that no longer match the files this run "
                                 "changed: patchlist.xml.minisig, criticalpatchlist.xml.minisig;"),
            std::string::npos)
      << unsignedRun.err;

  // A signed run that leaves an unsigned list alone cannot vouch for it.
  fs::remove_all(out());
  ASSERT_EQ(Publish().exitCode, 0);
  const test::ChildResult critical = Publish({"--sign", key(), "--critical"});
  ASSERT_EQ(critical.exitCode, 0) << critical.err;
  EXPECT_NE(critical.err.find("warning: left as they are, without a signature of this key: "
                              "patchlist.xml (in " +
                              o + ")"),
            std::string::npos)
      << critical.err;
  EXPECT_FALSE(fs::exists(out() / "patchlist.xml.minisig"));
  EXPECT_TRUE(fs::exists(out() / "criticalpatchlist.xml.minisig"));

  // A self-update announced, and no launcher signed with the run's serial.
  const test::ChildResult announced = Publish(
      {"--sign", key(), "--version", "3", "--updater-url", "http://cdn/KestruneUpdater-3.exe"});
  ASSERT_EQ(announced.exitCode, 0) << announced.err;
  EXPECT_NE(announced.err.find("warning: Settings.xml announces version 3, but this run signs no "
                               "launcher"),
            std::string::npos)
      << announced.err;

  const test::ChildResult help =
      test::RunChild({KESTRUNE_PUBLISH, "keygen", "--help"}, tmp.path(), {}, tmp.path());
  EXPECT_EQ(help.exitCode, 0);
  for (const char* words : {"keygen [--unencrypted | --passphrase-file FILE] PUBLIC_FILE",
                            "--sign SECRET_FILE", "KESTRUNE_SIGN_PASSPHRASE",
                            "at the updater URL + \".minisig\"", "OUT_DIR/.kestrune-serial"}) {
    EXPECT_NE(help.out.find(words), std::string::npos) << words;
  }
}

// Game-like data: 64 KiB blocks, some text that compresses, some noise that does not.
std::string GameLike(std::size_t blocks, unsigned seed) {
  std::string data;
  for (std::size_t b = 0; b < blocks; ++b) {
    if (b % 3 == 2) {
      data += Bytes(64 << 10, seed * 1000 + static_cast<unsigned>(b));
    } else {
      std::string text;
      for (std::size_t i = 0; text.size() < (64 << 10); ++i) {
        text += "item " + std::to_string((i * 7 + b + seed) % 977) + " = { level " +
                std::to_string(i % 60) + " }\n";
      }
      data += text.substr(0, 64 << 10);
    }
  }
  return data;
}

// `data` with every `every`-th 64 KiB block rewritten.
std::string ChangeBlocks(std::string data, std::size_t every, unsigned seed) {
  for (std::size_t at = 0; at < data.size(); at += every * (64 << 10)) {
    const std::string noise = Bytes(std::min<std::size_t>(4096, data.size() - at), seed++);
    data.replace(at, noise.size(), noise);
  }
  return data;
}

std::string Crc32Of(const fs::path& file) {
  std::string out = test::CommandOutput(
      "python3 -c 'import sys,zlib; "
      "print(\"%08X\" % (zlib.crc32(open(sys.argv[1],\"rb\").read()) & 0xFFFFFFFF))' '" +
      file.string() + "'");
  return out.substr(0, 8);
}

// Four bytes that, appended to `data`, give the CRC-32 `target`: the table's indices are found
// walking back from the wanted register, then the bytes that select them walking forward.
std::string ForceCrc(const std::string& data, std::uint32_t target) {
  std::uint32_t table[256];
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[n] = c;
  }
  std::uint32_t reg = 0xFFFFFFFFu;
  for (const char ch : data)
    reg = (reg >> 8) ^ table[(reg ^ static_cast<unsigned char>(ch)) & 0xFF];
  std::uint32_t want = ~target;
  std::uint32_t index[4];
  for (int k = 3; k >= 0; --k) {
    for (std::uint32_t n = 0; n < 256; ++n) {
      if ((table[n] >> 24) == (want >> 24)) index[k] = n;
    }
    want = (want ^ table[index[k]]) << 8;
  }
  std::string tail;
  for (int k = 0; k < 4; ++k) {
    tail += static_cast<char>((reg ^ index[k]) & 0xFF);
    reg = (reg >> 8) ^ table[index[k]];
  }
  return tail;
}

class DeltaPublishTest : public PublishTest {
 protected:
  void SetUp() override {
    PublishTest::SetUp();
    // Release 1, published; release 2 changes big.bin in 1 block of 12 and text.txt in a
    // line, keeps same.txt, changes other.txt, adds new.bin.
    first = {{"big.bin", GameLike(48, 1)},
             {"sub/text.txt", GameLike(2, 2)},
             {"same.txt", "same in both"},
             {"other.txt", "other, first"}};
    second = first;
    second["big.bin"] = ChangeBlocks(first["big.bin"], 12, 7);
    second["sub/text.txt"].replace(100, 12, "changed line");
    second["other.txt"] = "other, second";
    second["new.bin"] = Bytes(10000, 9);
    for (const auto& [name, bytes] : first) {
      fs::create_directories((releaseOne() / name).parent_path());
      WriteFile((releaseOne() / name).string(), bytes);
    }
    for (const auto& [name, bytes] : second) Put(name, bytes);
    ASSERT_EQ(Publish({}, false, releaseOne()).exitCode, 0);
    const test::ChildResult published = Publish({"--delta-from", releaseOne().string()});
    ASSERT_EQ(published.exitCode, 0) << published.err;
    bigDelta = "big.bin." + Crc32Of(releaseOne() / "big.bin") + ".zst";
    textDelta = "sub/text.txt." + Crc32Of(releaseOne() / "sub/text.txt") + ".zst";
  }

  fs::path releaseOne() const { return tmp.path() / "release1"; }

  // A game folder at release 1, with `changes` on top.
  void GameAtReleaseOne(const std::map<std::string, std::string>& changes = {}) {
    fs::remove_all(game());
    for (const auto& [name, bytes] : first) {
      const std::string content = changes.count(name) ? changes.at(name) : bytes;
      fs::create_directories((game() / name).parent_path());
      WriteFile((game() / name).string(), content);
    }
  }

  std::map<std::string, std::string> ReleaseTwo() const {
    std::map<std::string, std::string> expected(second.begin(), second.end());
    expected["kestrune.lock"] = "";
    return expected;
  }

  std::map<std::string, std::string> first, second;
  std::string bigDelta, textDelta;
};

TEST_F(DeltaPublishTest, AFolderAtReleaseOneFetchesOnlyDeltasForChangedFiles) {
  // other.txt is at neither release: its CRC names no delta.
  GameAtReleaseOne({{"other.txt", "at neither release"}});
  Fetched();

  const test::ChildResult launched = Launch();
  ASSERT_EQ(launched.exitCode, 0) << launched.out << launched.err;
  EXPECT_EQ(test::Tree(game()), ReleaseTwo());
  const std::vector<std::string> fetched = Fetched();
  EXPECT_EQ(std::set<std::string>(fetched.begin(), fetched.end()),
            (std::set<std::string>{bigDelta + " 200", textDelta + " 200", "other.txt.lzma 200",
                                   "new.bin.lzma 200"}));
  EXPECT_EQ(fetched.size(), 4u);
  const std::vector<std::string> lines = launched.OutLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Download big.bin"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Extract : " + bigDelta), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Extract : new.bin.lzma"), lines.end());

  // The deltas cost a small part of the full files.
  const auto lzma = fs::file_size(out() / "files/big.bin.lzma");
  EXPECT_LT(fs::file_size(out() / "files" / bigDelta) * 5, lzma);
}

TEST_F(DeltaPublishTest, TheListVouchesForTheOldFileAndZstdAppliesTheDelta) {
  XmlDocument doc;
  doc.Parse(ReadFile((out() / "patchlist.xml").string()));
  std::vector<XmlElement> archives;
  doc.Root().FindElements("archive", archives);
  std::map<std::string, XmlElement> byName;
  for (const XmlElement& a : archives) byName[a.Attribute("filename")] = a;
  for (const std::string name : {"big.bin", "sub\\text.txt"}) {
    std::vector<XmlElement> deltas;
    byName.at(name).FindElements("delta", deltas);
    ASSERT_EQ(deltas.size(), 1u) << name;
    std::string slashed = name;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    const fs::path old = releaseOne() / slashed;
    EXPECT_EQ(deltas[0].Attribute("from"), Crc32Of(old));
    EXPECT_EQ(deltas[0].Attribute("sha256"),
              test::CommandOutput("sha256sum '" + old.string() + "'").substr(0, 64));
    const fs::path zst = out() / "files" / (slashed + "." + Crc32Of(old) + ".zst");
    EXPECT_EQ(deltas[0].Attribute("packed"), std::to_string(fs::file_size(zst)));
    // The zstd command, not our decoder.
    const fs::path decoded = tmp.path() / "decoded";
    test::CommandOutput("zstd -q -d -f --long=31 --patch-from='" + old.string() + "' '" +
                        zst.string() + "' -o '" + decoded.string() + "'");
    EXPECT_EQ(ReadFile(decoded.string()), second.at(slashed)) << name;
  }
  // Same content, no old file, or a change too large to pay: no delta.
  for (const std::string name : {"same.txt", "new.bin", "other.txt"}) {
    std::vector<XmlElement> deltas;
    byName.at(name).FindElements("delta", deltas);
    EXPECT_TRUE(deltas.empty()) << name;
  }
  EXPECT_FALSE(
      fs::exists(out() / "files" / ("other.txt." + Crc32Of(releaseOne() / "other.txt") + ".zst")));

  // Published again alike: nothing rewritten; without --delta-from the deltas go.
  const auto before = Stamps(out());
  ASSERT_EQ(Publish({"--delta-from", releaseOne().string()}).exitCode, 0);
  EXPECT_EQ(Stamps(out()), before);
  const test::ChildResult dry = Publish({"--dry-run", "--delta-from", releaseOne().string()});
  EXPECT_NE(dry.out.find("delta big.bin from " + Crc32Of(releaseOne() / "big.bin")),
            std::string::npos)
      << dry.out;
  ASSERT_EQ(Publish().exitCode, 0);
  EXPECT_FALSE(fs::exists(out() / "files" / bigDelta));
  EXPECT_EQ(ReadFile((out() / "patchlist.xml").string()).find("<delta"), std::string::npos);
}

TEST_F(DeltaPublishTest, AFailedDeltaFallsBackToTheFullFileInTheSameRun) {
  const fs::path zst = out() / "files" / bigDelta;
  const std::string good = ReadFile(zst.string());
  struct Case {
    const char* what;
    std::function<void()> spoil;
    std::string deltaStatus;
  };
  const std::vector<Case> cases = {
      {"a corrupt body",
       [&] {
         std::string bad = good;
         for (std::size_t i = bad.size() / 3; i < bad.size() / 3 + 16; ++i) bad[i] ^= 0x5A;
         WriteFile(zst.string(), bad);
       },
       "200"},
      {"a short body", [&] { WriteFile(zst.string(), good.substr(0, good.size() / 2)); }, "200"},
      {"no delta on the server", [&] { fs::remove(zst); }, "404"},
  };
  for (const Case& c : cases) {
    c.spoil();
    GameAtReleaseOne();
    Fetched();
    const test::ChildResult launched = Launch();
    EXPECT_EQ(launched.exitCode, 0) << c.what << launched.out << launched.err;
    EXPECT_EQ(test::Tree(game()), ReleaseTwo()) << c.what;
    const std::vector<std::string> fetched = Fetched();
    const auto at = [&](const std::string& request) {
      return std::find(fetched.begin(), fetched.end(), request) - fetched.begin();
    };
    EXPECT_LT(at(bigDelta + " " + c.deltaStatus), at("big.bin.lzma 200")) << c.what;
    EXPECT_LT(at("big.bin.lzma 200"), static_cast<long>(fetched.size())) << c.what;
    WriteFile(zst.string(), good);
  }
}

TEST_F(DeltaPublishTest, ALocalFileWithTheOldCrcButAnotherSha256GetsTheFullFile) {
  // Release 1's big.bin with a changed byte, and four bytes that restore its CRC-32.
  std::string forged = first.at("big.bin");
  forged[5000] ^= 1;
  forged += ForceCrc(forged, static_cast<std::uint32_t>(
                                 std::stoul(Crc32Of(releaseOne() / "big.bin"), nullptr, 16)));
  GameAtReleaseOne({{"big.bin", forged}});
  ASSERT_EQ(Crc32Of(game() / "big.bin"), Crc32Of(releaseOne() / "big.bin"));
  Fetched();

  const test::ChildResult launched = Launch();
  ASSERT_EQ(launched.exitCode, 0) << launched.out << launched.err;
  EXPECT_EQ(test::Tree(game()), ReleaseTwo());
  const std::vector<std::string> fetched = Fetched();
  EXPECT_NE(std::find(fetched.begin(), fetched.end(), "big.bin.lzma 200"), fetched.end());
  EXPECT_EQ(std::find(fetched.begin(), fetched.end(), bigDelta + " 200"), fetched.end());
}

}  // namespace
}  // namespace kestrune
