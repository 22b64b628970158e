// The image buttons' fade rules, dragging by the background, and the actions behind the
// buttons (client start, patch runs, web links), against the recording view.

#include <gtest/gtest.h>

#include <filesystem>

#include "LauncherTestSupport.h"
#include "MainForm.h"
#include "Platform.h"

namespace kestrune {
namespace {

using test::ControlledPatchWorker;
using test::GameFolder;
using test::RecordingView;
using C = Control;
using E = MouseEvent;

struct Fade {
  C image;
  float opacity;
  double seconds;
};

struct FadeRow {
  const char* name;
  C control;
  E event;
  std::vector<Fade> fades;
};

// Copied from the button table by hand: 0.2 unless a row says 0.005.
const std::vector<FadeRow> kFadeRows = {
    {"StartEnter", C::StartNormal, E::Enter, {{C::StartNormal, 0, 0.2}, {C::StartHover, 1, 0.2}}},
    {"StartLeave",
     C::StartNormal,
     E::Leave,
     {{C::StartNormal, 1, 0.2}, {C::StartHover, 0, 0.2}, {C::StartPress, 0, 0.2}}},
    {"StartDown", C::StartNormal, E::Down, {{C::StartPress, 1, 0.2}}},
    {"StartUp", C::StartNormal, E::Up, {{C::StartPress, 0, 0.2}}},
    {"UpdateEnter",
     C::UpdateNormal,
     E::Enter,
     {{C::UpdateNormal, 0, 0.2}, {C::UpdateHover, 1, 0.005}}},
    {"UpdateLeave",
     C::UpdateNormal,
     E::Leave,
     {{C::UpdateNormal, 1, 0.005}, {C::UpdateHover, 0, 0.2}, {C::UpdatePress, 0, 0.2}}},
    {"UpdateDown", C::UpdateNormal, E::Down, {{C::UpdatePress, 1, 0.2}}},
    {"CancelEnter",
     C::CancelNormal,
     E::Enter,
     {{C::CancelNormal, 0, 0.2}, {C::CancelHover, 1, 0.005}}},
    {"CancelLeave",
     C::CancelNormal,
     E::Leave,
     {{C::CancelNormal, 1, 0.005}, {C::CancelHover, 0, 0.2}, {C::CancelPress, 0, 0.2}}},
    {"CancelDown", C::CancelNormal, E::Down, {{C::CancelPress, 1, 0.2}}},
    {"CancelUp", C::CancelNormal, E::Up, {{C::CancelPress, 0, 0.2}}},
    {"CloseEnter", C::CloseNormal, E::Enter, {{C::CloseHover, 1, 0.2}}},
    {"CloseLeave", C::CloseNormal, E::Leave, {{C::CloseHover, 0, 0.2}, {C::ClosePress, 0, 0.2}}},
    {"CloseDown", C::CloseNormal, E::Down, {{C::ClosePress, 1, 0.2}}},
    {"CloseUp", C::CloseNormal, E::Up, {{C::ClosePress, 0, 0.2}}},
    {"MinimizeEnter", C::MinimizeNormal, E::Enter, {{C::MinimizeHover, 1, 0.2}}},
    {"MinimizeLeave",
     C::MinimizeNormal,
     E::Leave,
     {{C::MinimizeHover, 0, 0.2}, {C::MinimizePress, 0, 0.2}}},
    {"MinimizeDown", C::MinimizeNormal, E::Down, {{C::MinimizePress, 1, 0.2}}},
    {"MinimizeUp", C::MinimizeNormal, E::Up, {{C::MinimizePress, 0, 0.2}}},
    {"SiteEnter", C::SiteNormal, E::Enter, {{C::SiteNormal, 0, 0.2}, {C::SiteHover, 1, 0.005}}},
    {"SiteLeave",
     C::SiteNormal,
     E::Leave,
     {{C::SiteNormal, 1, 0.005}, {C::SiteHover, 0, 0.2}, {C::SitePress, 0, 0.2}}},
    {"SiteDown", C::SiteNormal, E::Down, {{C::SitePress, 1, 0.2}}},
    {"SiteUp", C::SiteNormal, E::Up, {{C::SitePress, 0, 0.005}}},
    {"ForumEnter", C::ForumNormal, E::Enter, {{C::ForumNormal, 0, 0.2}, {C::ForumHover, 1, 0.005}}},
    {"ForumLeave",
     C::ForumNormal,
     E::Leave,
     {{C::ForumNormal, 1, 0.005}, {C::ForumHover, 0, 0.2}, {C::ForumPress, 0, 0.2}}},
    {"ForumDown", C::ForumNormal, E::Down, {{C::ForumPress, 1, 0.2}}},
    {"ForumUp", C::ForumNormal, E::Up, {{C::ForumPress, 0, 0.005}}},
};

// A form whose shell opens are recorded instead of run, and whose patch runs are controlled.
struct Form : testing::Test {
  PlainUiThread ui;
  RecordingView view;
  std::vector<std::shared_ptr<ControlledPatchWorker>> workers;
  std::vector<std::pair<std::string, std::string>> opened;
  TFormUpdater form{view, ui,
                    WorkerFactories{[this](LauncherInterface& launcher) {
                                      auto w = std::make_shared<ControlledPatchWorker>(launcher);
                                      workers.push_back(w);
                                      return w;
                                    },
                                    {}}};
  Form() {
    form.shellOpen = [this](const std::string& target, const std::string& parameters) {
      opened.emplace_back(target, parameters);
      return true;
    };
  }
  ~Form() override {
    for (auto& w : workers) w->release = true;
  }
};

using LauncherButtonFades = Form;

TEST_F(LauncherButtonFades, EveryHandlerFadesItsRowInOrder) {
  // Busy, so that Update's release starts no run and the rows show only fades.
  form.canUpdate = false;
  for (const FadeRow& row : kFadeRows) {
    SCOPED_TRACE(row.name);
    view.fades.clear();
    EXPECT_TRUE(form.OnMouse(row.control, row.event));
    ASSERT_EQ(view.fades.size(), row.fades.size());
    for (std::size_t i = 0; i < row.fades.size(); ++i) {
      EXPECT_EQ(view.fades[i].image, row.fades[i].image) << i;
      EXPECT_EQ(view.fades[i].opacity, row.fades[i].opacity) << i;
      EXPECT_EQ(view.fades[i].seconds, row.fades[i].seconds) << i;
    }
  }
}

TEST_F(LauncherButtonFades, ControlsWithoutAHandlerAreRefused) {
  for (C c : {C::StartHover, C::StartDisabled, C::UpdatePress, C::Status, C::Transfer,
              C::FileProgress, C::SitePress}) {
    EXPECT_FALSE(form.OnMouse(c, E::Down));
  }
  EXPECT_FALSE(form.OnMouse(C::UpdateNormal, E::Click));  // Update acts on release only
  EXPECT_FALSE(form.OnMouse(C::MainForm, E::Enter));
  EXPECT_TRUE(view.fades.empty());
}

using LauncherDrag = Form;

TEST_F(LauncherDrag, TheGrabbedPointStaysUnderThePointerTruncatedTowardZero) {
  view.position = {200, 300};
  form.OnMouse(C::MainForm, E::Down, 100.7f, 20.2f);
  EXPECT_TRUE(form.canDrag);
  EXPECT_EQ(form._x, 100);
  EXPECT_EQ(form._y, 20);
  form.OnMouse(C::MainForm, E::Move, 130.9f, 10.0f);
  EXPECT_EQ(view.position.left, 230);
  EXPECT_EQ(view.position.top, 290);
  // The window has moved; the pointer in its new coordinates is back over the grabbed point.
  form.OnMouse(C::MainForm, E::Move, 100.2f, 20.9f);
  EXPECT_EQ(view.position.left, 230);
  EXPECT_EQ(view.position.top, 290);

  form.OnMouse(C::MainForm, E::Up);
  EXPECT_FALSE(form.canDrag);
  form.OnMouse(C::MainForm, E::Move, 500, 500);
  EXPECT_EQ(view.position.left, 230);
  EXPECT_EQ(view.position.top, 290);
}

TEST_F(LauncherDrag, NegativeCoordinatesTruncateTowardZeroNotDown) {
  view.position = {0, 0};
  form.MainFormMouseDown(-3.7f, 10.9f);
  EXPECT_EQ(form._x, -3);
  EXPECT_EQ(form._y, 10);
  form.MainFormMouseMove(-0.5f, -1.5f);  // -0 and -1
  EXPECT_EQ(view.position.left, 3);
  EXPECT_EQ(view.position.top, -11);
}

TEST_F(LauncherDrag, AMoveWithoutAPressDoesNothing) {
  view.position = {7, 9};
  form.MainFormMouseMove(50, 50);
  EXPECT_EQ(view.position.left, 7);
  EXPECT_EQ(view.position.top, 9);
}

using LauncherActions = Form;

TEST_F(LauncherActions, StartWithTheClientOpensItWithUpdaterAndMinimises) {
  GameFolder game(true);
  form.canUpdate = true;
  form.StartNormalClick();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].first, game.path() + platform::NativePath("\\system\\tarvik.exe"));
  EXPECT_EQ(opened[0].second, "-updater");
  EXPECT_EQ(view.minimized, 1);
  EXPECT_EQ(view.closed, 0);
  EXPECT_TRUE(workers.empty());
  ASSERT_FALSE(view.fades.empty());
  EXPECT_EQ(view.fades.back().image, C::StartPress);
  EXPECT_EQ(view.fades.back().opacity, 0);
  EXPECT_EQ(view.fades.back().seconds, 0.2);
}

TEST_F(LauncherActions, StartClosesAfterTheClientWhenTheSettingsSaySo) {
  GameFolder game(true);
  form.canUpdate = true;
  form.closeUpdaterAfterStartinGame = true;
  form.StartNormalClick();
  EXPECT_EQ(opened.size(), 1u);
  EXPECT_EQ(view.minimized, 1);
  EXPECT_EQ(view.closed, 1);
}

TEST_F(LauncherActions, StartWithoutTheClientStartsANormalPatchRun) {
  GameFolder game(false);
  // A folder of the client's name is not the client.
  std::filesystem::create_directory(std::filesystem::path(game.path()) / "system" / "tarvik.exe");
  form.canUpdate = true;
  form.StartNormalClick();
  EXPECT_TRUE(opened.empty());
  ASSERT_EQ(workers.size(), 1u);
  EXPECT_FALSE(workers[0]->critical);
  EXPECT_FALSE(workers[0]->verifyFiles) << "a start trusts the scan cache";
  EXPECT_FALSE(form.canUpdate);
  ui.ServeUntil([&] { return workers[0]->busyShown.load(); });
  workers[0]->release = true;
  ui.ServeUntil([&] { return workers[0]->Finished(); });
  EXPECT_TRUE(form.canUpdate);
}

TEST_F(LauncherActions, StartAndUpdateWhileBusyOnlyFade) {
  for (bool client : {true, false}) {
    GameFolder game(client);
    form.canUpdate = false;
    view.fades.clear();
    form.StartNormalClick();
    form.UpdateNormalMouseUp();
    EXPECT_TRUE(opened.empty());
    EXPECT_TRUE(workers.empty());
    EXPECT_EQ(view.minimized, 0);
    ASSERT_EQ(view.fades.size(), 2u);
    EXPECT_EQ(view.fades[0].image, C::StartPress);
    EXPECT_EQ(view.fades[1].image, C::UpdatePress);
  }
}

TEST_F(LauncherActions, UpdateReleaseStartsOneNormalRunAndASecondReleaseNone) {
  form.canUpdate = true;
  form.UpdateNormalMouseUp();
  form.UpdateNormalMouseUp();  // before the worker's first step
  ASSERT_EQ(workers.size(), 1u);
  EXPECT_FALSE(workers[0]->critical);
  EXPECT_TRUE(workers[0]->verifyFiles) << "the player's verify-files run";
}

TEST_F(LauncherActions, CloseAndMinimizeActOnRelease) {
  form.CloseNormalMouseDown();
  EXPECT_EQ(view.closed, 0);
  form.CloseNormalMouseUp();
  EXPECT_EQ(view.closed, 1);
  form.MinimizeNormalMouseDown();
  EXPECT_EQ(view.minimized, 0);
  form.MinimizeNormalMouseUp();
  EXPECT_EQ(view.minimized, 1);
}

TEST_F(LauncherActions, SiteAndForumOpenTheirHttpsLinksOnRelease) {
  form.OnMouse(C::SiteNormal, E::Down);
  EXPECT_TRUE(opened.empty());
  form.OnMouse(C::SiteNormal, E::Up);
  form.OnMouse(C::ForumNormal, E::Up);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0], std::make_pair(std::string(kSiteLink), std::string()));
  EXPECT_EQ(opened[1], std::make_pair(std::string(kForumLink), std::string()));
  for (const auto& [link, none] : opened) {
    EXPECT_EQ(link.rfind("https://", 0), 0u) << link;
    EXPECT_EQ(link.back(), '/') << link;
  }
  EXPECT_NE(opened[0].first, opened[1].first);
}

// The stand-in client is a shell script: on Windows, ShellOpen of a real program with its
// parameters in the current directory is the platform tests' (ProcessWin32Test).
#ifndef _WIN32
TEST(LauncherStartClient, RunsTheRealClientDetachedWithItsArgumentsInTheGameFolder) {
  GameFolder game(true);
  PlainUiThread ui;
  RecordingView view;
  TFormUpdater form(view, ui);
  form.canUpdate = true;
  form.StartNormalClick();
  EXPECT_EQ(game.WaitForClient(), "-updater|" + game.path());
  EXPECT_EQ(view.minimized, 1);
}

#endif

TEST(LauncherStartClient, AFailedStartStillMinimisesAndCloses) {
  GameFolder game(false);
  PlainUiThread ui;
  RecordingView view;
  TFormUpdater form(view, ui);
  form.closeUpdaterAfterStartinGame = true;
  form.shellOpen = [](const std::string&, const std::string&) -> bool {
    throw std::runtime_error("no shell");
  };
  form.StartClient();
  EXPECT_EQ(view.minimized, 1);
  EXPECT_EQ(view.closed, 1);
}

}  // namespace
}  // namespace kestrune
