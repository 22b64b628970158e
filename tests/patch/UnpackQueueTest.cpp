// The unpack threads of the download stage: every file handed in is unpacked once and reported
// begun, then ended; a stop drops what waits and reaches what runs.

#include "UnpackQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kestrune {
namespace {

using namespace std::chrono_literals;

// Counts the queue's wake-ups, so that a test can wait for reports without polling blindly.
class Posts {
 public:
  void Posted() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  // Waits (bounded) until `count` reports were posted in all.
  bool WaitFor(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return count_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

TEST(UnpackQueueTest, EveryFileIsUnpackedOnceAndReportedBegunThenEnded) {
  Posts posts;
  std::mutex mutex;
  std::condition_variable allInside;
  int inside = 0;
  bool together = false;
  std::multiset<std::size_t> unpacked;
  std::set<std::thread::id> threads;
  UnpackQueue queue(
      3,
      [&](std::size_t id, const std::stop_token&) {
        std::unique_lock lock(mutex);
        unpacked.insert(id);
        threads.insert(std::this_thread::get_id());
        // The first three wait for each other: three files unpack at once.
        if (id < 3) {
          ++inside;
          allInside.notify_all();
          if (allInside.wait_for(lock, 10s, [&] { return inside == 3; })) together = true;
        }
        if (id % 4 == 0) throw std::runtime_error("not what the list vouches for");
      },
      [&] { posts.Posted(); });
  for (std::size_t id = 0; id < 30; ++id) queue.Push(id);
  ASSERT_TRUE(posts.WaitFor(60));

  std::map<std::size_t, std::vector<UnpackQueue::Report>> byFile;
  for (const auto& report : queue.TakeReports()) byFile[report.id].push_back(report);
  ASSERT_EQ(byFile.size(), 30u);
  for (const auto& [id, reports] : byFile) {
    ASSERT_EQ(reports.size(), 2u) << id;
    EXPECT_FALSE(reports[0].ended) << id;
    EXPECT_TRUE(reports[1].ended) << id;
    EXPECT_EQ(reports[1].installed, id % 4 != 0) << id;
  }
  EXPECT_TRUE(queue.TakeReports().empty()) << "each report is taken once";
  EXPECT_EQ(queue.Waiting(), 0u);
  std::lock_guard lock(mutex);
  EXPECT_EQ(unpacked.size(), 30u);
  EXPECT_EQ(std::set<std::size_t>(unpacked.begin(), unpacked.end()).size(), 30u);
  EXPECT_TRUE(together);
  EXPECT_EQ(threads.size(), 3u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST(UnpackQueueTest, StopDropsWhatWaitsAndReachesWhatRuns) {
  Posts posts;
  std::atomic<int> calls{0};
  std::atomic<bool> sawStop{false};
  UnpackQueue queue(
      1,
      [&](std::size_t, const std::stop_token& stop) {
        ++calls;
        // Runs until the queue stops, as a long unpacking would: it looks at the token between
        // pieces of work.
        const auto giveUp = std::chrono::steady_clock::now() + 10s;
        while (!stop.stop_requested() && std::chrono::steady_clock::now() < giveUp) {
          std::this_thread::sleep_for(1ms);
        }
        sawStop = stop.stop_requested();
        throw std::runtime_error("abandoned");
      },
      [&] { posts.Posted(); });
  for (std::size_t id = 1; id <= 4; ++id) queue.Push(id);
  ASSERT_TRUE(posts.WaitFor(1));  // the first file's beginning
  EXPECT_EQ(queue.Waiting(), 3u);

  const auto start = std::chrono::steady_clock::now();
  const std::vector<std::size_t> dropped = queue.Stop();

  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the running one gave up";
  EXPECT_EQ(dropped, (std::vector<std::size_t>{2, 3, 4}));
  EXPECT_TRUE(sawStop);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(queue.Waiting(), 0u);
  EXPECT_TRUE(queue.TakeReports().empty());
  EXPECT_TRUE(queue.Stop().empty()) << "a second stop has nothing left";
}

}  // namespace
}  // namespace kestrune
