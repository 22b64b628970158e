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
      slots_(std::max<std::size_t>(ahead, 1)) {
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

ScanOutcome FolderScan::Take(std::size_t index) {
  ExamineUpTo(std::min(entries_.size(), index + slots_.size()));
  std::unique_lock lock(mutex_);
  Slot& slot = SlotOf(index);
  // Rather than wait, this thread sums what no other has begun: its own line first (the first
  // left to read), else the next ones, so that it is one of the summing threads.
  while (slot.state != State::Done && !toRead_.empty()) {
    const std::size_t line = toRead_.front();
    toRead_.pop_front();
    SlotOf(line).state = State::Reading;
    lock.unlock();
    Sum(line);
    lock.lock();
  }
  waiting_ = index;
  sumDone_.wait(lock, [&] { return slot.state == State::Done; });
  waiting_ = kNobody;
  ScanOutcome outcome = std::move(slot.outcome);
  const std::exception_ptr error = std::move(slot.error);
  slot = Slot{};
  lock.unlock();
  if (error) std::rethrow_exception(error);
  return outcome;
}

void FolderScan::ExamineUpTo(std::size_t end) {
  for (; examined_ < end; ++examined_) {
    Slot& slot = SlotOf(examined_);  // free: the line a whole window back has been taken
    bool settled = true;
    try {
      settled = Examine(entries_[examined_].filename, slot);
    } catch (...) {
      slot.error = std::current_exception();
    }
    {
      const std::lock_guard lock(mutex_);
      slot.state = settled ? State::Done : State::ToRead;
      if (!settled) toRead_.push_back(examined_);
    }
    if (!settled) toSum_.notify_one();
  }
}

void FolderScan::Work() {
  platform::SetCurrentThreadName("kestrune-scan");
  platform::SetCurrentThreadLowestPriority();
  for (;;) {
    std::size_t line;
    {
      std::unique_lock lock(mutex_);
      toSum_.wait(lock, [&] { return stopped_ || !toRead_.empty(); });
      if (stopped_) return;
      line = toRead_.front();
      toRead_.pop_front();
      SlotOf(line).state = State::Reading;
    }
    Sum(line);
  }
}

bool FolderScan::Examine(const std::string& name, Slot& slot) {
  ScanOutcome& outcome = slot.outcome;
  if (!IsSafePatchName(name)) return true;
  const std::size_t cut = name.find_last_of("\\/");
  std::string leaf = cut == std::string::npos ? name : name.substr(cut + 1);
  auto folder = FolderAt(cut == std::string::npos ? std::string_view()
                                                  : std::string_view(name).substr(0, cut));
  if (!folder) return true;
  const platform::FolderEntry entry = folder->Examine(leaf);
  if (entry.kind != platform::FolderEntry::Kind::File) return true;
  outcome.kind = ScanOutcome::Kind::File;
  outcome.readOnly = entry.readOnly;
  if (cache_ != nullptr) {
    const ScanRecord* record = cache_->Find(name);
    if (record != nullptr && record->stamp == entry.stamp) {
      outcome.crc = CRC32Text(record->crc);
      outcome.record = *record;
      return true;
    }
  }
  slot.folder = std::move(folder);
  slot.leaf = std::move(leaf);
  return false;
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

std::shared_ptr<const platform::Folder> FolderScan::FolderAt(std::string_view path) {
  if (path.empty()) return root_;
  // Lists name files folder by folder: mostly the folder of the line before.
  if (path == lastPath_) return lastFolder_;
  std::string key(path);
  std::shared_ptr<const platform::Folder> folder;
  const auto found = folders_.find(key);
  if (found != folders_.end()) {
    folder = found->second;
  } else {
    const std::size_t cut = path.find_last_of("\\/");
    const std::string_view parentPath = cut == std::string_view::npos ? "" : path.substr(0, cut);
    const std::string name(cut == std::string_view::npos ? path : path.substr(cut + 1));
    if (const auto parent = FolderAt(parentPath)) {
      try {
        folder = std::make_shared<const platform::Folder>(parent->OpenFolder(name));
      } catch (const platform::SystemError&) {
        // Missing, no folder or a link: nothing below it is examined.
      }
    }
    if (folders_.size() >= kMaxOpenFolders) folders_.clear();
    folders_.emplace(key, folder);
  }
  lastPath_ = std::move(key);
  lastFolder_ = folder;
  return folder;
}

}  // namespace kestrune
