#pragma once
// What the two workers may read from and call on the launcher. TFormUpdater implements it;
// the workers depend on this header only, so the launcher can depend on the workers.

#include <cstdint>
#include <optional>
#include <string>

#include "UiThread.h"

namespace kestrune {

// Width in pixels of both progress bars; all bar arithmetic divides by it.
inline constexpr float kBarWidth = 409.0f;

enum class Bar { File, Total };

// The status codes the launcher turns into texts of the current language.
enum StatusCode : std::int32_t {
  msgNone = -1,
  msgReady = 0,
  msgCheckDone = 1,
  msgError = 2,
  msgScanning = 3,
  msgAllUpdated = 4,
  msgCancel = 5,
  msgUserCancelled = 6,
  msgUpToDate = 7,
  msgErrorRetry = 8,
  msgUpdating = 9,
  msgCheckingVersion = 10,
  msgSelfUpdateError = 11,
  msgSelfUpdateWait = 12,
  msgRestarting = 13,
};

// Launcher state from the start-up sequence and the settings document. Written on the
// user-interface thread before any worker exists and never again, so workers read it unlocked.
struct LauncherSettings {
  std::int32_t version = 0;
  std::string patchlist;
  std::string criticalPatchlist;
  std::string patchListFolder;
  std::string updaterURL;
  // The SHA-256 the new launcher must have, as the settings give it; none when they do not.
  std::optional<std::string> updaterSHA256;
  std::int32_t criticalVersion = 0;
  std::int32_t currentUpdaterVersion = 0;
  std::string exeName;
  std::string dirUserProfile;
  bool autoStartClient = false;
  bool doubleRunCheck = false;
  bool closeUpdaterAfterStartinGame = false;
  bool runnedFromExe = false;
  // Transfers the patch pass runs at once, as the settings document asks (1..16); none: the
  // build's own number.
  std::optional<std::int32_t> parallelDownloads;
  // The publisher's minisign public key line, when this build checks signatures: then the
  // settings, both patch lists and the new launcher count only when signed by it. None: no
  // signature is asked for.
  std::optional<std::string> publicKey;
};

class LauncherInterface {
 public:
  virtual ~LauncherInterface() = default;

  // Any thread.
  virtual const LauncherSettings& settings() const = 0;
  virtual UiThread& uiThread() = 0;
  // Stores the status code (-1 none, 0..13); shows nothing.
  virtual void setStatus(std::int32_t code) = 0;
  // 0 Russian, 1 English, anything else selects no texts.
  virtual std::int32_t getLanguage() const = 0;
  // Stores `value` as the per-user number "Critical". Throws when the store refuses it.
  virtual void StoreCritical(std::int32_t value) = 0;
  // The release serial of a signed document: false when it is lower than the highest one
  // accepted before (kept per user as "Serial"); otherwise true, keeping it when higher. A
  // store that refuses the write loses it only for later starts.
  virtual bool AcceptSerial(std::uint64_t serial) = 0;

  // User-interface thread only: a worker hands these over through uiThread().
  // The show-status step: the text of the current code and language into the status label.
  virtual void ShowStatus() = 0;
  virtual void SetStatusText(const std::string& text) = 0;
  // The idle layout sets the start gate (canUpdate), the busy layout clears it.
  virtual void ApplyIdleLayout() = 0;
  virtual void ApplyBusyLayout() = 0;
  virtual void SetCanUpdate(bool value) = 0;
  // A bar's width is its progress: 0 empty, kBarWidth full; not clamped.
  virtual void SetBarWidth(Bar bar, float width) = 0;
  virtual float BarWidth(Bar bar) const = 0;
  // Bytes of the download under way, beside the file bar (`expected` 0 when unknown).
  virtual void ShowTransfer(std::int64_t /*received*/, std::int64_t /*expected*/) {}
  // A modal message box with one OK button; returns when it is dismissed.
  virtual void ShowMessage(const std::string& text) = 0;
  virtual void StartClient() = 0;
  // Closes the window, which ends the program.
  virtual void CloseWindow() = 0;
};

}  // namespace kestrune
