#pragma once
// The unpack threads of the download stage: each downloaded file the worker hands in is
// unpacked on one of them while further files download. They never touch the window: what they
// do comes back to the worker as reports, which it takes on its own thread.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace kestrune {

class UnpackQueue {
 public:
  struct Report {
    std::size_t id = 0;
    bool ended = false;  // false: the unpacking of `id` begins; true: it ended
    bool installed = false;
  };
  // Runs on an unpack thread for the file `id`; returning installs it, throwing counts it as not
  // installed. `stop` is requested when the queue stops: an unpacking may then give up.
  using Unpack = std::function<void(std::size_t id, const std::stop_token& stop)>;

  // Starts `threads` threads (at least one), named and at the lowest priority as the worker.
  // `posted` runs on an unpack thread after each report it posts, to wake the worker.
  UnpackQueue(int threads, Unpack unpack, std::function<void()> posted);
  // Stop().
  ~UnpackQueue();
  UnpackQueue(const UnpackQueue&) = delete;
  UnpackQueue& operator=(const UnpackQueue&) = delete;

  // As many as the machine has cores, at least 1.
  static int DefaultThreads();

  void Push(std::size_t id);
  // Files handed in that no thread has taken yet.
  std::size_t Waiting() const;
  // The reports posted since the last call, in the order they were posted; a file's beginning
  // always comes before its end.
  std::vector<Report> TakeReports();

  // Drops the files that wait, asks running unpackings to stop, and waits for the threads to
  // end. Returns the dropped files; reports not taken are dropped too. Later calls do nothing.
  std::vector<std::size_t> Stop();

 private:
  void Serve(const std::stop_token& stop);

  const Unpack unpack_;
  const std::function<void()> posted_;
  mutable std::mutex mutex_;
  // A plain condition variable with a flag of its own, not condition_variable_any's stop-token
  // wait: that registers a stop callback, and GCC 12's libstdc++ can lose the wake-up of the
  // callback's hand-over where it has no futex (mingw: seen hanging under Wine).
  std::condition_variable ready_;
  bool stopping_ = false;
  std::deque<std::size_t> waiting_;
  std::vector<Report> reports_;
  std::vector<std::jthread> threads_;  // last: they use everything above
};

}  // namespace kestrune
