#include "VersionDownloaderThread.h"

namespace kestrune {

void VersionDownloader::Execute() {
  Synchronize([this] { launcher.ApplyBusyLayout(); });
  Synchronize([this] { launcher.ApplyIdleLayout(); });
}

void VersionDownloader::EndOfWork() {
  launcher.SetCanUpdate(true);
}

}  // namespace kestrune
