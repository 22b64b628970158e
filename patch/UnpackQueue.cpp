#include "UnpackQueue.h"

#include <algorithm>
#include <utility>

#include "Platform.h"

namespace kestrune {

UnpackQueue::UnpackQueue(int threads, Unpack unpack, std::function<void()> posted)
    : unpack_(std::move(unpack)), posted_(std::move(posted)) {
  threads = std::max(threads, 1);
  threads_.reserve(static_cast<std::size_t>(threads));
  for (int i = 0; i < threads; ++i) {
    threads_.emplace_back([this](const std::stop_token& stop) { Serve(stop); });
  }
}

UnpackQueue::~UnpackQueue() {
  Stop();
}

int UnpackQueue::DefaultThreads() {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

void UnpackQueue::Push(std::size_t id) {
  {
    std::lock_guard lock(mutex_);
    waiting_.push_back(id);
  }
  ready_.notify_one();
}

std::size_t UnpackQueue::Waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

std::vector<UnpackQueue::Report> UnpackQueue::TakeReports() {
  std::lock_guard lock(mutex_);
  return std::exchange(reports_, {});
}

std::vector<std::size_t> UnpackQueue::Stop() {
  std::vector<std::size_t> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.assign(waiting_.begin(), waiting_.end());
    waiting_.clear();
    stopping_ = true;
  }
  // The stop requests reach the unpacks under way; the flag, the waits.
  for (std::jthread& thread : threads_) thread.request_stop();
  ready_.notify_all();
  // Joined here rather than by the destructors, so that a stopped queue never unpacks again.
  for (std::jthread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  std::lock_guard lock(mutex_);
  reports_.clear();
  return dropped;
}

void UnpackQueue::Serve(const std::stop_token& stop) {
  platform::SetCurrentThreadName("kestrune-unpack");
  try {
    platform::SetCurrentThreadLowestPriority();
  } catch (...) {
    // A normal priority is slower for the desktop, not wrong.
  }
  for (;;) {
    std::size_t id = 0;
    {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      id = waiting_.front();
      waiting_.pop_front();
      // Posted with the take, so that a worker that sees the file gone from Waiting() also
      // finds its beginning among the reports.
      reports_.push_back({id, false, false});
    }
    posted_();
    bool installed = false;
    try {
      unpack_(id, stop);
      installed = true;
    } catch (...) {
    }
    {
      std::lock_guard lock(mutex_);
      reports_.push_back({id, true, installed});
    }
    posted_();
  }
}

}  // namespace kestrune
