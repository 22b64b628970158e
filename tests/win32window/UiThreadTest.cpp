// The hand-over from a worker to the window's user-interface thread: the step runs there,
// its exception comes back to the worker, and a message box's own loop serves it too.

#include <atomic>
#include <stdexcept>
#include <thread>

#include "Win32UiThread.h"
#include "WindowTestSupport.h"

namespace kestrune::test {
namespace {

TEST(Win32UiThreadTest, AWorkersStepRunsOnTheUiThreadAndItsErrorComesBack) {
  Win32UiThread ui;
  const std::thread::id uiThread = std::this_thread::get_id();
  std::thread::id ranOn;
  std::atomic<bool> finished{false};
  std::string caught;
  std::jthread worker([&] {
    ui.run([&] { ranOn = std::this_thread::get_id(); });
    try {
      ui.run([] { throw std::runtime_error("refused"); });
    } catch (const std::runtime_error& error) {
      caught = error.what();
    }
    finished = true;
    ui.Wake();
  });
  ui.ServeUntil([&] { return finished.load(); });
  worker.join();
  EXPECT_EQ(ranOn, uiThread);
  EXPECT_EQ(caught, "refused");
}

TEST(Win32UiThreadTest, OnTheUiThreadAStepRunsAtOnce) {
  Win32UiThread ui;
  int ran = 0;
  ui.run([&] { ++ran; });
  EXPECT_EQ(ran, 1);
  EXPECT_THROW(ui.run([] { throw std::logic_error("x"); }), std::logic_error);
  bool tested = false;
  ui.ServeUntil([&] { return tested = true; });  // true at once: returns without waiting
  EXPECT_TRUE(tested);
}

// The window closed while a worker's step was still due: the wait serves the step and leaves
// the end of the program, with its code, to the loop outside.
TEST(Win32UiThreadTest, AQuitDuringTheWaitIsLeftForTheLoopOutside) {
  Win32UiThread ui;
  std::atomic<bool> finished{false};
  int served = 0;
  PostQuitMessage(3);
  std::jthread worker([&] {
    ui.run([&] { ++served; });
    finished = true;
    ui.Wake();
  });
  ui.ServeUntil([&] { return finished.load(); });
  worker.join();
  EXPECT_EQ(served, 1);
  MSG msg{};
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
}

// Dismisses the launcher's message box once it is up; false when none came in time.
bool DismissMessageBox() {
  for (int i = 0; i < 500; ++i) {
    if (const HWND box = FindWindowW(L"#32770", L"KestruneLands Updater")) {
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      return true;
    }
    Sleep(20);
  }
  return false;
}

using MessageBoxTest = WindowTest;

TEST_F(MessageBoxTest, AStepIsServedWhileAMessageBoxIsUp) {
  Win32UiThread ui;
  std::atomic<bool> boxReturned{false};
  std::atomic<bool> servedInsideBox{false};
  std::atomic<bool> dismissed{false};
  std::atomic<bool> workerDone{false};
  std::jthread worker([&] {
    ui.run([&] { servedInsideBox = !boxReturned; });
    dismissed = DismissMessageBox();
    workerDone = true;
  });
  // Should the step never come, the box still goes, and the test fails rather than hangs.
  std::jthread watchdog([&](std::stop_token stop) {
    for (int i = 0; i < 500 && !stop.stop_requested(); ++i) Sleep(20);
    if (!stop.stop_requested()) DismissMessageBox();
  });
  window().ShowMessage("Error! Please try again later!1");
  boxReturned = true;
  ui.ServeUntil([&] { return workerDone.load(); });
  worker.join();
  watchdog.request_stop();
  EXPECT_TRUE(servedInsideBox);
  EXPECT_TRUE(dismissed);
}

}  // namespace
}  // namespace kestrune::test
