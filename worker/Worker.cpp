#include "Worker.h"

#include "Platform.h"

namespace kestrune {

Worker::Worker(LauncherInterface& launcher, std::string threadName)
    : launcher(launcher), threadName_(std::move(threadName)) {}

void Worker::Start() {
  thread_ = std::jthread([this] { ThreadMain(); });
}

void Worker::ThreadMain() {
  platform::SetCurrentThreadName(threadName_);
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
    });
  } catch (...) {
  }
  // The launcher outlives this object, whose destruction joins this thread.
  UiThread& ui = launcher.uiThread();
  // The owner may destroy this object as soon as it sees the flag: nothing of it is used after.
  finished_ = true;
  ui.Wake();
}

void Worker::DisconnectHttp() {
  std::lock_guard<std::mutex> lock(disconnectMutex_);
  if (disconnect_) disconnect_();
}

Worker::Connection::Connection(Worker& worker, std::function<void()> disconnect) : worker_(worker) {
  std::lock_guard<std::mutex> lock(worker_.disconnectMutex_);
  worker_.disconnect_ = std::move(disconnect);
}

Worker::Connection::~Connection() {
  std::lock_guard<std::mutex> lock(worker_.disconnectMutex_);
  worker_.disconnect_ = nullptr;
}

}  // namespace kestrune
