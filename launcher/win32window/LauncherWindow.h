#pragma once
// The launcher's one window on Windows: a borderless layered window whose every pixel is
// composed here from the control table's pictures, bars and labels, then handed to the system
// with its alpha (UpdateLayeredWindow). It implements the View of TFormUpdater and hands each
// mouse event of an image control to a handler (TFormUpdater::OnMouse). User-interface thread
// only: the thread that built it.

#include <windows.h>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Canvas.h"
#include "ControlTable.h"
#include "Fade.h"
#include "GdiHandles.h"
#include "LabelText.h"
#include "MainForm.h"
#include "View.h"

namespace kestrune {

inline constexpr const char* kWindowCaption = "KestruneLands Updater";

class LauncherWindow final : public View {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Handler = std::function<void(Control, MouseEvent, float, float)>;

  // Builds the window (not shown) from the table and pictures in the executable's resources.
  // `clock` times the fades. Throws std::runtime_error when the resources are missing or
  // broken, or the system refuses the window. COM must be initialised on this thread.
  explicit LauncherWindow(Clock clock = std::chrono::steady_clock::now);
  ~LauncherWindow() override;
  LauncherWindow(const LauncherWindow&) = delete;
  LauncherWindow& operator=(const LauncherWindow&) = delete;

  // Where the mouse goes; until set, nowhere.
  void SetHandler(Handler handler) { handler_ = std::move(handler); }
  // Centres the window on the work area of the screen.
  void CenterOnScreen();
  void Show();

  // The native window; null once it is destroyed.
  HWND handle() const { return hwnd_; }
  float opacity(Control control) const { return controls_[Index(control)].fade.opacity(); }
  bool visible(Control control) const { return controls_[Index(control)].visible; }
  // Moves every running fade to the clock's present time and redraws what changed; the
  // window's timer calls it.
  void Tick();
  // The whole window as it is drawn now.
  Canvas Compose() const;

  // View.
  void FadeTo(Control image, float opacity, double seconds) override;
  void SetVisible(Control control, bool visible) override;
  void SetBarWidth(Control bar, float width) override;
  void SetTransferText(const std::string& text) override;
  void SetStatusText(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  void Minimize() override;
  void Close() override;
  WindowPosition Position() const override;
  void MoveTo(WindowPosition position) override;

 private:
  struct State {
    ControlRow row;
    bool visible = false;
    Fade fade;
    float barWidth = 0;
    const Canvas* picture = nullptr;
    LabelMask label;
  };
  static std::size_t Index(Control c) { return static_cast<std::size_t>(c); }
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

  void SetLabel(Control label, const std::string& text);
  void ScheduleRedraw();
  void Redraw();
  void EnsureTimer();

  // Mouse routing.
  std::optional<Control> ImageAt(int x, int y) const;
  void Send(Control control, MouseEvent event, int x = 0, int y = 0);
  void Hover(std::optional<Control> target);
  // Asks for WM_MOUSELEAVE, unless already asked.
  void TrackLeave();
  void OnMove(int x, int y);
  void OnButton(bool down, int button, int x, int y);

  Clock clock_;
  Handler handler_;
  std::vector<Canvas> pictures_;  // each picture once, shared by the rows naming it
  std::array<State, static_cast<std::size_t>(Control::ForumNormal) + 1> controls_{};
  std::vector<Control> order_;  // bottom to top
  int width_ = 0;
  int height_ = 0;

  // Declared before the DC: the bitmap goes after the DC it is selected into.
  GdiObject frame_;
  MemoryDc frameDc_;
  void* frameBits_ = nullptr;

  HWND hwnd_ = nullptr;
  Icon icon_;
  bool destroying_ = false;
  bool timer_ = false;
  bool redrawPosted_ = false;

  std::optional<Control> hover_;
  std::optional<Control> pressed_;
  unsigned buttons_ = 0;  // held buttons, one bit each
  bool primaryDown_ = false;
  bool tracking_ = false;
  bool inside_ = false;
  POINT last_{};
};

}  // namespace kestrune
