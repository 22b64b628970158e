#include "Win32UiThread.h"

#include <exception>
#include <future>
#include <stdexcept>

namespace kestrune {

namespace {

const wchar_t* const kClassName = L"KestruneUpdaterHandOver";
constexpr UINT kStepMessage = WM_APP + 10;
constexpr UINT kWakeMessage = WM_APP + 11;
// How often ServeUntil tests its condition when nothing arrives.
constexpr DWORD kPollMs = 5;

struct Pending {
  std::function<void()> step;
  std::promise<void> done;
};

}  // namespace

Win32UiThread::Win32UiThread() : owner_(std::this_thread::get_id()) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  static const ATOM windowClass = [instance] {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = &Win32UiThread::Procedure;
    cls.hInstance = instance;
    cls.lpszClassName = kClassName;
    return RegisterClassExW(&cls);
  }();
  if (windowClass == 0) throw std::runtime_error("cannot register the hand-over window class");
  hwnd_ =
      CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  if (hwnd_ == nullptr) throw std::runtime_error("cannot create the hand-over window");
}

Win32UiThread::~Win32UiThread() {
  DestroyWindow(hwnd_);
}

LRESULT CALLBACK Win32UiThread::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kStepMessage) {
    auto* pending = reinterpret_cast<Pending*>(lParam);
    try {
      pending->step();
      pending->done.set_value();
    } catch (...) {
      pending->done.set_exception(std::current_exception());
    }
    return 0;
  }
  if (message == kWakeMessage) return 0;
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void Win32UiThread::run(std::function<void()> step) {
  // A wait on the user-interface thread for itself would never end.
  if (std::this_thread::get_id() == owner_) {
    step();
    return;
  }
  Pending pending{std::move(step), {}};
  std::future<void> done = pending.done.get_future();
  // Posted to a window, not to the thread: a message box's own loop dispatches it too.
  if (!PostMessageW(hwnd_, kStepMessage, 0, reinterpret_cast<LPARAM>(&pending))) {
    throw std::runtime_error("cannot hand a step to the user-interface thread");
  }
  done.get();
}

void Win32UiThread::ServeUntil(const std::function<bool()>& done) {
  bool quit = false;
  int quitCode = 0;
  while (!done()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, kPollMs,
                              QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_SENDMESSAGE);
    MSG msg;
    // Posted messages, timers and paints; clicks and keys wait, so that no handler runs
    // inside a wait that is itself a handler's.
    while (PeekMessageW(&msg, nullptr, 0, 0,
                        PM_REMOVE | PM_QS_POSTMESSAGE | PM_QS_PAINT | PM_QS_SENDMESSAGE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        quitCode = static_cast<int>(msg.wParam);
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      if (done()) break;
    }
  }
  // The end of the program belongs to the loop outside.
  if (quit) PostQuitMessage(quitCode);
}

void Win32UiThread::Wake() {
  PostMessageW(hwnd_, kWakeMessage, 0, 0);
}

}  // namespace kestrune
