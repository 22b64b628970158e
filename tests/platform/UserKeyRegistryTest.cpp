// The per-user store on Windows: the registry under HKEY_CURRENT_USER, looked at from outside
// through reg.exe and the registry's own calls, and the folder of a key below %LOCALAPPDATA%.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <tuple>
#include <vector>

#include "Platform.h"
#include "TestSupport.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using kestrune::test::TempDir;
using kestrune::test::WriteFile;

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// One value as `reg query` prints it: name, type and data, the name in lower case (the registry
// keeps the spelling of a value's first write, which is not what these tests are about).
using Shown = std::tuple<std::string, std::string, std::string>;

// A key of its own for each test, deleted with everything below it afterwards.
class UserKeyRegistryTest : public ::testing::Test {
 protected:
  UserKeyRegistryTest() {
    std::random_device seed;
    name_ = "KestruneTest" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(seed());
  }
  ~UserKeyRegistryTest() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, Wide("Software\\" + name_).c_str());
  }

  static std::wstring Wide(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

  std::string Path(const std::string& below = "") const {
    return "Software\\" + name_ + (below.empty() ? "" : "\\" + below);
  }

  // What reg.exe, a program of its own, shows of the key's values, in name order.
  std::vector<Shown> RegQuery(const std::string& below = "") const {
    const std::wstring command = L"reg.exe query \"HKCU\\" + Wide(Path(below)) + L"\"";
    FILE* pipe = _wpopen(command.c_str(), L"rb");
    if (pipe == nullptr) return {};
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      output.append(buffer, n);
    }
    _pclose(pipe);
    std::vector<Shown> values;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      // Value lines are indented; "name    REG_TYPE    data".
      if (!line.starts_with("    ")) continue;
      const std::size_t type = line.find("    REG_", 4);
      if (type == std::string::npos) continue;
      const std::size_t data = line.find("    ", type + 4);
      const std::string typeName =
          line.substr(type + 4, data == std::string::npos ? std::string::npos : data - type - 4);
      values.emplace_back(Lower(line.substr(4, type - 4)), typeName,
                          data == std::string::npos ? "" : line.substr(data + 4));
    }
    std::sort(values.begin(), values.end());
    return values;
  }

  // The value as stored, through the registry's own call: its type and bytes. RegQueryValueExW
  // adds nothing (RegGetValueW would add a missing NUL).
  std::pair<DWORD, std::string> Raw(const std::wstring& name) const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, Wide(Path()).c_str(), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
      return {REG_NONE, "(no key)"};
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    std::string bytes;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
      bytes.resize(size);
      RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()),
                       &size);
      bytes.resize(size);
    }
    RegCloseKey(key);
    return {type, bytes};
  }

  void SetRaw(const std::wstring& name, DWORD type, const std::string& bytes) const {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, Wide(Path()).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(
        RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size())),
        ERROR_SUCCESS);
    RegCloseKey(key);
  }

  std::string name_;
};

TEST_F(UserKeyRegistryTest, WritesTypedValuesAsRegQueryShowsThemAndReplacesByNameInAnyCase) {
  UserKey key = UserKey::OpenOrCreate(Path("Settings"));
  ASSERT_TRUE(key.isOpen());
  key.WriteText("Language", "1");
  key.WriteNumber("Critical", 0xA0B1C2D3u);
  EXPECT_EQ(RegQuery("Settings"), (std::vector<Shown>{{"critical", "REG_DWORD", "0xa0b1c2d3"},
                                                      {"language", "REG_SZ", "1"}}));

  // One value of each name, whatever its case, now of the other type.
  key.WriteNumber("LANGUAGE", 3);
  key.WriteText("critical", "C:\\Games\\\"Kestrune\"");
  EXPECT_EQ(RegQuery("Settings"),
            (std::vector<Shown>{{"critical", "REG_SZ", "C:\\Games\\\"Kestrune\""},
                                {"language", "REG_DWORD", "0x3"}}));
  EXPECT_EQ(key.ReadNumber("language"), 3u);
  EXPECT_EQ(key.ReadText("CRITICAL"), "C:\\Games\\\"Kestrune\"");
}

TEST_F(UserKeyRegistryTest, TextIsUtf16WithItsNulAndCyrillicRoundTrips) {
  UserKey key = UserKey::OpenOrCreate(Path());
  const std::string utf8 = "\xD0\xAF\xD0\xB7\xD1\x8B\xD0\xBA";  // "Язык"
  key.WriteText(utf8, utf8 + "!");
  EXPECT_EQ(
      Raw(L"\u042F\u0437\u044B\u043A"),
      std::make_pair(DWORD{REG_SZ}, std::string("\x2F\x04\x37\x04\x4B\x04\x3A\x04!\0\0\0", 12)));
  EXPECT_EQ(key.ReadText("\xD0\xAF\xD0\x97\xD0\xAB\xD0\x9A"), utf8 + "!");  // "ЯЗЫК"
  key.WriteNumber("n", 0x01020304u);
  EXPECT_EQ(Raw(L"n"), std::make_pair(DWORD{REG_DWORD}, std::string("\x04\x03\x02\x01")));
  key.WriteText("empty", "");
  EXPECT_EQ(Raw(L"empty"), std::make_pair(DWORD{REG_SZ}, std::string("\0\0", 2)));
  EXPECT_EQ(key.ReadText("empty"), "");
}

TEST_F(UserKeyRegistryTest, AValueOfAnotherTypeReadsAsNothing) {
  UserKey key = UserKey::OpenOrCreate(Path());
  key.WriteText("Language", "5");
  key.WriteNumber("Critical", 5);
  EXPECT_EQ(key.ReadText("Language"), "5");
  EXPECT_EQ(key.ReadNumber("Language"), std::nullopt);
  EXPECT_EQ(key.ReadNumber("Critical"), 5u);
  EXPECT_EQ(key.ReadText("Critical"), std::nullopt);
  EXPECT_EQ(key.ReadText("Missing"), std::nullopt);
  EXPECT_EQ(key.ReadNumber("Missing"), std::nullopt);
  // Written by another program: four bytes that are no REG_DWORD, expandable and multiple texts.
  SetRaw(L"Binary", REG_BINARY, "\x05\0\0\0");
  SetRaw(L"Expand", REG_EXPAND_SZ, std::string("%\0x\0%\0\0\0", 8));
  SetRaw(L"Multi", REG_MULTI_SZ, std::string("a\0\0\0\0\0", 6));
  SetRaw(L"Wide", REG_QWORD, std::string("\x05\0\0\0\0\0\0\0", 8));
  for (const char* name : {"Binary", "Expand", "Multi", "Wide"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(key.ReadText(name), std::nullopt);
    EXPECT_EQ(key.ReadNumber(name), std::nullopt);
  }
  // A text written without its NUL still reads whole, and ends at an inner one.
  SetRaw(L"NoNul", REG_SZ, std::string("a\0b\0", 4));
  SetRaw(L"InnerNul", REG_SZ, std::string("a\0\0\0b\0\0\0", 8));
  EXPECT_EQ(key.ReadText("NoNul"), "ab");
  EXPECT_EQ(key.ReadText("InnerNul"), "a");
}

TEST_F(UserKeyRegistryTest, LineBreaksNulAndInvalidUtf8AreRefusedAndChangeNothing) {
  UserKey key = UserKey::OpenOrCreate(Path());
  key.WriteNumber("Critical", 7);
  const std::vector<Shown> before = RegQuery();
  ASSERT_EQ(before.size(), 1u);
  for (const std::string& text : {std::string("1\n\"Critical\"=dword:00000000"),
                                  std::string("1\r\"Critical\"=dword:00000000"),
                                  std::string("1\0x", 3), std::string("\xD0(")}) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_THROW(key.WriteText("Language", text), SystemError);
    EXPECT_THROW(key.WriteText(text, "1"), SystemError);
    EXPECT_THROW(key.WriteNumber(text, 1), SystemError);
    EXPECT_EQ(key.ReadText(text), std::nullopt);
  }
  EXPECT_EQ(RegQuery(), before);
  EXPECT_EQ(key.ReadNumber("Critical"), 7u);
}

TEST_F(UserKeyRegistryTest, EveryOpenOfAKeyPathSeesTheLatestWriteOfAnyWriter) {
  UserKey first = UserKey::OpenOrCreate(Path("Shared\\Key"));
  UserKey second = UserKey::OpenOrCreate("\\software/" + name_ + "//shared\\KEY\\");
  first.WriteText("Language", "1");
  EXPECT_EQ(second.ReadText("Language"), "1");
  second.WriteNumber("Critical", 2);
  EXPECT_EQ(first.ReadNumber("Critical"), 2u);
  EXPECT_EQ(RegQuery("Shared\\Key"),
            (std::vector<Shown>{{"critical", "REG_DWORD", "0x2"}, {"language", "REG_SZ", "1"}}));
  // Another program changed it behind our back.
  ASSERT_EQ(RegDeleteKeyValueW(HKEY_CURRENT_USER, Wide(Path("Shared\\Key")).c_str(), L"Critical"),
            ERROR_SUCCESS);
  EXPECT_EQ(first.ReadNumber("Critical"), std::nullopt);

  for (const std::string& path :
       {Path("..\\Escape"), Path(".\\B"), std::string("\\/"), Path("bad\xFF")}) {
    SCOPED_TRACE(path);
    EXPECT_THROW(UserKey::OpenOrCreate(path), SystemError);
  }
}

TEST_F(UserKeyRegistryTest, AnUnopenedOrMovedFromKeyReadsNothingAndRefusesWrites) {
  UserKey opened = UserKey::OpenOrCreate(Path());
  opened.WriteText("k", "v");
  UserKey moved = std::move(opened);
  EXPECT_EQ(moved.ReadText("k"), "v");
  EXPECT_FALSE(opened.isOpen());  // NOLINT(bugprone-use-after-move): the contract under test
  EXPECT_EQ(opened.ReadText("k"), std::nullopt);
  EXPECT_EQ(opened.ReadNumber("k"), std::nullopt);
  EXPECT_THROW(opened.WriteText("k", "w"), SystemError);
  EXPECT_THROW(opened.WriteNumber("k", 1), SystemError);
  moved = UserKey();
  EXPECT_FALSE(moved.isOpen());
}

// %LOCALAPPDATA% for one test, restored after.
class LocalAppData {
 public:
  explicit LocalAppData(const std::wstring& value) {
    const DWORD size = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (size > 0) {
      saved_.resize(size);
      saved_.resize(GetEnvironmentVariableW(L"LOCALAPPDATA", saved_.data(), size));
      had_ = true;
    }
    SetEnvironmentVariableW(L"LOCALAPPDATA", value.c_str());
  }
  ~LocalAppData() { SetEnvironmentVariableW(L"LOCALAPPDATA", had_ ? saved_.c_str() : nullptr); }
  LocalAppData(const LocalAppData&) = delete;
  LocalAppData& operator=(const LocalAppData&) = delete;

 private:
  std::wstring saved_;
  bool had_ = false;
};

TEST(UserKeyFolder, IsTheKeyPathBelowLocalAppDataWithoutItsSoftwareLevel) {
  TempDir dir;
  // Not there yet: made with every level of it.
  const LocalAppData local(dir.path().wstring() + L"\\Local");
  const struct {
    const char* keyPath;
    const char* folder;  // below %LOCALAPPDATA%
  } cases[] = {
      {"Software\\KestruneUpdaterPts\\Settings", "KestruneUpdaterPts\\Settings"},
      {"Software/A/B", "A\\B"},
      {"SOFTWARE\\A", "A"},
      {"\\Software\\\\A\\B\\", "A\\B"},
      {"Other\\Software", "Other\\Software"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keyPath);
    const std::string expected = dir.file("Local") + "\\" + c.folder;
    EXPECT_EQ(UserKeyFolder(c.keyPath), expected);
    EXPECT_TRUE(fs::is_directory(fs::path(dir.path().wstring() + L"\\Local\\" +
                                          std::wstring(c.folder, c.folder + strlen(c.folder)))));
  }
  // Cyrillic reaches the file system as UTF-16, not through the ANSI code page.
  EXPECT_EQ(UserKeyFolder("Software\\\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87"),
            dir.file("Local") + "\\\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87");
  EXPECT_TRUE(
      fs::is_directory(fs::path(dir.path().wstring() + L"\\Local\\\u041A\u043B\u044E\u0447")));

  WriteFile(dir.file("Local\\AFile"), "");
  for (const char* path :
       {"Software\\AFile\\Key", "Software\\AFile", "Software\\..\\Escape", "Software\\A\\.\\B"}) {
    SCOPED_TRACE(path);
    EXPECT_THROW(UserKeyFolder(path), SystemError);
  }
  EXPECT_FALSE(fs::exists(dir.path() / "Escape"));
}

}  // namespace
}  // namespace platform
