#pragma once
// The examination of the listed files of a scan, ahead of the patch worker and on several
// threads: each name is reached from the open game folder one component at a time (never
// through a link), stat'ed once, and summed unless the scan cache vouches for it. The worker
// takes the outcomes in list order, so the bar and the queue keep that order, and an error
// of a line reaches it only when it takes that line.

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "PatchEntry.h"
#include "Platform.h"
#include "ScanCache.h"

namespace kestrune {

struct ScanOutcome {
  // Absent: nothing to examine there (an unsafe name, a link on the way or at the name, a
  // missing file, a folder), so the name is queued. File: a file, with its CRC-32.
  enum class Kind { Absent, File };
  Kind kind = Kind::Absent;
  bool readOnly = false;
  std::string crc;  // as CRC32Text writes it
  // What the cache may keep of the file: unset when the file changed while it was read or
  // so recently that a change in the same clock tick could go unseen.
  std::optional<ScanRecord> record;
};

class FolderScan {
 public:
  // Starts examining `entries` (which must outlive the scan) below `folder` on up to
  // `threads` threads, at most `ahead` lines before the line last taken. With a `cache`
  // (which must outlive the scan), a file whose stamp equals its record's is not read.
  // Throws platform::SystemError when `folder` cannot be opened.
  FolderScan(const std::string& folder, const std::vector<PatchEntry>& entries,
             const ScanCache* cache, unsigned threads, std::size_t ahead);
  // Stops the threads; a sum under way is finished first.
  ~FolderScan();
  FolderScan(const FolderScan&) = delete;
  FolderScan& operator=(const FolderScan&) = delete;

  // The outcome of line `index`, once it is known; examined by the caller when no thread has
  // begun it. Lines are taken in increasing order, each at most once. Rethrows the error that ended
  // that line's examination (a file that exists but cannot be opened or read).
  ScanOutcome Take(std::size_t index);
  // No line is examined from now on.
  void Stop();

  // As many threads as the machine has cores, at least one.
  static unsigned DefaultThreads();

 private:
  struct Slot {
    std::size_t line = 0;
    bool done = false;
    ScanOutcome outcome;
    std::exception_ptr error;
  };

  void Work();
  // Examines `line` and hands its outcome to its slot.
  void Examined(std::size_t line);
  ScanOutcome Examine(const std::string& name);
  // The folder of `parts`' first `depth` components, opened once; nullptr when a level is
  // missing, no folder or a link.
  std::shared_ptr<const platform::Folder> FolderOf(const std::vector<std::string>& parts,
                                                   std::size_t depth);

  const std::vector<PatchEntry>& entries_;
  const ScanCache* cache_;
  std::shared_ptr<const platform::Folder> root_;

  std::mutex foldersMutex_;
  std::unordered_map<std::string, std::shared_ptr<const platform::Folder>> folders_;

  static constexpr std::size_t kNobody = static_cast<std::size_t>(-1);

  std::mutex mutex_;
  std::condition_variable consumerChanged_;   // the line the taker waits for is done
  std::condition_variable producersChanged_;  // lines ahead are free again, or stopped
  std::vector<Slot> slots_;        // line i in slots_[i % size]: the lines ahead, no more
  std::size_t next_ = 0;           // the next line to examine
  std::size_t taken_ = 0;          // lines below this one are taken
  std::size_t waiting_ = kNobody;  // the line the taker waits for
  std::size_t producersWaiting_ = 0;
  bool stopped_ = false;
  std::vector<std::jthread> threads_;  // last: joined before the rest goes
};

}  // namespace kestrune
