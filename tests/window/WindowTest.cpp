// The Qt window on the offscreen platform: its controls against the table, fades in real
// time, layouts switched by a worker through the Qt hand-over, dragging, the Start button
// with a stand-in client, the control table reader, and screenshots for review.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QHelpEvent>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>
#include <QToolTip>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "ControlTable.h"
#include "LauncherTestSupport.h"
#include "LauncherWindow.h"
#include "MainForm.h"
#include "QtUiThread.h"

namespace kestrune {
namespace {

using test::ControlledPatchWorker;
using test::GameFolder;
using C = Control;

struct Window : testing::Test {
  QtUiThread ui{*qApp};
  LauncherWindow window;
  std::vector<std::shared_ptr<ControlledPatchWorker>> workers;
  std::unique_ptr<TFormUpdater> form;

  Window() {
    WorkerFactories factories{[this](LauncherInterface& launcher) {
                                auto w = std::make_shared<ControlledPatchWorker>(launcher);
                                workers.push_back(w);
                                return w;
                              },
                              {}};
    form = std::make_unique<TFormUpdater>(window, ui, std::move(factories));
    window.SetHandler(
        [this](Control c, MouseEvent e, float x, float y) { form->OnMouse(c, e, x, y); });
    form->canUpdate = true;
  }
  ~Window() override {
    for (auto& w : workers) w->release = true;
    form.reset();
  }

  void Show() {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  }
  // A click at a point of the window, hit-tested like a real pointer.
  void Click(QPoint at) {
    QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, at);
    QApplication::processEvents();
  }
  static QPoint Centre(QWidget* w) { return w->geometry().center(); }
  qreal Opacity(C c) const { return window.image(c)->opacity(); }
  bool Shown(C c) const { return !window.widget(c)->isHidden(); }
  QWidget* TopAt(QPoint at) const { return window.widget(C::Layout1)->childAt(at); }
};

// ---- Controls at load --------------------------------------------------------------------

using WindowControls = Window;

TEST_F(WindowControls, EveryControlIsWhereTheTableSaysWithItsLoadState) {
  struct Row {
    C control;
    int x, y, w, h;
    bool visible;
    qreal opacity;
    QSize picture;  // empty for none
  };
  const QSize big(361, 64), small(204, 38), corner(40, 60), none(0, 0);
  const Row rows[] = {
      {C::MainForm, 0, 0, 1040, 630, true, 1, QSize(1040, 630)},
      {C::StartDisabled, 346, 411, 361, 64, false, 1, big},
      {C::StartHover, 346, 411, 361, 64, true, 0, big},
      {C::StartPress, 346, 411, 361, 64, true, 0, big},
      {C::StartNormal, 346, 411, 361, 64, true, 1, none},
      {C::UpdateHover, 539, 524, 204, 38, true, 0, small},
      {C::UpdatePress, 539, 524, 204, 38, true, 0, small},
      {C::UpdateNormal, 539, 524, 204, 38, true, 1, small},
      {C::CancelHover, 759, 524, 204, 38, false, 0, small},
      {C::CancelPress, 759, 524, 204, 38, false, 0, small},
      {C::CancelNormal, 759, 524, 204, 38, false, 1, small},
      {C::CloseHover, 934, 77, 40, 60, true, 0, corner},
      {C::ClosePress, 934, 77, 40, 60, true, 0, corner},
      {C::CloseNormal, 934, 77, 40, 60, true, 1, none},
      {C::MinimizeHover, 884, 77, 40, 60, true, 0, corner},
      {C::MinimizePress, 884, 77, 40, 60, true, 0, corner},
      {C::MinimizeNormal, 884, 77, 40, 60, true, 1, none},
      {C::SiteHover, 62, 77, 40, 60, true, 0, corner},
      {C::SitePress, 62, 77, 40, 60, true, 0, none},
      {C::SiteNormal, 62, 77, 40, 60, true, 1, none},
      {C::ForumHover, 112, 77, 40, 60, true, 0, corner},
      {C::ForumPress, 112, 77, 40, 60, true, 0, none},
      {C::ForumNormal, 112, 77, 40, 60, true, 1, none},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(ControlName(r.control));
    ImageControl* image = window.image(r.control);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->geometry(), QRect(r.x, r.y, r.w, r.h));
    EXPECT_EQ(Shown(r.control), r.visible);
    EXPECT_EQ(image->opacity(), r.opacity);
    EXPECT_EQ(image->picture().size(), r.picture);
    if (!r.picture.isEmpty()) {
      EXPECT_TRUE(image->picture().hasAlphaChannel());
    }
  }
  EXPECT_EQ(window.image(C::ClosePress)->picture().toImage(),
            window.image(C::CloseHover)->picture().toImage());

  EXPECT_EQ(window.size(), QSize(1040, 630));
  EXPECT_EQ(window.widget(C::Layout1)->geometry(), QRect(0, 0, 1040, 630));
  EXPECT_EQ(window.windowTitle(), "KestruneLands Updater");
  // The taskbar's picture, compiled in.
  ASSERT_FALSE(window.windowIcon().isNull());
  const QImage icon(KESTRUNE_ASSETS "/pictures/icon.png");
  EXPECT_EQ(window.windowIcon()
                .pixmap(icon.size())
                .toImage()
                .convertToFormat(QImage::Format_ARGB32_Premultiplied),
            icon.convertToFormat(QImage::Format_ARGB32_Premultiplied));
  EXPECT_TRUE(window.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(window.testAttribute(Qt::WA_TranslucentBackground));

  QLabel* status = window.status();
  EXPECT_EQ(status, window.widget(C::Status));
  EXPECT_EQ(status->geometry(), QRect(90, 497, 417, 24));
  EXPECT_TRUE(status->text().isEmpty());
  EXPECT_EQ(status->palette().color(QPalette::WindowText), QColor(220, 220, 220));
  EXPECT_EQ(status->font().pixelSize(), 14);
  EXPECT_EQ(QFontInfo(status->font()).family(), "Liberation Sans");  // Arial's stand-in

  for (C bar : {C::FileProgress, C::TotalProgress}) {
    SCOPED_TRACE(ControlName(bar));
    EXPECT_EQ(window.widget(bar)->geometry(),
              QRect(95, bar == C::FileProgress ? 529 : 553, 409, 4));
    EXPECT_EQ(window.bar(bar)->barWidth(), 409);
  }
}

TEST_F(WindowControls, LaterRowsTakeTheMouseAndLabelAndBarsLetItThrough) {
  struct Hit {
    QPoint at;
    C top;
  };
  for (const Hit h : {Hit{{500, 440}, C::StartNormal}, Hit{{600, 540}, C::UpdateNormal},
                      Hit{{950, 100}, C::CloseNormal}, Hit{{900, 100}, C::MinimizeNormal},
                      Hit{{80, 100}, C::SiteNormal}, Hit{{130, 100}, C::ForumNormal},
                      Hit{{100, 505}, C::MainForm}, Hit{{200, 530}, C::MainForm},
                      Hit{{800, 540}, C::MainForm}, Hit{{5, 5}, C::MainForm}}) {
    EXPECT_EQ(TopAt(h.at), window.widget(h.top)) << ControlName(h.top);
  }
}

TEST_F(WindowControls, BarsTileTheirFillToAnyWidthFromTheLeftEdge) {
  BarControl* bar = window.bar(C::FileProgress);
  window.SetBarWidth(C::FileProgress, 0);
  EXPECT_EQ(bar->geometry(), QRect(95, 529, 0, 4));
  window.SetBarWidth(C::FileProgress, 100.5f);
  EXPECT_EQ(bar->barWidth(), 100.5f);
  EXPECT_EQ(bar->geometry(), QRect(95, 529, 101, 4));
  window.SetBarWidth(C::FileProgress, 600);  // not clamped
  EXPECT_EQ(bar->geometry(), QRect(95, 529, 600, 4));
  const QImage drawn = bar->grab().toImage();
  const QImage fill = window.bar(C::TotalProgress)->grab().toImage();
  // Beyond the track the fill repeats: column 409 + k looks like column k.
  for (int k : {0, 5, 100}) EXPECT_EQ(drawn.pixel(409 + k, 1), fill.pixel(k, 1)) << k;
}

// ---- What the labels say ------------------------------------------------------------------

using WindowTexts = Window;

TEST_F(WindowTexts, TheTransferLineShowsBesideTheBarsUntilTheFileBarEmpties) {
  QLabel* line = window.transfer();
  EXPECT_EQ(line, window.widget(C::Transfer));
  EXPECT_EQ(line->geometry(), QRect(140, 536, 364, 14));
  EXPECT_TRUE(line->text().isEmpty());
  form->setLanguage(1);
  form->ShowTransfer(1'000'000, 97'000'000);
  EXPECT_EQ(line->text(), "1.0 of 97.0 MB");  // the first count starts the clock
  QTest::qWait(120);
  form->ShowTransfer(2'000'000, 97'000'000);
  const QString timed = line->text();
  EXPECT_TRUE(timed.startsWith("2.0 of 97.0 MB · ")) << timed.toStdString();
  EXPECT_TRUE(timed.contains("/s · ")) << "rate and time left: " << timed.toStdString();
  // A count that went back is a new transfer with a clock of its own.
  form->ShowTransfer(100'000, 3'000'000);
  EXPECT_EQ(line->text(), "0.1 of 3.0 MB");

  form->SetBarWidth(Bar::File, 0);
  EXPECT_TRUE(line->text().isEmpty());
  form->setLanguage(0);
  form->ShowTransfer(500'000, 0);
  EXPECT_EQ(line->text(), "500,0 КБ");  // no rate: the emptied bar ended the last one
  form->SetBarWidth(Bar::File, 0);
  form->setLanguage(2);
  form->ShowTransfer(500'000, 0);
  EXPECT_TRUE(line->text().isEmpty());
}

TEST_F(WindowTexts, AStatusTooLongForTheLabelEndsInAnEllipsisAndFits) {
  QLabel* status = window.status();
  const QString text =
      QString::fromUtf8("Скачиваю data\\maps\\северные_земли\\крепость_у_перевала_ветров.map.lzma");
  window.SetStatusText(text.toStdString());
  const QString shown = status->text();
  ASSERT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
  EXPECT_TRUE(text.startsWith(shown.chopped(1))) << "cut between letters";
  EXPECT_LE(status->fontMetrics().horizontalAdvance(shown), status->contentsRect().width());
  EXPECT_GT(status->fontMetrics().horizontalAdvance(text), status->contentsRect().width());
  EXPECT_EQ(status->toolTip(), text);
  // The label lets the mouse through to the background, which shows the whole text.
  Show();
  const QPoint over(150, 509);
  QHelpEvent help(QEvent::ToolTip, over, window.mapToGlobal(over));
  QApplication::sendEvent(window.widget(C::MainForm), &help);
  EXPECT_EQ(QToolTip::text(), text);
  QToolTip::hideText();

  window.SetStatusText("Updater is ready to work.");
  EXPECT_EQ(status->text(), "Updater is ready to work.");
  EXPECT_TRUE(status->toolTip().isEmpty());
}

// ---- Fades ------------------------------------------------------------------------------

using WindowFades = Window;

TEST_F(WindowFades, LeavingUpdateMidFadeFinishesItThenCrossFadesBack) {
  Show();
  QWidget* normal = window.widget(C::UpdateNormal);
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QApplication::sendEvent(normal, &enter);
  QTest::qWait(100);
  EXPECT_GT(Opacity(C::UpdateNormal), 0.1);  // halfway through 0.2 s
  EXPECT_LT(Opacity(C::UpdateNormal), 0.9);
  EXPECT_EQ(Opacity(C::UpdateHover), 1);  // 0.005 s is long over

  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(normal, &leave);
  EXPECT_EQ(Opacity(C::UpdateNormal), 0);  // the running fade ended at its target
  QTest::qWait(40);
  EXPECT_EQ(Opacity(C::UpdateNormal), 1);
  EXPECT_GT(Opacity(C::UpdateHover), 0);
  EXPECT_LT(Opacity(C::UpdateHover), 1);
  QTest::qWait(250);
  EXPECT_EQ(Opacity(C::UpdateHover), 0);
}

TEST_F(WindowFades, PressAndReleaseOfThePointerReachTheHandlers) {
  Show();
  const QPoint site = Centre(window.widget(C::SiteNormal));
  QTest::mousePress(window.windowHandle(), Qt::LeftButton, {}, site);
  QTest::qWait(300);
  EXPECT_EQ(Opacity(C::SitePress), 1);
  std::vector<std::string> opened;
  form->shellOpen = [&](const std::string& target, const std::string&) {
    opened.push_back(target);
    return true;
  };
  QTest::mouseRelease(window.windowHandle(), Qt::LeftButton, {}, site);
  QTest::qWait(30);
  EXPECT_EQ(Opacity(C::SitePress), 0);
  EXPECT_EQ(opened, std::vector<std::string>{kSiteLink});
}

// ---- Layouts ----------------------------------------------------------------------------

using WindowLayouts = Window;

TEST_F(WindowLayouts, AWorkerShowsTheBusyLayoutAndCancelReturnsToIdle) {
  Show();
  Click(Centre(window.widget(C::UpdateNormal)));
  ASSERT_EQ(workers.size(), 1u);
  ASSERT_TRUE(QTest::qWaitFor([&] { return workers[0]->busyShown.load(); }));
  EXPECT_FALSE(form->canUpdate);
  for (C c : {C::StartDisabled, C::CancelNormal, C::CancelHover, C::CancelPress})
    EXPECT_TRUE(Shown(c)) << ControlName(c);
  for (C c : {C::StartNormal, C::StartHover, C::StartPress, C::UpdateNormal, C::UpdateHover,
              C::UpdatePress})
    EXPECT_FALSE(Shown(c)) << ControlName(c);
  // Start shows its disabled picture and takes no clicks.
  const QPoint start = Centre(window.widget(C::StartNormal));
  EXPECT_EQ(TopAt(start), window.widget(C::StartDisabled));
  Click(start);
  EXPECT_EQ(workers.size(), 1u);

  Click(Centre(window.widget(C::CancelNormal)));
  // Cancel waited for the worker, serving its last step.
  EXPECT_TRUE(workers[0]->lastStepRan);
  EXPECT_TRUE(workers[0]->Finished());
  EXPECT_TRUE(form->canUpdate);
  for (C c : {C::StartNormal, C::UpdateNormal}) EXPECT_TRUE(Shown(c)) << ControlName(c);
  for (C c : {C::StartDisabled, C::CancelNormal}) EXPECT_FALSE(Shown(c)) << ControlName(c);
}

// Update and Cancel draw their resting looks themselves over empty sockets in the
// background, so a hidden one leaves no button behind; Play rests in the background.
TEST_F(WindowLayouts, OnlyTheButtonsThatActAreDrawn) {
  Show();
  const QImage background = window.image(C::MainForm)
                                ->picture()
                                .toImage()
                                .convertToFormat(QImage::Format_ARGB32_Premultiplied);
  const auto cut = [](const QImage& image, QRect r) {
    return image.copy(r).convertToFormat(QImage::Format_ARGB32_Premultiplied);
  };
  const auto socket = [&](C c) { return cut(background, window.widget(c)->geometry()); };
  const auto button = [&](C c) {
    QImage drawn = socket(c);
    QPainter(&drawn).drawPixmap(0, 0, window.image(c)->picture());
    return drawn;
  };
  const auto at = [&](const QImage& shot, C c) { return cut(shot, window.widget(c)->geometry()); };
  // Not only the antialiased corners: most of the place differs when the button is drawn.
  const auto differing = [](const QImage& a, const QImage& b) {
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
      for (int x = 0; x < a.width(); ++x) n += a.pixel(x, y) != b.pixel(x, y);
    return n;
  };
  for (C c : {C::UpdateNormal, C::CancelNormal}) {
    const QImage place = socket(c);
    EXPECT_GT(differing(place, button(c)), place.width() * place.height() / 2)
        << ControlName(c) << " rests in the background";
  }

  const QImage idle = window.grab().toImage();
  EXPECT_EQ(at(idle, C::UpdateNormal), button(C::UpdateNormal));
  EXPECT_EQ(at(idle, C::CancelNormal), socket(C::CancelNormal));
  EXPECT_EQ(at(idle, C::StartNormal), socket(C::StartNormal));

  form->ApplyBusyLayout();
  const QImage busy = window.grab().toImage();
  EXPECT_EQ(at(busy, C::UpdateNormal), socket(C::UpdateNormal));
  EXPECT_EQ(at(busy, C::CancelNormal), button(C::CancelNormal));
  EXPECT_EQ(at(busy, C::StartNormal), button(C::StartDisabled));

  form->ApplyIdleLayout();
  EXPECT_EQ(at(window.grab().toImage(), C::CancelNormal), socket(C::CancelNormal));
}

TEST(WindowUiThread, AStepFromAWorkerRunsOnTheGuiThreadAndItsErrorComesBack) {
  QtUiThread ui(*qApp);
  std::thread::id ranOn;
  bool threw = false;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    ui.run([&] { ranOn = std::this_thread::get_id(); });
    try {
      ui.run([] { throw std::runtime_error("refused"); });
    } catch (const std::runtime_error&) {
      threw = true;
    }
    done = true;
  });
  ui.ServeUntil([&] { return done.load(); });
  worker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(threw);
}

// ---- Drag -------------------------------------------------------------------------------

using WindowDrag = Window;

TEST_F(WindowDrag, TheBackgroundMovesTheWindowByTheTruncatedPointer) {
  Show();
  window.move(200, 300);
  ASSERT_EQ(window.pos(), QPoint(200, 300));
  QWidget* background = window.widget(C::MainForm);
  const auto send = [&](QEvent::Type type, QPointF at, Qt::MouseButtons buttons) {
    QMouseEvent e(type, at, window.mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(background, &e);
  };
  send(QEvent::MouseButtonPress, {100.7, 20.2}, Qt::LeftButton);
  send(QEvent::MouseMove, {130.9, 10.0}, Qt::LeftButton);
  EXPECT_EQ(window.pos(), QPoint(230, 290));
  send(QEvent::MouseButtonRelease, {100.0, 20.0}, Qt::NoButton);
  EXPECT_FALSE(form->canDrag);
  send(QEvent::MouseMove, {300.0, 300.0}, Qt::NoButton);
  EXPECT_EQ(window.pos(), QPoint(230, 290));
}

// ---- Start ------------------------------------------------------------------------------

using WindowStart = Window;

TEST_F(WindowStart, WithTheClientItRunsInTheGameFolderAndTheWindowMinimises) {
  GameFolder game(true);
  Show();
  Click(Centre(window.widget(C::StartNormal)));
  EXPECT_EQ(game.WaitForClient(), "-updater|" + game.path());
  EXPECT_TRUE(window.isMinimized());
  EXPECT_TRUE(workers.empty());
}

TEST_F(WindowStart, ClosesAfterTheClientWhenTheSettingsSaySo) {
  GameFolder game(true);
  form->closeUpdaterAfterStartinGame = true;
  Show();
  Click(Centre(window.widget(C::StartNormal)));
  EXPECT_EQ(game.WaitForClient(), "-updater|" + game.path());
  EXPECT_FALSE(window.isVisible());
}

TEST_F(WindowStart, WithoutTheClientAPatchRunStarts) {
  GameFolder game(false);
  Show();
  Click(Centre(window.widget(C::StartNormal)));
  ASSERT_EQ(workers.size(), 1u);
  EXPECT_FALSE(workers[0]->critical);
  EXPECT_TRUE(QTest::qWaitFor([&] { return Shown(C::StartDisabled); }));
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
}

TEST_F(WindowStart, WhileAWorkerRunsNothingStarts) {
  GameFolder game(true);
  Show();
  form->canUpdate = false;  // a worker started but has not shown the busy layout yet
  Click(Centre(window.widget(C::StartNormal)));
  EXPECT_EQ(game.WaitForClient(std::chrono::milliseconds(300)), "");
  EXPECT_TRUE(workers.empty());
  EXPECT_FALSE(window.isMinimized());
}

TEST_F(WindowStart, CloseEndsTheWindowWithoutWaitingForTheWorker) {
  Show();
  form->StartPatchWorker(false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return workers[0]->busyShown.load(); }));
  Click(Centre(window.widget(C::CloseNormal)));
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(workers[0]->Finished());
}

// ---- The control table reader -------------------------------------------------------------

TEST(WindowControlTable, TheShippedTableListsEveryControlOnceInOrder) {
  const std::string text = test::ReadFile(std::string(KESTRUNE_ASSETS) + "/controls.csv");
  const auto rows = ParseControlTable(text);
  ASSERT_EQ(rows.size(), 28u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].control, static_cast<Control>(i)) << i;
  }
}

TEST(WindowControlTable, MalformedRowsAreRefusedWithTheirLine) {
  const std::string header = "name,kind,x,y,w,h,visible,opacity,picture\n";
  const std::string good = test::ReadFile(std::string(KESTRUNE_ASSETS) + "/controls.csv");
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {header + "Nobody,image,0,0,1,1,1,1,-\n", "line 2: unknown control"},
      {header + "MainForm,sprite,0,0,1,1,1,1,-\n", "line 2: unknown kind"},
      {header + "MainForm,image,0,0,1,1,1,1\n", "line 2: expected 9 fields"},
      {header + "MainForm,image,0,x,1,1,1,1,-\n", "line 2: malformed number"},
      {header + "MainForm,image,0,0,-1,1,1,1,-\n", "line 2: value out of range"},
      {header + "MainForm,image,0,0,1,1,2,1,-\n", "line 2: value out of range"},
      {header + "FileProgress,bar,0,0,1,1,1,1,-\n", "line 2: a bar needs a fill"},
      {good + "MainForm,image,0,0,1,1,1,1,-\n", "listed twice"},
      {header, "lacks Layout1"},
  };
  for (const Case& c : cases) {
    try {
      ParseControlTable(c.text);
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

// ---- Screenshots --------------------------------------------------------------------------

using WindowScreenshots = Window;

TEST_F(WindowScreenshots, OfTheIdleAndTheBusyWindow) {
  QDir().mkpath(KESTRUNE_SCREENSHOT_DIR);
  window.SetStatusText("Ready to play.");
  Show();
  const QImage idle = window.grab().toImage();
  ASSERT_EQ(idle.size(), QSize(1040, 630));
  EXPECT_EQ(qAlpha(idle.pixel(2, 2)), 0);     // transparent corner
  EXPECT_EQ(qAlpha(idle.pixel(520, 20)), 0);  // the band along the top
  EXPECT_EQ(qAlpha(idle.pixel(520, 300)), 255);
  ASSERT_TRUE(idle.save(KESTRUNE_SCREENSHOT_DIR "/window-idle.png"));

  form->ApplyBusyLayout();
  form->SetBarWidth(Bar::File, 409 * 0.62f);
  form->SetBarWidth(Bar::Total, 409 * 0.35f);
  form->setLanguage(1);  // shows the text of the status code, replaced below
  form->SetStatusText("Download data\\maps\\kestrune.map.lzma");
  form->ShowTransfer(4'000'000, 97'000'000);
  QTest::qWait(300);
  form->ShowTransfer(12'300'000, 97'000'000);
  const QImage busy = window.grab().toImage();
  ASSERT_TRUE(busy.save(KESTRUNE_SCREENSHOT_DIR "/window-busy.png"));
  // The file bar ends where its width says; the track beyond it is empty.
  const QRgb filled = busy.pixel(95 + 200, 530);
  const QRgb empty = busy.pixel(95 + 300, 530);
  EXPECT_NE(filled, empty);
  EXPECT_NE(idle.pixel(95 + 300, 530), empty);                      // full at load
  EXPECT_NE(busy.pixelColor(500, 440), idle.pixelColor(500, 440));  // the disabled Start
}

// The looks that the Windows window's run under Wine is held against, in states that run
// reaches: up to date, slowed down with one of two files done, cancelled, updated. The copies
// in tests/data/window must still be what this window draws (outside the labels, whose fonts
// vary between machines); a change of the pictures or the table shows up here first.
TEST_F(WindowScreenshots, OfTheLooksTheWindowsWindowIsHeldAgainst) {
  struct Look {
    const char* file;
    bool busy;
    const char* status;
    float fileBar, totalBar;
  };
  const Look looks[] = {
      {"window-idle.png", false, "Your patch is up to date.", 0, 0},
      {"window-busy.png", true, "Extract : small.bin.lzma", 409 * 0.62f, 409 / 2.0f},
      {"window-cancelled.png", false, "You canceled Updates.", 0, 0},
      {"window-updated.png", false, "All files were successfully updated!", 0, 0},
  };
  const QRect labels[] = {QRect(90, 497, 417, 24), QRect(140, 536, 364, 14)};
  const QString folder = KESTRUNE_SCREENSHOT_DIR "/reference";
  QDir().mkpath(folder);
  form->setLanguage(1);
  Show();
  for (const Look& look : looks) {
    SCOPED_TRACE(look.file);
    if (look.busy) {
      form->ApplyBusyLayout();
    } else {
      form->ApplyIdleLayout();
    }
    form->SetBarWidth(Bar::File, look.fileBar);
    form->SetBarWidth(Bar::Total, look.totalBar);
    form->SetStatusText(look.status);
    if (look.busy) form->ShowTransfer(4'960'000, 8'000'400);
    QApplication::processEvents();
    const QImage shot = window.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_TRUE(shot.save(folder + "/" + look.file));
    const QImage committed = QImage(QString(KESTRUNE_WINDOW_REFERENCES "/") + look.file)
                                 .convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(committed.size(), shot.size())
        << "copy " << folder.toStdString() << "/" << look.file << " to tests/data/window";
    int differing = 0;
    for (int y = 0; y < shot.height(); ++y) {
      for (int x = 0; x < shot.width(); ++x) {
        const bool label = std::any_of(std::begin(labels), std::end(labels),
                                       [&](const QRect& r) { return r.contains(x, y); });
        if (!label && shot.pixel(x, y) != committed.pixel(x, y)) ++differing;
      }
    }
    EXPECT_EQ(differing, 0) << "tests/data/window/" << look.file << " is not what the window "
                            << "draws now: copy " << folder.toStdString() << "/" << look.file;
  }
}

}  // namespace
}  // namespace kestrune
