#include "Worker.h"

#include <thread>

#include "Platform.h"
#include "http/HttpClient.h"

namespace kestrune {

Worker::Worker(LauncherInterface& launcher) : launcher(launcher) {}

Worker::~Worker() = default;

void Worker::Start() {
  // Detached: the last owner may be this thread itself, which cannot join itself.
  std::thread([self = shared_from_this()] { self->ThreadMain(); }).detach();
}

void Worker::ThreadMain() {
  try {
    platform::SetCurrentThreadLowestPriority();
  } catch (...) {
    // A normal priority is slower for the desktop, not wrong.
  }
  try {
    Execute();
  } catch (...) {
  }
  try {
    Synchronize([this] {
      try {
        EndOfWork();
      } catch (...) {
      }
      finished_ = true;
    });
  } catch (...) {
    finished_ = true;
  }
}

void Worker::DisconnectHttp() {
  std::lock_guard<std::mutex> lock(httpMutex_);
  if (http_ != nullptr) http_->Disconnect();
}

void Worker::AttachHttp(HttpClient* client) {
  std::lock_guard<std::mutex> lock(httpMutex_);
  http_ = client;
}

}  // namespace kestrune
