#include "QtUiThread.h"

#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <exception>

namespace kestrune {

void QtUiThread::run(std::function<void()> step) {
  // A blocking queued call from the user-interface thread itself would never return.
  if (QThread::currentThread() == app_.thread()) {
    step();
    return;
  }
  std::exception_ptr error;
  QMetaObject::invokeMethod(
      &app_,
      [&] {
        try {
          step();
        } catch (...) {
          error = std::current_exception();
        }
      },
      Qt::BlockingQueuedConnection);
  if (error) std::rethrow_exception(error);
}

void QtUiThread::ServeUntil(const std::function<bool()>& done) {
  if (done()) return;
  QEventLoop loop;
  // `done` may turn true without any event (a worker thread ending), so it is polled too.
  QTimer poll;
  poll.setInterval(2);
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start();
  // Clicks wait, so that no handler runs inside a Cancel that is still waiting.
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

}  // namespace kestrune
