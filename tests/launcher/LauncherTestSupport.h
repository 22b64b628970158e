#pragma once
// Shared pieces of the launcher tests: a recording view, scoped environment variables and a
// patch worker the test controls.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "MainForm.h"
#include "ScopedEnv.h"
#include "TestSupport.h"
#include "ThreadManager.h"
#include "View.h"

namespace kestrune::test {

// Records what the core asks of the screen, and fails the test when a call comes from any
// thread but the one that created it (the user-interface thread of the test).
class RecordingView : public View {
 public:
  void FadeTo(Control image, float opacity, double seconds) override {
    OnUiThread();
    fades.push_back({image, opacity, seconds});
  }
  void SetVisible(Control control, bool visible) override {
    OnUiThread();
    visibility.emplace_back(control, visible);
  }
  void SetBarWidth(Control bar, float width) override {
    OnUiThread();
    bars.emplace_back(bar, width);
  }
  void SetStatusText(const std::string& text) override {
    OnUiThread();
    statusTexts.push_back(text);
  }
  void ShowMessage(const std::string& text) override {
    OnUiThread();
    messages.push_back(text);
  }
  void SetTransferText(const std::string& text) override {
    OnUiThread();
    transferTexts.push_back(text);
  }
  void Minimize() override {
    OnUiThread();
    ++minimized;
  }
  void Close() override {
    OnUiThread();
    ++closed;
  }
  WindowPosition Position() const override { return position; }
  void MoveTo(WindowPosition to) override {
    OnUiThread();
    position = to;
  }

  struct Fade {
    Control image;
    float opacity;
    double seconds;
  };
  std::vector<Fade> fades;
  std::vector<std::pair<Control, bool>> visibility;
  std::vector<std::pair<Control, float>> bars;
  std::vector<std::string> statusTexts;
  std::vector<std::string> messages;
  std::vector<std::string> transferTexts;
  int minimized = 0;
  int closed = 0;
  WindowPosition position;

 private:
  void OnUiThread() const {
    EXPECT_EQ(std::this_thread::get_id(), owner_) << "view used off the UI thread";
  }
  std::thread::id owner_ = std::this_thread::get_id();
};

// A patch worker that shows the busy layout, then waits until it is told to end (release) or
// asked to terminate, then runs a last step with the idle layout.
class ControlledPatchWorker : public ThreadForDownLoad {
 public:
  using ThreadForDownLoad::ThreadForDownLoad;

  void DisconnectHttp() override {
    terminationBeforeDisconnect = TerminationRequested();
    disconnected = true;
  }

  std::atomic<bool> release{false};
  std::atomic<bool> busyShown{false};
  std::atomic<bool> lastStepRan{false};
  std::atomic<bool> disconnected{false};
  std::atomic<bool> terminationBeforeDisconnect{false};
  std::thread::id lastStepThread;

 protected:
  void Execute() override {
    Synchronize([this] {
      launcher.ApplyBusyLayout();
      busyShown = true;
    });
    // The deadline only keeps a broken test from hanging forever.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!TerminationRequested() && !release && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Synchronize([this] {
      lastStepThread = std::this_thread::get_id();
      launcher.ApplyIdleLayout();
      lastStepRan = true;
    });
  }
};

// A game folder made the current directory for the object's life; with `client`, a
// system/tarvik.exe script that writes its arguments and working directory to client.log.
class GameFolder {
 public:
  explicit GameFolder(bool client) : saved_(std::filesystem::current_path()) {
    std::filesystem::create_directory(dir_.path() / "system");
    if (client) {
      const std::string exe = (dir_.path() / "system" / "tarvik.exe").string();
      WriteFile(exe, "#!/bin/sh\nprintf '%s|' \"$@\" > '" + log() + ".tmp'\npwd >> '" + log() +
                         ".tmp'\nmv '" + log() + ".tmp' '" + log() + "'\n");
      std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
    }
    std::filesystem::current_path(dir_.path());
  }
  ~GameFolder() { std::filesystem::current_path(saved_); }
  GameFolder(const GameFolder&) = delete;
  GameFolder& operator=(const GameFolder&) = delete;

  std::string path() const { return dir_.path().string(); }
  std::string log() const { return dir_.file("client.log"); }
  // What the client recorded ("arg|...|cwd"), once it has run; empty after `wait` without it.
  std::string WaitForClient(std::chrono::milliseconds wait = std::chrono::seconds(10)) const {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::filesystem::exists(log())) {
        std::string text = ReadFile(log());
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {};
  }

 private:
  TempDir dir_;
  std::filesystem::path saved_;
};

}  // namespace kestrune::test
