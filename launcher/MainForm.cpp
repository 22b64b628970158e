#include "MainForm.h"

#include "PublisherKey.h"
#include "StartupRules.h"
#include "StatusMessages.h"
#include "TransferText.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#ifndef KESTRUNE_UPDATER_VERSION
#error "the build defines the launcher's own version"
#endif
#if !defined(KESTRUNE_SITE_LINK) || !defined(KESTRUNE_FORUM_LINK)
#error "the build defines the two web links"
#endif

namespace kestrune {

const char* const kSiteLink = KESTRUNE_SITE_LINK;
const char* const kForumLink = KESTRUNE_FORUM_LINK;

namespace {

std::int32_t TruncateTowardZero(float v) {
  return static_cast<std::int32_t>(std::trunc(v));
}

}  // namespace

TFormUpdater* FormUpdater = nullptr;

TFormUpdater::TFormUpdater(View& view, UiThread& ui, WorkerFactories factories)
    : view_(view), ui_(ui), factories_(std::move(factories)) {}

TFormUpdater::~TFormUpdater() {
  // Workers read this object; none may run past it. Disconnecting makes a transfer under way
  // fail at once instead of after its time-out.
  for (Worker* worker : {static_cast<Worker*>(th.get()), static_cast<Worker*>(thv.get())}) {
    if (!worker) continue;
    worker->RequestTermination();
    worker->DisconnectHttp();
    WaitForEnd(*worker);
  }
}

void TFormUpdater::WaitForEnd(Worker& worker) {
  try {
    ui_.ServeUntil([&worker] { return worker.Finished(); });
  } catch (...) {
  }
}

void TFormUpdater::FormCreate() {
  runnedFromExe = IsClientCommandLine(platform::RawCommandLine());
  currentUpdaterVersion = KESTRUNE_UPDATER_VERSION;
  exeName = "KestruneUpdater.exe";
  dirUserProfile = platform::UserProfileFolder();
  publicKey = PublisherKey();
  maxSignatureAgeDays = kMaxSignatureAgeDays;

  try {
    RegistreU = std::make_unique<UserSections>(kUserKeyPath);
  } catch (const platform::SystemError&) {
    // Without the store the language is the default and is not written back.
  }
  setLanguage(RegistreU ? RegistreU->ReadInteger("Settings", "language", 1) : 1);

  try {
    RegistreD = platform::UserKey::OpenOrCreate(kSettingsKeyPath);
  } catch (...) {
    // The patch worker's "Critical" write fails later instead.
  }

  messageId = msgNone;
  canUpdate = true;

  try {
    LoadSettings();
  } catch (...) {
  }

  if (doubleRunCheck) IsRunFirst();

  if (currentUpdaterVersion < version) {
    try {
      StartSelfUpdate();
    } catch (...) {
    }
  }
  if (canUpdate) {
    try {
      StartPatchWorker(true);
    } catch (...) {
    }
  }
}

void TFormUpdater::IsRunFirst() {
  bool first = false;
  try {
    first = platform::AcquireNamedMutex(SingleInstanceName(platform::ExecutableFileName()));
  } catch (...) {
    // A mutex that cannot be taken counts as held by another instance.
  }
  if (!first) platform::ExitProcessNow(0);
}

void TFormUpdater::StartSelfUpdate() {
  canUpdate = false;
  if (thv) WaitForEnd(*thv);
  thv = factories_.selfUpdate ? factories_.selfUpdate(*this)
                              : std::make_shared<VersionDownloader>(*this);
  thv->Start();
}

void TFormUpdater::StartPatchWorker(bool critical, bool verifyFiles) {
  if (!canUpdate) return;
  canUpdate = false;
  try {
    // The last run's end-of-work step may still be queued behind the step that opened the
    // gate; it must not lay the idle layout over the new run's busy one.
    if (th) WaitForEnd(*th);
    th = factories_.patchWorker ? factories_.patchWorker(*this)
                                : std::make_shared<ThreadForDownLoad>(*this);
    th->critical = critical;
    th->verifyFiles = verifyFiles;
    try {
      th->scanCacheFolder = platform::UserKeyFolder(kSettingsKeyPath);
    } catch (const platform::SystemError&) {
      // No per-user folder: the run sums every file, as without a cache.
    }
    th->Start();
  } catch (...) {
    // Nothing runs, so nothing would ever open the gate again.
    canUpdate = true;
    throw;
  }
}

void TFormUpdater::CancelNormalClick() {
  if (canUpdate) return;
  if (!th) return;
  th->RequestTermination();
  th->DisconnectHttp();
  // The worker's last steps (idle layout, final status) run inside this wait.
  WaitForEnd(*th);
}

void TFormUpdater::setLanguage(std::int32_t value) {
  language = value;
  if (RegistreU) {
    try {
      RegistreU->WriteInteger("Settings", "Language", value);
    } catch (const platform::SystemError&) {
      // A refused write only loses the value for the next start.
    }
  }
  ShowStatus();
}

void TFormUpdater::getStatus() {
  if (const auto text = StatusMessage(language, messageId)) msg = *text;
}

void TFormUpdater::StoreCritical(std::int32_t value) {
  if (!RegistreD.isOpen()) {
    throw platform::SystemError("The launcher's settings key is not open.", 0, "");
  }
  RegistreD.WriteNumber("Critical", static_cast<std::uint32_t>(value));
}

bool TFormUpdater::AcceptSerial(std::uint64_t serial) {
  std::lock_guard<std::mutex> lock(serialMutex_);
  std::uint64_t highest = acceptedSerial_;
  try {
    if (RegistreD.isOpen()) {
      if (const auto text = RegistreD.ReadText("Serial")) {
        std::uint64_t stored = 0;
        const char* last = text->data() + text->size();
        const auto [end, error] = std::from_chars(text->data(), last, stored);
        // A value that is no serial (edited by hand) protects nothing; this run's still does.
        if (error == std::errc() && end == last && !text->empty())
          highest = std::max(highest, stored);
      }
    }
  } catch (const platform::SystemError&) {
  }
  if (serial < highest) return false;
  if (serial > highest) {
    acceptedSerial_ = serial;
    try {
      if (RegistreD.isOpen()) RegistreD.WriteText("Serial", std::to_string(serial));
    } catch (const platform::SystemError&) {
    }
  }
  return true;
}

void TFormUpdater::ShowStatus() {
  getStatus();
  SetStatusText(msg);
}

void TFormUpdater::SetStatusText(const std::string& text) {
  view_.SetStatusText(text);
}

void TFormUpdater::ApplyIdleLayout() {
  canUpdate = true;
  ShowLayout(false);
}

void TFormUpdater::ApplyBusyLayout() {
  canUpdate = false;
  ShowLayout(true);
}

// Both layouts touch the same controls in the same order; only visibility differs.
void TFormUpdater::ShowLayout(bool busy) {
  view_.SetVisible(Control::StartDisabled, busy);
  for (Control c : {Control::StartNormal, Control::StartHover, Control::StartPress,
                    Control::UpdateNormal, Control::UpdateHover, Control::UpdatePress}) {
    view_.SetVisible(c, !busy);
  }
  for (Control c : {Control::CancelNormal, Control::CancelHover, Control::CancelPress}) {
    view_.SetVisible(c, busy);
  }
}

void TFormUpdater::SetBarWidth(Bar bar, float width) {
  if (bar == Bar::File) {
    fileWidth_ = width;
    view_.SetBarWidth(Control::FileProgress, width);
    // The file bar set back to 0 ends the transfer it showed.
    if (width == 0) {
      transferReceived_ = 0;
      view_.SetTransferText({});
    }
  } else {
    totalWidth_ = width;
    view_.SetBarWidth(Control::TotalProgress, width);
  }
}

void TFormUpdater::ShowTransfer(std::int64_t received, std::int64_t expected) {
  const auto now = std::chrono::steady_clock::now();
  // The first count, or one that went back, starts a transfer.
  if (received < transferReceived_ || transferReceived_ == 0) transferStart_ = now;
  transferReceived_ = received;
  const double seconds = std::chrono::duration<double>(now - transferStart_).count();
  view_.SetTransferText(TransferText(received, expected, seconds, language));
}

float TFormUpdater::BarWidth(Bar bar) const {
  return bar == Bar::File ? fileWidth_ : totalWidth_;
}

void TFormUpdater::ShowMessage(const std::string& text) {
  view_.ShowMessage(text);
}

void TFormUpdater::CloseWindow() {
  view_.Close();
}

void TFormUpdater::StartClient() {
  OpenUoFP(ClientPath(), "-updater");
  view_.Minimize();
  if (closeUpdaterAfterStartinGame) view_.Close();
}

std::string TFormUpdater::ClientPath() {
  // Appended verbatim, as on Windows; only the separators become native.
  return platform::NativePath(platform::CurrentDirectory() + "\\system\\tarvik.exe");
}

void TFormUpdater::OpenUoF(const std::string& S) {
  try {
    shellOpen(S, "");
  } catch (...) {
  }
}

void TFormUpdater::OpenUoFP(const std::string& S, const std::string& P) {
  try {
    shellOpen(S, P);
  } catch (...) {
  }
}

void TFormUpdater::Fades(std::initializer_list<Fade> fades) {
  for (const Fade& f : fades) view_.FadeTo(f.image, f.opacity, f.seconds);
}

bool TFormUpdater::OnMouse(Control control, MouseEvent event, float x, float y) {
  using C = Control;
  using E = MouseEvent;
  // One row a control: its handlers for enter, leave, down, up; click where it has one.
  struct Handlers {
    C control;
    void (TFormUpdater::*enter)();
    void (TFormUpdater::*leave)();
    void (TFormUpdater::*down)();
    void (TFormUpdater::*up)();
    void (TFormUpdater::*click)();
  };
  static constexpr Handlers kButtons[] = {
      {C::StartNormal, &TFormUpdater::StartNormalMouseEnter, &TFormUpdater::StartNormalMouseLeave,
       &TFormUpdater::StartNormalMouseDown, &TFormUpdater::StartNormalMouseUp,
       &TFormUpdater::StartNormalClick},
      {C::UpdateNormal, &TFormUpdater::UpdateNormalMouseEnter,
       &TFormUpdater::UpdateNormalMouseLeave, &TFormUpdater::UpdateNormalMouseDown,
       &TFormUpdater::UpdateNormalMouseUp, nullptr},
      {C::CancelNormal, &TFormUpdater::CancelNormalMouseEnter,
       &TFormUpdater::CancelNormalMouseLeave, &TFormUpdater::CancelNormalMouseDown,
       &TFormUpdater::CancelNormalMouseUp, &TFormUpdater::CancelNormalClick},
      {C::CloseNormal, &TFormUpdater::CloseNormalMouseEnter, &TFormUpdater::CloseNormalMouseLeave,
       &TFormUpdater::CloseNormalMouseDown, &TFormUpdater::CloseNormalMouseUp, nullptr},
      {C::MinimizeNormal, &TFormUpdater::MinimizeNormalMouseEnter,
       &TFormUpdater::MinimizeNormalMouseLeave, &TFormUpdater::MinimizeNormalMouseDown,
       &TFormUpdater::MinimizeNormalMouseUp, nullptr},
      {C::SiteNormal, &TFormUpdater::SiteNormalMouseEnter, &TFormUpdater::SiteNormalMouseLeave,
       &TFormUpdater::SiteNormalMouseDown, &TFormUpdater::SiteNormalMouseUp, nullptr},
      {C::ForumNormal, &TFormUpdater::ForumNormalMouseEnter, &TFormUpdater::ForumNormalMouseLeave,
       &TFormUpdater::ForumNormalMouseDown, &TFormUpdater::ForumNormalMouseUp, nullptr},
  };

  if (control == C::MainForm) {
    switch (event) {
      case E::Down:
        MainFormMouseDown(x, y);
        return true;
      case E::Move:
        MainFormMouseMove(x, y);
        return true;
      case E::Up:
        MainFormMouseUp();
        return true;
      default:
        return false;
    }
  }
  for (const Handlers& h : kButtons) {
    if (h.control != control) continue;
    void (TFormUpdater::*handler)() = nullptr;
    switch (event) {
      case E::Enter:
        handler = h.enter;
        break;
      case E::Leave:
        handler = h.leave;
        break;
      case E::Down:
        handler = h.down;
        break;
      case E::Up:
        handler = h.up;
        break;
      case E::Click:
        handler = h.click;
        break;
      case E::Move:
        break;
    }
    if (!handler) return false;
    (this->*handler)();
    return true;
  }
  return false;
}

void TFormUpdater::MainFormMouseDown(float x, float y) {
  canDrag = true;
  _x = TruncateTowardZero(x);
  _y = TruncateTowardZero(y);
}

void TFormUpdater::MainFormMouseMove(float x, float y) {
  if (!canDrag) return;
  // The grabbed point stays under the pointer: _x and _y stay as they are.
  WindowPosition p = view_.Position();
  p.left = p.left - _x + TruncateTowardZero(x);
  p.top = p.top - _y + TruncateTowardZero(y);
  view_.MoveTo(p);
}

void TFormUpdater::MainFormMouseUp() {
  canDrag = false;
}

void TFormUpdater::StartNormalClick() {
  if (canUpdate) {
    if (platform::GetPathKind(ClientPath()) == platform::PathKind::File) {
      StartClient();
    } else {
      try {
        StartPatchWorker(false);
      } catch (...) {
        // The window stays idle; there is nothing to report.
      }
    }
  }
  view_.FadeTo(Control::StartPress, 0, kFadeSlow);
}

// The fade rows of the buttons. Start fades all its images slowly; Update, Cancel, Site and
// Forum cross-fade (hover in quickly, Normal back quickly); Close and Minimize keep their
// Normal area and fade only hover and press.
using C = Control;

void TFormUpdater::StartNormalMouseEnter() {
  Fades({{C::StartNormal, 0, kFadeSlow}, {C::StartHover, 1, kFadeSlow}});
}
void TFormUpdater::StartNormalMouseLeave() {
  Fades({{C::StartNormal, 1, kFadeSlow},
         {C::StartHover, 0, kFadeSlow},
         {C::StartPress, 0, kFadeSlow}});
}
void TFormUpdater::StartNormalMouseDown() {
  Fades({{C::StartPress, 1, kFadeSlow}});
}
void TFormUpdater::StartNormalMouseUp() {
  Fades({{C::StartPress, 0, kFadeSlow}});
}

void TFormUpdater::UpdateNormalMouseEnter() {
  Fades({{C::UpdateNormal, 0, kFadeSlow}, {C::UpdateHover, 1, kFadeQuick}});
}
void TFormUpdater::UpdateNormalMouseLeave() {
  Fades({{C::UpdateNormal, 1, kFadeQuick},
         {C::UpdateHover, 0, kFadeSlow},
         {C::UpdatePress, 0, kFadeSlow}});
}
void TFormUpdater::UpdateNormalMouseDown() {
  Fades({{C::UpdatePress, 1, kFadeSlow}});
}
void TFormUpdater::UpdateNormalMouseUp() {
  Fades({{C::UpdatePress, 0, kFadeSlow}});
  if (!canUpdate) return;
  try {
    // The player's "verify files": nothing is taken from the scan cache.
    StartPatchWorker(false, true);
  } catch (...) {
  }
}

void TFormUpdater::CancelNormalMouseEnter() {
  Fades({{C::CancelNormal, 0, kFadeSlow}, {C::CancelHover, 1, kFadeQuick}});
}
void TFormUpdater::CancelNormalMouseLeave() {
  Fades({{C::CancelNormal, 1, kFadeQuick},
         {C::CancelHover, 0, kFadeSlow},
         {C::CancelPress, 0, kFadeSlow}});
}
void TFormUpdater::CancelNormalMouseDown() {
  Fades({{C::CancelPress, 1, kFadeSlow}});
}
void TFormUpdater::CancelNormalMouseUp() {
  Fades({{C::CancelPress, 0, kFadeSlow}});
}

void TFormUpdater::CloseNormalMouseEnter() {
  Fades({{C::CloseHover, 1, kFadeSlow}});
}
void TFormUpdater::CloseNormalMouseLeave() {
  Fades({{C::CloseHover, 0, kFadeSlow}, {C::ClosePress, 0, kFadeSlow}});
}
void TFormUpdater::CloseNormalMouseDown() {
  Fades({{C::ClosePress, 1, kFadeSlow}});
}
void TFormUpdater::CloseNormalMouseUp() {
  Fades({{C::ClosePress, 0, kFadeSlow}});
  view_.Close();
}

void TFormUpdater::MinimizeNormalMouseEnter() {
  Fades({{C::MinimizeHover, 1, kFadeSlow}});
}
void TFormUpdater::MinimizeNormalMouseLeave() {
  Fades({{C::MinimizeHover, 0, kFadeSlow}, {C::MinimizePress, 0, kFadeSlow}});
}
void TFormUpdater::MinimizeNormalMouseDown() {
  Fades({{C::MinimizePress, 1, kFadeSlow}});
}
void TFormUpdater::MinimizeNormalMouseUp() {
  Fades({{C::MinimizePress, 0, kFadeSlow}});
  view_.Minimize();
}

void TFormUpdater::SiteNormalMouseEnter() {
  Fades({{C::SiteNormal, 0, kFadeSlow}, {C::SiteHover, 1, kFadeQuick}});
}
void TFormUpdater::SiteNormalMouseLeave() {
  Fades(
      {{C::SiteNormal, 1, kFadeQuick}, {C::SiteHover, 0, kFadeSlow}, {C::SitePress, 0, kFadeSlow}});
}
void TFormUpdater::SiteNormalMouseDown() {
  Fades({{C::SitePress, 1, kFadeSlow}});
}
void TFormUpdater::SiteNormalMouseUp() {
  Fades({{C::SitePress, 0, kFadeQuick}});
  OpenUoF(kSiteLink);
}

void TFormUpdater::ForumNormalMouseEnter() {
  Fades({{C::ForumNormal, 0, kFadeSlow}, {C::ForumHover, 1, kFadeQuick}});
}
void TFormUpdater::ForumNormalMouseLeave() {
  Fades({{C::ForumNormal, 1, kFadeQuick},
         {C::ForumHover, 0, kFadeSlow},
         {C::ForumPress, 0, kFadeSlow}});
}
void TFormUpdater::ForumNormalMouseDown() {
  Fades({{C::ForumPress, 1, kFadeSlow}});
}
void TFormUpdater::ForumNormalMouseUp() {
  Fades({{C::ForumPress, 0, kFadeQuick}});
  OpenUoF(kForumLink);
}

}  // namespace kestrune
