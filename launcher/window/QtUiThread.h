#pragma once
// The hand-over to the user-interface thread of a Qt application: a blocking queued
// invocation on the application object.

#include <QCoreApplication>

#include "UiThread.h"

namespace kestrune {

class QtUiThread final : public UiThread {
 public:
  // `app` must outlive this object; its thread is the user-interface thread.
  explicit QtUiThread(QCoreApplication& app) : app_(app) {}

  void run(std::function<void()> step) override;
  // Runs an event loop that serves handed-over steps (user input waits) until `done`.
  void ServeUntil(const std::function<bool()>& done) override;

 private:
  QCoreApplication& app_;
};

}  // namespace kestrune
