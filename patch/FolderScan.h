#pragma once
// The examination of the listed files of a scan, ahead of the patch worker: each name is
// reached from the open game folder one component at a time (never through a link) and
// stat'ed once, then looked up in the scan cache. Lines are examined in chunks of consecutive
// lines by whichever thread is free, the worker's own included, and the files that must be
// read are summed on the same threads. The worker takes the outcomes in list order, so the
// bar and the queue keep that order, and an error of a line reaches it only when it takes
// that line.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
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
  // Prepares to examine `entries` (which must outlive the scan) below `folder`, at most
  // `ahead` lines before the line last taken, summing on up to `threads` threads besides the
  // caller's. With a `cache` (which must outlive the scan), a file whose stamp equals its
  // record's is not read. Throws platform::SystemError when `folder` cannot be opened.
  FolderScan(const std::string& folder, const std::vector<PatchEntry>& entries,
             const ScanCache* cache, unsigned threads, std::size_t ahead);
  // Stops the threads; a sum under way is finished first.
  ~FolderScan();
  FolderScan(const FolderScan&) = delete;
  FolderScan& operator=(const FolderScan&) = delete;

  // The outcome of line `index`, once it is known; meanwhile the caller sums and examines
  // lines no thread has begun. Lines are taken in increasing order, each at most once.
  // Rethrows the error that ended that line's examination (a file that exists but cannot be
  // opened or read).
  ScanOutcome Take(std::size_t index);
  // No line is summed from now on.
  void Stop();

  // As many threads as the machine has cores, at least one.
  static unsigned DefaultThreads();

 private:
  enum class State { Free, Examining, ToRead, Reading, Done };
  struct Slot {
    State state = State::Free;
    ScanOutcome outcome;
    std::exception_ptr error;
    // What a sum needs: the open folder of the file and its name there.
    std::shared_ptr<const platform::Folder> folder;
    std::string leaf;
  };

  // The open folders one examining thread has reached, each level opened once. Each thread
  // has its own, so that no lock is taken per name.
  class Folders {
   public:
    explicit Folders(std::shared_ptr<const platform::Folder> root) : root_(std::move(root)) {}
    // The folder at `path` ("\" or "/" separated) below the game folder; nullptr when a level
    // is missing, no folder or a link.
    std::shared_ptr<const platform::Folder> At(std::string_view path);

   private:
    std::shared_ptr<const platform::Folder> root_;
    std::unordered_map<std::string, std::shared_ptr<const platform::Folder>> open_;
    std::string lastPath_;
    std::shared_ptr<const platform::Folder> lastFolder_;
  };

  void Work();
  // With the lock held: whether a chunk of lines may be claimed for examining.
  bool ChunkAvailable() const;
  // With the lock held: one step of work that no thread has begun (a line to read first,
  // else a chunk to examine), done with the lock released. False when there is none.
  bool HelpOne(std::unique_lock<std::mutex>& lock, Folders& folders);
  // Examines lines [first, end) into their slots, then publishes them under the lock.
  void ExamineChunk(std::size_t first, std::size_t end, Folders& folders);
  // Stat and cache: the outcome when that settles it; otherwise the file's folder and name
  // are left in the slot, to be read.
  void Examine(const std::string& name, Slot& slot, Folders& folders);
  // Reads and sums the file of `line`'s slot, then marks it done.
  void Sum(std::size_t line);
  Slot& SlotOf(std::size_t line) { return slots_[line % slots_.size()]; }

  const std::vector<PatchEntry>& entries_;
  const ScanCache* cache_;
  std::shared_ptr<const platform::Folder> root_;
  Folders callerFolders_;  // the caller's: it examines on its own thread too

  static constexpr std::size_t kNobody = static_cast<std::size_t>(-1);

  std::mutex mutex_;
  std::condition_variable sumDone_;  // the line the taker waits for is summed
  std::condition_variable toSum_;    // a line to read, lines to examine, or stopped
  std::vector<Slot> slots_;          // line i in slots_[i % size]: the lines ahead, no more
  std::deque<std::size_t> toRead_;   // in list order within a chunk
  std::size_t chunk_;                // lines examined at one claim
  std::size_t examineNext_ = 0;      // the first line no thread has claimed to examine
  std::size_t taken_ = 0;            // lines taken: their slots are free again
  std::size_t waiting_ = kNobody;    // the line the taker waits for
  bool stopped_ = false;
  std::vector<std::jthread> threads_;  // last: joined before the rest goes
};

}  // namespace kestrune
