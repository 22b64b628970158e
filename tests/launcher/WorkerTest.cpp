// The hand-over to the user-interface thread, the worker thread base, the start gate and the
// Cancel action.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>

#include "LauncherTestSupport.h"
#include "LoopbackServer.h"
#include "MainForm.h"
#include "UiThread.h"
#include "VersionDownloaderThread.h"

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using test::ControlledPatchWorker;
using test::RecordingView;

// ---- PlainUiThread ---------------------------------------------------------------------

TEST(PlainUiThread, StepsFromAWorkerRunOnTheOwnerInOrderAndRunReturnsAfterThem) {
  PlainUiThread ui;
  std::vector<int> ran;
  std::vector<std::thread::id> threads;
  std::atomic<bool> sawOwnStep{false};
  std::atomic<bool> done{false};
  std::thread worker([&] {
    ui.run([&] {
      threads.push_back(std::this_thread::get_id());
      ran.push_back(1);
    });
    sawOwnStep = ran.size() == 1;  // the step has run by the time run() returns
    ui.run([&] {
      threads.push_back(std::this_thread::get_id());
      ran.push_back(2);
    });
    done = true;
  });
  ui.ServeUntil([&] { return done.load(); });
  worker.join();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  EXPECT_TRUE(sawOwnStep);
  EXPECT_EQ(threads, (std::vector<std::thread::id>(2, std::this_thread::get_id())));
}

TEST(PlainUiThread, AStepsExceptionIsRethrownInTheWorker) {
  PlainUiThread ui;
  std::string caught;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    try {
      ui.run([] { throw std::runtime_error("refused"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    done = true;
  });
  ui.ServeUntil([&] { return done.load(); });
  worker.join();
  EXPECT_EQ(caught, "refused");
}

TEST(PlainUiThread, OnTheOwnerThreadAStepRunsAtOnce) {
  PlainUiThread ui;
  bool ran = false;
  ui.run([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_THROW(ui.run([] { throw std::logic_error("inline"); }), std::logic_error);
  EXPECT_EQ(ui.ServePending(), 0u);
}

// ---- Worker ----------------------------------------------------------------------------

// A form with no start-up, its gate open as the start-up leaves it.
class WorkerTest : public ::testing::Test {
 protected:
  WorkerTest() { form.canUpdate = true; }

  PlainUiThread ui;
  RecordingView view;
  std::vector<std::shared_ptr<ControlledPatchWorker>> made;
  WorkerFactories factories{[this](LauncherInterface& launcher) {
                              made.push_back(std::make_shared<ControlledPatchWorker>(launcher));
                              return made.back();
                            },
                            {}};
  TFormUpdater form{view, ui, factories};
};

class FailingWorker : public Worker {
 public:
  explicit FailingWorker(LauncherInterface& launcher) : Worker(launcher, "failing") {}
  std::thread::id endOfWorkThread;
  std::thread::id bodyThread;

 protected:
  void Execute() override {
    bodyThread = std::this_thread::get_id();
    throw std::runtime_error("body failed");
  }
  void EndOfWork() override { endOfWorkThread = std::this_thread::get_id(); }
};

// Finished means the thread function has returned: its owner may destroy it then, and the
// destructor's join returns at once.
TEST_F(WorkerTest, AFailedBodyStillEndsOnTheUiThreadAndItsOwnerJoinsIt) {
  auto worker = std::make_unique<FailingWorker>(form);
  worker->Start();
  ui.ServeUntil([&] { return worker->Finished(); });
  EXPECT_NE(worker->bodyThread, std::this_thread::get_id());
  EXPECT_EQ(worker->endOfWorkThread, std::this_thread::get_id());
  worker.reset();
}

TEST_F(WorkerTest, EndOfWorkRunsOnTheUiThreadBeforeFinished) {
  auto worker = std::make_shared<FailingWorker>(form);
  worker->Start();
  ui.ServeUntil([&] { return worker->Finished(); });
  EXPECT_EQ(worker->endOfWorkThread, std::this_thread::get_id());
}

TEST_F(WorkerTest, TheRealMinimalWorkersSwitchToBusyAndBackToIdle) {
  const test::GameFolder game(false);  // the real patch worker locks its game folder
  TFormUpdater real(view, ui);         // default factories
  real.canUpdate = true;
  real.StartPatchWorker(false);
  const auto patch = real.th;
  ASSERT_NE(patch, nullptr);
  EXPECT_FALSE(patch->critical);
  ui.ServeUntil([&] { return patch->Finished(); });
  EXPECT_TRUE(real.canUpdate);
  ASSERT_FALSE(view.visibility.empty());
  EXPECT_EQ(view.visibility.front(), std::make_pair(Control::StartDisabled, true));
  EXPECT_EQ(view.visibility.back(), std::make_pair(Control::CancelPress, false));
}

// ---- The start gate --------------------------------------------------------------------

TEST_F(WorkerTest, ASecondStartBeforeTheWorkersFirstStepStartsNothing) {
  form.StartPatchWorker(false);
  EXPECT_FALSE(form.canUpdate);  // closed at once, before any step has run
  form.StartPatchWorker(false);
  form.StartPatchWorker(true);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_FALSE(made[0]->critical);
  EXPECT_EQ(form.th, made[0]);

  made[0]->release = true;
  ui.ServeUntil([&] { return made[0]->Finished(); });
  EXPECT_TRUE(form.canUpdate);
  form.StartPatchWorker(true);  // the gate is open again after the run
  ASSERT_EQ(made.size(), 2u);
  EXPECT_TRUE(made[1]->critical);
  made[1]->release = true;
}

TEST_F(WorkerTest, AStartThatFailsLeavesTheGateOpen) {
  TFormUpdater failing(view, ui,
                       {[](LauncherInterface&) -> std::shared_ptr<ThreadForDownLoad> {
                          throw std::runtime_error("no thread");
                        },
                        {}});
  failing.canUpdate = true;
  EXPECT_THROW(failing.StartPatchWorker(false), std::runtime_error);
  EXPECT_TRUE(failing.canUpdate);
}

// ---- Cancel ----------------------------------------------------------------------------

TEST_F(WorkerTest, CancelStopsTheRunningWorkerAndServesItsLastSteps) {
  form.StartPatchWorker(false);
  ASSERT_EQ(made.size(), 1u);
  auto& worker = *made[0];
  ui.ServeUntil([&] { return worker.busyShown.load(); });

  form.CancelNormalClick();

  EXPECT_TRUE(worker.TerminationRequested());
  EXPECT_TRUE(worker.disconnected);
  EXPECT_TRUE(worker.terminationBeforeDisconnect);
  EXPECT_TRUE(worker.lastStepRan);                               // the wait served it...
  EXPECT_EQ(worker.lastStepThread, std::this_thread::get_id());  // ...on this thread
  EXPECT_TRUE(worker.Finished());  // Cancel returned only after the end-of-work step
  EXPECT_TRUE(form.canUpdate);
}

TEST_F(WorkerTest, CancelWhileIdleDoesNothing) {
  form.CancelNormalClick();  // no worker ever started

  form.StartPatchWorker(false);
  made[0]->release = true;
  ui.ServeUntil([&] { return made[0]->Finished(); });
  ASSERT_TRUE(form.canUpdate);
  form.CancelNormalClick();
  EXPECT_FALSE(made[0]->TerminationRequested());
  EXPECT_FALSE(made[0]->disconnected);
}

// A self-update worker that waits, without any step, until the test lets it end.
class WaitingSelfUpdate : public VersionDownloader {
 public:
  using VersionDownloader::VersionDownloader;
  std::atomic<bool> release{false};
  std::atomic<bool> disconnected{false};
  void DisconnectHttp() override { disconnected = true; }

 protected:
  void Execute() override {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!release && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};

TEST_F(WorkerTest, CancelLeavesTheSelfUpdateAlone) {
  std::shared_ptr<WaitingSelfUpdate> selfUpdate;
  TFormUpdater updating(view, ui, {{}, [&](LauncherInterface& launcher) {
                                     selfUpdate = std::make_shared<WaitingSelfUpdate>(launcher);
                                     return selfUpdate;
                                   }});
  updating.canUpdate = true;
  updating.StartSelfUpdate();
  EXPECT_FALSE(updating.canUpdate);

  updating.CancelNormalClick();  // must return at once: the self-update never ends by itself here

  EXPECT_FALSE(selfUpdate->TerminationRequested());
  EXPECT_FALSE(selfUpdate->disconnected);
  selfUpdate->release = true;
  ui.ServeUntil([&] { return selfUpdate->Finished(); });
  EXPECT_TRUE(updating.canUpdate);  // its end-of-work opens the gate
}

// The real self-update, stalled in its transfer: Cancel leaves its connection alone, closing
// the window (the form's destructor) drops it, so the close does not wait out the transfer.
TEST_F(WorkerTest, ClosingTheWindowDropsAStalledSelfUpdateWhichCancelLeavesAlone) {
  test::TempDir profile;
  std::atomic<bool> stalled{false}, cancelled{false}, closedAfterCancel{true},
      checkedAfterCancel{false}, closedByClient{false};
  test::LoopbackServer server([&](test::LoopbackConnection& c, int) {
    c.ReadRequest();
    c.Send(
        "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n\x7f"
        "ELF");
    stalled = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!cancelled && std::chrono::steady_clock::now() < deadline) c.Sleep(1ms);
    closedAfterCancel = c.WaitForClientClose(300ms);
    checkedAfterCancel = true;
    // Far less than the client's own idle time-out: only a disconnect closes it in time.
    closedByClient = c.WaitForClientClose(10s);
  });
  auto updating = std::make_unique<TFormUpdater>(view, ui);  // the real workers
  updating->currentUpdaterVersion = 1;
  updating->version = 2;
  updating->exeName = "KestruneUpdater.exe";
  updating->dirUserProfile = profile.path().string();
  updating->updaterURL = server.Url("/KestruneUpdater.exe");
  updating->canUpdate = true;
  updating->StartSelfUpdate();
  ui.ServeUntil([&] { return stalled.load(); });

  updating->CancelNormalClick();
  cancelled = true;
  ui.ServeUntil([&] { return checkedAfterCancel.load(); });
  EXPECT_FALSE(updating->thv->Finished());
  updating.reset();  // serves the worker's last steps until it has ended

  const std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  // The server script is still waiting when the form is gone; let it see the close.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!closedByClient && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(closedAfterCancel);
  EXPECT_TRUE(closedByClient);
  EXPECT_TRUE(std::filesystem::is_empty(profile.path()));
}

}  // namespace
}  // namespace kestrune
