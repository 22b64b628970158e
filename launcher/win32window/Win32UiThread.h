#pragma once
// The hand-over to the user-interface thread of the Win32 window: a step posted to a
// message-only window of that thread, which runs it in whatever message loop is serving
// (the program's, a message box's, ServeUntil's) while the worker waits.

#include <windows.h>

#include <thread>

#include "UiThread.h"

namespace kestrune {

class Win32UiThread final : public UiThread {
 public:
  // The calling thread becomes the user-interface thread. Throws std::runtime_error when the
  // system refuses the message window.
  Win32UiThread();
  ~Win32UiThread() override;
  Win32UiThread(const Win32UiThread&) = delete;
  Win32UiThread& operator=(const Win32UiThread&) = delete;

  void run(std::function<void()> step) override;
  // Serves handed-over steps, timers and painting, leaving user input queued, until `done`.
  void ServeUntil(const std::function<bool()>& done) override;
  void Wake() override;

 private:
  static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  const std::thread::id owner_;
  HWND hwnd_ = nullptr;
};

}  // namespace kestrune
