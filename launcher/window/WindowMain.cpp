#include "WindowMain.h"

#include <QApplication>

#include "LauncherWindow.h"
#include "MainForm.h"
#include "QtUiThread.h"

namespace kestrune {

int RunWindowed(int argc, char** argv) {
  QApplication app(argc, argv);
  QtUiThread ui(app);
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
  window.show();
  app.exec();
  FormUpdater = nullptr;
  return 0;
}

}  // namespace kestrune
