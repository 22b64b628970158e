#pragma once
// The launcher without a window: the same start-up and workers, with the status line on
// stdout, message boxes on stderr and the bars as one progress line on a terminal.

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

#include "View.h"

namespace kestrune {

// Headless when KESTRUNE_HEADLESS is "1" or no display is named (DISPLAY and WAYLAND_DISPLAY
// unset or empty). Arguments are the variables' values, nullptr for unset.
bool WantHeadless(const char* headless, const char* display, const char* waylandDisplay);
// The same over this process's environment.
bool WantHeadless();

// The exit code for the status code at the end of a run that did not close the window: 0 for
// all updated (4) and up to date (7); 2 for cancelled by the user (6); 1 for anything else.
int HeadlessExitCode(std::int32_t messageId);

// What the console says at once on the first Ctrl+C of a patch run: the worker may be inside a
// long checksum or unpacking and end only afterwards.
std::string CancellingNotice(std::int32_t language);

class ConsoleView final : public View {
 public:
  // `progress` draws the bars on `err`; only for a terminal.
  ConsoleView(std::ostream& out, std::ostream& err, bool progress)
      : out_(out), err_(err), progress_(progress) {}

  void FadeTo(Control, float, double) override {}
  void SetVisible(Control, bool) override {}
  void SetBarWidth(Control bar, float width) override;
  void SetTransferText(const std::string& text) override;
  void SetStatusText(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  void Minimize() override {}
  void Close() override { closed_ = true; }
  WindowPosition Position() const override { return {}; }
  void MoveTo(WindowPosition) override {}

  bool closed() const { return closed_; }
  // Clears the progress line, so that whatever comes next starts at the line's beginning.
  void ClearProgress();

 private:
  void DrawProgress();

  std::ostream& out_;
  std::ostream& err_;
  bool progress_;
  bool drawn_ = false;
  bool closed_ = false;
  float file_ = 0;
  float total_ = 0;
  std::string transfer_;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// Runs the start-up sequence and serves the worker it starts until that has ended; the first
// SIGINT is the Cancel action. Returns the exit code.
int RunHeadless();

}  // namespace kestrune
