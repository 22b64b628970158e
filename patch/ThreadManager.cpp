#include "ThreadManager.h"

namespace kestrune {

void ThreadForDownLoad::Execute() {
  Synchronize([this] { launcher.ApplyBusyLayout(); });
  Synchronize([this] { launcher.ApplyIdleLayout(); });
}

void ThreadForDownLoad::EndOfWork() {
  launcher.ApplyIdleLayout();
}

}  // namespace kestrune
