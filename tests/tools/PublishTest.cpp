// kestrune-publish end to end: the real executable publishes a release folder, a real nginx
// serves the result and the real launcher (headless) brings a game folder into line from it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "NginxServer.h"
#include "TestSupport.h"
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

class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const fs::path& p : {release(), out(), game()}) fs::create_directories(p);
    test::NginxServer::Options options;
    options.root = out();
    nginx = std::make_unique<test::NginxServer>(tmp.path() / "nginx", options);
    ASSERT_TRUE(nginx->running());
  }

  fs::path release() const { return tmp.path() / "release"; }
  fs::path out() const { return tmp.path() / "out"; }
  fs::path game() const { return tmp.path() / "game"; }

  void Put(const std::string& name, const std::string& bytes) {
    const fs::path path = release() / name;
    fs::create_directories(path.parent_path());
    WriteFile(path.string(), bytes);
  }

  test::ChildResult Publish(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {KESTRUNE_PUBLISH, release().string(), out().string(),
                                     "--base-url",     nginx->Url(""),     "--critical"};
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
  EXPECT_EQ(test::Tree(game()), test::Tree(release()));
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

// A failed run leaves what an earlier run wrote as it was, and no partial file.
TEST_F(PublishTest, FailuresNameThePathAndLeaveEarlierOutputIntact) {
  Put("a.txt", "a");
  ASSERT_EQ(Publish().exitCode, 0);
  const std::string list = ReadFile((out() / "criticalpatchlist.xml").string());

  struct Case {
    const char* what;
    std::function<void(const fs::path&)> spoil;
    std::string expect;  // in stderr
  };
  const std::vector<Case> cases = {
      {"unreadable file",
       [](const fs::path& r) { fs::create_symlink(r / "nowhere", r / "dangling.txt"); },
       "dangling.txt"},
      {"backslash in a name", [](const fs::path& r) { WriteFile((r / "a\\b").string(), "x"); },
       "a\\b"},
      {"name the launcher cannot fetch",
       [](const fs::path& r) { WriteFile((r / "50%.txt").string(), "x"); }, "50%.txt"},
  };
  for (const Case& c : cases) {
    fs::remove_all(release());
    Put("a.txt", "changed");
    c.spoil(release());
    const test::ChildResult r = Publish();
    EXPECT_EQ(r.exitCode, 1) << c.what;
    EXPECT_NE(r.err.find(c.expect), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(ReadFile((out() / "criticalpatchlist.xml").string()), list) << c.what;
    EXPECT_EQ(
        test::CommandOutput("xz --format=lzma -dc '" + (out() / "files/a.txt.lzma").string() + "'"),
        "a")
        << c.what;
    for (const auto& e : fs::recursive_directory_iterator(out())) {
      EXPECT_EQ(e.path().string().find(".publishing"), std::string::npos) << e.path();
    }
  }
}

TEST_F(PublishTest, UsageErrorsAndHelp) {
  const test::ChildResult help =
      test::RunChild({KESTRUNE_PUBLISH, "--help"}, tmp.path(), {}, tmp.path());
  EXPECT_EQ(help.exitCode, 0);
  for (const char* word : {"RELEASE_DIR", "--base-url", "--critical", "-9", "Settings.xml"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  const std::vector<std::vector<std::string>> bad = {
      {release().string(), out().string()},                           // no base URL
      {release().string(), "--base-url", "http://h/"},                // no output folder
      {release().string(), out().string(), "--base-url", "u", "-x"},  // unknown option
      {release().string(), out().string(), "--base-url", "u", "--jobs", "0"}};
  for (auto args : bad) {
    args.insert(args.begin(), KESTRUNE_PUBLISH);
    const test::ChildResult r = test::RunChild(args, tmp.path(), {}, tmp.path());
    EXPECT_EQ(r.exitCode, 2) << args.back();
    EXPECT_FALSE(r.err.empty());
  }
  const test::ChildResult missing = test::RunChild(
      {KESTRUNE_PUBLISH, (tmp.path() / "none").string(), out().string(), "--base-url", "u"},
      tmp.path(), {}, tmp.path());
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("none"), std::string::npos);
}

}  // namespace
}  // namespace kestrune
