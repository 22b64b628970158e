// The program entry of KestruneUpdater-console: the console front end alone, linking no GUI
// library, for servers and terminals without a display.

#include "Headless.h"

int main() {
  return kestrune::RunHeadless();
}
