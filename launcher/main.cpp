// The program entry of KestruneUpdater: the window when a display is there, else the console.

#include "Headless.h"
#include "WindowMain.h"

int main(int argc, char** argv) {
  if (kestrune::WantHeadless()) return kestrune::RunHeadless();
  return kestrune::RunWindowed(argc, argv);
}
