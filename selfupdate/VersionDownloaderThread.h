#pragma once
// VersionDownloader, the self-update worker: downloads a newer launcher and hands over to the
// replacement script. For now its run only switches the window to the busy layout and back.

#include "Worker.h"

namespace kestrune {

class VersionDownloader : public Worker {
 public:
  explicit VersionDownloader(LauncherInterface& launcher) : Worker(launcher) {}

 protected:
  void Execute() override;
  // Opens the start gate again; the layout stays as the body left it.
  void EndOfWork() override;
};

}  // namespace kestrune
