// The process calls as Windows programs see them, with real child processes started through
// CreateProcessW: the Windows counterpart of ProcessTest.cpp, whose fork, flock and nice have
// no place here.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <thread>

#include "Platform.h"
#include "TestSupport.h"
#include "Utf16.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kestrune::test::TempDir;

constexpr auto kPatience = 10s;

// The probe as a Windows path: CMake names it by its Unix path, which Wine shows on drive Z:.
fs::path ProbePath() {
  std::wstring path = Widen(KESTRUNE_PLATFORM_PROBE);
  if (path.starts_with(L"/")) {
    for (wchar_t& c : path) {
      if (c == L'/') c = L'\\';
    }
    path = L"Z:" + path;
  }
  return fs::path(path);
}

std::string Utf8(const fs::path& path) {
  return Narrow(path.wstring());
}

std::wstring Quoted(const fs::path& path) {
  return L"\"" + path.wstring() + L"\"";
}

// A name no other test run in the same Wine prefix uses.
std::wstring Unique(const std::wstring& stem) {
  std::random_device seed;
  return stem + L"-" + std::to_wstring(seed());
}

// Sets (or, with nullopt, removes) an environment variable of this process, which the children
// it starts inherit, and restores it after.
class ScopedVariable {
 public:
  ScopedVariable(std::wstring name, const std::optional<std::wstring>& value)
      : name_(std::move(name)) {
    wchar_t buffer[32768];
    const DWORD n = GetEnvironmentVariableW(name_.c_str(), buffer, 32768);
    if (n > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND) saved_ = std::wstring(buffer, n);
    Apply(value);
  }
  ~ScopedVariable() { Apply(saved_); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  void Apply(const std::optional<std::wstring>& value) {
    SetEnvironmentVariableW(name_.c_str(), value ? value->c_str() : nullptr);
  }

  std::wstring name_;
  std::optional<std::wstring> saved_;
};

class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const fs::path& to) : before_(fs::current_path()) {
    EXPECT_TRUE(SetCurrentDirectoryW(to.c_str())) << Utf8(to);
  }
  ~ScopedCurrentDirectory() { SetCurrentDirectoryW(before_.c_str()); }
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  fs::path before_;
};

// A child started with CreateProcessW(application, commandLine), its output (and, on request,
// its input) on pipes, its environment ours plus `environment`.
class Child {
 public:
  Child(const fs::path& application, const std::wstring& commandLine,
        const std::map<std::wstring, std::wstring>& environment, bool feedInput = false) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outputWrite = nullptr;
    HANDLE inputRead = nullptr;
    EXPECT_TRUE(CreatePipe(&output_, &outputWrite, &inherit, 0));
    SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
    if (feedInput) {
      EXPECT_TRUE(CreatePipe(&inputRead, &input_, &inherit, 0));
      SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    }
    HANDLE nul =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = feedInput ? inputRead : nul;
    startup.hStdOutput = outputWrite;
    startup.hStdError = nul;
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION info{};
    {
      std::vector<std::unique_ptr<ScopedVariable>> variables;
      for (const auto& [name, value] : environment) {
        variables.push_back(std::make_unique<ScopedVariable>(name, value));
      }
      EXPECT_TRUE(CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                 nullptr, nullptr, &startup, &info))
          << Utf8(application);
    }
    process_ = info.hProcess;
    if (info.hThread != nullptr) CloseHandle(info.hThread);
    // Only the child holds the write end now: its end is the end of the output.
    CloseHandle(outputWrite);
    if (inputRead != nullptr) CloseHandle(inputRead);
    CloseHandle(nul);
  }
  ~Child() {
    CloseInput();
    CloseHandle(output_);
    if (process_ != nullptr) {
      if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 1);
      WaitForSingleObject(process_, INFINITE);
      CloseHandle(process_);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void CloseInput() {
    if (input_ != nullptr) CloseHandle(input_);
    input_ = nullptr;
  }

  // Output up to and including the next line end, or all that came before the end of the
  // output or the deadline; the C runtime's CR before each LF left out.
  std::string ReadLine() { return Read(true); }
  std::string ReadAll() { return Read(false); }

  // The exit code, or -1 when the child has not ended within the deadline.
  int Wait() {
    if (process_ == nullptr) return -1;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(kPatience).count();
    if (WaitForSingleObject(process_, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return static_cast<int>(code);
  }

 private:
  std::string Read(bool oneLine) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      DWORD available = 0;
      if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr)) break;  // ended
      if (available == 0) {
        std::this_thread::sleep_for(5ms);
        continue;
      }
      char c;
      DWORD n = 0;
      if (!ReadFile(output_, &c, 1, &n, nullptr) || n != 1) break;
      if (c == '\r') continue;
      text += c;
      if (oneLine && c == '\n') break;
    }
    return text;
  }

  HANDLE process_ = nullptr;
  HANDLE output_ = nullptr;
  HANDLE input_ = nullptr;
};

// The probe under another file name, the way a launcher is installed.
fs::path CopyProbe(const fs::path& folder, const std::wstring& name) {
  fs::create_directories(folder);
  const fs::path path = folder / name;
  fs::copy_file(ProbePath(), path, fs::copy_options::overwrite_existing);
  return path;
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Polls for a file that another process writes (the probe renames it into place whole); empty
// when it did not appear in time.
std::string WaitForFile(const fs::path& path) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (fs::exists(path)) return ReadWhole(path);
    std::this_thread::sleep_for(10ms);
  }
  return {};
}

std::string Field(const std::string& record, const std::string& name) {
  const std::string text = "\n" + record;
  const std::size_t at = text.find("\n" + name + "=");
  if (at == std::string::npos) return "<missing " + name + ">";
  const std::size_t start = at + name.size() + 2;
  return text.substr(start, text.find('\n', start) - start);
}

std::string Arguments(const std::string& record) {
  std::string args;
  for (std::size_t at = 0; at < record.size() && record[at] == '[';) {
    const std::size_t end = record.find("]\n", at);
    if (end == std::string::npos) break;
    args += record.substr(at, end + 1 - at);
    at = end + 2;
  }
  return args;
}

// Whether a priority class given to CreateProcessW reaches the child: Wine starts every process
// at normal priority whatever it is asked for.
bool CreationPriorityHonoured() {
  const fs::path probe = ProbePath();
  std::wstring line = Quoted(probe);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(probe.c_str(), line.data(), nullptr, nullptr, FALSE,
                      CREATE_SUSPENDED | IDLE_PRIORITY_CLASS, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  const bool honoured = GetPriorityClass(info.hProcess) == IDLE_PRIORITY_CLASS;
  TerminateProcess(info.hProcess, 0);
  WaitForSingleObject(info.hProcess, INFINITE);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return honoured;
}

// The priority class a record shows, checked where the system passes it on.
void ExpectPriority(const std::string& record, DWORD expected) {
  static const bool honoured = CreationPriorityHonoured();
  if (honoured) {
    EXPECT_EQ(Field(record, "priority"), std::to_string(expected));
  } else {
    std::cout << "[ NOTE     ] priority class not checked: the system ignores it at creation\n";
  }
}

TEST(ProcessIdentity, CommandLineAndExecutableNameAsTheChildSeesThem) {
  TempDir dir;
  // "$" stands for the program's full path in quotes.
  const struct {
    const wchar_t* name;
    const wchar_t* commandLine;
    const char* seen;
  } cases[] = {
      {L"KestruneUpdater.exe", L"$", ""},
      {L"KestruneUpdater.exe", L"$ -client", "-client"},
      {L"KestruneUpdater.exe", L"$ \t -CLIENT", "-CLIENT"},
      {L"KestruneUpdater.exe", L"$ a  \"b c\"  d", "a  \"b c\"  d"},
      // A parent that hands over its arguments alone, as the game client does.
      {L"KestruneUpdater.exe", L"-client", "-client"},
      {L"KestruneUpdater.exe", L"KestruneUpdater -client", "-client"},
      {L"KestruneUpdater.exe", L"kestruneupdater.EXE -client", "-client"},
      {L"Лаунчер игры.exe", L"$ \"Привет мир\" -client", "\"Привет мир\" -client"},
  };
  for (const auto& c : cases) {
    const fs::path program = dir.path() / c.name;
    if (!fs::exists(program)) CopyProbe(dir.path(), c.name);
    std::wstring line = c.commandLine;
    if (const std::size_t at = line.find(L'$'); at != std::wstring::npos) {
      line.replace(at, 1, Quoted(program));
    }
    SCOPED_TRACE(Narrow(line));
    Child child(program, line, {{L"KESTRUNE_PROBE", L"identity"}});
    EXPECT_EQ(child.ReadAll(), std::string(c.seen) + "\n" + Narrow(c.name) + "\n");
    EXPECT_EQ(child.Wait(), 0);
  }
}

TEST(NamedMutex, OnlyOneProcessPerExecutableNameHoldsIt) {
  TempDir first;
  TempDir second;
  const std::map<std::wstring, std::wstring> env{{L"KESTRUNE_PROBE", L"mutex"}};
  const std::wstring name = Unique(L"KestruneUpdater") + L".exe";
  const fs::path holder = CopyProbe(first.path(), name);
  const fs::path sameName = CopyProbe(second.path(), name);
  const fs::path otherName = CopyProbe(second.path(), Unique(L"OtherGame") + L".exe");

  Child running(holder, Quoted(holder), env, true);
  ASSERT_EQ(running.ReadLine(), "held\n");
  {
    const auto start = std::chrono::steady_clock::now();
    Child loser(sameName, Quoted(sameName), env);
    EXPECT_EQ(loser.ReadAll(), "busy\n") << "its last line is flushed before it exits";
    EXPECT_EQ(loser.Wait(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the loser does not wait";
  }
  {
    Child other(otherName, Quoted(otherName), env);
    EXPECT_EQ(other.ReadAll(), "held\n");
    EXPECT_EQ(other.Wait(), 0);
  }
  running.CloseInput();
  ASSERT_EQ(running.Wait(), 0);
  Child next(sameName, Quoted(sameName), env);
  EXPECT_EQ(next.ReadAll(), "held\n") << "the mutex ends with its holder";
  EXPECT_EQ(next.Wait(), 0);
}

TEST(NamedMutex, TheOwnerMayTakeItAgainAndKeepsOthersOut) {
  TempDir dir;
  const std::wstring name = Unique(L"KestruneProbe") + L".exe";
  EXPECT_TRUE(AcquireNamedMutex(Narrow(name)));
  EXPECT_TRUE(AcquireNamedMutex(Narrow(name))) << "the owner may take it again";
  const fs::path other = CopyProbe(dir.path(), name);
  Child child(other, Quoted(other), {{L"KESTRUNE_PROBE", L"mutex"}});
  EXPECT_EQ(child.ReadAll(), "busy\n");
  EXPECT_EQ(child.Wait(), 0);
}

// The game folder's lock between processes: the holder keeps everyone else out, and a holder
// that is killed (TerminateProcess, no clean-up) leaves a lock file that no longer blocks.
TEST(FileLock, HeldAcrossProcessesAndDroppedWhenTheHolderIsKilled) {
  TempDir dir;
  const fs::path path = dir.path() / L"kestrune.lock";
  const fs::path probe = ProbePath();
  const std::wstring line = Quoted(probe) + L" " + Quoted(path);
  const std::map<std::wstring, std::wstring> env{{L"KESTRUNE_PROBE", L"lock"}};
  {
    Child holder(probe, line, env, true);
    ASSERT_EQ(holder.ReadLine(), "held\n");
    EXPECT_FALSE(FileLock::Acquire(Utf8(path), 100ms).isLocked());
    Child second(probe, line, env);
    EXPECT_EQ(second.ReadAll(), "busy\n");
  }  // killed
  EXPECT_TRUE(fs::exists(path)) << "the lock file stays behind";
  EXPECT_TRUE(FileLock::Acquire(Utf8(path), 100ms).isLocked());
  Child after(probe, line, env);
  EXPECT_EQ(after.ReadAll(), "held\n");
}

TEST(ProcessEnvironment, ProfileFolderIsUserprofileAlone) {
  const std::wstring longProfile = L"C:\\Users\\" + std::wstring(600, L'п');
  const struct {
    std::optional<std::wstring> userProfile;
    std::string expected;
  } cases[] = {
      {L"C:\\Users\\игрок один", "C:\\Users\\игрок один"},
      {longProfile, Narrow(longProfile)},
      {L"", ""},
      {std::nullopt, ""},
  };
  // HOME is what POSIX falls back on; Windows never does.
  ScopedVariable home(L"HOME", L"C:\\home\\kes");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected.substr(0, 40));
    ScopedVariable profile(L"USERPROFILE", c.userProfile);
    EXPECT_EQ(UserProfileFolder(), c.expected);
  }
}

TEST(ProcessEnvironment, CurrentDirectoryOfAnyLength) {
  TempDir dir;
  fs::path deep = dir.path();
  for (int level = 0; level < 3; ++level) deep /= std::wstring(100, L'а' + level);
  fs::create_directories(deep);
  ASSERT_GT(deep.wstring().size(), std::size_t{MAX_PATH});
  std::string seen;
  {
    ScopedCurrentDirectory at(deep);
    seen = CurrentDirectory();
  }
  EXPECT_EQ(seen, Utf8(deep));
}

TEST(ThreadPriority, LowersTheCallingThreadOnly) {
  const int mainBefore = GetThreadPriority(GetCurrentThread());
  int before = 0;
  int afterOne = 0;
  int afterTwo = 0;
  std::thread worker([&] {
    before = GetThreadPriority(GetCurrentThread());
    SetCurrentThreadLowestPriority();
    afterOne = GetThreadPriority(GetCurrentThread());
    SetCurrentThreadLowestPriority();
    afterTwo = GetThreadPriority(GetCurrentThread());
  });
  worker.join();
  EXPECT_EQ(before, THREAD_PRIORITY_NORMAL);
  EXPECT_EQ(afterOne, THREAD_PRIORITY_LOWEST);
  EXPECT_EQ(afterTwo, THREAD_PRIORITY_LOWEST) << "an absolute level, not one step lower again";
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), mainBefore);
}

// Programs started from here record, into Marker(), how they were started.
class DetachedStart : public ::testing::Test {
 protected:
  fs::path Marker() const { return dir_.path() / "record"; }

  TempDir dir_;
  ScopedVariable mode_{L"KESTRUNE_PROBE", L"record"};
  ScopedVariable out_{L"KESTRUNE_PROBE_OUT", Marker().wstring()};
};

TEST_F(DetachedStart, ArgumentsArriveAsGivenWithoutOurConsoleOrHandles) {
  const fs::path recorder = CopyProbe(dir_.path() / L"my programs", L"recorder.exe");
  ScopedCurrentDirectory at(dir_.path());
  for (const bool idle : {false, true}) {
    SCOPED_TRACE(idle ? "idle" : "normal");
    fs::remove(Marker());
    ASSERT_TRUE(StartDetachedProcess(
        Utf8(recorder), {"a b", "", "c\"d", "tail\\", "two\\\\\"q", "Привет мир"}, idle));
    const std::string record = WaitForFile(Marker());
    ASSERT_FALSE(record.empty()) << "the program did not run";
    EXPECT_EQ(Arguments(record), "[a b][][c\"d][tail\\][two\\\\\"q][Привет мир]");
    ExpectPriority(record, idle ? IDLE_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS);
    EXPECT_EQ(Field(record, "console"), "no");
    EXPECT_EQ(Field(record, "stdout"), "no");
    EXPECT_EQ(Field(record, "cwd"), Utf8(dir_.path()));
  }
}

TEST_F(DetachedStart, OutlivesTheProcessThatStartedIt) {
  const fs::path starter = CopyProbe(dir_.path(), L"starter.exe");
  const fs::path recorder = CopyProbe(dir_.path(), L"late.exe");
  // The recorder writes only after the starter has been seen to end.
  Child child(starter, Quoted(starter) + L" " + Quoted(recorder) + L" x",
              {{L"KESTRUNE_PROBE", L"spawn"},
               {L"KESTRUNE_PROBE_THEN", L"record"},
               {L"KESTRUNE_PROBE_DELAY", L"500"}});
  EXPECT_EQ(child.ReadAll(), "started\n");
  ASSERT_EQ(child.Wait(), 0);
  EXPECT_FALSE(fs::exists(Marker()));
  EXPECT_EQ(Arguments(WaitForFile(Marker())), "[x]");
}

TEST_F(DetachedStart, ReportsWhatCannotBeStarted) {
  kestrune::test::WriteFile(Utf8(dir_.path() / "notes.txt"), "not a program");
  for (const std::string& program :
       {Utf8(dir_.path() / "missing.exe"), Utf8(dir_.path() / "notes.txt"), Utf8(dir_.path()),
        std::string()}) {
    SCOPED_TRACE(program);
    EXPECT_FALSE(StartDetachedProcess(program, {}, false));
  }
  EXPECT_FALSE(ShellOpen(Utf8(dir_.path() / "missing.exe"), "-updater"));
}

// The hand-over script runs from its path as the command line, unquoted although the profile
// folder holds a blank, in our current directory.
TEST_F(DetachedStart, HandOverScriptRunsFromItsUnquotedPathInTheCurrentDirectory) {
  const fs::path profile = dir_.path() / L"player one";
  fs::create_directories(profile);
  const fs::path script = profile / L"Installer.cmd";
  kestrune::test::WriteFile(Utf8(script), "@echo off\r\ncd > \"" + Utf8(Marker()) + "\"\r\n");
  const fs::path game = dir_.path() / L"Game";
  fs::create_directories(game);
  {
    ScopedCurrentDirectory at(game);
    ASSERT_TRUE(StartHandOverScript(Utf8(script), "unused on Windows"));
  }
  std::string seen = WaitForFile(Marker());
  while (!seen.empty() && (seen.back() == '\n' || seen.back() == '\r' || seen.back() == ' ')) {
    seen.pop_back();
  }
  EXPECT_EQ(seen, Utf8(game));
  EXPECT_FALSE(fs::exists(profile / L"Installer.sh")) << "no shell script on Windows";
}

// How the script's own process is started, seen by the probe started the same way: hidden, at
// idle priority, from its path as the whole command line.
TEST_F(DetachedStart, HandOverScriptIsStartedHiddenAtIdlePriority) {
  const fs::path game = dir_.path() / L"Game";
  fs::create_directories(game);
  for (const wchar_t* folder : {L"player", L"player one"}) {
    const fs::path standIn = CopyProbe(dir_.path() / folder, L"Installer.exe");
    SCOPED_TRACE(Utf8(standIn));
    fs::remove(Marker());
    {
      ScopedCurrentDirectory at(game);
      ASSERT_TRUE(StartHandOverScript(Utf8(standIn), ""));
    }
    const std::string record = WaitForFile(Marker());
    ASSERT_FALSE(record.empty()) << "the stand-in did not run";
    const std::string line = Field(record, "commandline");
    if (Utf8(standIn).find(' ') == std::string::npos) {
      EXPECT_EQ(line, Utf8(standIn)) << "the path alone, not quoted";
    } else {
      // Wine puts quotes around a path with a blank that it had to search for; Windows passes
      // the line on as given.
      EXPECT_TRUE(line == Utf8(standIn) || line == "\"" + Utf8(standIn) + "\"") << line;
    }
    EXPECT_EQ(Field(record, "startflags"), std::to_string(STARTF_USESHOWWINDOW));
    EXPECT_EQ(Field(record, "showwindow"), std::to_string(SW_HIDE));
    ExpectPriority(record, IDLE_PRIORITY_CLASS);
    EXPECT_EQ(Field(record, "cwd"), Utf8(game));
  }
}

TEST_F(DetachedStart, ShellOpenRunsAnExecutableWithItsParametersInTheCurrentDirectory) {
  const fs::path recorder = CopyProbe(dir_.path() / L"system", L"tarvik.exe");
  {
    ScopedCurrentDirectory at(dir_.path());
    ASSERT_TRUE(ShellOpen(Utf8(recorder), "-updater two"));
  }
  const std::string record = WaitForFile(Marker());
  EXPECT_EQ(Arguments(record), "[-updater][two]");
  EXPECT_EQ(Field(record, "cwd"), Utf8(dir_.path()));
}

}  // namespace
}  // namespace platform
