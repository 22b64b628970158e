// The start-up sequence against the scripted loopback server: settings document, language,
// and which worker it starts.

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>

#include <map>
#include <memory>
#include <optional>

#include "LauncherTestSupport.h"
#include "LoopbackServer.h"
#include "MainForm.h"
#include "Platform.h"
#include "TestSupport.h"
#include "UserStore.h"
#include "sign/Minisign.h"
#include "sign/ReleaseStamp.h"

namespace kestrune {
namespace {

using test::LoopbackConnection;
using test::LoopbackServer;
using test::RecordingView;
using test::ScopedEnv;
using test::TempDir;

constexpr const char* kErrorBox = "Error! Please try again later!1";

// What a start-up asked the starters for; the workers are the real minimal ones.
struct StartRecorder {
  std::vector<std::shared_ptr<ThreadForDownLoad>> patch;
  std::vector<std::shared_ptr<VersionDownloader>> selfUpdate;

  WorkerFactories Factories() {
    return {[this](LauncherInterface& launcher) {
              patch.push_back(std::make_shared<ThreadForDownLoad>(launcher));
              return patch.back();
            },
            [this](LauncherInterface& launcher) {
              selfUpdate.push_back(std::make_shared<VersionDownloader>(launcher));
              return selfUpdate.back();
            }};
  }
};

// A scratch game folder, per-user store and lock folder, a profile folder, the settings host
// pointed at a loopback port, and a form over a recording view.
class StartupTest : public ::testing::Test {
 protected:
  void PointSettingsAt(int port) {
    host_.emplace("KESTRUNE_SETTINGS_HOST", "127.0.0.1:" + std::to_string(port));
  }

  // A port that refuses connections: a server's, after it has gone.
  void PointSettingsNowhere() {
    int port;
    {
      LoopbackServer gone([](LoopbackConnection&, int) {});
      port = gone.port();
    }
    PointSettingsAt(port);
  }

  void RunStartup() {
    form = std::make_unique<TFormUpdater>(view, ui, starts.Factories());
    form->FormCreate();
  }

  // Lets the started workers run to their end.
  void FinishWorkers() {
    ui.ServeUntil([this] {
      for (auto& w : starts.patch)
        if (!w->Finished()) return false;
      for (auto& w : starts.selfUpdate)
        if (!w->Finished()) return false;
      return true;
    });
  }

  // The real patch workers run here: each test has its own game folder and its lock.
  test::GameFolder game_{false};
  TempDir config_;
  TempDir runtime_;
  test::FreshUserStore store_{config_.path()};
  ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", runtime_.path().string()};
  ScopedEnv profileEnv_{"USERPROFILE", "/home/player"};
  std::optional<ScopedEnv> host_;
  PlainUiThread ui;
  RecordingView view;
  StartRecorder starts;
  std::unique_ptr<TFormUpdater> form;  // destroyed first: it waits for its workers
};

// ---- The settings document --------------------------------------------------------------

constexpr const char* kPatchlist = "http://patch.example/pts/patchlist.xml";
constexpr const char* kCritical = "http://patch.example/pts/critical.xml";
constexpr const char* kFolder = "http://patch.example/pts/files/";
constexpr const char* kUpdater = "http://patch.example/pts/KestruneUpdater.exe";

// The nine elements as direct children of the root, in their order; `replace` swaps the
// markup of the named ones ("" drops an element).
std::string Document(const std::map<std::string, std::string>& replace = {}) {
  const std::vector<std::pair<std::string, std::string>> nine = {
      {"version", "1"},
      {"patchlistURL", kPatchlist},
      {"criticalPatchlistURL", kCritical},
      {"patchListFolder", kFolder},
      {"updaterURL", kUpdater},
      {"criticalVersion", "3"},
      {"autoStartClient", "true"},
      {"doubleRunCheck", "false"},
      {"closeUpdaterAfterStartinGame", "yes"},
  };
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Settings>\n";
  for (const auto& [name, value] : nine) {
    const auto swapped = replace.find(name);
    text +=
        swapped != replace.end() ? swapped->second : "  <" + name + ">" + value + "</" + name + ">";
    text += "\n";
  }
  return text + "</Settings>\n";
}

struct Fields {
  std::int32_t version = 0;
  std::string patchlist;
  std::string criticalPatchlist;
  std::string patchListFolder;
  std::string updaterURL;
  std::int32_t criticalVersion = 0;
  bool autoStartClient = false;
  bool doubleRunCheck = false;
  bool closeUpdaterAfterStartinGame = false;
  std::optional<std::string> updaterSHA256;
  std::optional<std::int32_t> parallelDownloads;
};

// The fields of Document() as it stands.
Fields AllRead(std::int32_t version = 1) {
  return {version, kPatchlist, kCritical, kFolder,      kUpdater,    3,
          true,    false,      true,      std::nullopt, std::nullopt};
}

// Document() with `value` as the number of transfers after the nine; all nine read, and the
// number as `expected`.
std::pair<std::string, Fields> WithTransfers(const std::string& value,
                                             std::optional<std::int32_t> expected) {
  Fields fields = AllRead();
  fields.parallelDownloads = expected;
  return {Document({{"closeUpdaterAfterStartinGame",
                     "<closeUpdaterAfterStartinGame>yes</closeUpdaterAfterStartinGame>\n"
                     "  <parallelDownloads>" +
                         value + "</parallelDownloads>"}}),
          fields};
}

enum class Started { CriticalPatchRun, SelfUpdate };

struct SettingsCase {
  std::string name;
  std::optional<std::string> response;  // a whole HTTP response; nullopt: server unreachable
  Fields expected;
  bool errorBox;
  Started started;
};

void PrintTo(const SettingsCase& c, std::ostream* os) {
  *os << c.name;
}

std::string Ok(const std::string& body) {
  return test::Response("HTTP/1.1 200 OK", body, "Content-Type: text/xml\r\n");
}

std::vector<SettingsCase> SettingsCases() {
  Fields firstFive = AllRead();
  firstFive.criticalVersion = 0;
  firstFive.autoStartClient = false;
  firstFive.closeUpdaterAfterStartinGame = false;
  Fields firstSeven = AllRead();
  firstSeven.closeUpdaterAfterStartinGame = false;
  Fields noFolder = AllRead();
  noFolder.patchListFolder = "";
  Fields doubleRun = AllRead();
  doubleRun.doubleRunCheck = true;
  const std::string digest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
  const std::string withDigest = std::string("<updaterURL>") + kUpdater +
                                 "</updaterURL>\n  <updaterSHA256>" + digest + "</updaterSHA256>";
  Fields digestRead = AllRead(2);
  digestRead.updaterSHA256 = digest;
  Fields digestBeforeAFailure = firstFive;
  digestBeforeAFailure.updaterSHA256 = digest;
  Fields emptyDigest = AllRead(2);
  emptyDigest.updaterSHA256 = "";
  const auto transfers = [](const std::string& name, const std::string& value,
                            std::optional<std::int32_t> expected) {
    auto [document, fields] = WithTransfers(value, expected);
    return SettingsCase{name, Ok(document), fields, false, Started::CriticalPatchRun};
  };
  return {
      // Absent, the number stays unset (the build's own) in every case below.
      transfers("ParallelDownloadsOne", "1", 1),
      transfers("ParallelDownloadsEight", "8", 8),
      transfers("ParallelDownloadsZeroIsOne", "0", 1),
      transfers("ParallelDownloadsAboveSixteenIsSixteen", "99", 16),
      transfers("ParallelDownloadsInLettersIsIgnored", "eight", std::nullopt),
      transfers("ParallelDownloadsWithABlankIsIgnored", "8 ", std::nullopt),
      {"UpdaterSHA256IsRead",
       Ok(Document({{"version", "<version>2</version>"}, {"updaterURL", withDigest}})), digestRead,
       false, Started::SelfUpdate},
      // Kept with the URL even when a later value fails: the URL is never used without it.
      {"UpdaterSHA256LastInTheDocumentSurvivesALaterFailure",
       Ok(Document({{"criticalVersion", "<criticalVersion>three</criticalVersion>"},
                    {"closeUpdaterAfterStartinGame",
                     "<closeUpdaterAfterStartinGame>yes</closeUpdaterAfterStartinGame>"
                     "<updaterSHA256>" +
                         digest + "</updaterSHA256>"}})),
       digestBeforeAFailure, true, Started::CriticalPatchRun},
      {"EmptyUpdaterSHA256IsPresent",
       Ok(Document({{"version", "<version>2</version>"},
                    {"updaterURL",
                     std::string("<updaterURL>") + kUpdater + "</updaterURL><updaterSHA256/>"}})),
       emptyDigest, false, Started::SelfUpdate},
      {"AllNineVersion2StartsSelfUpdate", Ok(Document({{"version", "<version>2</version>"}})),
       AllRead(2), false, Started::SelfUpdate},
      {"VersionNestedTwoDeep",
       Ok(Document({{"version", "<group><inner><version>2</version></inner></group>"}})),
       AllRead(2), false, Started::SelfUpdate},
      {"FirstOfTwoVersionsWins",
       Ok(Document({{"closeUpdaterAfterStartinGame",
                     "<closeUpdaterAfterStartinGame>yes</closeUpdaterAfterStartinGame>"
                     "<version>5</version>"}})),
       AllRead(1), false, Started::CriticalPatchRun},
      {"VersionInCapitals", Ok(Document({{"version", "<VERSION>2</VERSION>"}})), AllRead(2), false,
       Started::SelfUpdate},
      {"NestedPatchListFolderStaysEmpty",
       Ok(Document({{"patchListFolder", std::string("<group><patchListFolder>") + kFolder +
                                            "</patchListFolder></group>"}})),
       noFolder, false, Started::CriticalPatchRun},
      {"DoubleRunCheckOne",
       Ok(Document({{"doubleRunCheck", "<doubleRunCheck>1</doubleRunCheck>"}})), doubleRun, false,
       Started::CriticalPatchRun},
      {"DoubleRunCheckOnFails",
       Ok(Document({{"doubleRunCheck", "<doubleRunCheck>on</doubleRunCheck>"}})), firstSeven, true,
       Started::CriticalPatchRun},
      {"LettersInCriticalVersion",
       Ok(Document({{"criticalVersion", "<criticalVersion>three</criticalVersion>"}})), firstFive,
       true, Started::CriticalPatchRun},
      {"BlankAfterVersion",
       Ok(Document({{"version", "<version>2 </version>"}})),
       {},
       true,
       Started::CriticalPatchRun},
      {"LineBreakAfterVersion",
       Ok(Document({{"version", "<version>2\n</version>"}})),
       {},
       true,
       Started::CriticalPatchRun},
      {"BlankBeforeDoubleRunCheck",
       Ok(Document({{"doubleRunCheck", "<doubleRunCheck> true</doubleRunCheck>"}})), firstSeven,
       true, Started::CriticalPatchRun},
      {"MissingVersion", Ok(Document({{"version", ""}})), {}, true, Started::CriticalPatchRun},
      {"NotADocument", Ok("Service temporarily unavailable"), {}, true, Started::CriticalPatchRun},
      {"NotFound",
       test::Response("HTTP/1.1 404 Not Found", Document({{"version", "<version>2</version>"}})),
       {},
       true,
       Started::CriticalPatchRun},
      {"ServerUnreachable", std::nullopt, {}, true, Started::CriticalPatchRun},
  };
}

class SettingsDocumentAtStartup : public StartupTest,
                                  public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(SettingsDocumentAtStartup, SetsFieldsReportsFailureAndStartsOneWorker) {
  const SettingsCase& c = GetParam();
  std::optional<LoopbackServer> server;
  if (c.response) {
    server.emplace([reply = *c.response](LoopbackConnection& connection, int) {
      if (!connection.ReadRequest().empty()) connection.Send(reply);
    });
    PointSettingsAt(server->port());
  } else {
    PointSettingsNowhere();
  }

  RunStartup();

  if (server) {
    ASSERT_EQ(server->Requests().size(), 1u);
    const std::string request = server->Requests()[0];
    EXPECT_EQ(request.rfind("GET /pts/Settings.xml HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("Host: 127.0.0.1:" + std::to_string(server->port()) + "\r\n"),
              std::string::npos)
        << request;
  }
  const Fields& e = c.expected;
  EXPECT_EQ(form->version, e.version);
  EXPECT_EQ(form->patchlist, e.patchlist);
  EXPECT_EQ(form->criticalPatchlist, e.criticalPatchlist);
  EXPECT_EQ(form->patchListFolder, e.patchListFolder);
  EXPECT_EQ(form->updaterURL, e.updaterURL);
  EXPECT_EQ(form->criticalVersion, e.criticalVersion);
  EXPECT_EQ(form->autoStartClient, e.autoStartClient);
  EXPECT_EQ(form->doubleRunCheck, e.doubleRunCheck);
  EXPECT_EQ(form->closeUpdaterAfterStartinGame, e.closeUpdaterAfterStartinGame);
  EXPECT_EQ(form->updaterSHA256, e.updaterSHA256);
  EXPECT_EQ(form->parallelDownloads, e.parallelDownloads);

  if (c.errorBox)
    EXPECT_EQ(view.messages, std::vector<std::string>{kErrorBox});
  else
    EXPECT_TRUE(view.messages.empty());
  EXPECT_NE(form->http, nullptr);

  if (c.started == Started::SelfUpdate) {
    EXPECT_EQ(starts.selfUpdate.size(), 1u);
    EXPECT_TRUE(starts.patch.empty());
  } else {
    EXPECT_TRUE(starts.selfUpdate.empty());
    ASSERT_EQ(starts.patch.size(), 1u);
    EXPECT_TRUE(starts.patch[0]->critical);
    EXPECT_FALSE(starts.patch[0]->verifyFiles) << "the start-up run trusts the scan cache";
    EXPECT_FALSE(starts.patch[0]->scanCacheFolder.empty());
  }
  // The gate is closed from the start until the worker's own last step.
  EXPECT_FALSE(form->canUpdate);
  FinishWorkers();
  EXPECT_TRUE(form->canUpdate);
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsDocumentAtStartup, ::testing::ValuesIn(SettingsCases()),
                         [](const auto& info) { return info.param.name; });

// A settings server that never stops sending: the start-up takes at most the document's bound
// (and what the sockets buffer), fails as any bad document does, and goes on.
TEST_F(StartupTest, AnEndlessSettingsDocumentIsCutAtItsBound) {
  std::atomic<std::int64_t> sent{0};
  LoopbackServer server([&](LoopbackConnection& connection, int) {
    if (connection.ReadRequest().empty()) return;
    connection.Send("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n<root><version>");
    const std::string block(64 << 10, '7');
    // 256 MiB at most, so that a client without a bound still ends the test.
    while (sent < (std::int64_t{256} << 20) && connection.TrySend(block)) sent += block.size();
  });
  PointSettingsAt(server.port());

  RunStartup();

  EXPECT_EQ(view.messages, std::vector<std::string>{kErrorBox});
  EXPECT_LT(sent.load(), std::int64_t{16} << 20) << "the client read on past its bound";
  ASSERT_EQ(starts.patch.size(), 1u);
  FinishWorkers();
}

TEST_F(StartupTest, SetsTheConstantsAndThePerUserKeys) {
  PointSettingsNowhere();
  RunStartup();
  EXPECT_FALSE(form->runnedFromExe);  // the test's command line is not "-client"
  EXPECT_EQ(form->currentUpdaterVersion, 1);
  EXPECT_EQ(form->exeName, "KestruneUpdater.exe");
  EXPECT_EQ(form->dirUserProfile, "/home/player");
  EXPECT_EQ(form->messageId, -1);
  EXPECT_NE(form->RegistreU, nullptr);
  ASSERT_TRUE(form->RegistreD.isOpen());

  form->StoreCritical(3);
  EXPECT_EQ(platform::UserKey::OpenOrCreate("Software\\KestruneUpdaterPts\\Settings")
                .ReadNumber("Critical"),
            3u);
}

// ---- A launcher with the publisher's key -------------------------------------------------

// Serves Settings.xml and its signature, as many requests a connection as the client sends.
class SignedSettingsTest : public StartupTest {
 protected:
  // The form's client keeps its connection open: it goes before the server waits for it.
  void TearDown() override { form.reset(); }

  void Serve(const std::string& document, const std::string& signature) {
    server = std::make_unique<LoopbackServer>([document, signature](LoopbackConnection& c, int) {
      for (std::string request; !(request = c.ReadRequest()).empty();) {
        const bool sig = request.find("Settings.xml.minisig ") != std::string::npos;
        const std::string& body = sig ? signature : document;
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
               body);
      }
    });
    PointSettingsAt(server->port());
  }

  // The form with its store, keyed and bounded as given, after LoadSettings alone.
  void Load(std::int32_t maxDays) {
    form = std::make_unique<TFormUpdater>(view, ui, starts.Factories());
    form->RegistreD = platform::UserKey::OpenOrCreate(kSettingsKeyPath);
    form->publicKey = minisign::PublicKeyLine(key.Public());
    form->maxSignatureAgeDays = maxDays;
    form->LoadSettings();
  }

  std::string Signed(std::uint64_t serial, std::int64_t daysAgo) const {
    minisign::ReleaseStamp stamp;
    stamp.file = "Settings.xml";
    stamp.serial = serial;
    stamp.time = std::time(nullptr) - daysAgo * 86400;
    return minisign::Sign(key, Document(), minisign::FormatReleaseStamp(stamp));
  }

  minisign::SecretKey key = minisign::GenerateKey();
  std::unique_ptr<LoopbackServer> server;
};

TEST_F(SignedSettingsTest, AnOldSignatureIsRefusedOnlyPastTheBuildsBound) {
  struct Case {
    std::int64_t daysAgo;
    std::int32_t maxDays;
    bool read;
  };
  for (const Case c : {Case{2, 1, false}, Case{0, 1, true}, Case{3650, 0, true}, Case{29, 30, true},
                       Case{31, 30, false}}) {
    SCOPED_TRACE(std::to_string(c.daysAgo) + " days old, bound " + std::to_string(c.maxDays));
    view.messages.clear();
    Serve(Document(), Signed(1, c.daysAgo));
    Load(c.maxDays);
    EXPECT_EQ(view.messages.empty(), c.read);
    EXPECT_EQ(form->patchlist, c.read ? kPatchlist : "") << "nothing read from a refused one";
    form.reset();
  }
}

TEST_F(SignedSettingsTest, TheHighestSerialIsKeptAndALowerOneRefused) {
  Serve(Document(), Signed(5, 0));
  Load(0);
  ASSERT_TRUE(view.messages.empty());
  const auto stored = [] {
    return platform::UserKey::OpenOrCreate(kSettingsKeyPath).ReadText("Serial");
  };
  EXPECT_EQ(stored(), "5");
  EXPECT_FALSE(form->AcceptSerial(4));
  EXPECT_TRUE(form->AcceptSerial(5));
  EXPECT_TRUE(form->AcceptSerial(7));
  EXPECT_EQ(stored(), "7");
  EXPECT_FALSE(form->AcceptSerial(6));

  // A later start finds 7 and refuses the document of serial 5.
  form.reset();
  Load(0);
  EXPECT_EQ(view.messages, std::vector<std::string>{kErrorBox});
  EXPECT_EQ(form->version, 0);
  EXPECT_EQ(stored(), "7");
}

// ---- The language ----------------------------------------------------------------------

struct LanguageCase {
  std::string name;
  enum class Stored { Nothing, Text, Number } stored;
  std::string value;
  std::int32_t language;
  std::string label;       // the status text the start-up shows
  std::string storedText;  // "Language" afterwards
};

void PrintTo(const LanguageCase& c, std::ostream* os) {
  *os << c.name;
}

class LanguageAtStartup : public StartupTest, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(LanguageAtStartup, ReadsShowsAndWritesBack) {
  const LanguageCase& c = GetParam();
  if (c.stored != LanguageCase::Stored::Nothing) {
    auto key = platform::UserKey::OpenOrCreate("Software\\KestruneUpdaterPts\\Settings");
    if (c.stored == LanguageCase::Stored::Text)
      key.WriteText("language", c.value);
    else
      key.WriteNumber("language", static_cast<std::uint32_t>(std::stoul(c.value)));
  }
  PointSettingsNowhere();

  RunStartup();

  EXPECT_EQ(form->language, c.language);
  EXPECT_EQ(form->getLanguage(), c.language);
  EXPECT_EQ(view.statusTexts, std::vector<std::string>{c.label});
  const auto key = platform::UserKey::OpenOrCreate("Software\\KestruneUpdaterPts\\Settings");
  EXPECT_EQ(key.ReadText("Language"), c.storedText);
  EXPECT_EQ(key.ReadNumber("Language"), std::nullopt);  // written as text, never as a number
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LanguageAtStartup,
    ::testing::Values(
        LanguageCase{"EmptyStore", LanguageCase::Stored::Nothing, "", 1,
                     "Updater is ready to work.", "1"},
        LanguageCase{"Russian", LanguageCase::Stored::Text, "0", 0, "Updater готов к работе.", "0"},
        LanguageCase{"English", LanguageCase::Stored::Text, "1", 1, "Updater is ready to work.",
                     "1"},
        LanguageCase{"SevenShowsNothing", LanguageCase::Stored::Text, "7", 7, "", "7"},
        LanguageCase{"NotDecimal", LanguageCase::Stored::Text, "ru", 1, "Updater is ready to work.",
                     "1"},
        LanguageCase{"EmptyText", LanguageCase::Stored::Text, "", 1, "Updater is ready to work.",
                     "1"},
        LanguageCase{"StoredAsNumber", LanguageCase::Stored::Number, "0", 1,
                     "Updater is ready to work.", "1"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kestrune
