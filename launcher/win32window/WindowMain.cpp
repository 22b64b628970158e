#include "WindowMain.h"

#include <objbase.h>
#include <windows.h>

#include <stdexcept>

#include "LauncherWindow.h"
#include "MainForm.h"
#include "Win32UiThread.h"
#include "win32/Utf16.h"

namespace kestrune {

namespace {

// COM for this thread (WIC), for as long as the window lives.
class ComApartment {
 public:
  ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {
    if (FAILED(result_)) throw std::runtime_error("cannot initialise COM");
  }
  ~ComApartment() { CoUninitialize(); }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  HRESULT result_;
};

}  // namespace

int RunWindowed() {
  const ComApartment com;
  Win32UiThread ui;
  LauncherWindow window;
  // Declared after the window: it is destroyed first and may still use the window while it
  // stops a worker (whose last steps touch the controls).
  TFormUpdater form(window, ui);
  window.SetHandler([&form](Control control, MouseEvent event, float x, float y) {
    form.OnMouse(control, event, x, y);
  });
  FormUpdater = &form;
  form.FormCreate();
  window.CenterOnScreen();
  window.Show();
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  FormUpdater = nullptr;
  return 0;
}

void ReportStartFailure(const char* reason) {
  MessageBoxW(nullptr, platform::Widen(reason).c_str(), platform::Widen(kWindowCaption).c_str(),
              MB_OK | MB_ICONERROR);
}

}  // namespace kestrune
