#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "Platform.h"
#include "ResourceLimit.h"
#include "ScopedEnv.h"
#include "TestSupport.h"

extern char** environ;

namespace platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kestrune::test::ReadFile;
using kestrune::test::ScopedEnv;
using kestrune::test::TempDir;
using kestrune::test::WriteFile;

constexpr auto kPatience = 5s;

// A child process with its output (and, on request, its input) on pipes.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& arguments,
        const std::map<std::string, std::string>& environment, bool feedInput = false) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      if (environment.count(text.substr(0, text.find('='))) == 0) env.push_back(text);
    }
    for (const auto& [name, value] : environment) env.push_back(name + "=" + value);
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());

    int output[2];
    int input[2] = {-1, -1};
    EXPECT_EQ(::pipe2(output, O_CLOEXEC), 0);
    if (feedInput) {
      EXPECT_EQ(::pipe2(input, O_CLOEXEC), 0);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (feedInput) {
      posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    const int result = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr,
                                     Pointers(args).data(), Pointers(env).data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(result, 0) << program;
    if (result != 0) pid_ = -1;
    ::close(output[1]);
    output_ = output[0];
    if (feedInput) {
      ::close(input[0]);
      input_ = input[1];
    }
  }
  ~Child() {
    CloseInput();
    ::close(output_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void CloseInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }

  // Output up to and including the next line end, or all that came before
  // the end of the output or the deadline.
  std::string ReadLine() { return Read(true); }
  std::string ReadAll() { return Read(false); }

  // The exit code, or -1 when the child has not ended within the deadline.
  int Wait() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(5ms);
    }
    return -1;
  }

 private:
  static std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
  }

  std::string Read(bool oneLine) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{output_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char c;
      if (::read(output_, &c, 1) != 1) break;
      text += c;
      if (oneLine && c == '\n') break;
    }
    return text;
  }

  pid_t pid_ = -1;
  int output_ = -1;
  int input_ = -1;
};

// The probe under another file name, the way a launcher is installed.
std::string CopyProbe(const TempDir& dir, const std::string& name) {
  const std::string path = dir.file(name);
  fs::copy_file(KESTRUNE_PLATFORM_PROBE, path);
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

// Polls for a file that a detached process writes (it renames it into place
// whole); empty when it did not appear in time.
std::string WaitForFile(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (fs::exists(path)) return ReadFile(path);
    std::this_thread::sleep_for(5ms);
  }
  return {};
}

// A script that records, in `marker`, each argument as "[arg]" and then what
// it can see of how it was started.
std::string WriteRecorder(const std::string& path, const std::string& marker,
                          const std::string& before = "") {
  WriteFile(path,
            "#!/bin/sh\n"
            "PATH=/usr/bin:/bin\n" +
                before +
                "{\n"
                "  for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n"
                "  printf 'cwd=%s\\n' \"$(pwd -P)\"\n"
                "  printf 'nice=%s\\n' \"$(nice)\"\n"
                "  printf 'ppid,session=%s\\n' \"$(cut -d' ' -f4,6 /proc/$$/stat)\"\n"
                "  printf 'pid=%s\\n' \"$$\"\n"
                "  printf 'stdin=%s\\n' \"$(readlink /proc/$$/fd/0)\"\n"
                "  printf 'stderr=%s\\n' \"$(readlink /proc/$$/fd/2)\"\n"
                "} > '" +
                marker + ".part' && mv '" + marker + ".part' '" + marker + "'\n");
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

std::string Field(const std::string& stored, const std::string& name) {
  const std::string record = "\n" + stored;
  const std::size_t at = record.find("\n" + name + "=");
  if (at == std::string::npos) return "<missing " + name + ">";
  const std::size_t start = at + name.size() + 2;
  return record.substr(start, record.find('\n', start) - start);
}

std::string Arguments(const std::string& record) {
  std::string args;
  for (std::size_t at = 0; at < record.size() && record[at] == '[';) {
    const std::size_t end = record.find('\n', at);
    args += record.substr(at, end - at);
    at = end + 1;
  }
  return args;
}

TEST(ProcessIdentity, CommandLineAndExecutableNameAsTheChildSeesThem) {
  TempDir dir;
  const struct {
    const char* name;
    std::vector<std::string> arguments;
    const char* commandLine;
  } cases[] = {
      {"KestruneUpdater.exe", {}, ""},
      {"KestruneUpdater.exe", {"-client"}, "-client"},
      {"KestruneUpdater.exe", {"-CLIENT"}, "-CLIENT"},
      {"KestruneUpdater.exe", {"a b", "c"}, "a b c"},
      {"KestruneUpdater.exe", {"", "x", ""}, " x "},
      {"My Game.v2", {"-client"}, "-client"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " / " + c.commandLine);
    const std::string program = dir.file(c.name);
    if (!fs::exists(program)) CopyProbe(dir, c.name);
    Child child(program, c.arguments, {{"KESTRUNE_PROBE", "identity"}});
    EXPECT_EQ(child.ReadAll(), std::string(c.commandLine) + "\n" + c.name + "\n");
    EXPECT_EQ(child.Wait(), 0);
  }
}

TEST(NamedMutex, OnlyOneProcessPerExecutableNameHoldsIt) {
  TempDir runtime;
  TempDir first;
  TempDir second;
  const std::map<std::string, std::string> env{{"KESTRUNE_PROBE", "mutex"},
                                               {"XDG_RUNTIME_DIR", runtime.path().string()}};
  const std::string holder = CopyProbe(first, "KestruneUpdater.exe");
  const std::string sameName = CopyProbe(second, "KestruneUpdater.exe");
  const std::string otherName = CopyProbe(second, "OtherGame.exe");

  Child running(holder, {}, env, true);
  ASSERT_EQ(running.ReadLine(), "held\n");
  {
    const auto start = std::chrono::steady_clock::now();
    Child loser(sameName, {}, env);
    EXPECT_EQ(loser.ReadAll(), "busy\n") << "its last line is flushed before it exits";
    EXPECT_EQ(loser.Wait(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "the loser does not wait";
  }
  {
    Child other(otherName, {}, env);
    EXPECT_EQ(other.ReadAll(), "held\n");
    EXPECT_EQ(other.Wait(), 0);
  }
  running.CloseInput();
  ASSERT_EQ(running.Wait(), 0);
  Child next(sameName, {}, env);
  EXPECT_EQ(next.ReadAll(), "held\n") << "the lock ends with its holder";
  EXPECT_EQ(next.Wait(), 0);
}

// The game folder's lock between processes: the holder keeps everyone else out, and a holder
// that dies (SIGKILL, no clean-up) leaves a lock file that no longer blocks.
TEST(FileLock, HeldAcrossProcessesAndDroppedWhenTheHolderDies) {
  TempDir dir;
  const std::string path = dir.file("kestrune.lock");
  const std::map<std::string, std::string> env{{"KESTRUNE_PROBE", "lock"}};
  {
    Child holder(KESTRUNE_PLATFORM_PROBE, {path}, env, true);
    ASSERT_EQ(holder.ReadLine(), "held\n");
    EXPECT_FALSE(FileLock::Acquire(path, 100ms).isLocked());
    Child second(KESTRUNE_PLATFORM_PROBE, {path}, env);
    EXPECT_EQ(second.ReadAll(), "busy\n");
  }  // killed with SIGKILL
  EXPECT_TRUE(fs::exists(path)) << "the lock file stays behind";
  EXPECT_TRUE(FileLock::Acquire(path, 100ms).isLocked());
  Child after(KESTRUNE_PLATFORM_PROBE, {path}, env);
  EXPECT_EQ(after.ReadAll(), "held\n");
}

TEST(NamedMutex, InProcessCasesThatMustNotRefuseTheStart) {
  TempDir runtime;
  ScopedEnv env;
  env.Set("XDG_RUNTIME_DIR", runtime.path().string());
  EXPECT_TRUE(AcquireNamedMutex("Recursive"));
  EXPECT_TRUE(AcquireNamedMutex("Recursive")) << "the owner may take it again";
  EXPECT_TRUE(AcquireNamedMutex("../Escape/x"));
  EXPECT_TRUE(fs::exists(runtime.file(".._Escape_x.lock")));
  env.Set("XDG_RUNTIME_DIR", runtime.file("missing-folder"));
  EXPECT_TRUE(AcquireNamedMutex("NoFolder")) << "an unusable lock folder does not stop us";
}

TEST(ProcessEnvironment, ProfileFolderPrefersUserprofileThenHome) {
  const struct {
    std::optional<std::string> userProfile;
    std::optional<std::string> home;
    const char* expected;
  } cases[] = {
      {"C:/Users/kes", "/home/kes", "C:/Users/kes"},
      {"", "/home/kes", "/home/kes"},
      {std::nullopt, "/home/kes", "/home/kes"},
      {std::nullopt, std::nullopt, ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    ScopedEnv env;
    env.Set("USERPROFILE", c.userProfile);
    env.Set("HOME", c.home);
    EXPECT_EQ(UserProfileFolder(), c.expected);
  }
}

TEST(ProcessEnvironment, CurrentDirectoryOfAnyLength) {
  TempDir dir;
  // Deeper than any fixed buffer short of PATH_MAX.
  fs::path deep = fs::canonical(dir.path());
  for (int level = 0; level < 12; ++level) deep /= std::string(200, static_cast<char>('a' + level));
  fs::create_directories(deep);
  const fs::path before = fs::current_path();
  fs::current_path(deep);
  const std::string seen = CurrentDirectory();
  fs::current_path(before);
  EXPECT_EQ(seen, deep.string());
}

TEST(ThreadPriority, LowersTheCallingThreadOnlyAndOnlyOnce) {
  const int mainBefore = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
  int before = 0;
  int afterOne = 0;
  int afterTwo = 0;
  std::thread worker([&] {
    const auto self = static_cast<id_t>(::gettid());
    before = ::getpriority(PRIO_PROCESS, self);
    SetCurrentThreadLowestPriority();
    afterOne = ::getpriority(PRIO_PROCESS, self);
    SetCurrentThreadLowestPriority();
    afterTwo = ::getpriority(PRIO_PROCESS, self);
  });
  worker.join();
  EXPECT_EQ(afterOne, std::min(before + 10, 19));
  EXPECT_EQ(afterTwo, afterOne);
  EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())), mainBefore);
}

TEST(ThreadName, NamesTheCallingThreadAndKeepsWhatTheSystemCan) {
  auto nameOf = [](const std::string& given) {
    std::string seen;
    std::thread([&] {
      SetCurrentThreadName(given);
      char name[64] = {};
      ::pthread_getname_np(::pthread_self(), name, sizeof name);
      seen = name;
    }).join();
    return seen;
  };
  EXPECT_EQ(nameOf("kestrune-patch"), "kestrune-patch");
  EXPECT_EQ(nameOf("a name longer than fifteen"), "a name longer t");
}

class DetachedStart : public ::testing::Test {
 protected:
  // Nothing we start may stay our child: no zombie can be left behind.
  void ExpectNoChildren() {
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
  }
  std::string Marker() const { return dir_.file("marker"); }

  TempDir dir_;
};

TEST_F(DetachedStart, ArgumentsArriveAsGivenInANewSessionWithoutOurHandles) {
  for (const bool idle : {false, true}) {
    SCOPED_TRACE(idle ? "idle" : "normal");
    fs::remove(Marker());
    const std::string script = WriteRecorder(dir_.file("run.sh"), Marker());
    ASSERT_TRUE(StartDetachedProcess(script, {"a b", "", "c\"d"}, idle));
    const std::string record = WaitForFile(Marker());
    ASSERT_FALSE(record.empty()) << "the script did not run";
    EXPECT_EQ(Arguments(record), "[a b][][c\"d]");
    const std::string pid = Field(record, "pid");
    const std::string ppidSession = Field(record, "ppid,session");
    EXPECT_EQ(ppidSession.substr(ppidSession.find(' ') + 1), pid) << "leads its own session";
    EXPECT_NE(ppidSession.substr(0, ppidSession.find(' ')), std::to_string(::getpid()));
    EXPECT_EQ(Field(record, "stdin"), "/dev/null");
    EXPECT_EQ(Field(record, "stderr"), "/dev/null");
    EXPECT_EQ(Field(record, "cwd"), fs::canonical(fs::current_path()).string());
    EXPECT_EQ(Field(record, "nice"), std::to_string(idle ? 19 : ::getpriority(PRIO_PROCESS, 0)));
    ExpectNoChildren();
  }
}

TEST_F(DetachedStart, OutlivesTheProcessThatStartedIt) {
  TempDir probeDir;
  const std::string probe = CopyProbe(probeDir, "probe");
  const std::string script = WriteRecorder(dir_.file("late.sh"), Marker(), "sleep 0.3\n");
  Child starter(probe, {script, "x"}, {{"KESTRUNE_PROBE", "spawn"}});
  EXPECT_EQ(starter.ReadAll(), "started\n");
  ASSERT_EQ(starter.Wait(), 0);
  EXPECT_EQ(Arguments(WaitForFile(Marker())), "[x]");
}

TEST_F(DetachedStart, ReportsWhatCannotBeStarted) {
  WriteFile(dir_.file("plain.sh"), "#!/bin/sh\ntouch '" + Marker() + "'\n");
  WriteFile(dir_.file("nointerpreter"), "#!/no/such/shell\n");
  fs::permissions(dir_.file("nointerpreter"), fs::perms::owner_all);
  for (const std::string& program :
       {dir_.file("missing"), dir_.file("plain.sh"), dir_.file("nointerpreter"),
        dir_.path().string(), std::string()}) {
    SCOPED_TRACE(program);
    EXPECT_FALSE(StartDetachedProcess(program, {}, false));
  }
  ExpectNoChildren();
  EXPECT_FALSE(fs::exists(Marker()));
}

// The shell script is run only once it is whole: one the disk refuses part way is neither
// started nor left under its name.
TEST_F(DetachedStart, AHandOverScriptTheDiskRefusesIsNeitherStartedNorLeft) {
  const std::string script = "#!/bin/sh\n: > '" + Marker() + "'\n# " + std::string(200, '-') + "\n";
  {
    kestrune::test::ResourceLimit limit(RLIMIT_FSIZE, 32);
    EXPECT_FALSE(StartHandOverScript(dir_.file("Installer.cmd"), script));
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(DetachedStart, ShellOpenRunsAnExecutableWithItsParametersInTheCurrentDirectory) {
  WriteRecorder(dir_.file("run.sh"), Marker());
  const fs::path before = fs::current_path();
  fs::current_path(dir_.path());
  const bool started = ShellOpen("run.sh", "  -updater  two\tthree ");
  fs::current_path(before);
  ASSERT_TRUE(started);
  const std::string record = WaitForFile(Marker());
  EXPECT_EQ(Arguments(record), "[-updater][two][three]");
  EXPECT_EQ(Field(record, "cwd"), fs::canonical(dir_.path()).string());
  ExpectNoChildren();
}

TEST_F(DetachedStart, ShellOpenHandsEverythingElseToTheDesktopOpener) {
  TempDir bin;
  WriteRecorder(bin.file("xdg-open"), Marker());
  WriteFile(dir_.file("readme.txt"), "not a program");
  ScopedEnv env;
  env.Set("PATH", bin.path().string());
  for (const std::string& target : {std::string("http://example.invalid/forum?a=1&b=2"),
                                    dir_.file("readme.txt"), dir_.path().string()}) {
    SCOPED_TRACE(target);
    fs::remove(Marker());
    ASSERT_TRUE(ShellOpen(target, "ignored parameters"));
    EXPECT_EQ(Arguments(WaitForFile(Marker())), "[" + target + "]");
  }
  ExpectNoChildren();

  env.Set("PATH", dir_.path().string());
  EXPECT_FALSE(ShellOpen("http://example.invalid/", "")) << "no opener on PATH";
}

}  // namespace
}  // namespace platform
