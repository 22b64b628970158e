// The scan of the patch worker against real files: its verified cache (which files it reads,
// when it trusts what it remembers, and that a damaged or foreign cache is ignored), the
// player's Update run that trusts no record, and the order kept by the parallel checksums.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CRC32.h"
#include "FolderScan.h"
#include "LauncherTestSupport.h"
#include "LzmaEncode.h"
#include "MainForm.h"
#include "NginxServer.h"
#include "ScanCache.h"
#include "TestSupport.h"
#include "ThreadManager.h"
#include "UiThread.h"
#include "UserStore.h"

#ifdef _WIN32
#include "WindowsSupport.h"
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::ReadFile;
using test::WriteFile;

// The CRC-32s of `contents` as the patch list writes them, computed by zlib, not by the code
// under test (one interpreter for all: each start costs a tenth of a second).
std::vector<std::string> IndependentCrcs(const std::vector<std::string>& contents,
                                         const test::TempDir& tmp) {
  std::string paths;
  for (std::size_t i = 0; i < contents.size(); ++i) {
    const std::string probe = tmp.file("crc-probe-" + std::to_string(i));
    WriteFile(probe, contents[i]);
    paths += " '" + test::HostPath(probe) + "'";
  }
  std::istringstream out(test::CommandOutput(
      "python3 -c 'import sys,zlib\n"
      "for p in sys.argv[1:]: print(\"%08X\" % (zlib.crc32(open(p,\"rb\").read()) & 0xFFFFFFFF))'" +
      paths));
  std::vector<std::string> crcs;
  for (std::string line; std::getline(out, line);) crcs.push_back(line);
  return crcs;
}

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(tmp.path() / "www" / "files");
    fs::create_directories(game());
    test::NginxServer::Options options;
    options.root = tmp.path() / "www";
    nginx = std::make_unique<test::NginxServer>(tmp.path() / "nginx", options);
    ASSERT_TRUE(nginx->running());
    form.patchlist = nginx->Url("/list.xml");
    form.patchListFolder = nginx->Url("/files/");
    form.language = 1;
    form.canUpdate = true;
    oldCwd = fs::current_path();
    fs::current_path(game());
    folder = platform::CurrentDirectory();
    cacheFile = ScanCache::FileFor(cacheFolder(), folder);
  }
  void TearDown() override { fs::current_path(oldCwd); }

  fs::path game() const { return tmp.path() / "game"; }
  // Where the launcher keeps it: beside the per-user values.
  std::string cacheFolder() const { return platform::UserKeyFolder(kSettingsKeyPath); }
  std::string GameFile(const std::string& name) const {
    return test::Utf8(game() / test::Utf8Path(platform::NativePath(name)));
  }

  // Publishes `files` (name, content) with their .lzma; the list names them in this order.
  void Publish(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<std::string> contents;
    for (const auto& file : files) contents.push_back(file.second);
    const std::vector<std::string> crcs = IndependentCrcs(contents, tmp);
    ASSERT_EQ(crcs.size(), files.size());
    std::string xml = "<patch>\n";
    for (std::size_t i = 0; i < files.size(); ++i) {
      const auto& [name, content] = files[i];
      xml += "<archive filename=\"" + name + "\" original=\"" + crcs[i] + "\"/>\n";
      const fs::path lzma = tmp.path() / "www" / "files" / platform::NativePath(name + ".lzma");
      fs::create_directories(lzma.parent_path());
      WriteFile(lzma.string(), test::EncodeLzmaAlone(content));
    }
    WriteFile((tmp.path() / "www" / "list.xml").string(), xml + "</patch>\n");
  }

  // A game file as an installed one is: written long before the scan.
  void Install(const std::string& name, const std::string& content) {
    fs::create_directories(fs::path(GameFile(name)).parent_path());
    WriteFile(GameFile(name), content);
    fs::last_write_time(GameFile(name), fs::file_time_type::clock::now() - std::chrono::hours(1));
  }

  // One run to its end; returns how many files it read and summed.
  std::uint64_t Run(bool verifyFiles = false, bool withCache = true) {
    const std::uint64_t before = CRC32FilesSummed();
    auto worker = std::make_shared<ThreadForDownLoad>(form);
    worker->verifyFiles = verifyFiles;
    if (withCache) worker->scanCacheFolder = cacheFolder();
    worker->Start();
    ui.ServeUntil([&] { return worker->Finished(); });
    return CRC32FilesSummed() - before;
  }

  std::vector<std::string> Downloads() const {
    std::vector<std::string> names;
    for (const std::string& text : view.statusTexts) {
      if (text.rfind("Download ", 0) == 0) names.push_back(text.substr(9));
    }
    return names;
  }

  test::TempDir tmp;
  test::FreshUserStore store{tmp.path()};
  std::unique_ptr<test::NginxServer> nginx;
  fs::path oldCwd;
  std::string folder, cacheFile;
  PlainUiThread ui;
  test::RecordingView view;
  TFormUpdater form{view, ui};
};

TEST_F(ScanTest, TheCacheSkipsUnchangedFilesAndRereadsWhatChanged) {
  const std::string a = Bytes(30000, 1), b = Bytes(5000, 2), c = Bytes(70000, 3);
  Publish({{"a.dat", a}, {"sub\\b.dat", b}, {"sub\\deep\\c.dat", c}});
  Install("a.dat", a);
  Install("sub\\b.dat", b);
  Install("sub\\deep\\c.dat", c);

  EXPECT_EQ(Run(), 3u) << "no cache yet: every file is read";
  EXPECT_EQ(form.messageId, msgUpToDate);
  EXPECT_TRUE(fs::exists(cacheFile)) << "beside the per-user values, one file per folder";
  EXPECT_EQ(Run(), 0u) << "nothing changed: nothing is read";
  EXPECT_EQ(form.messageId, msgUpToDate);

  struct Change {
    const char* what;
    std::function<void()> make;
  };
  const auto hourAgo = fs::last_write_time(GameFile("a.dat"));
  const std::vector<Change> changes = {
      {"the time, content the same",
       [&] { fs::last_write_time(GameFile("a.dat"), hourAgo - std::chrono::seconds(5)); }},
      {"the size, time restored",
       [&] {
         WriteFile(GameFile("a.dat"), a + "x");
         fs::last_write_time(GameFile("a.dat"), hourAgo);
       }},
      {"another file of the same size and time in its place",
       [&] {
         WriteFile(tmp.file("twin"), Bytes(30000, 9));
         fs::last_write_time(tmp.file("twin"), hourAgo);
         fs::rename(tmp.file("twin"), GameFile("a.dat"));
       }},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.what);
    Install("a.dat", a);
    fs::last_write_time(GameFile("a.dat"), hourAgo);
    Run();  // remembers a.dat as it is now
    change.make();
    view.statusTexts.clear();
    const bool differs = ReadFile(GameFile("a.dat")) != a;

    EXPECT_EQ(Run(), 1u) << "only the changed file is read";
    EXPECT_EQ(Downloads(),
              differs ? std::vector<std::string>{"a.dat"} : std::vector<std::string>{});
    EXPECT_TRUE(ReadFile(GameFile("a.dat")) == a);
  }
  // A file that went missing is queued, whatever the cache remembers of it.
  fs::remove(GameFile("sub\\b.dat"));
  view.statusTexts.clear();
  Run();
  EXPECT_EQ(Downloads(), std::vector<std::string>{"b.dat"});
  EXPECT_TRUE(ReadFile(GameFile("sub\\b.dat")) == b);
}

// A file changed behind the launcher's back in place, its size and time restored, fools the
// cache of a normal start; the player's Update run reads every file and repairs it.
TEST_F(ScanTest, TheUpdateRunTrustsNoRecordButStillWritesWhatItSummed) {
  const std::string a = Bytes(20000, 4), b = Bytes(20000, 5);
  Publish({{"a.dat", a}, {"b.dat", b}});
  Install("a.dat", a);
  Install("b.dat", b);
  EXPECT_EQ(Run(), 2u);
  const auto time = fs::last_write_time(GameFile("a.dat"));
  {
    std::fstream out(GameFile("a.dat"), std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(100);
    out.put(static_cast<char>(a[100] ^ 0x55));
  }
  fs::last_write_time(GameFile("a.dat"), time);

  EXPECT_EQ(Run(), 0u);
  EXPECT_EQ(form.messageId, msgUpToDate) << "what a cached start trusts";
  EXPECT_TRUE(ReadFile(GameFile("a.dat")) != a);

  EXPECT_EQ(Run(/*verifyFiles=*/true), 2u) << "the Update run reads every file";
  EXPECT_EQ(form.messageId, msgAllUpdated);
  EXPECT_TRUE(ReadFile(GameFile("a.dat")) == a);
  EXPECT_EQ(Downloads(), std::vector<std::string>{"a.dat"});
  // What it summed of the unchanged file was written: the next start does not read it.
  EXPECT_EQ(Run(), 1u) << "only the file just installed is read";
}

// The bytes of a cache file of this folder, or of `otherFolder`, that vouches for `files`
// (listed name, game file) with their real stamps and the CRC-32 of `claimed`.
std::string ForgedCache(const std::string& cacheFile, const std::string& folder,
                        const std::vector<std::pair<std::string, std::string>>& files,
                        const std::string& claimed) {
  ScanCache cache;
  for (const auto& [name, path] : files) {
    const platform::Folder dir = platform::Folder::Open(fs::path(path).parent_path().string());
    const platform::FileStamp stamp = dir.Examine(fs::path(path).filename().string()).stamp;
    cache.Remember(name, {stamp, ~CRC32Update(0xFFFFFFFFu, claimed.data(), claimed.size())});
  }
  cache.Save(cacheFile, folder);
  return ReadFile(cacheFile);
}

// A cache that is not the intact one of this folder and version is never believed, however
// convincing its records: here they vouch for a file whose content is wrong.
TEST_F(ScanTest, ADamagedOrForeignCacheIsIgnoredAndRebuilt) {
  const std::string good = Bytes(40000, 6);
  Publish({{"a.dat", good}});
  const std::string wrong = Bytes(40000, 7);

  struct Case {
    const char* what;
    bool trusted;
    std::function<std::string(const std::string& intact, const std::string& foreign)> damage;
  };
  const auto withTail = [](std::string body) {
    // A valid trailing CRC-32, so that only what is being tested is wrong.
    const std::uint32_t crc = ~CRC32Update(0xFFFFFFFFu, body.data(), body.size());
    for (int i = 0; i < 4; ++i) body.push_back(static_cast<char>((crc >> (8 * i)) & 0xFF));
    return body;
  };
  const std::vector<Case> cases = {
      {"intact: the forgery works when believed", true,
       [](const std::string& intact, const std::string&) { return intact; }},
      {"another folder's", false,
       [](const std::string&, const std::string& foreign) { return foreign; }},
      {"another version's", false,
       [&](const std::string& intact, const std::string&) {
         std::string body = intact.substr(0, intact.size() - 4);
         const auto at = body.find("KestruneScanCache1");
         body[at + 17] = '2';
         return withTail(body);
       }},
      {"truncated", false,
       [](const std::string& intact, const std::string&) {
         return intact.substr(0, intact.size() - 9);
       }},
      {"a record's checksum changed", false,
       [](const std::string& intact, const std::string&) {
         std::string bytes = intact;
         bytes[bytes.size() - 5] ^= 0x01;  // the record, not the file's own CRC-32 after it
         return bytes;
       }},
      {"garbage", false,
       [](const std::string& intact, const std::string&) { return Bytes(intact.size(), 8); }},
      {"a record count larger than the file", false,
       [&](const std::string& intact, const std::string&) {
         std::string body = intact.substr(0, intact.size() - 4);
         const std::size_t count = body.find("a.dat") - 8;
         body[count + 3] = '\x7f';
         return withTail(body);
       }},
      {"empty", false, [](const std::string&, const std::string&) { return std::string(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Install("a.dat", wrong);
    const std::vector<std::pair<std::string, std::string>> files = {{"a.dat", GameFile("a.dat")}};
    const std::string foreign = ForgedCache(cacheFile, folder + "-elsewhere", files, good);
    const std::string intact = ForgedCache(cacheFile, folder, files, good);
    WriteFile(cacheFile, c.damage(intact, foreign));

    const std::uint64_t reads = Run();

    EXPECT_EQ(reads, c.trusted ? 0u : 1u);
    EXPECT_EQ(ReadFile(GameFile("a.dat")) == good, !c.trusted) << "repaired unless believed";
    EXPECT_EQ(ScanCache::Load(cacheFile, folder).loadedCount(), 1u) << "rebuilt";
  }
  // Larger than any cache may be: not read at all.
  Install("a.dat", wrong);
  std::string huge = ForgedCache(cacheFile, folder, {{"a.dat", GameFile("a.dat")}}, good);
  huge.resize(kScanCacheMaxBytes + 1);
  WriteFile(cacheFile, huge);
  EXPECT_EQ(ScanCache::Load(cacheFile, folder).loadedCount(), 0u);
  EXPECT_EQ(Run(), 1u);
  EXPECT_TRUE(ReadFile(GameFile("a.dat")) == good);
}

// Checksums run ahead on several threads; the worker still queues in list order, steps the
// bar once per line, and stops silently at the line of a file that exists but cannot be
// opened (POSIX: a socket, which no one, root included, opens for reading; Windows: a file
// another program holds open without sharing).
TEST_F(ScanTest, ParallelChecksumsKeepTheOrderAndAnUnopenableFileEndsTheRunAtItsLine) {
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 40; ++i) {
    // Sizes from tiny to one larger than the read-ahead buffers, so sums finish out of order.
    std::string content = Bytes(1000 + 3000 * (i % 7), 100 + i);
    if (i == 3) content += std::string(std::size_t{6} << 20, 'z');  // quick to pack
    files.emplace_back("d" + std::to_string(i % 3) + "\\f" + std::to_string(i) + ".dat", content);
  }
  Publish(files);
  for (int i = 0; i < 40; ++i) {
    // Every third file differs from the list, every fifth is missing.
    if (i % 5 == 4) continue;
    Install(files[i].first, i % 3 == 1 ? "old" : files[i].second);
  }
  const std::string unopenable = GameFile(files[30].first);
#ifdef _WIN32
  // Installed and up to date, but held.
  auto held = std::make_unique<test::HeldWithoutSharing>(unopenable);
#else
  fs::remove(unopenable);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(unopenable.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, unopenable.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
#endif
  form.setStatus(msgReady);

  Run(false, /*withCache=*/false);

#ifdef _WIN32
  held.reset();
#else
  ::close(fd);
#endif
  EXPECT_TRUE(Downloads().empty()) << "the run ended in the scan";
  EXPECT_EQ(view.statusTexts.back(), "Scan of files, please wait...") << "silently";
  EXPECT_EQ(form.messageId, msgReady);
  std::vector<float> steps;
  for (const auto& [bar, width] : view.bars) {
    if (bar == Control::TotalProgress && width > 0) steps.push_back(width);
  }
  // The tail resets the bars; the steps before it are the lines before the socket.
  ASSERT_EQ(steps.size(), 30u);
  EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end()));
  EXPECT_NEAR(steps.back(), 30 * 409.0f / 40, 0.01f);

  // Without the socket (released, on Windows) the list's order of the queued files is the
  // download order.
#ifdef _WIN32
  constexpr bool kUnopenableQueued = false;  // it is there and up to date
#else
  constexpr bool kUnopenableQueued = true;
  fs::remove(unopenable);
#endif
  view.statusTexts.clear();
  Run(false, false);
  std::vector<std::string> expected;
  for (int i = 0; i < 40; ++i) {
    if (i % 5 == 4 || i % 3 == 1 || (i == 30 && kUnopenableQueued)) {
      expected.push_back("f" + std::to_string(i) + ".dat");
    }
  }
  EXPECT_EQ(Downloads(), expected);
  EXPECT_EQ(form.messageId, msgAllUpdated);
  for (const auto& [name, content] : files) {
    EXPECT_TRUE(ReadFile(GameFile(name)) == content) << name;
  }
}

// Lines are examined in chunks by whichever thread is free: with a small window, many folders
// and three threads besides the taker, every outcome still belongs to its own line. Files
// whose stamp the cache knows come back with the cache's CRC (a value no file here has), the
// others with their own, and a missing file as absent.
TEST(FolderScan, ChunksExaminedOnSeveralThreadsComeBackInListOrder) {
  test::TempDir tmp;
  const std::string root = tmp.file("game");
  const std::vector<std::string> contents = {"", "a", "abc", "123456789"};
  const std::vector<std::string> crcs = IndependentCrcs(contents, tmp);
  ASSERT_EQ(crcs.size(), contents.size());
  constexpr int kLines = 700;
  std::vector<PatchEntry> entries;
  for (int i = 0; i < kLines; ++i) {
    PatchEntry entry;
    entry.filename = "d" + std::to_string(i / 100) + "\\f" + std::to_string(i);
    if (i % 9 != 8) {
      fs::create_directories(root + "/d" + std::to_string(i / 100));
      WriteFile(root + "/" + platform::NativePath(entry.filename), contents[i % 4]);
    }
    entries.push_back(entry);
  }
  ScanCache remembered;
  const platform::Folder game = platform::Folder::Open(root);
  for (int i = 0; i < kLines; i += 11) {
    if (i % 9 == 8) continue;
    const platform::Folder folder = game.OpenFolder("d" + std::to_string(i / 100));
    remembered.Remember(entries[i].filename,
                        ScanRecord{folder.Examine("f" + std::to_string(i)).stamp, 0x5CA9CAC8});
  }
  const std::string cacheFile = tmp.file("scan.cache");
  remembered.Save(cacheFile, root);
  const ScanCache cache = ScanCache::Load(cacheFile, root);
  ASSERT_GT(cache.loadedCount(), 50u);

  for (int round = 0; round < 5; ++round) {
    FolderScan scan(root, entries, &cache, 3, 24);
    for (int i = 0; i < kLines; ++i) {
      const ScanOutcome outcome = scan.Take(i);
      if (i % 9 == 8) {
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::Absent) << i;
      } else {
        EXPECT_EQ(outcome.kind, ScanOutcome::Kind::File) << i;
        EXPECT_EQ(outcome.crc, i % 11 == 0 ? "5CA9CAC8" : crcs[i % 4]) << i;
      }
    }
  }
}

}  // namespace
}  // namespace kestrune
