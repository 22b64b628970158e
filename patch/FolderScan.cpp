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

std::vector<std::string> Components(const std::string& name) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t cut = name.find_first_of("\\/", start);
    parts.push_back(name.substr(start, cut - start));
    if (cut == std::string::npos) return parts;
    start = cut + 1;
  }
}

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
  const std::size_t count = std::min<std::size_t>(std::max(threads, 1u), entries.size());
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
  producersChanged_.notify_all();
}

ScanOutcome FolderScan::Take(std::size_t index) {
  std::unique_lock lock(mutex_);
  Slot& slot = slots_[index % slots_.size()];
  while (!(slot.done && slot.line == index)) {
    if (next_ == index) {
      // No thread has it yet: examined here rather than waiting for one to be scheduled.
      ++next_;
      lock.unlock();
      Examined(index);
      lock.lock();
      continue;
    }
    waiting_ = index;
    consumerChanged_.wait(lock);
  }
  waiting_ = kNobody;
  slot.done = false;
  taken_ = index + 1;
  ScanOutcome outcome = std::move(slot.outcome);
  const std::exception_ptr error = std::move(slot.error);
  slot.error = nullptr;
  // The threads resume only once half the lines ahead are free: not one wake-up per line.
  const bool wake = producersWaiting_ > 0 && next_ - taken_ <= slots_.size() / 2;
  lock.unlock();
  if (wake) producersChanged_.notify_all();
  if (error) std::rethrow_exception(error);
  return outcome;
}

void FolderScan::Work() {
  platform::SetCurrentThreadName("kestrune-scan");
  platform::SetCurrentThreadLowestPriority();
  for (;;) {
    std::size_t line;
    {
      std::unique_lock lock(mutex_);
      while (!stopped_ && next_ < entries_.size() && next_ >= taken_ + slots_.size()) {
        ++producersWaiting_;
        producersChanged_.wait(lock);
        --producersWaiting_;
      }
      if (stopped_ || next_ >= entries_.size()) return;
      line = next_++;
    }
    Examined(line);
  }
}

void FolderScan::Examined(std::size_t line) {
  ScanOutcome outcome;
  std::exception_ptr error;
  try {
    outcome = Examine(entries_[line].filename);
  } catch (...) {
    error = std::current_exception();
  }
  bool wake = false;
  {
    const std::lock_guard lock(mutex_);
    Slot& slot = slots_[line % slots_.size()];
    slot.line = line;
    slot.outcome = std::move(outcome);
    slot.error = error;
    slot.done = true;
    wake = waiting_ == line;
  }
  if (wake) consumerChanged_.notify_one();
}

ScanOutcome FolderScan::Examine(const std::string& name) {
  ScanOutcome outcome;
  if (!IsSafePatchName(name)) return outcome;
  const std::vector<std::string> parts = Components(name);
  const auto folder = FolderOf(parts, parts.size() - 1);
  if (!folder) return outcome;
  const platform::FolderEntry entry = folder->Examine(parts.back());
  if (entry.kind != platform::FolderEntry::Kind::File) return outcome;
  outcome.kind = ScanOutcome::Kind::File;
  outcome.readOnly = entry.readOnly;
  if (cache_ != nullptr) {
    const ScanRecord* record = cache_->Find(name);
    if (record != nullptr && record->stamp == entry.stamp) {
      outcome.crc = CRC32Text(record->crc);
      outcome.record = *record;
      return outcome;
    }
  }
  // Opened without sharing, as CRC32File opens: a file another program holds fails here.
  platform::File file = folder->OpenRead(parts.back(), platform::File::Share::None);
  const platform::FileStamp before = file.Stamp();
  const std::uint32_t crc = CRC32WholeFile(file);
  outcome.crc = CRC32Text(crc);
  if (file.Stamp() == before && Settled(before)) outcome.record = ScanRecord{before, crc};
  return outcome;
}

std::shared_ptr<const platform::Folder> FolderScan::FolderOf(const std::vector<std::string>& parts,
                                                             std::size_t depth) {
  if (depth == 0) return root_;
  std::string key;
  for (std::size_t i = 0; i < depth; ++i) key += parts[i] + '/';
  {
    const std::lock_guard lock(foldersMutex_);
    const auto found = folders_.find(key);
    if (found != folders_.end()) return found->second;
  }
  std::shared_ptr<const platform::Folder> folder;
  if (const auto parent = FolderOf(parts, depth - 1)) {
    try {
      folder = std::make_shared<const platform::Folder>(parent->OpenFolder(parts[depth - 1]));
    } catch (const platform::SystemError&) {
      // Missing, no folder or a link: nothing below it is examined.
    }
  }
  const std::lock_guard lock(foldersMutex_);
  if (folders_.size() >= kMaxOpenFolders) folders_.clear();
  folders_.emplace(key, folder);
  return folder;
}

}  // namespace kestrune
