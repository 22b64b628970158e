#pragma once
// The common thread base of the patch worker and the self-update worker.
//
// A worker is created suspended (constructing it starts nothing), configured, then Start()ed.
// Whoever started it owns it and its thread: the owner destroys it only once Finished() is
// true (serving the worker's steps until then), and the destructor joins the thread. Its body
// runs at the lowest thread priority, in a thread with a name, and changes the window only
// through Synchronize.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "LauncherInterface.h"

namespace kestrune {

class Worker {
 public:
  // `threadName` names the thread for debuggers and system tools (at most 15 characters
  // are kept on some systems).
  Worker(LauncherInterface& launcher, std::string threadName);
  // Joins the thread, which must have finished or be about to (see Finished).
  virtual ~Worker() = default;
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Starts the thread; call once. Throws std::system_error when no thread can be created
  // (then nothing runs).
  void Start();

  // Any thread. The request stays set; the body polls it where it chooses.
  void RequestTermination() noexcept { terminated_ = true; }
  bool TerminationRequested() const noexcept { return terminated_; }

  // True once the thread function has returned, after its end-of-work step ran on the
  // user-interface thread. A wait that serves steps sees it turn true.
  bool Finished() const noexcept { return finished_; }

  // The Cancel action's cross-thread call: closes the connection the body has attached, so
  // that a transfer under way fails at once. Nothing when none is attached.
  virtual void DisconnectHttp();

 protected:
  // The thread body. An exception ends it silently.
  virtual void Execute() = 0;
  // Runs on the user-interface thread after Execute has returned or thrown.
  virtual void EndOfWork() {}

  // Runs `step` on the user-interface thread and waits for it; rethrows its exception.
  void Synchronize(std::function<void()> step) { launcher.uiThread().run(std::move(step)); }

  // While it lives, DisconnectHttp calls `disconnect` (which must be safe from any thread);
  // the body keeps it no longer than the connection it closes.
  class Connection {
   public:
    Connection(Worker& worker, std::function<void()> disconnect);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

   private:
    Worker& worker_;
  };

  LauncherInterface& launcher;

 private:
  void ThreadMain();

  const std::string threadName_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::mutex disconnectMutex_;  // the connection may go away on the worker thread during a Cancel
  std::function<void()> disconnect_;
  std::jthread thread_;  // last: joined before the rest goes
};

}  // namespace kestrune
