// The window's mouse through real window messages: which control hears it, capture while a
// button is held, Click only for a left press released inside, dragging by the background,
// and Close ending the message loop.

#include "MainForm.h"
#include "UiThread.h"
#include "WindowTestSupport.h"

namespace kestrune::test {
namespace {

using E = MouseEvent;
using C = Control;

using MouseTest = WindowTest;

TEST_F(MouseTest, TheTopmostVisibleImageUnderThePointerGetsIt) {
  Record();
  struct Case {
    int x, y;
    Control expected;
  } cases[] = {
      {10, 300, C::MainForm},
      {400, 440, C::StartNormal},  // over Hover and Press, which lie
                                   // below it
      {100, 505, C::MainForm},     // the status label lets the mouse through
      {200, 530, C::MainForm},     // so does a bar
      {600, 540, C::UpdateNormal},
      {860, 540, C::MainForm},  // Cancel is hidden at load
      {950, 100, C::CloseNormal},
      {900, 100, C::MinimizeNormal},
      {80, 100, C::SiteNormal},
      {130, 100, C::ForumNormal},
      {5, 5, C::MainForm},  // transparent, but still the background's
                            // rectangle
  };
  for (const Case& c : cases) {
    SendMessageW(window().handle(), WM_MOUSELEAVE, 0, 0);
    calls_.clear();
    Mouse(WM_MOUSEMOVE, c.x, c.y);
    ASSERT_FALSE(calls_.empty()) << c.x << "," << c.y;
    EXPECT_EQ(calls_.back().control, c.expected) << c.x << "," << c.y;
    EXPECT_EQ(calls_.back().event, E::Enter) << c.x << "," << c.y;
  }
}

TEST_F(MouseTest, EnterAndLeaveAsThePointerCrossesAndHiddenControlsAreSkipped) {
  Record();
  Mouse(WM_MOUSEMOVE, 10, 300);
  Mouse(WM_MOUSEMOVE, 20, 300);  // no change: no event, and no Move without a button
  Mouse(WM_MOUSEMOVE, 600, 540);
  window().SetVisible(C::StartNormal, false);
  window().SetVisible(C::StartPress, false);
  window().SetVisible(C::StartHover, false);
  window().SetVisible(C::StartDisabled, true);
  Mouse(WM_MOUSEMOVE, 400, 440);
  SendMessageW(window().handle(), WM_MOUSELEAVE, 0, 0);
  const std::vector<MouseCall> expected = {
      {C::MainForm, E::Enter, 0, 0},      {C::MainForm, E::Leave, 0, 0},
      {C::UpdateNormal, E::Enter, 0, 0},  {C::UpdateNormal, E::Leave, 0, 0},
      {C::StartDisabled, E::Enter, 0, 0}, {C::StartDisabled, E::Leave, 0, 0},
  };
  EXPECT_EQ(calls_, expected);
}

TEST_F(MouseTest, ThePressedControlKeepsTheMouseUntilReleaseClickOnlyInside) {
  Record();
  Mouse(WM_MOUSEMOVE, 600, 540);
  Mouse(WM_LBUTTONDOWN, 600, 540);
  EXPECT_EQ(GetCapture(), window().handle());
  Mouse(WM_MOUSEMOVE, 10, 10);  // far outside the button: still its own, no Leave
  Mouse(WM_LBUTTONUP, 10, 10);
  EXPECT_EQ(GetCapture(), nullptr);
  Mouse(WM_LBUTTONDOWN, 10, 10);
  Mouse(WM_LBUTTONUP, 12, 11);
  Mouse(WM_MOUSEMOVE, 600, 540);
  Mouse(WM_LBUTTONDOWN, 600, 540);
  Mouse(WM_LBUTTONUP, 610, 545);
  Mouse(WM_RBUTTONDOWN, 610, 545);  // any button presses; only the left one clicks
  Mouse(WM_RBUTTONUP, 610, 545);
  Mouse(WM_MBUTTONDOWN, 611, 545);
  Mouse(WM_MBUTTONUP, 611, 545);
  const std::vector<MouseCall> expected = {
      {C::UpdateNormal, E::Enter, 0, 0},
      {C::UpdateNormal, E::Down, 61, 16},
      {C::UpdateNormal, E::Move, 10 - 539, 10 - 524},
      {C::UpdateNormal, E::Up, 10 - 539, 10 - 524},
      // Released: the hover is found again.
      {C::UpdateNormal, E::Leave, 0, 0},
      {C::MainForm, E::Enter, 0, 0},
      {C::MainForm, E::Down, 10, 10},
      {C::MainForm, E::Up, 12, 11},
      {C::MainForm, E::Click, 12, 11},
      {C::MainForm, E::Leave, 0, 0},
      {C::UpdateNormal, E::Enter, 0, 0},
      {C::UpdateNormal, E::Down, 61, 16},
      {C::UpdateNormal, E::Up, 71, 21},
      {C::UpdateNormal, E::Click, 71, 21},
      {C::UpdateNormal, E::Down, 71, 21},
      {C::UpdateNormal, E::Up, 71, 21},
      {C::UpdateNormal, E::Down, 72, 21},
      {C::UpdateNormal, E::Up, 72, 21},
  };
  EXPECT_EQ(calls_, expected);
}

TEST_F(MouseTest, ALeftPressReleasedAfterASecondButtonStillClicksInside) {
  Record();
  Mouse(WM_MOUSEMOVE, 950, 100);
  Mouse(WM_LBUTTONDOWN, 950, 100);
  Mouse(WM_RBUTTONDOWN, 951, 100);
  Mouse(WM_RBUTTONUP, 951, 100);
  EXPECT_EQ(GetCapture(), window().handle());  // the left button is still held
  Mouse(WM_LBUTTONUP, 952, 100);
  const std::vector<MouseCall> expected = {
      {C::CloseNormal, E::Enter, 0, 0},  {C::CloseNormal, E::Down, 16, 23},
      {C::CloseNormal, E::Down, 17, 23}, {C::CloseNormal, E::Up, 17, 23},
      {C::CloseNormal, E::Up, 18, 23},   {C::CloseNormal, E::Click, 18, 23},
  };
  EXPECT_EQ(calls_, expected);
}

TEST_F(MouseTest, DraggingByTheBackgroundMovesTheWindow) {
  PlainUiThread ui;
  TFormUpdater form(window(), ui);
  window().SetHandler(
      [&form](Control c, MouseEvent e, float x, float y) { form.OnMouse(c, e, x, y); });
  window().MoveTo({200, 150});
  RECT r{};
  ASSERT_TRUE(GetWindowRect(window().handle(), &r));
  ASSERT_EQ(r.left, 200);
  ASSERT_EQ(r.top, 150);
  Mouse(WM_MOUSEMOVE, 100, 20);
  Mouse(WM_LBUTTONDOWN, 100, 20);
  // The pointer 30 to the right and 10 up of where it grabbed, in the window's coordinates.
  Mouse(WM_MOUSEMOVE, 130, 10);
  ASSERT_TRUE(GetWindowRect(window().handle(), &r));
  EXPECT_EQ(r.left, 230);
  EXPECT_EQ(r.top, 140);
  EXPECT_EQ(r.right - r.left, 1040);
  EXPECT_EQ(r.bottom - r.top, 630);
  Mouse(WM_MOUSEMOVE, 95, 25);  // the grabbed point follows the pointer back
  Mouse(WM_LBUTTONUP, 95, 25);
  Mouse(WM_MOUSEMOVE, 300, 300);  // released: no more moving
  ASSERT_TRUE(GetWindowRect(window().handle(), &r));
  EXPECT_EQ(r.left, 225);
  EXPECT_EQ(r.top, 145);
  EXPECT_EQ(window().Position().left, 225);
  EXPECT_EQ(window().Position().top, 145);
  // A press on a button is not the background's: no drag.
  Mouse(WM_MOUSEMOVE, 600, 540);
  Mouse(WM_LBUTTONDOWN, 600, 540);
  Mouse(WM_MOUSEMOVE, 700, 300);
  Mouse(WM_LBUTTONUP, 700, 300);
  EXPECT_EQ(window().Position().left, 225);
}

// Runs this thread's message loop as the program does; false when it did not end in time.
bool LoopEnds() {
  SetTimer(nullptr, 0, 10000, nullptr);  // a time limit: GetMessage returns for it
  const DWORD until = GetTickCount() + 10000;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (GetTickCount() >= until) return false;
    DispatchMessageW(&msg);
  }
  return true;
}

TEST_F(MouseTest, CloseButtonDestroysTheWindowAndEndsTheLoop) {
  PlainUiThread ui;
  TFormUpdater form(window(), ui);
  window().SetHandler(
      [&form](Control c, MouseEvent e, float x, float y) { form.OnMouse(c, e, x, y); });
  const HWND hwnd = window().handle();
  Mouse(WM_MOUSEMOVE, 950, 100);
  Mouse(WM_LBUTTONDOWN, 950, 100);
  Mouse(WM_LBUTTONUP, 950, 100);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(window().handle(), nullptr);
  EXPECT_TRUE(LoopEnds());
  // Closed, the window takes further calls without effect.
  window().SetVisible(C::StartNormal, false);
  window().Minimize();
  window().Close();
}

TEST_F(MouseTest, MinimizeButtonMinimizesTheWindow) {
  PlainUiThread ui;
  TFormUpdater form(window(), ui);
  window().SetHandler(
      [&form](Control c, MouseEvent e, float x, float y) { form.OnMouse(c, e, x, y); });
  window().Show();
  Mouse(WM_MOUSEMOVE, 900, 100);
  Mouse(WM_LBUTTONDOWN, 900, 100);
  Mouse(WM_LBUTTONUP, 900, 100);
  EXPECT_TRUE(IsIconic(window().handle()));
}

}  // namespace
}  // namespace kestrune::test
