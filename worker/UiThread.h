#pragma once
// The hand-over of a step from a worker to the user-interface thread, and the plain
// implementation used by tests and console front ends.

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace kestrune {

class UiThread {
 public:
  virtual ~UiThread() = default;

  // Runs `step` on the user-interface thread and returns once it has run; an exception thrown
  // by the step is rethrown here. Called on the user-interface thread, it runs the step at once.
  virtual void run(std::function<void()> step) = 0;

  // On the user-interface thread: keeps running handed-over steps until `done` returns true.
  // `done` is tested before the first wait and after every step.
  virtual void ServeUntil(const std::function<bool()>& done) = 0;

  // Any thread: a ServeUntil under way tests its condition again soon, without a step (a
  // worker's end, say). Nothing when the condition is tested often anyway.
  virtual void Wake() {}
};

// A queue of steps served by the thread that created it, whenever that thread is inside
// ServeUntil or ServePending.
class PlainUiThread final : public UiThread {
 public:
  PlainUiThread();
  ~PlainUiThread() override;
  PlainUiThread(const PlainUiThread&) = delete;
  PlainUiThread& operator=(const PlainUiThread&) = delete;

  void run(std::function<void()> step) override;
  void ServeUntil(const std::function<bool()>& done) override;
  void Wake() override;
  // Runs queued steps until none is left, without waiting for more; returns how many ran.
  std::size_t ServePending();

 private:
  struct Pending {
    std::function<void()> step;
    std::promise<void> done;
  };
  bool RunOne(std::unique_lock<std::mutex>& lock);

  const std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Pending> queue_;
  bool woken_ = false;
};

}  // namespace kestrune
