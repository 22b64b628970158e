// Fades: linear in time, a running fade cut short jumps to its target, short ones end at the
// next step; then the button fades as the form asks for them through the window's mouse.

#include "Fade.h"
#include "MainForm.h"
#include "UiThread.h"
#include "WindowTestSupport.h"

namespace kestrune::test {
namespace {

using namespace std::chrono_literals;
const Fade::Time t0{};

TEST(FadeTest, LinearFromWhereItStandsToTheTarget) {
  struct Case {
    float from, to;
    double seconds;
    std::chrono::milliseconds at;
    float expected;
    bool running;
  } cases[] = {
      {0, 1, 0.2, 0ms, 0, true},
      {0, 1, 0.2, 50ms, 0.25f, true},
      {0, 1, 0.2, 100ms, 0.5f, true},
      {1, 0, 0.2, 150ms, 0.25f, true},
      {0, 1, 0.2, 200ms, 1, false},
      {0, 1, 0.2, 5000ms, 1, false},
      {1, 0, 0.0, 0ms, 0, false},
      {1, 0, 0.005, 15ms, 0, false},
      {0.4f, 0.6f, 1.0, 500ms, 0.5f, true},
  };
  for (const Case& c : cases) {
    Fade fade(c.from);
    fade.Start(c.to, c.seconds, t0);
    fade.Advance(t0 + c.at);
    EXPECT_NEAR(fade.opacity(), c.expected, 1e-4)
        << c.from << "->" << c.to << " at " << c.at.count();
    EXPECT_EQ(fade.running(), c.running) << c.from << "->" << c.to << " at " << c.at.count();
  }
}

TEST(FadeTest, ARunningFadeJumpsToItsTargetBeforeTheNextBegins) {
  Fade fade(0);
  fade.Start(1, 0.2, t0);
  fade.Advance(t0 + 50ms);
  ASSERT_NEAR(fade.opacity(), 0.25f, 1e-4);
  fade.Start(0.5f, 0.1, t0 + 50ms);
  EXPECT_EQ(fade.opacity(), 1);  // at once, before any step
  fade.Advance(t0 + 100ms);
  EXPECT_NEAR(fade.opacity(), 0.75f, 1e-4);
  // A finished fade does not jump: the next starts where it ended.
  fade.Advance(t0 + 1s);
  fade.Start(1, 1.0, t0 + 1s);
  EXPECT_EQ(fade.opacity(), 0.5f);
}

using WindowFadeTest = WindowTest;

// The pointer enters Update and leaves 0.1 s later: UpdateNormal's running fade ends at once
// (0) and it returns to 1 within 0.005 s, while UpdateHover (already 1) takes 0.2 s to go.
TEST_F(WindowFadeTest, EnterThenLeaveUpdateThroughTheWindowsMouse) {
  PlainUiThread ui;
  TFormUpdater form(window(), ui);
  window().SetHandler(
      [&form](Control c, MouseEvent e, float x, float y) { form.OnMouse(c, e, x, y); });
  Mouse(WM_MOUSEMOVE, 600, 540);
  Advance(0.1);
  window().Tick();
  EXPECT_NEAR(window().opacity(Control::UpdateNormal), 0.5f, 1e-3);
  EXPECT_EQ(window().opacity(Control::UpdateHover), 1);
  Mouse(WM_MOUSEMOVE, 600, 600);  // the background below the button
  EXPECT_EQ(window().opacity(Control::UpdateNormal), 0);
  Advance(0.0025);
  window().Tick();
  EXPECT_NEAR(window().opacity(Control::UpdateNormal), 0.5f, 1e-3);
  EXPECT_NEAR(window().opacity(Control::UpdateHover), 1 - 0.0025 / 0.2, 1e-3);
  Advance(0.1);
  window().Tick();
  EXPECT_EQ(window().opacity(Control::UpdateNormal), 1);
  EXPECT_NEAR(window().opacity(Control::UpdateHover), 0.5 - 0.0025 / 0.2, 1e-3);
  Advance(0.1);
  window().Tick();
  EXPECT_EQ(window().opacity(Control::UpdateHover), 0);
}

// The window's own timer advances a fade without any tick from the test.
TEST_F(WindowFadeTest, TheTimerAdvancesFadesUntilTheyEnd) {
  window().FadeTo(Control::StartHover, 1, 0.05);
  Advance(1);
  const DWORD until = GetTickCount() + 5000;
  MSG msg;
  while (window().opacity(Control::StartHover) != 1 && GetTickCount() < until) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  EXPECT_EQ(window().opacity(Control::StartHover), 1);
}

}  // namespace
}  // namespace kestrune::test
