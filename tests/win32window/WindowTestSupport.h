#pragma once
// What the window tests share: COM for the test's thread, a clock the test moves, and a
// recorder of the mouse events the window hands on.

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <chrono>
#include <memory>
#include <vector>

#include "LauncherWindow.h"

namespace kestrune::test {

struct MouseCall {
  Control control;
  MouseEvent event;
  float x, y;
  bool operator==(const MouseCall&) const = default;
};

inline void PrintTo(const MouseCall& call, std::ostream* out) {
  static const char* const kEvents[] = {"Enter", "Leave", "Down", "Move", "Up", "Click"};
  *out << ControlName(call.control) << ' ' << kEvents[static_cast<int>(call.event)] << " ("
       << call.x << ", " << call.y << ')';
}

class WindowTest : public ::testing::Test {
 protected:
  using Time = std::chrono::steady_clock::time_point;

  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    window_ = std::make_unique<LauncherWindow>([this] { return now_; });
    ASSERT_NE(window_->handle(), nullptr);
  }
  void TearDown() override {
    window_.reset();
    // Whatever the window left in this thread's queue (redraws) goes with it.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    CoUninitialize();
  }

  LauncherWindow& window() { return *window_; }
  void Advance(double seconds) {
    now_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
  }
  // Sends a mouse message in client coordinates, as the system would deliver it.
  void Mouse(UINT message, int x, int y) {
    SendMessageW(window_->handle(), message, 0, MAKELPARAM(x, y));
  }
  void Record() {
    window_->SetHandler([this](Control c, MouseEvent e, float x, float y) {
      calls_.push_back({c, e, x, y});
    });
  }

  Time now_ = std::chrono::steady_clock::now();
  std::unique_ptr<LauncherWindow> window_;
  std::vector<MouseCall> calls_;
};

}  // namespace kestrune::test
