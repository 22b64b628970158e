#include "UiThread.h"

#include <chrono>

namespace kestrune {

PlainUiThread::PlainUiThread() : owner_(std::this_thread::get_id()) {}

// Steps still queued get a broken promise, so their workers fail instead of waiting forever.
PlainUiThread::~PlainUiThread() = default;

void PlainUiThread::run(std::function<void()> step) {
  if (std::this_thread::get_id() == owner_) {
    step();
    return;
  }
  std::future<void> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({std::move(step), {}});
    done = queue_.back().done.get_future();
    // Notified under the lock: once the owner can take the step, it may run it, go on and
    // destroy this object, so nothing of this object may be touched after the unlock.
    arrived_.notify_all();
  }
  done.get();
}

bool PlainUiThread::RunOne(std::unique_lock<std::mutex>& lock) {
  if (queue_.empty()) return false;
  Pending pending = std::move(queue_.front());
  queue_.pop_front();
  lock.unlock();
  try {
    pending.step();
    pending.done.set_value();
  } catch (...) {
    pending.done.set_exception(std::current_exception());
  }
  lock.lock();
  return true;
}

void PlainUiThread::ServeUntil(const std::function<bool()>& done) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    lock.unlock();
    const bool finished = done();
    lock.lock();
    if (finished) return;
    // The bound lets a condition that changes without a step (another thread's flag) be seen.
    arrived_.wait_for(lock, std::chrono::milliseconds(20),
                      [this] { return !queue_.empty() || woken_; });
    woken_ = false;
    RunOne(lock);
  }
}

void PlainUiThread::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  arrived_.notify_all();
}

std::size_t PlainUiThread::ServePending() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::size_t count = 0;
  while (RunOne(lock)) ++count;
  return count;
}

}  // namespace kestrune
