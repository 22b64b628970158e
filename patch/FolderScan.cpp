#include "FolderScan.h"

#include <algorithm>
#include <chrono>

#include "CRC32.h"
#include "PatchNames.h"

namespace kestrune {

namespace {

// Open subfolders kept at once; past this the kept ones are let go (lists name files folder
// by folder, so few are ever needed again).
constexpr std::size_t kMaxOpenFolders = 256;

// A file modified this close to when it was summed may still be written in the same tick of
// the file system's clock (two seconds on FAT), which would leave its stamp unchanged.
constexpr std::chrono::seconds kSettleTime{2};

// The most lines one claim examines: enough that the lock is taken once for many names.
constexpr std::size_t kMaxChunk = 64;

bool Settled(const platform::FileStamp& stamp) {
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return stamp.modified < now - std::chrono::nanoseconds(kSettleTime).count();
}

}  // namespace

FolderScan::FolderScan(const std::string& folder, const std::vector<PatchEntry>& entries,
                       const ScanCache* cache, unsigned threads, std::size_t ahead)
    : entries_(entries),
      cache_(cache),
      root_(std::make_shared<const platform::Folder>(platform::Folder::Open(folder))),
      callerFolders_(root_),
      slots_(std::max<std::size_t>(ahead, 1)),
      // Several chunks to a window, so that free threads examine beside each other.
      chunk_(std::clamp<std::size_t>(slots_.size() / 4, 1, kMaxChunk)) {
  const std::size_t count = std::min<std::size_t>(threads, entries.size());
  try {
    for (std::size_t t = 0; t < count; ++t) threads_.emplace_back([this] { Work(); });
  } catch (...) {
    Stop();  // the threads already started would wait for lines forever
    throw;
  }
}

FolderScan::~FolderScan() {
  Stop();
}

unsigned FolderScan::DefaultThreads() {
  return std::max(std::thread::hardware_concurrency(), 1u);
}

void FolderScan::Stop() {
  {
    const std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  toSum_.notify_all();
}

bool FolderScan::ChunkAvailable() const {
  // Whole chunks only (but the last), all of whose slots are free.
  return examineNext_ < entries_.size() &&
         std::min(examineNext_ + chunk_, entries_.size()) <= taken_ + slots_.size();
}

ScanOutcome FolderScan::Take(std::size_t index) {
  std::unique_lock lock(mutex_);
  Slot& slot = SlotOf(index);
  // Rather than wait, this thread does what no other has begun, so that it is one of the
  // scan's threads.
  while (slot.state != State::Done) {
    if (HelpOne(lock, callerFolders_)) continue;
    waiting_ = index;
    sumDone_.wait(lock);
    waiting_ = kNobody;
  }
  ScanOutcome outcome = std::move(slot.outcome);
  const std::exception_ptr error = std::move(slot.error);
  slot = Slot{};
  const bool couldExamine = ChunkAvailable();
  taken_ = std::max(taken_, index + 1);
  const bool freedAChunk = !couldExamine && ChunkAvailable();
  lock.unlock();
  if (freedAChunk) toSum_.notify_one();
  if (error) std::rethrow_exception(error);
  return outcome;
}

bool FolderScan::HelpOne(std::unique_lock<std::mutex>& lock, Folders& folders) {
  // Reading first: examining ahead only finds more to read.
  if (!toRead_.empty()) {
    const std::size_t line = toRead_.front();
    toRead_.pop_front();
    SlotOf(line).state = State::Reading;
    lock.unlock();
    Sum(line);
    lock.lock();
    return true;
  }
  if (ChunkAvailable()) {
    const std::size_t first = examineNext_;
    const std::size_t end = std::min(first + chunk_, entries_.size());
    for (std::size_t line = first; line < end; ++line) SlotOf(line).state = State::Examining;
    examineNext_ = end;
    lock.unlock();
    ExamineChunk(first, end, folders);
    lock.lock();
    return true;
  }
  return false;
}

void FolderScan::ExamineChunk(std::size_t first, std::size_t end, Folders& folders) {
  // Only this thread touches the slots of a chunk being examined.
  for (std::size_t line = first; line < end; ++line) {
    Slot& slot = SlotOf(line);
    try {
      Examine(entries_[line].filename, slot, folders);
    } catch (...) {
      slot.error = std::current_exception();
      slot.folder.reset();
    }
  }
  bool anyToRead = false;
  bool wakeTaker = false;
  {
    const std::lock_guard lock(mutex_);
    for (std::size_t line = first; line < end; ++line) {
      Slot& slot = SlotOf(line);
      // Examine leaves the folder in the slot only for a file that must be read.
      const bool toRead = slot.folder != nullptr;
      slot.state = toRead ? State::ToRead : State::Done;
      if (toRead) toRead_.push_back(line);
      anyToRead = anyToRead || toRead;
    }
    wakeTaker = waiting_ >= first && waiting_ < end;
  }
  if (anyToRead) toSum_.notify_all();
  if (wakeTaker) sumDone_.notify_one();
}

void FolderScan::Work() {
  platform::SetCurrentThreadName("kestrune-scan");
  platform::SetCurrentThreadLowestPriority();
  Folders folders(root_);
  std::unique_lock lock(mutex_);
  for (;;) {
    toSum_.wait(lock, [&] { return stopped_ || !toRead_.empty() || ChunkAvailable(); });
    if (stopped_) return;
    HelpOne(lock, folders);
  }
}

void FolderScan::Examine(const std::string& name, Slot& slot, Folders& folders) {
  ScanOutcome& outcome = slot.outcome;
  if (!IsSafePatchName(name)) return;
  const std::size_t cut = name.find_last_of("\\/");
  std::string leaf = cut == std::string::npos ? name : name.substr(cut + 1);
  auto folder = folders.At(cut == std::string::npos ? std::string_view()
                                                    : std::string_view(name).substr(0, cut));
  if (!folder) return;
  const platform::FolderEntry entry = folder->Examine(leaf);
  if (entry.kind != platform::FolderEntry::Kind::File) return;
  outcome.kind = ScanOutcome::Kind::File;
  outcome.readOnly = entry.readOnly;
  if (cache_ != nullptr) {
    const ScanRecord* record = cache_->Find(name);
    if (record != nullptr && record->stamp == entry.stamp) {
      outcome.crc = CRC32Text(record->crc);
      outcome.record = *record;
      return;
    }
  }
  slot.folder = std::move(folder);
  slot.leaf = std::move(leaf);
}

void FolderScan::Sum(std::size_t line) {
  // Only this thread touches a slot that is being read.
  Slot& slot = SlotOf(line);
  try {
    // Opened without sharing, as CRC32File opens: a file another program holds fails here.
    platform::File file = slot.folder->OpenRead(slot.leaf, platform::File::Share::None);
    const platform::FileStamp before = file.Stamp();
    const std::uint32_t crc = CRC32OpenedFile(file, before.size);
    slot.outcome.crc = CRC32Text(crc);
    if (file.Stamp() == before && Settled(before)) slot.outcome.record = ScanRecord{before, crc};
  } catch (...) {
    slot.error = std::current_exception();
  }
  bool wake = false;
  {
    const std::lock_guard lock(mutex_);
    slot.state = State::Done;
    wake = waiting_ == line;
  }
  if (wake) sumDone_.notify_one();
}

std::shared_ptr<const platform::Folder> FolderScan::Folders::At(std::string_view path) {
  if (path.empty()) return root_;
  // Lists name files folder by folder: mostly the folder of the line before.
  if (path == lastPath_) return lastFolder_;
  std::string key(path);
  std::shared_ptr<const platform::Folder> folder;
  const auto found = open_.find(key);
  if (found != open_.end()) {
    folder = found->second;
  } else {
    const std::size_t cut = path.find_last_of("\\/");
    const std::string_view parentPath = cut == std::string_view::npos ? "" : path.substr(0, cut);
    const std::string name(cut == std::string_view::npos ? path : path.substr(cut + 1));
    if (const auto parent = At(parentPath)) {
      try {
        folder = std::make_shared<const platform::Folder>(parent->OpenFolder(name));
      } catch (const platform::SystemError&) {
        // Missing, no folder or a link: nothing below it is examined.
      }
    }
    if (open_.size() >= kMaxOpenFolders) open_.clear();
    open_.emplace(key, folder);
  }
  lastPath_ = std::move(key);
  lastFolder_ = folder;
  return folder;
}

}  // namespace kestrune
