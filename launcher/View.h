#pragma once
// What TFormUpdater asks of the screen. The window implements it; tests record the calls.
// Every call comes on the user-interface thread.

#include <cstdint>
#include <string>

namespace kestrune {

// The window's controls, bottom to top, after the container that holds them all.
enum class Control {
  Layout1,
  MainForm,
  Status,
  Transfer,
  StartDisabled,
  StartHover,
  StartPress,
  StartNormal,
  UpdateHover,
  UpdatePress,
  UpdateNormal,
  CancelHover,
  CancelPress,
  CancelNormal,
  CloseHover,
  ClosePress,
  CloseNormal,
  MinimizeHover,
  MinimizePress,
  MinimizeNormal,
  FileProgress,
  TotalProgress,
  SiteHover,
  SitePress,
  SiteNormal,
  ForumHover,
  ForumPress,
  ForumNormal,
};

struct WindowPosition {
  int left = 0;
  int top = 0;
};

class View {
 public:
  virtual ~View() = default;

  // Fades an image's opacity linearly to `opacity` over `seconds`, starting where it is; a
  // fade still running on that image first jumps to its own target. Returns at once.
  virtual void FadeTo(Control image, float opacity, double seconds) = 0;
  // A hidden control neither draws nor receives the mouse.
  virtual void SetVisible(Control control, bool visible) = 0;
  // `bar` is FileProgress or TotalProgress; the width grows to the right and is not clamped.
  virtual void SetBarWidth(Control bar, float width) = 0;
  // The line about the download under way beside the bars (sizes, rate, time left); empty
  // when nothing is being transferred.
  virtual void SetTransferText(const std::string& /*text*/) {}
  virtual void SetStatusText(const std::string& text) = 0;
  // Modal, with one OK button; returns when the user has dismissed it.
  virtual void ShowMessage(const std::string& text) = 0;
  virtual void Minimize() = 0;
  // Closes the window, which ends the program.
  virtual void Close() = 0;
  // The window's top-left corner in screen pixels.
  virtual WindowPosition Position() const = 0;
  virtual void MoveTo(WindowPosition position) = 0;
};

}  // namespace kestrune
