// The headless launcher with the publisher's key, against a real nginx serving a set made by
// kestrune-publish and signed with the minisign tool: the untampered set goes through, and
// each tampering is refused as its document's failure, with no game or profile file changed.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "NginxServer.h"
#include "TestSupport.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

constexpr const char* kSettingsError = "Error! Please try again later!1\n";
const std::vector<std::string> kSilentEnd = {"Updater is ready to work."};

class SignedReleaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const fs::path& p : {release(), published(), profile()}) fs::create_directories(p);
    for (const char* key : {"k", "other"}) {
      Run("minisign -G -W -p '" + Key(key, "pub") + "' -s '" + Key(key, "key") + "'");
    }
    const std::string pub = ReadFile(Key("k", "pub"));
    publicKey = pub.substr(pub.find('\n') + 1);
    publicKey = publicKey.substr(0, publicKey.find('\n'));
    test::NginxServer::Options options;
    options.root = www();
    nginx = std::make_unique<test::NginxServer>(tmp.path() / "nginx", options);
    ASSERT_TRUE(nginx->running());
  }

  static void Run(const std::string& command) {
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
  }

  // Publishes the release into the pristine copy and signs the settings and both lists, as
  // release serial `serial`; `options` go to kestrune-publish.
  void PublishSigned(const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv = {KESTRUNE_PUBLISH, release().string(), published().string(),
                                     "--base-url", nginx->Url("")};
    argv.insert(argv.end(), options.begin(), options.end());
    const test::ChildResult r = test::RunChild(argv, tmp.path(), {}, tmp.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* name : {"pts/Settings.xml", "patchlist.xml", "criticalpatchlist.xml"}) {
      Sign(published() / name);
    }
  }

  // FILE.minisig for `file`, by `key`, for `name` (default: the file's own name).
  void Sign(const fs::path& file, std::uint64_t at = 5, const std::string& key = "k",
            std::optional<std::string> name = std::nullopt) {
    const std::string comment = "file:" + name.value_or(file.filename().string()) +
                                " serial:" + std::to_string(at) +
                                " time:" + std::to_string(std::time(nullptr));
    fs::remove(file.string() + ".minisig");
    Run("minisign -S -s '" + Key(key, "key") + "' -m '" + file.string() + "' -t '" + comment + "'");
  }

  // www becomes the pristine copy, changed by `tamper`; the game folder its first state.
  void Stage(const std::function<void(const fs::path& www)>& tamper) {
    fs::remove_all(www());
    fs::copy(published(), www(), fs::copy_options::recursive);
    if (tamper) tamper(www());
    fs::remove_all(game());
    fs::create_directories(game());
    WriteFile((game() / "a.txt").string(), "outdated");
    fs::remove_all(config());
  }

  test::ChildResult Launch() {
    return test::RunChild({KESTRUNE_UPDATER}, game(),
                          {{"KESTRUNE_HEADLESS", "1"},
                           {"KESTRUNE_SETTINGS_HOST", "127.0.0.1:" + std::to_string(nginx->port())},
                           {"KESTRUNE_PUBLIC_KEY", publicKey},
                           {"USERPROFILE", profile().string()},
                           {"HOME", profile().string()},
                           {"XDG_CONFIG_HOME", config().string()},
                           {"XDG_RUNTIME_DIR", tmp.path().string()}},
                          tmp.path());
  }

  // The game folder without the patch run's lock file.
  std::map<std::string, std::string> GameFiles() const {
    auto tree = test::Tree(game());
    tree.erase("kestrune.lock");
    return tree;
  }
  fs::path StoreFile() const { return config() / "KestruneUpdaterPts" / "Settings" / "values.reg"; }
  void StoreSerial(const std::string& value) {
    fs::create_directories(StoreFile().parent_path());
    WriteFile(StoreFile().string(), "\"Serial\"=\"" + value + "\"\n");
  }
  // The "Serial" line of the per-user store, empty when there is none.
  std::string Stored() const {
    if (!fs::exists(StoreFile())) return {};
    const std::string text = ReadFile(StoreFile().string());
    const std::size_t at = text.find("\"Serial\"=");
    return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
  }

  std::string Key(const std::string& name, const std::string& ext) const {
    return (tmp.path() / (name + "." + ext)).string();
  }
  fs::path release() const { return tmp.path() / "release"; }
  fs::path published() const { return tmp.path() / "published"; }
  fs::path www() const { return tmp.path() / "www"; }
  fs::path game() const { return tmp.path() / "game"; }
  fs::path profile() const { return tmp.path() / "home"; }
  fs::path config() const { return tmp.path() / "config"; }

  test::TempDir tmp;
  std::unique_ptr<test::NginxServer> nginx;
  std::string publicKey;
};

void FlipLastByte(const fs::path& file) {
  std::string bytes = ReadFile(file.string());
  bytes.back() = static_cast<char>(bytes.back() ^ 0x01);
  WriteFile(file.string(), bytes);
}

void Replace(const fs::path& file, const std::string& from, const std::string& to) {
  std::string text = ReadFile(file.string());
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
  WriteFile(file.string(), text);
}

TEST_F(SignedReleaseTest, TheSignedSetGoesThroughAndEveryTamperingIsRefused) {
  WriteFile((release() / "a.txt").string(), "alpha");
  PublishSigned();
  const std::string listSha = test::CommandOutput("printf alpha | sha256sum").substr(0, 64);

  enum class Outcome {
    Updated,      // the critical run brought the folder up to date
    SettingsBox,  // the settings failed: the message box, nothing read
    SilentEnd,    // the patch list failed: the run ended without a word
    FileRefused,  // the run went on and refused the file: code 2
  };
  struct Case {
    const char* name;
    std::function<void(const fs::path& www)> tamper;
    Outcome outcome;
    const char* storedBefore = nullptr;  // "Serial" in the per-user store before the run
  };
  const Case cases[] = {
      {"untampered", nullptr, Outcome::Updated},
      {"equal stored serial", nullptr, Outcome::Updated, "5"},
      {"changed Settings.xml byte",
       [](const fs::path& www) { FlipLastByte(www / "pts/Settings.xml"); }, Outcome::SettingsBox},
      {"signature of another file",
       [](const fs::path& www) {
         fs::copy_file(www / "patchlist.xml.minisig", www / "pts/Settings.xml.minisig",
                       fs::copy_options::overwrite_existing);
       },
       Outcome::SettingsBox},
      {"missing settings signature",
       [](const fs::path& www) { fs::remove(www / "pts/Settings.xml.minisig"); },
       Outcome::SettingsBox},
      {"settings signed by another key",
       [this](const fs::path& www) { Sign(www / "pts/Settings.xml", 5, "other"); },
       Outcome::SettingsBox},
      {"settings stamp naming another file",
       [this](const fs::path& www) { Sign(www / "pts/Settings.xml", 5, "k", "patchlist.xml"); },
       Outcome::SettingsBox},
      {"lower serial than stored (rollback)", nullptr, Outcome::SettingsBox, "6"},
      {"patch list signed with a lower serial",
       [this](const fs::path& www) { Sign(www / "criticalpatchlist.xml", 4); }, Outcome::SilentEnd},
      {"patch list entry changed after signing",
       [listSha](const fs::path& www) {
         Replace(www / "criticalpatchlist.xml", listSha, std::string(64, '0'));
       },
       Outcome::SilentEnd},
      {"missing patch list signature",
       [](const fs::path& www) { fs::remove(www / "criticalpatchlist.xml.minisig"); },
       Outcome::SilentEnd},
      // Both lists name the same files: only the stamp's name tells them apart.
      {"the other list with its own valid signature",
       [](const fs::path& www) {
         for (const char* ext : {"", ".minisig"}) {
           fs::copy_file(www / ("patchlist.xml" + std::string(ext)),
                         www / ("criticalpatchlist.xml" + std::string(ext)),
                         fs::copy_options::overwrite_existing);
         }
       },
       Outcome::SilentEnd},
      {"patch list signed by another key",
       [this](const fs::path& www) { Sign(www / "criticalpatchlist.xml", 5, "other"); },
       Outcome::SilentEnd},
      {"signed list whose sha256 the served file does not match",
       [this, listSha](const fs::path& www) {
         Replace(www / "criticalpatchlist.xml", listSha, std::string(64, '0'));
         Sign(www / "criticalpatchlist.xml");
       },
       Outcome::FileRefused},
  };

  const std::map<std::string, std::string> before = {{"a.txt", "outdated"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Stage(c.tamper);
    if (c.storedBefore) StoreSerial(c.storedBefore);
    const std::string storedBefore = Stored();
    const test::ChildResult r = Launch();

    switch (c.outcome) {
      case Outcome::Updated:
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        ASSERT_FALSE(r.OutLines().empty());
        EXPECT_EQ(r.OutLines().back(), "All files were successfully updated!");
        EXPECT_EQ(GameFiles(), (std::map<std::string, std::string>{{"a.txt", "alpha"}}));
        EXPECT_EQ(Stored(), "\"Serial\"=\"5\"");
        break;
      case Outcome::SettingsBox:
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.err.find(kSettingsError), std::string::npos) << r.err;
        // Nothing read from it: no list URL, so the critical run fetched nothing.
        EXPECT_EQ(r.OutLines(), kSilentEnd) << r.out;
        EXPECT_EQ(GameFiles(), before);
        EXPECT_EQ(Stored(), storedBefore) << "the refused serial is not kept";
        break;
      case Outcome::SilentEnd:
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_EQ(r.err, "") << "no message box, no #042";
        EXPECT_EQ(r.OutLines(), kSilentEnd) << r.out;
        EXPECT_EQ(GameFiles(), before);
        break;
      case Outcome::FileRefused:
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        ASSERT_FALSE(r.OutLines().empty());
        EXPECT_EQ(r.OutLines().back(), "An error occurred, try again later.");
        EXPECT_EQ(GameFiles(), before);
        break;
    }
  }
}

// The same launcher against the same set, unsigned: nothing of it is taken. A launcher
// without a key (every other test) takes it as before.
TEST_F(SignedReleaseTest, AnUnsignedSetIsRefusedAtItsSettings) {
  WriteFile((release() / "a.txt").string(), "alpha");
  PublishSigned();
  Stage([](const fs::path& www) {
    for (const auto& e : fs::recursive_directory_iterator(www)) {
      if (e.path().extension() == ".minisig") fs::remove(e.path());
    }
  });
  const test::ChildResult r = Launch();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(kSettingsError), std::string::npos) << r.err;
  EXPECT_EQ(GameFiles(), (std::map<std::string, std::string>{{"a.txt", "outdated"}}));
}

TEST_F(SignedReleaseTest, TheNewLauncherIsInstalledOnlyWhenSigned) {
  // Announced without updaterSHA256, so that only the signature vouches for the body.
  PublishSigned({"--version", "2"});
  const std::string marker = (tmp.path() / "started").string();
  const std::string standIn = "#!/bin/sh\ntouch '" + marker + "'\n";
  WriteFile((published() / "KestruneUpdater.exe").string(), standIn);
  Sign(published() / "KestruneUpdater.exe");

  struct Case {
    const char* name;
    std::function<void(const fs::path& www)> tamper;
    const char* storedBefore = nullptr;
  };
  const Case refused[] = {
      {"unsigned new launcher",
       [](const fs::path& www) { fs::remove(www / "KestruneUpdater.exe.minisig"); }},
      {"body changed in transit",
       [](const fs::path& www) { FlipLastByte(www / "KestruneUpdater.exe"); }},
      {"signed by another key",
       [this](const fs::path& www) { Sign(www / "KestruneUpdater.exe", 5, "other"); }},
      {"stamp naming another file",
       [this](const fs::path& www) { Sign(www / "KestruneUpdater.exe", 5, "k", "Settings.xml"); }},
      {"launcher signed with a lower serial",
       [this](const fs::path& www) { Sign(www / "KestruneUpdater.exe", 4); }},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    Stage(c.tamper);
    const test::ChildResult r = Launch();
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    ASSERT_FALSE(r.OutLines().empty());
    EXPECT_EQ(r.OutLines().back(), "An error occurred while trying to update.") << r.out;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(test::Tree(profile()).empty()) << "no launcher, no .part, no script";
    EXPECT_EQ(GameFiles(), (std::map<std::string, std::string>{{"a.txt", "outdated"}}));
  }

  Stage(nullptr);
  const test::ChildResult r = Launch();
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("The program restart now."), std::string::npos) << r.out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!fs::exists(marker) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(fs::exists(marker)) << "the signed launcher was swapped in and started";
}

}  // namespace
}  // namespace kestrune
