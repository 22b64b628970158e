// The program entry of KestruneUpdater on Windows, a program of the window subsystem: the
// window, or the console front end when KESTRUNE_HEADLESS is "1" and it was started from a
// console or with its output redirected.

#include <cstdlib>
#include <exception>
#include <string_view>

#include "Headless.h"
#include "Platform.h"
#include "WindowMain.h"

int main() {
  const char* headless = std::getenv("KESTRUNE_HEADLESS");
  if (headless != nullptr && std::string_view(headless) == "1" &&
      platform::AttachStartingConsole()) {
    return kestrune::RunHeadless();
  }
  try {
    return kestrune::RunWindowed();
  } catch (const std::exception& error) {
    kestrune::ReportStartFailure(error.what());
    return 1;
  }
}
