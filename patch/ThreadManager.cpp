#include "ThreadManager.h"

#include <cmath>
#include <memory>
#include <ostream>
#include <streambuf>

#include "CRC32.h"
#include "FolderScan.h"
#include "GameFolder.h"
#include "Limits.h"
#include "PatchEntry.h"
#include "PatchNames.h"
#include "Platform.h"
#include "ScanCache.h"
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

// The body of a transfer goes straight into the temporary file, opened without sharing. A
// body that grows past `limit` is refused here, whatever the client enforces.
class FileOutBuf final : public std::streambuf {
 public:
  FileOutBuf(platform::File& file, std::optional<std::uint64_t> limit)
      : file_(file), limit_(limit) {}

  std::uint64_t written() const { return written_; }

 protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    const auto n = static_cast<std::uint64_t>(count);
    if (limit_ && n > *limit_ - written_) return 0;
    try {
      file_.Write(data, static_cast<std::size_t>(count));
      written_ += n;
      return count;
    } catch (const platform::SystemError&) {
      return 0;
    }
  }
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const char c = traits_type::to_char_type(ch);
    return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
  }

 private:
  platform::File& file_;
  std::optional<std::uint64_t> limit_;
  std::uint64_t written_ = 0;
};

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
    // Declared after the client: it is detached before the client goes, also on an error.
    const Connection connection(*this, [&http] { http->Disconnect(); });

    if (LoadAndScan(*http)) DownloadAll(*http);
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
  try {
    // This thread sums too (what no other has begun): one thread per core in all.
    const unsigned cores = FolderScan::DefaultThreads();
    FolderScan scan(folder, listF, verifyFiles ? nullptr : &cache, cores - 1, 16 * cores);
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
      }
      StepTotalBar();
    }
  } catch (...) {
    for (; line < listF.size(); ++line) cache.Keep(listF[line].filename);
    saveCache();
    throw;
  }
  saveCache();
  FlushTotalBar();
  return true;
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

void ThreadForDownLoad::DownloadAll(HttpClient& http) {
  bool anyFailed = false;
  if (!ListWithUpdate.empty()) {
    ResetTotalBar();
    totalprogressV = static_cast<double>(kBarWidth) / ListWithUpdate.size();
    const std::string& folder = launcher.settings().patchListFolder;
    for (const PatchEntry& entry : ListWithUpdate) {
      if (TerminationRequested()) {
        SetStatus(PatchMessage::Cancel);
        ShowStatusText();
        break;
      }
      // An entry with unreadable attributes vouches for nothing: never fetched.
      if (entry.malformed || !DownloadFile(http, folder + entry.filename + ".lzma", entry)) {
        anyFailed = true;
      }
      StepTotalBar();
    }
    FlushTotalBar();
  }
  Outcome(anyFailed);
}

bool ThreadForDownLoad::DownloadFile(HttpClient& http, const std::string& address,
                                     const PatchEntry& entry) {
  const std::string& name = entry.filename;
  if (!IsSafePatchName(name)) return false;
  // Nothing is written through a link below the game folder, nor into a folder made through one.
  const std::string folder = platform::CurrentDirectory();
  if (!WritesStayInside(folder, name) || !MakeFoldersOnTheWay(folder, name)) return false;
  std::string temporary;
  try {
    const std::string target = GamePath(name);
    temporary = platform::NativePath(target + ".lzma");
    // A leftover of that name may be a hard link to a file elsewhere: never truncated in place.
    platform::RemoveFile(temporary);

    SetStatus(PatchMessage::Download, LastPathComponent(target));
    ShowStatusText();

    platform::File file = platform::File::Create(temporary);
    try {
      FileOutBuf buffer(file, entry.packed);
      std::ostream out(&buffer);
      http.MaxBodySize = entry.packed ? static_cast<std::int64_t>(*entry.packed) : 0;
      http.GetToStream(address, out);
      if (entry.packed && buffer.written() != *entry.packed) {
        throw std::runtime_error("the .lzma is shorter than the list says");
      }
    } catch (...) {
      FlushFileBar();
      try {
        file.Close();
      } catch (...) {
      }
      throw;
    }
    FlushFileBar();
    file.Close();
    // A link put there during the transfer is not unpacked through either.
    if (!WritesStayInside(folder, name)) throw std::runtime_error("a link below the game folder");
    platform::RemoveFile(platform::NativePath(target + "~kestrune.tmp"));
    ExtractFile(name + ".lzma", entry);
    return true;
  } catch (...) {
    // Nothing else would ever remove what a failed transfer left.
    if (!temporary.empty()) platform::RemoveFile(temporary);
    return false;
  }
}

void ThreadForDownLoad::ExtractFile(const std::string& temporaryName, const PatchEntry& entry) {
  const std::string source = GamePath(temporaryName);
  SetStatus(PatchMessage::Extract, LastPathComponent(source));
  ShowStatusText();
  UnpackedCheck check(entry);
  UnpackChecks checks;
  checks.maxSize = entry.size;
  checks.observe = [&check](const void* data, std::size_t size) { check.Update(data, size); };
  checks.accept = [&check](std::uint64_t size) { return check.Matches(size); };
  DecompressFile(platform::NativePath(source), platform::NativePath(GamePath(entry.filename)),
                 checks);
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

}  // namespace kestrune
