#include "ThreadManager.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <memory>
#include <set>
#include <stdexcept>

#include "CRC32.h"
#include "Downloads.h"
#include "FolderScan.h"
#include "GameFolder.h"
#include "Limits.h"
#include "PatchEntry.h"
#include "PatchNames.h"
#include "Platform.h"
#include "ScanCache.h"
#include "UnpackQueue.h"
#include "delta/ZstdDelta.h"
#include "hash/Sha256.h"
#include "http/HttpClient.h"
#include "lzma/LZMADecompressor.h"
#include "sign/SignedRelease.h"
#include "xml/XmlDocument.h"

namespace kestrune {

namespace {

// The working directory + "\" + a patch-list name, still with "\" separators.
std::string GamePath(const std::string& name) {
  return platform::CurrentDirectory() + "\\" + name;
}

// The native path of a patch-list name below `folder`.
std::string PathIn(const std::string& folder, const std::string& name) {
  return platform::NativePath(folder + "\\" + name);
}

// Names that may stand for the same file on some system: letter case and either separator.
std::string SameFileKey(const std::string& name) {
  std::string key = name;
  for (char& c : key) {
    if (c == '/') c = '\\';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

// Whether the unpacked data is what the entry vouches for: its CRC-32 always, its size and
// SHA-256 when the list gives them. Fed block by block while the data is decoded.
class UnpackedCheck {
 public:
  explicit UnpackedCheck(const PatchEntry& entry) : entry_(entry) {
    if (!entry_.sha256.empty()) sha256_.emplace();
  }

  void Update(const void* data, std::size_t size) {
    crcRegister_ = CRC32Update(crcRegister_, data, size);
    if (sha256_) sha256_->Update(data, size);
  }

  bool Matches(std::uint64_t size) {
    if (entry_.size && size != *entry_.size) return false;
    if (ParseCrc32(entry_.original) != ~crcRegister_) return false;
    return !sha256_ || sha256_->HexDigest() == entry_.sha256;
  }

 private:
  const PatchEntry& entry_;
  std::uint32_t crcRegister_ = 0xFFFFFFFFu;
  std::optional<Sha256> sha256_;
};

}  // namespace

std::optional<std::string> PatchText(std::int32_t language, PatchMessage message) {
  if (language != 0 && language != 1) return std::nullopt;
  const bool ru = language == 0;
  switch (message) {
    case PatchMessage::Scan:
      return ru ? "Идет проверка файлов, пожалуйста подождите..." : "Scan of files, please wait...";
    case PatchMessage::Download:
      return ru ? "Скачиваю " : "Download ";
    case PatchMessage::Extract:
      return ru ? "Извлекается : " : "Extract : ";
    case PatchMessage::Cancel:
      return ru ? "Отмена" : "Cancel";
    case PatchMessage::TailError:
      return ru ? "Ошибка, пожайлуйста попробуйте позже! #10" : "Error, please try late again";
    case PatchMessage::PatchListError:
      return ru ? "Код ошибки #042, нет возможности обновить патч!\r\n\r\n"
                  "Сообщите в техническую поддержку, вашего проекта."
                : "The error code #042, isnt present an opportunity to update the client!\r\n\r\n"
                  "Report in technical support, your project.";
  }
  return std::nullopt;
}

void ThreadForDownLoad::Execute() {
  Synchronize([this] { launcher.ApplyBusyLayout(); });

  // One run per game folder: two would race on the same temporary names. Held to the end of
  // the body; the system drops it if the process dies.
  const platform::FileLock lock = platform::FileLock::Acquire(
      platform::NativePath(GamePath(std::string(kLockFileName))), limits::kGameFolderLockWait);
  if (lock.isLocked()) {
    auto http = std::make_unique<HttpClient>();
    http->WorkBegin = [this](HttpClient&, HttpClient::WorkMode, std::int64_t total) {
      HttpWorkBegin(total);
    };
    http->Work = [this](HttpClient&, HttpClient::WorkMode, std::int64_t count) { HttpWork(count); };
    http->WorkEnd = [this](HttpClient&, HttpClient::WorkMode) { HttpWorkEnd(); };
    const int connections =
        launcher.settings().parallelDownloads.value_or(DownloadPool::kDefaultConnections);
    auto pool = std::make_unique<DownloadPool>(connections);
    // Declared after both: it is detached before they go, also on an error. A Cancel during
    // the scan already ends the pool's run before it starts.
    const Connection connection(*this, [&http, &pool] {
      http->Disconnect();
      pool->Disconnect();
    });

    if (LoadAndScan(*http)) DownloadAll(*pool);
  } else {
    // Another run holds the folder: nothing fetched, nothing touched, and no success.
    launcher.setStatus(msgError);
    RefreshStatusLabel();
  }

  try {
    Synchronize([this] { launcher.ApplyIdleLayout(); });
    ResetBars();
    ListWithUpdate.clear();
    listF.clear();
  } catch (...) {
    SetStatus(PatchMessage::TailError);
    ShowStatusText();
    ResetBars();
    ListWithUpdate.clear();
    listF.clear();
  }
}

void ThreadForDownLoad::EndOfWork() {
  launcher.ApplyIdleLayout();
}

bool ThreadForDownLoad::LoadAndScan(HttpClient& http) {
  ResetTotalBar();
  ListWithUpdate.clear();
  listF.clear();
  try {
    LoadPatchList(http);
  } catch (const XmlError&) {
    // Only the entry-reading block raises XmlError here: fetch and parse errors end the run
    // inside LoadPatchList's own rethrow.
    SetStatus(PatchMessage::PatchListError);
    const std::string text = status;
    Synchronize([this, text] { launcher.ShowMessage(text); });
    return false;
  }

  totalprogressV = listF.empty() ? 0.0 : static_cast<double>(kBarWidth) / listF.size();
  SetStatus(PatchMessage::Scan);
  ShowStatusText();

  // Read once for the whole stage; every name is reached from the folder opened here.
  const std::string folder = platform::CurrentDirectory();
  std::string cacheFile;
  ScanCache cache;
  if (!scanCacheFolder.empty()) {
    cacheFile = ScanCache::FileFor(scanCacheFolder, folder);
    cache = ScanCache::Load(cacheFile, folder);
  }
  // The cache is written whatever ends the scan: what was summed stays true.
  auto saveCache = [&] {
    if (cacheFile.empty() || cache.Unchanged()) return;
    try {
      cache.Save(cacheFile, folder);
    } catch (const platform::SystemError&) {
      // A cache that cannot be written only costs the next scan its reads.
    }
  };
  std::size_t line = 0;
  std::vector<std::string> localCrc;
  try {
    // This thread sums too (what no other has begun): one thread per core in all.
    const unsigned cores = FolderScan::DefaultThreads();
    FolderScan scan(folder, listF, verifyFiles ? nullptr : &cache, cores - 1, 256 * cores);
    for (; line < listF.size(); ++line) {
      const PatchEntry& entry = listF[line];
      if (TerminationRequested()) {
        scan.Stop();
        cache.Keep(entry.filename);
        continue;
      }
      const ScanOutcome outcome = scan.Take(line);
      if (outcome.record) cache.Remember(entry.filename, *outcome.record);
      // A missing file, a folder in its place, or one not examined (an unsafe name, a link
      // on the way: the download refuses it) is queued; a file that differs unless read-only.
      if (outcome.kind == ScanOutcome::Kind::Absent ||
          (outcome.crc != entry.original && !outcome.readOnly)) {
        ListWithUpdate.push_back(entry);
        localCrc.push_back(outcome.kind == ScanOutcome::Kind::File ? outcome.crc : std::string());
      }
      StepTotalBar();
    }
  } catch (...) {
    for (; line < listF.size(); ++line) cache.Keep(listF[line].filename);
    saveCache();
    throw;
  }
  saveCache();
  ChooseDeltas(folder, localCrc);
  FlushTotalBar();
  return true;
}

void ThreadForDownLoad::ChooseDeltas(const std::string& folder,
                                     const std::vector<std::string>& localCrc) {
  deltaOf_.assign(ListWithUpdate.size(), std::nullopt);
  for (std::size_t i = 0; i < ListWithUpdate.size(); ++i) {
    const PatchEntry& entry = ListWithUpdate[i];
    if (TerminationRequested()) return;
    if (localCrc[i].empty() || entry.malformed || !IsSafePatchName(entry.filename)) continue;
    const auto delta = std::find_if(entry.deltas.begin(), entry.deltas.end(),
                                    [&](const PatchDelta& d) { return d.from == localCrc[i]; });
    if (delta == entry.deltas.end()) continue;
    // The CRC-32 alone is easily matched on purpose: the SHA-256 decides.
    try {
      platform::File file = platform::File::OpenRead(PathIn(folder, entry.filename),
                                                     platform::File::Share::ReadWrite);
      Sha256 sha256;
      std::vector<std::uint8_t> buffer(1 << 20);
      for (std::size_t n; (n = file.Read(buffer.data(), buffer.size())) > 0;) {
        sha256.Update(buffer.data(), n);
      }
      if (sha256.HexDigest() == delta->sha256) deltaOf_[i] = *delta;
    } catch (const platform::SystemError&) {
      // Unreadable now: the full file serves.
    }
  }
}

void ThreadForDownLoad::LoadPatchList(HttpClient& http) {
  const LauncherSettings& settings = launcher.settings();
  const std::string& url = critical ? settings.criticalPatchlist : settings.patchlist;
  std::string text;
  if (settings.publicKey) {
    // A refused signature or serial ends the run as a failed fetch does.
    SignedText signedText =
        GetSignedDocument(http, url, limits::kPatchListBody, *settings.publicKey);
    AcceptRelease(signedText.stamp, launcher.AcceptSerial(signedText.stamp.serial));
    text = std::move(signedText.text);
  } else {
    http.MaxBodySize = limits::kPatchListBody;
    text = http.GetText(url);
  }
  http.MaxBodySize = 0;  // the list's bound is not one for the files that follow
  try {
    listF = ReadPatchEntries(text);  // GetText already hands back UTF-8
  } catch (const XmlError& e) {
    // A rejected document ends the run silently; it is not the "#042" failure.
    if (e.kind() == XmlError::Kind::Parse || e.kind() == XmlError::Kind::Encoding) {
      throw std::runtime_error(e.what());
    }
    throw;
  }
}

void ThreadForDownLoad::DownloadAll(DownloadPool& pool) {
  bool anyFailed = false;
  if (!ListWithUpdate.empty()) {
    ResetTotalBar();
    totalprogressV = static_cast<double>(kBarWidth) / ListWithUpdate.size();
    // Read once for the stage: the unpack threads build their paths from it as well.
    const std::string folder = platform::CurrentDirectory();
    const std::size_t queued = ListWithUpdate.size();
    std::size_t handedOut = 0;
    std::size_t inFlight = 0;
    std::size_t ended = 0;
    // The names of the files between their hand-over and their end. A name the list repeats
    // waits for its namesake: both would write the same temporaries.
    std::set<std::string> busy;
    const auto fileEnded = [&](std::size_t id, bool installed) {
      busy.erase(SameFileKey(ListWithUpdate[id].filename));
      if (!installed) anyFailed = true;
      ++ended;
      StepTotalBar();
    };

    const int threads = UnpackQueue::DefaultThreads();
    // Downloaded files that wait for a free unpack thread take disk space, not memory; past
    // this many the line may idle a moment rather than fill the disk ahead of the unpacking.
    const std::size_t backlog = 2 * static_cast<std::size_t>(threads);
    UnpackQueue unpacking(
        threads,
        [this, &folder](std::size_t id, const std::stop_token& stop) {
          if (deltaOf_[id]) {
            PatchFile(folder, ListWithUpdate[id], *deltaOf_[id], stop);
          } else {
            ExtractFile(folder, ListWithUpdate[id], stop);
          }
        },
        [&pool] { pool.Wakeup(); });
    // Files whose delta failed, to be fetched whole; still busy, not yet ended.
    std::deque<std::size_t> fallBack;
    const auto deltaFailed = [&](std::size_t id) {
      if (!deltaOf_[id] || TerminationRequested()) return false;
      deltaOf_[id].reset();
      fallBack.push_back(id);
      return true;
    };
    // The unpack threads' reports become texts and bar steps here, on the worker thread.
    const auto takeReports = [&] {
      for (const UnpackQueue::Report& report : unpacking.TakeReports()) {
        const PatchEntry& entry = ListWithUpdate[report.id];
        if (report.ended) {
          if (!report.installed && deltaFailed(report.id)) continue;
          fileEnded(report.id, report.installed);
        } else {
          const std::optional<PatchDelta>& delta = deltaOf_[report.id];
          SetStatus(PatchMessage::Extract,
                    LastPathComponent(delta ? DeltaName(entry.filename, delta->from)
                                            : entry.filename + ".lzma"));
          ShowStatusText();
        }
      }
    };

    DownloadPool::Events events;
    events.service = takeReports;
    events.next = [&]() -> DownloadPool::Next {
      // First, so that every unpacking begun so far is on the label before a later download.
      takeReports();
      if (TerminationRequested()) {
        // The Cancel's own disconnect may still be on its way.
        pool.Disconnect();
        return DownloadPool::Later{};
      }
      while (!fallBack.empty()) {
        const std::size_t id = fallBack.front();
        fallBack.pop_front();
        if (std::optional<DownloadJob> job = DownloadFile(folder, id)) return std::move(*job);
        fileEnded(id, false);
      }
      while (handedOut < queued && unpacking.Waiting() < backlog) {
        const std::size_t id = handedOut;
        const std::string key = SameFileKey(ListWithUpdate[id].filename);
        if (busy.count(key) != 0) break;
        ++handedOut;
        if (std::optional<DownloadJob> job = DownloadFile(folder, id)) {
          busy.insert(key);
          return std::move(*job);
        }
        fileEnded(id, false);
      }
      // The run goes on while unpackings are under way, so that their reports keep coming here.
      if (ended == queued) return DownloadPool::NoMore{};
      return DownloadPool::Later{};
    };
    events.started = [this, &inFlight](const DownloadJob& job) {
      ++inFlight;
      SetStatus(PatchMessage::Download, LastPathComponent(ListWithUpdate[job.id].filename));
      ShowStatusText();
    };
    events.progress = [this](std::int64_t received, std::int64_t expected) {
      TransferProgress(received, expected);
    };
    events.finished = [&](const DownloadJob& job, const DownloadResult& result) {
      // The pool reports nothing while no transfer is in flight: no bytes are on their way.
      if (--inFlight == 0) ResetFileBar();
      if (!result.error && !TerminationRequested()) {
        unpacking.Push(job.id);
        return;
      }
      // A delta is never resumed: its file is fetched whole instead.
      if (!result.error || !WorthResuming(result.error) || deltaOf_[job.id]) {
        RemoveDownloadTemporaries(job.path);
      }
      if (result.error && deltaFailed(job.id)) return;
      fileEnded(job.id, false);
    };

    pool.Run(events);
    // A Cancel: downloaded files that no thread took are not unpacked, and nothing of them stays.
    for (const std::size_t id : unpacking.Stop()) {
      const std::string& name = ListWithUpdate[id].filename;
      RemoveDownloadTemporaries(
          PathIn(folder, deltaOf_[id] ? DeltaName(name, deltaOf_[id]->from) : name + ".lzma"));
    }
    if (TerminationRequested()) {
      SetStatus(PatchMessage::Cancel);
      ShowStatusText();
    }
    ResetFileBar();
    FlushTotalBar();
  }
  Outcome(anyFailed);
}

std::optional<DownloadJob> ThreadForDownLoad::DownloadFile(const std::string& folder,
                                                           std::size_t id) {
  const PatchEntry& entry = ListWithUpdate[id];
  const std::string& name = entry.filename;
  // An entry with unreadable attributes vouches for nothing: never fetched.
  if (entry.malformed || !IsSafePatchName(name)) return std::nullopt;
  try {
    // Nothing is written through a link below the game folder, nor into a folder made through
    // one.
    if (!WritesStayInside(folder, name) || !MakeFoldersOnTheWay(folder, name)) return std::nullopt;
    DownloadJob job;
    job.id = id;
    const std::string served = deltaOf_[id] ? DeltaName(name, deltaOf_[id]->from) : name + ".lzma";
    job.url = launcher.settings().patchListFolder + served;
    job.path = PathIn(folder, served);
    if (deltaOf_[id]) {
      job.maxBodySize = static_cast<std::int64_t>(deltaOf_[id]->packed);
    } else {
      job.maxBodySize = entry.packed ? static_cast<std::int64_t>(*entry.packed) : 0;
    }
    // A complete .lzma left by a run that ended before unpacking it may be a hard link to a
    // file elsewhere; the pool would rename over it, but a fresh start costs only this file.
    platform::RemoveFile(job.path);
    return job;
  } catch (...) {
    return std::nullopt;
  }
}

namespace {

// Installs `name` below `folder` from the downloaded `source` (`packedSize` bytes long, when
// known) by `unpack`, only when the unpacked data is what `entry` vouches for.
void InstallChecked(const std::string& folder, const PatchEntry& entry, const std::string& source,
                    std::optional<std::uint64_t> packedSize, const std::stop_token& stop,
                    void (*unpack)(const std::string&, const std::string&, const UnpackChecks&)) {
  const std::string target = PathIn(folder, entry.filename);
  try {
    if (stop.stop_requested()) throw std::runtime_error("the run was cancelled");
    if (packedSize &&
        platform::File::OpenRead(source, platform::File::Share::ReadWrite).Size() != *packedSize) {
      throw std::runtime_error("the download is not as long as the list says");
    }
    // A link put there during the transfer is not unpacked through either.
    if (!WritesStayInside(folder, entry.filename)) {
      throw std::runtime_error("a link below the game folder");
    }
    platform::RemoveFile(target + "~kestrune.tmp");
    UnpackedCheck check(entry);
    UnpackChecks checks;
    checks.maxSize = entry.size;
    checks.observe = [&check, &stop](const void* data, std::size_t size) {
      // Thrown before the target is replaced: an abandoned unpacking leaves it as it was.
      if (stop.stop_requested()) throw std::runtime_error("the run was cancelled");
      check.Update(data, size);
    };
    checks.accept = [&check](std::uint64_t size) { return check.Matches(size); };
    unpack(source, target, checks);
  } catch (...) {
    // A body that does not unpack to what the list vouches for is no start to resume from
    // either: the next attempt fetches it whole.
    RemoveDownloadTemporaries(source);
    throw;
  }
  RemoveDownloadTemporaries(source);
}

}  // namespace

void ThreadForDownLoad::ExtractFile(const std::string& folder, const PatchEntry& entry,
                                    const std::stop_token& stop) {
  InstallChecked(folder, entry, PathIn(folder, entry.filename + ".lzma"), entry.packed, stop,
                 &DecompressFile);
}

void ThreadForDownLoad::PatchFile(const std::string& folder, const PatchEntry& entry,
                                  const PatchDelta& delta, const std::stop_token& stop) {
  InstallChecked(folder, entry, PathIn(folder, DeltaName(entry.filename, delta.from)), delta.packed,
                 stop, &ApplyDelta);
  // A part of the .lzma that an earlier run left to resume is of no use any more.
  RemoveDownloadTemporaries(PathIn(folder, entry.filename + ".lzma"));
}

void ThreadForDownLoad::Outcome(bool anyFailed) {
  const bool queued = !ListWithUpdate.empty();
  if (TerminationRequested()) {
    launcher.setStatus(msgUserCancelled);
  } else if (!queued) {
    launcher.setStatus(msgUpToDate);
  } else if (anyFailed) {
    // Files are still missing or different: no success, no critical tail.
    launcher.setStatus(msgError);
  } else {
    launcher.setStatus(msgAllUpdated);
    if (critical) {
      const LauncherSettings& settings = launcher.settings();
      // Stored first: starting the client may close the launcher and end the process.
      launcher.StoreCritical(settings.criticalVersion);
      if (settings.autoStartClient && settings.runnedFromExe) {
        Synchronize([this] { launcher.StartClient(); });
      }
    }
  }
  ShowStatusText();
  RefreshStatusLabel();
}

void ThreadForDownLoad::ShowStatusText() {
  const std::string text = status;
  Synchronize([this, &text] { launcher.SetStatusText(text); });
}

void ThreadForDownLoad::RefreshStatusLabel() {
  Synchronize([this] { launcher.ShowStatus(); });
}

void ThreadForDownLoad::SetStatus(PatchMessage message, const std::string& suffix) {
  if (auto text = PatchText(launcher.getLanguage(), message)) status = *text + suffix;
}

void ThreadForDownLoad::ShowBar(Bar bar, float width, float& shown, bool force) {
  if (!force && std::floor(width) == std::floor(shown)) return;
  Synchronize([this, bar, width] { launcher.SetBarWidth(bar, width); });
  shown = width;
}

void ThreadForDownLoad::ResetTotalBar() {
  totalWidth_ = 0;
  ShowBar(Bar::Total, totalWidth_, totalShown_, true);
}

void ThreadForDownLoad::ResetFileBar() {
  fileWidth_ = 0;
  ShowBar(Bar::File, fileWidth_, fileShown_, true);
}

void ThreadForDownLoad::ResetBars() {
  ResetFileBar();
  ResetTotalBar();
}

void ThreadForDownLoad::StepTotalBar() {
  if (totalWidth_ > kBarWidth) return;
  totalWidth_ = static_cast<float>(totalWidth_ + totalprogressV);
  ShowBar(Bar::Total, totalWidth_, totalShown_, false);
}

void ThreadForDownLoad::FlushTotalBar() {
  if (totalWidth_ != totalShown_) ShowBar(Bar::Total, totalWidth_, totalShown_, true);
}

void ThreadForDownLoad::FlushFileBar() {
  if (fileWidth_ != fileShown_) ShowBar(Bar::File, fileWidth_, fileShown_, true);
}

void ThreadForDownLoad::UpdateFileBar() {
  if (fileprogressM == 0) return;
  fileWidth_ = static_cast<float>(fileprogressV / (fileprogressM / kBarWidth));
  ShowBar(Bar::File, fileWidth_, fileShown_, false);
}

void ThreadForDownLoad::HttpWorkBegin(std::int64_t expectedTotal) {
  fileprogressM = static_cast<double>(expectedTotal);
  transferShown_ = 0;
  ResetFileBar();
}

void ThreadForDownLoad::HttpWork(std::int64_t count) {
  fileprogressV = static_cast<double>(count);
  const float before = fileShown_;
  UpdateFileBar();
  // The byte count travels with each bar step, or every 256 KiB when no length was announced,
  // for views that show bytes and rate.
  if (fileShown_ != before || (fileprogressM == 0 && count - transferShown_ >= 256 * 1024)) {
    transferShown_ = count;
    const auto expected = static_cast<std::int64_t>(fileprogressM);
    Synchronize([this, count, expected] { launcher.ShowTransfer(count, expected); });
  }
}

void ThreadForDownLoad::HttpWorkEnd() {
  ResetFileBar();
}

void ThreadForDownLoad::TransferProgress(std::int64_t received, std::int64_t expected) {
  fileprogressV = static_cast<double>(received);
  fileprogressM = static_cast<double>(expected);
  const float before = fileShown_;
  if (expected == 0) {
    // Nothing in flight announced a length: an empty bar rather than one left over.
    if (fileWidth_ != 0) ResetFileBar();
  } else {
    UpdateFileBar();
  }
  // As HttpWork; the sum falls back whenever a transfer leaves it.
  if (fileShown_ != before ||
      (expected == 0 && std::llabs(received - transferShown_) >= 256 * 1024)) {
    transferShown_ = received;
    Synchronize([this, received, expected] { launcher.ShowTransfer(received, expected); });
  }
}

}  // namespace kestrune
