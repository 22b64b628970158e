#pragma once
// ThreadForDownLoad, the patch worker: brings the game files into line with the patch list.
// For now its run only switches the window to the busy layout and back.

#include "Worker.h"

namespace kestrune {

class ThreadForDownLoad : public Worker {
 public:
  explicit ThreadForDownLoad(LauncherInterface& launcher) : Worker(launcher) {}

  // The critical run of the start-up (true) or a run the user asked for; set before Start().
  bool critical = false;

 protected:
  void Execute() override;
  // The idle layout again, however the body ended.
  void EndOfWork() override;
};

}  // namespace kestrune
