// The program entry of KestruneUpdater.

#include "Headless.h"

int main(int, char**) {
  // The window joins here as the other branch of WantHeadless().
  return kestrune::RunHeadless();
}
