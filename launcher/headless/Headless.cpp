#include "Headless.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "LauncherInterface.h"
#include "MainForm.h"
#include "Platform.h"
#include "UiThread.h"

namespace kestrune {
namespace {

bool Set(const char* value) {
  return value != nullptr && *value != '\0';
}

template <class W>
bool Ended(const std::shared_ptr<W>& worker) {
  return !worker || worker->Finished();
}

}  // namespace

bool WantHeadless(const char* headless, const char* display, const char* waylandDisplay) {
  if (headless != nullptr && std::string(headless) == "1") return true;
  return !Set(display) && !Set(waylandDisplay);
}

bool WantHeadless() {
  return WantHeadless(std::getenv("KESTRUNE_HEADLESS"), std::getenv("DISPLAY"),
                      std::getenv("WAYLAND_DISPLAY"));
}

int HeadlessExitCode(std::int32_t messageId) {
  switch (messageId) {
    case msgAllUpdated:
    case msgUpToDate:
      return 0;
    case msgUserCancelled:
      return 2;
    default:
      return 1;
  }
}

std::string CancellingNotice(std::int32_t language) {
  return language == 0 ? "Отмена обновления, подождите..."
                       : "Cancelling the update, please wait...";
}

void ConsoleView::ClearProgress() {
  if (!drawn_) return;
  err_ << "\r\033[K" << std::flush;
  drawn_ = false;
}

void ConsoleView::SetBarWidth(Control bar, float width) {
  (bar == Control::FileProgress ? file_ : total_) = width;
  DrawProgress();
}

void ConsoleView::SetTransferText(const std::string& text) {
  transfer_ = text;
  DrawProgress();
}

void ConsoleView::DrawProgress() {
  if (!progress_) return;
  // Bars move per received block; a terminal needs far fewer frames.
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  auto percent = [](float w) { return static_cast<int>(w * 100.0f / kBarWidth + 0.5f); };
  char file[32], total[32];
  std::snprintf(file, sizeof file, "file %3d%%", percent(file_));
  std::snprintf(total, sizeof total, "total %3d%%", percent(total_));
  err_ << '\r' << file << (transfer_.empty() ? "" : "  ") << transfer_ << "  " << total << "\033[K"
       << std::flush;
  drawn_ = true;
}

void ConsoleView::SetStatusText(const std::string& text) {
  ClearProgress();
  out_ << text << '\n' << std::flush;
}

void ConsoleView::ShowMessage(const std::string& text) {
  ClearProgress();
  err_ << text << '\n' << std::flush;
}

int RunHeadless() {
  platform::CountInterrupts();
  ConsoleView view(std::cout, std::cerr, platform::StderrIsTerminal());
  PlainUiThread ui;
  int code = 1;
  {
    TFormUpdater form(view, ui);
    FormUpdater = &form;
    form.FormCreate();
    bool cancelled = false;
    auto ended = [&] { return view.closed() || (Ended(form.th) && Ended(form.thv)); };
    while (!ended()) {
      ui.ServeUntil([&] { return ended() || (!cancelled && platform::InterruptCount() > 0); });
      if (!ended() && !cancelled) {
        cancelled = true;
        if (!Ended(form.th)) view.ShowMessage(CancellingNotice(form.language));
        // Serves the worker's steps until it has ended; nothing during a self-update.
        form.CancelNormalClick();
      }
    }
    // Closing the window ends the program with 0, as the windowed entry does (the client
    // start with closeUpdaterAfterStartinGame, the self-update hand-over). Read at once: a
    // self-update worker goes on setting codes after the hand-over closed the window.
    code = view.closed() ? 0 : HeadlessExitCode(form.messageId);
    FormUpdater = nullptr;
  }
  // The last steps may have drawn the bars again after the final status line.
  view.ClearProgress();
  return code;
}

}  // namespace kestrune
