#pragma once
// ThreadForDownLoad, the patch worker: brings the game files below the working directory into
// line with the patch list: loads the list, checks every listed file against its CRC-32,
// fetches and unpacks what differs, and reports progress and outcome on the window.

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "PatchEntry.h"
#include "PatchNames.h"
#include "Worker.h"
#include "http/DownloadPool.h"

namespace kestrune {

class HttpClient;

enum class PatchMessage { Scan, Download, Extract, Cancel, TailError, PatchListError };

// The texts the worker builds itself, for language 0 (Russian) or 1 (English); nothing for
// any other language, which leaves the status text as it was.
std::optional<std::string> PatchText(std::int32_t language, PatchMessage message);

class ThreadForDownLoad : public Worker {
 public:
  explicit ThreadForDownLoad(LauncherInterface& launcher) : Worker(launcher, "kestrune-patch") {}

  // The critical run of the start-up (true) or a run the user asked for; set before Start().
  bool critical = false;
  // The player's "verify files" run (the Update action): every file is read and summed, the
  // scan cache is not trusted; what was summed is still written to it. Set before Start().
  bool verifyFiles = false;
  // Where the scan cache lives (see ScanCache); empty: no cache. Set before Start().
  std::string scanCacheFolder;

 protected:
  void Execute() override;
  // The idle layout again, however the body ended.
  void EndOfWork() override;

 private:
  // False when the patch list failed with the "#042" error; throws for the silent end.
  bool LoadAndScan(HttpClient& http);
  void LoadPatchList(HttpClient& http);
  // The queued files through `pool`, unpacked beside the transfers; then the outcome.
  void DownloadAll(DownloadPool& pool);
  // The transfer of the queued file `id` below `folder` (the working directory, read once for
  // the stage), its folders made; none when its name, its entry or its folders refuse it.
  std::optional<DownloadJob> DownloadFile(const std::string& folder, std::size_t id);
  // On an unpack thread, touching no window: installs the downloaded file only when its
  // unpacked data is what the entry vouches for; throws otherwise, its temporaries removed. A
  // `stop` request abandons it with the target as it was.
  static void ExtractFile(const std::string& folder, const PatchEntry& entry,
                          const std::stop_token& stop);
  // As ExtractFile, for a downloaded delta applied to the file in place.
  static void PatchFile(const std::string& folder, const PatchEntry& entry, const PatchDelta& delta,
                        const std::stop_token& stop);
  // After the scan: the delta of each queued file whose local CRC-32 and SHA-256 are a
  // delta's `from` (`localCrc` the scan's sums, by queued line).
  void ChooseDeltas(const std::string& folder, const std::vector<std::string>& localCrc);
  void Outcome(bool anyFailed);

  void ShowStatusText();
  void RefreshStatusLabel();
  // Sets status to the text of the current language, when it has one.
  void SetStatus(PatchMessage message, const std::string& suffix = {});

  // The bars as the worker last set them. Steps that would not move a bar by a whole pixel
  // are not handed over at once (a scan of many small files would spend its time in
  // hand-overs); FlushTotalBar shows the exact width at the end of each stage.
  void ResetTotalBar();
  void ResetFileBar();
  void ResetBars();
  void StepTotalBar();
  void FlushTotalBar();
  void UpdateFileBar();
  void FlushFileBar();
  void ShowBar(Bar bar, float width, float& shown, bool force);

  void HttpWorkBegin(std::int64_t expectedTotal);
  void HttpWork(std::int64_t count);
  void HttpWorkEnd();
  // The bytes received of the transfers in flight against their announced totals.
  void TransferProgress(std::int64_t received, std::int64_t expected);

  std::vector<PatchEntry> listF;
  std::vector<PatchEntry> ListWithUpdate;
  // By queued line: the delta fetched in place of the .lzma; reset when that path failed and
  // the file falls back to its .lzma.
  std::vector<std::optional<PatchDelta>> deltaOf_;
  double fileprogressV = 0;
  double fileprogressM = 0;
  double totalprogressV = 0;
  std::string status;
  std::int64_t transferShown_ = 0;  // bytes last handed to ShowTransfer

  float fileWidth_ = 0;
  float totalWidth_ = 0;
  float fileShown_ = -1;
  float totalShown_ = -1;
};

}  // namespace kestrune
