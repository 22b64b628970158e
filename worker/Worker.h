#pragma once
// The common thread base of the patch worker and the self-update worker.
//
// A worker is created suspended (constructing it starts nothing), configured, then Start()ed.
// From then on its running thread owns it: the thread keeps a shared_ptr until its end-of-work
// step has run, and everyone else should hold weak_ptrs. Its body runs at the lowest thread
// priority and changes the window only through Synchronize.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "LauncherInterface.h"

namespace kestrune {

class HttpClient;

class Worker : public std::enable_shared_from_this<Worker> {
 public:
  explicit Worker(LauncherInterface& launcher);
  virtual ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Starts the thread; call once, on a worker owned by a shared_ptr. Throws std::system_error
  // when no thread can be created (then nothing runs).
  void Start();

  // Any thread. The request stays set; the body polls it where it chooses.
  void RequestTermination() noexcept { terminated_ = true; }
  bool TerminationRequested() const noexcept { return terminated_; }

  // True once the end-of-work step has run on the user-interface thread. That step is
  // handed over like any other, so a wait that serves steps sees this turn true.
  bool Finished() const noexcept { return finished_; }

  // The Cancel action's cross-thread call: closes the connection of the client the body has
  // attached, so that a transfer under way fails at once. Nothing when none is attached.
  virtual void DisconnectHttp();

 protected:
  // The thread body. An exception ends it silently.
  virtual void Execute() = 0;
  // Runs on the user-interface thread after Execute has returned or thrown.
  virtual void EndOfWork() {}

  // Runs `step` on the user-interface thread and waits for it; rethrows its exception.
  void Synchronize(std::function<void()> step) { launcher.uiThread().run(std::move(step)); }

  // Makes `client` (owned by the body, or nullptr) the one DisconnectHttp reaches. The body
  // must detach it before destroying it.
  void AttachHttp(HttpClient* client);

  LauncherInterface& launcher;

 private:
  void ThreadMain();

  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::mutex httpMutex_;  // the client may go away on the worker thread during a Cancel
  HttpClient* http_ = nullptr;
};

}  // namespace kestrune
