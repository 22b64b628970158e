#pragma once
// TFormUpdater, the launcher without its window: the launcher state, the start-up sequence,
// the status texts and language, the settings document, the worker starters and Cancel, the
// two layouts, and the handlers and actions of the window's controls (fades, drag, client
// start, web links). It reaches the screen only through a View and runs on the thread that
// serves its UiThread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>

#include "LauncherInterface.h"
#include "Platform.h"
#include "ThreadManager.h"
#include "UserSections.h"
#include "VersionDownloaderThread.h"
#include "View.h"
#include "http/HttpClient.h"

namespace kestrune {

// How the starters make their workers; an empty function makes the real one. Tests put
// controllable workers here.
struct WorkerFactories {
  std::function<std::shared_ptr<ThreadForDownLoad>(LauncherInterface&)> patchWorker;
  std::function<std::shared_ptr<VersionDownloader>(LauncherInterface&)> selfUpdate;
};

// The per-user keys of the launcher.
inline constexpr const char* kUserKeyPath = "Software\\KestruneUpdaterPts";
inline constexpr const char* kSettingsKeyPath = "Software\\KestruneUpdaterPts\\Settings";
// The one message of a failed settings document.
inline constexpr const char* kSettingsErrorMessage = "Error! Please try again later!1";
// The web links behind Site and Forum, fixed at build time; both end in "/".
extern const char* const kSiteLink;
extern const char* const kForumLink;
// Fade durations of the image buttons, in seconds.
inline constexpr double kFadeSlow = 0.2;
inline constexpr double kFadeQuick = 0.005;

// What the window reports of the mouse over one control.
enum class MouseEvent { Enter, Leave, Down, Move, Up, Click };

class TFormUpdater final : public LauncherInterface, public LauncherSettings {
 public:
  // `view` and `ui` must outlive the form; the form is used on the thread that serves `ui`.
  TFormUpdater(View& view, UiThread& ui, WorkerFactories factories = {});
  // Stops and waits for workers still running (a Cancel for each, serving their steps), so
  // that none outlives the state it reads; then joins their threads.
  ~TFormUpdater() override;
  TFormUpdater(const TFormUpdater&) = delete;
  TFormUpdater& operator=(const TFormUpdater&) = delete;

  // The start-up sequence, once, before the window is first shown.
  void FormCreate();
  // Fetches and reads the settings document; shows kSettingsErrorMessage on any failure,
  // keeping the values read before it.
  void LoadSettings();
  // Ends the process with exit code 0 when another instance of this executable name runs.
  void IsRunFirst();
  // Clears canUpdate and starts the self-update worker.
  void StartSelfUpdate();
  // Starts a patch worker, unless the gate (canUpdate) is closed; closes it at once, so that
  // a second request before the worker's first step starts nothing. Throws when the worker
  // cannot be started, with the gate open again. `verifyFiles`: the run reads every file
  // rather than trusting the scan cache.
  void StartPatchWorker(bool critical, bool verifyFiles = false);
  // Stops a running patch worker and waits for its end while serving its steps; nothing
  // while idle or when only the self-update runs.
  void CancelNormalClick();

  // Stores language, passes it to the view, writes it as the text value "Language" (a
  // refused write is ignored: the start-up must go on) and shows the text of the current
  // code.
  void setLanguage(std::int32_t value);
  // msg := the text for (language, messageId); unchanged when there is none.
  void getStatus();

  // LauncherInterface.
  const LauncherSettings& settings() const override { return *this; }
  UiThread& uiThread() override { return ui_; }
  void setStatus(std::int32_t code) override { messageId = code; }
  std::int32_t getLanguage() const override { return language; }
  void StoreCritical(std::int32_t value) override;
  // Kept as the decimal text "Serial" beside "Critical"; without the store, only for this run.
  bool AcceptSerial(std::uint64_t serial) override;
  void ShowStatus() override;
  void SetStatusText(const std::string& text) override;
  void ApplyIdleLayout() override;
  void ApplyBusyLayout() override;
  void SetCanUpdate(bool value) override { canUpdate = value; }
  void SetBarWidth(Bar bar, float width) override;
  // The transfer line in the current language, timed from the transfer's first count.
  void ShowTransfer(std::int64_t received, std::int64_t expected) override;
  float BarWidth(Bar bar) const override;
  void ShowMessage(const std::string& text) override;
  // Opens the client (ClientPath) with "-updater", minimises, and closes when
  // closeUpdaterAfterStartinGame. Whether the client could be started changes nothing.
  void StartClient() override;
  void CloseWindow() override;

  // The window's mouse, routed to the handler of `control` and `event`; (x, y) matter only
  // for the background and are in its own space. Returns false when the control has no such
  // handler. Handlers never throw.
  bool OnMouse(Control control, MouseEvent event, float x = 0, float y = 0);

  // Dragging by the background: positions truncated toward zero.
  void MainFormMouseDown(float x, float y);
  void MainFormMouseMove(float x, float y);
  void MainFormMouseUp();
  // Starts the client when it exists, else a normal patch run; nothing while busy. The press
  // image fades out in every case.
  void StartNormalClick();
  void StartNormalMouseDown();
  void StartNormalMouseUp();
  void StartNormalMouseEnter();
  void StartNormalMouseLeave();
  void UpdateNormalMouseDown();
  // Then a normal patch run, when idle.
  void UpdateNormalMouseUp();
  void UpdateNormalMouseEnter();
  void UpdateNormalMouseLeave();
  void CancelNormalMouseDown();
  void CancelNormalMouseUp();
  void CancelNormalMouseEnter();
  void CancelNormalMouseLeave();
  void CloseNormalMouseDown();
  // Then closes the window, without waiting for a worker.
  void CloseNormalMouseUp();
  void CloseNormalMouseEnter();
  void CloseNormalMouseLeave();
  void MinimizeNormalMouseDown();
  void MinimizeNormalMouseUp();
  void MinimizeNormalMouseEnter();
  void MinimizeNormalMouseLeave();
  void SiteNormalMouseDown();
  // Then opens kSiteLink.
  void SiteNormalMouseUp();
  void SiteNormalMouseEnter();
  void SiteNormalMouseLeave();
  void ForumNormalMouseDown();
  // Then opens kForumLink.
  void ForumNormalMouseUp();
  void ForumNormalMouseEnter();
  void ForumNormalMouseLeave();

  // The shell's "open" of a file or URL, without (OpenUoF) or with (OpenUoFP) parameters.
  // A failure is silent.
  void OpenUoF(const std::string& S);
  void OpenUoFP(const std::string& S, const std::string& P);
  // The working directory followed by "\system\tarvik.exe", in native form.
  static std::string ClientPath();

  // What OpenUoF and OpenUoFP call; tests put a recorder here.
  std::function<bool(const std::string& target, const std::string& parameters)> shellOpen =
      platform::ShellOpen;

  // The workers, owned with their threads; kept after their end until the next start or the
  // form's destruction.
  std::shared_ptr<ThreadForDownLoad> th;
  std::shared_ptr<VersionDownloader> thv;
  std::int32_t language = 0;
  // Set by workers on their own thread; read after a hand-over on the user-interface thread.
  std::atomic<std::int32_t> messageId{0};
  std::unique_ptr<HttpClient> http;
  bool canUpdate = false;
  std::int32_t _x = 0;
  std::int32_t _y = 0;
  bool canDrag = false;
  std::string msg;
  // A signed settings document older than this many days is refused; 0: any age.
  std::int32_t maxSignatureAgeDays = 0;
  std::unique_ptr<UserSections> RegistreU;  // absent when the key could not be opened
  platform::UserKey RegistreD;              // not open when the key could not be opened

 private:
  // Serves handed-over steps until `worker`'s thread function has returned.
  void WaitForEnd(Worker& worker);
  void ShowLayout(bool busy);
  struct Fade {
    Control image;
    float opacity;
    double seconds;
  };
  void Fades(std::initializer_list<Fade> fades);

  View& view_;
  UiThread& ui_;
  WorkerFactories factories_;
  // Both bars are full at load.
  float fileWidth_ = kBarWidth;
  float totalWidth_ = kBarWidth;
  std::int64_t transferReceived_ = 0;  // 0: no transfer under way
  std::chrono::steady_clock::time_point transferStart_{};
  std::mutex serialMutex_;  // the settings and a worker may both accept a serial
  std::uint64_t acceptedSerial_ = 0;
};

// The one window, for the program entry: set by whoever creates it. Nothing in the core
// reads it.
extern TFormUpdater* FormUpdater;

}  // namespace kestrune
