#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "Platform.h"
#include "ScopedEnv.h"
#include "TestSupport.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using kestrune::test::ReadFile;
using kestrune::test::ScopedEnv;
using kestrune::test::TempDir;
using kestrune::test::WriteFile;

class UserKeyTest : public ::testing::Test {
 protected:
  UserKeyTest() { env_.Set("XDG_CONFIG_HOME", config_.path().string()); }

  std::string Folder(const std::string& relative) const { return config_.file(relative); }
  std::string Values(const std::string& relative) const {
    return ReadFile(Folder(relative) + "/values.reg");
  }

  TempDir config_;
  ScopedEnv env_;
};

TEST_F(UserKeyTest, WritesRegistryExportLinesAndReplacesByNameInAnyCase) {
  UserKey key = UserKey::OpenOrCreate("Software\\KestruneUpdaterPts\\Settings");
  ASSERT_TRUE(key.isOpen());
  key.WriteText("Language", "1");
  key.WriteNumber("Critical", 0xA0B1C2D3u);
  EXPECT_EQ(Values("KestruneUpdaterPts/Settings"),
            "\"Language\"=\"1\"\n\"Critical\"=dword:a0b1c2d3\n");

  // The replaced value keeps its place and takes the new spelling and type.
  key.WriteNumber("LANGUAGE", 3);
  key.WriteText("critical", "");
  EXPECT_EQ(Values("KestruneUpdaterPts/Settings"),
            "\"LANGUAGE\"=dword:00000003\n\"critical\"=\"\"\n");
  EXPECT_EQ(key.ReadNumber("language"), 3u);
  EXPECT_EQ(key.ReadText("CRITICAL"), "");
}

TEST_F(UserKeyTest, TextAndNumberAreDistinctTypes) {
  UserKey key = UserKey::OpenOrCreate("Software\\T");
  key.WriteText("Language", "5");
  key.WriteNumber("Critical", 5);
  EXPECT_EQ(key.ReadText("Language"), "5");
  EXPECT_EQ(key.ReadNumber("Language"), std::nullopt);
  EXPECT_EQ(key.ReadNumber("Critical"), 5u);
  EXPECT_EQ(key.ReadText("Critical"), std::nullopt);
  EXPECT_EQ(key.ReadText("Missing"), std::nullopt);
  EXPECT_EQ(key.ReadNumber("Missing"), std::nullopt);
}

TEST_F(UserKeyTest, QuotesAndBackslashesAreEscapedAndRoundTrip) {
  UserKey key = UserKey::OpenOrCreate("Software\\T");
  const std::string value = "C:\\Games\\\"Kestrune\" \\\\ end\\";
  key.WriteText("Na\"me\\", value);
  EXPECT_EQ(Values("T"), "\"Na\\\"me\\\\\"=\"C:\\\\Games\\\\\\\"Kestrune\\\" \\\\\\\\ end\\\\\"\n");
  EXPECT_EQ(key.ReadText("na\"ME\\"), value);
  const std::string utf8 = "\xD0\xAF\xD0\xB7\xD1\x8B\xD0\xBA";  // "Язык"
  key.WriteText(utf8, utf8);
  EXPECT_EQ(key.ReadText(utf8), utf8);
}

TEST_F(UserKeyTest, LineBreaksAreRefusedSoNoValueCanBeInjected) {
  UserKey key = UserKey::OpenOrCreate("Software\\T");
  key.WriteNumber("Critical", 7);
  const std::string before = Values("T");
  for (const std::string& text :
       {std::string("1\n\"Critical\"=dword:00000000"),
        std::string("1\r\"Critical\"=dword:00000000"), std::string("1\0x", 3)}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(key.WriteText("Language", text), SystemError);
    EXPECT_THROW(key.WriteText(text, "1"), SystemError);
    EXPECT_THROW(key.WriteNumber(text, 1), SystemError);
  }
  EXPECT_EQ(Values("T"), before);
  EXPECT_EQ(key.ReadNumber("Critical"), 7u);
}

TEST_F(UserKeyTest, ReadsHandWrittenFilesAndKeepsLinesItDoesNotUnderstand) {
  UserKey key = UserKey::OpenOrCreate("Software\\T");
  WriteFile(Folder("T/values.reg"),
            "Windows Registry Editor Version 5.00\r\n"
            "\"Crlf\"=\"yes\"\r\n"
            "\"Upper\"=dword:0000FFFF\n"
            "\"Short\"=dword:1f\n"
            "\"TooLong\"=dword:100000000\n"
            "\"BadEscape\"=\"a\\q\"\n"
            "\"Trailing\"=\"a\" junk\n"
            "\"Binary\"=hex:01,02\n"
            "\n"
            "\"Last\"=\"no newline\"");
  EXPECT_EQ(key.ReadText("crlf"), "yes");
  EXPECT_EQ(key.ReadNumber("Upper"), 0xFFFFu);
  EXPECT_EQ(key.ReadNumber("Short"), 0x1Fu);
  EXPECT_EQ(key.ReadText("Last"), "no newline");
  for (const char* name : {"TooLong", "BadEscape", "Trailing", "Binary"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(key.ReadText(name), std::nullopt);
    EXPECT_EQ(key.ReadNumber(name), std::nullopt);
  }

  key.WriteText("Upper", "replaced");
  EXPECT_EQ(Values("T"),
            "Windows Registry Editor Version 5.00\r\n"
            "\"Crlf\"=\"yes\"\r\n"
            "\"Upper\"=\"replaced\"\n"
            "\"Short\"=dword:1f\n"
            "\"TooLong\"=dword:100000000\n"
            "\"BadEscape\"=\"a\\q\"\n"
            "\"Trailing\"=\"a\" junk\n"
            "\"Binary\"=hex:01,02\n"
            "\n"
            "\"Last\"=\"no newline\"\n");
}

TEST_F(UserKeyTest, DuplicateNamesCollapseIntoTheFirstOnRewrite) {
  UserKey key = UserKey::OpenOrCreate("Software\\T");
  WriteFile(Folder("T/values.reg"), "\"a\"=\"1\"\n\"B\"=\"2\"\n\"A\"=\"3\"\n");
  EXPECT_EQ(key.ReadText("A"), "1");
  key.WriteText("A", "4");
  EXPECT_EQ(Values("T"), "\"A\"=\"4\"\n\"B\"=\"2\"\n");
}

TEST_F(UserKeyTest, RewritesByRenameAndLeavesNoTemporaryFile) {
  UserKey key = UserKey::OpenOrCreate("Software\\T");
  key.WriteText("Language", "1");
  // A reader that opened the old file keeps seeing it whole: the new content
  // goes to a new file that replaces the name.
  const std::string link = config_.file("old-values");
  fs::create_hard_link(Folder("T/values.reg"), link);
  key.WriteText("Language", "0");
  EXPECT_EQ(ReadFile(link), "\"Language\"=\"1\"\n");
  EXPECT_EQ(Values("T"), "\"Language\"=\"0\"\n");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Folder("T"))) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"values.reg"});
}

TEST_F(UserKeyTest, EveryReadSeesTheLatestWriteOfAnyWriter) {
  UserKey first = UserKey::OpenOrCreate("Software\\Shared\\Key");
  UserKey second = UserKey::OpenOrCreate("software/Shared/Key");
  first.WriteText("Language", "1");
  EXPECT_EQ(second.ReadText("Language"), "1");
  second.WriteNumber("Critical", 2);
  EXPECT_EQ(first.ReadNumber("Critical"), 2u);
  // Another process rewrote the file behind our back.
  WriteFile(Folder("Shared/Key/values.reg"), "\"Language\"=\"0\"\n");
  EXPECT_EQ(first.ReadText("Language"), "0");
  EXPECT_EQ(first.ReadNumber("Critical"), std::nullopt);
}

TEST_F(UserKeyTest, ConcurrentWritersLoseNoValue) {
  constexpr int kThreads = 8;
  constexpr int kValues = 50;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      UserKey key = UserKey::OpenOrCreate("Software\\Busy");
      for (int v = 0; v < kValues; ++v) {
        try {
          key.WriteNumber("v" + std::to_string(t) + "_" + std::to_string(v), 1);
        } catch (const SystemError&) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  UserKey key = UserKey::OpenOrCreate("Software\\Busy");
  for (int t = 0; t < kThreads; ++t) {
    for (int v = 0; v < kValues; ++v) {
      EXPECT_EQ(key.ReadNumber("V" + std::to_string(t) + "_" + std::to_string(v)), 1u);
    }
  }
}

struct KeyFolderCase {
  const char* keyPath;
  const char* folder;  // below the configuration home
};

class UserKeyFolderTest : public UserKeyTest,
                          public ::testing::WithParamInterface<KeyFolderCase> {};

TEST_P(UserKeyFolderTest, MapsTheKeyPathBelowTheConfigurationHome) {
  UserKey key = UserKey::OpenOrCreate(GetParam().keyPath);
  EXPECT_TRUE(fs::is_directory(Folder(GetParam().folder)));
  key.WriteText("x", "y");
  EXPECT_EQ(Values(GetParam().folder), "\"x\"=\"y\"\n");
  // The program's own files of that key go beside values.reg.
  EXPECT_EQ(UserKeyFolder(GetParam().keyPath), Folder(GetParam().folder));
}

INSTANTIATE_TEST_SUITE_P(Paths, UserKeyFolderTest,
                         ::testing::Values(KeyFolderCase{"Software\\KestruneUpdaterPts\\Settings",
                                                         "KestruneUpdaterPts/Settings"},
                                           KeyFolderCase{"Software/A/B", "A/B"},
                                           KeyFolderCase{"SOFTWARE\\A", "A"},
                                           KeyFolderCase{"\\Software\\\\A\\B\\", "A/B"},
                                           KeyFolderCase{"Other\\Software", "Other/Software"}));

TEST_F(UserKeyTest, NewFoldersArePrivateAndExistingOnesAreKept) {
  fs::create_directories(Folder("Existing"));
  ::chmod(Folder("Existing").c_str(), 0755);
  UserKey::OpenOrCreate("Software\\Existing\\New");
  struct stat st;
  ASSERT_EQ(::stat(Folder("Existing").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  ASSERT_EQ(::stat(Folder("Existing/New").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(UserKeyTest, RefusesPathsThatCannotBeAFolderOfTheStore) {
  WriteFile(Folder("AFile"), "");
  for (const char* path : {"Software\\AFile\\Key", "Software\\..\\Escape", "Software\\A\\.\\B"}) {
    SCOPED_TRACE(path);
    EXPECT_THROW(UserKey::OpenOrCreate(path), SystemError);
  }
  EXPECT_FALSE(fs::exists(config_.path().parent_path() / "Escape"));
  EXPECT_THROW(UserKeyFolder("Software\\..\\Escape"), SystemError);
}

TEST_F(UserKeyTest, ARefusedWriteThrowsAndChangesNothing) {
  UserKey key = UserKey::OpenOrCreate("Software\\T");
  key.WriteText("Language", "1");
  // The temporary file's name is taken by a folder.
  const std::string temporary = Folder("T/values.reg.tmp-") + std::to_string(::getpid());
  fs::create_directory(temporary);
  EXPECT_THROW(key.WriteText("Language", "0"), SystemError);
  EXPECT_EQ(Values("T"), "\"Language\"=\"1\"\n");
  fs::remove(temporary);

  // values.reg itself cannot be read or replaced.
  UserKey other = UserKey::OpenOrCreate("Software\\U");
  fs::create_directory(Folder("U/values.reg"));
  EXPECT_THROW(other.WriteText("Language", "1"), SystemError);
  EXPECT_EQ(other.ReadText("Language"), std::nullopt);
  EXPECT_EQ(std::distance(fs::directory_iterator(Folder("U")), fs::directory_iterator()), 1);
}

TEST(UserKeyHome, FallsBackToHomeAndFailsWithoutEither) {
  TempDir home;
  ScopedEnv env;
  env.Set("XDG_CONFIG_HOME", "");
  env.Set("HOME", home.path().string());
  UserKey::OpenOrCreate("Software\\A\\B").WriteText("k", "v");
  EXPECT_EQ(ReadFile(home.file(".config/A/B/values.reg")), "\"k\"=\"v\"\n");

  env.Set("HOME", std::nullopt);
  EXPECT_THROW(UserKey::OpenOrCreate("Software\\A\\B"), SystemError);
  env.Set("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_THROW(UserKey::OpenOrCreate("Software\\A\\B"), SystemError);
}

TEST(UserKeyClosed, AnUnopenedOrMovedFromKeyReadsNothingAndRefusesWrites) {
  TempDir config;
  ScopedEnv env;
  env.Set("XDG_CONFIG_HOME", config.path().string());
  UserKey opened = UserKey::OpenOrCreate("Software\\T");
  opened.WriteText("k", "v");
  UserKey moved = std::move(opened);
  EXPECT_EQ(moved.ReadText("k"), "v");
  EXPECT_FALSE(opened.isOpen());  // NOLINT(bugprone-use-after-move): the contract under test
  EXPECT_EQ(opened.ReadText("k"), std::nullopt);
  EXPECT_THROW(opened.WriteText("k", "w"), SystemError);
  EXPECT_EQ(moved.ReadText("k"), "v");
}

}  // namespace
}  // namespace platform
