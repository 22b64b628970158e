#include "MainForm.h"

#include "StartupRules.h"
#include "StatusMessages.h"

#ifndef KESTRUNE_UPDATER_VERSION
#error "the build defines the launcher's own version"
#endif

namespace kestrune {

TFormUpdater* FormUpdater = nullptr;

TFormUpdater::TFormUpdater(View& view, UiThread& ui, WorkerFactories factories)
    : view_(view), ui_(ui), factories_(std::move(factories)) {}

TFormUpdater::~TFormUpdater() {
  // Workers read this object; none may run past it. Disconnecting makes a transfer under way
  // fail at once instead of after its time-out.
  std::shared_ptr<Worker> workers[] = {th.lock(), thv.lock()};
  for (auto& worker : workers) {
    if (!worker) continue;
    try {
      worker->RequestTermination();
      worker->DisconnectHttp();
      ui_.ServeUntil([&worker] { return worker->Finished(); });
    } catch (...) {
    }
  }
}

void TFormUpdater::FormCreate() {
  runnedFromExe = IsClientCommandLine(platform::RawCommandLine());
  currentUpdaterVersion = KESTRUNE_UPDATER_VERSION;
  exeName = "KestruneUpdater.exe";
  dirUserProfile = platform::UserProfileFolder();

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
  auto worker = factories_.selfUpdate ? factories_.selfUpdate(*this)
                                      : std::make_shared<VersionDownloader>(*this);
  thv = worker;
  worker->Start();
}

void TFormUpdater::StartPatchWorker(bool critical) {
  if (!canUpdate) return;
  canUpdate = false;
  try {
    auto worker = factories_.patchWorker ? factories_.patchWorker(*this)
                                         : std::make_shared<ThreadForDownLoad>(*this);
    th = worker;
    worker->critical = critical;
    worker->Start();
  } catch (...) {
    // Nothing runs, so nothing would ever open the gate again.
    canUpdate = true;
    throw;
  }
}

void TFormUpdater::CancelNormalClick() {
  if (canUpdate) return;
  // Holding it keeps the worker alive for the wait; it releases itself afterwards.
  const std::shared_ptr<ThreadForDownLoad> worker = th.lock();
  if (!worker) return;
  try {
    worker->RequestTermination();
    worker->DisconnectHttp();
    // The worker's last steps (idle layout, final status) run inside this wait.
    ui_.ServeUntil([&worker] { return worker->Finished(); });
  } catch (...) {
  }
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
  } else {
    totalWidth_ = width;
    view_.SetBarWidth(Control::TotalProgress, width);
  }
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

}  // namespace kestrune
