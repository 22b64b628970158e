#pragma once
// The launcher's one window: frameless, per-pixel transparent, its controls built from the
// control table. It implements the View of TFormUpdater and hands every mouse event of a
// control to a handler (TFormUpdater::OnMouse). User-interface thread only.

#include <QPixmap>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>

#include "ControlTable.h"
#include "MainForm.h"
#include "View.h"

class QLabel;
class QVariantAnimation;

namespace kestrune {

inline constexpr const char* kWindowCaption = "KestruneLands Updater";

// An image control: its picture (or none) drawn at its opacity; the whole rectangle takes
// the mouse, even without a picture.
class ImageControl final : public QWidget {
 public:
  ImageControl(Control id, QPixmap picture, QWidget* parent);

  Control id() const { return id_; }
  qreal opacity() const { return opacity_; }
  const QPixmap& picture() const { return picture_; }
  void SetOpacity(qreal value);
  // A running fade first jumps to its target; then a linear fade from here.
  void FadeTo(qreal target, double seconds);

  std::function<void(Control, MouseEvent, float, float)> handler;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void Send(MouseEvent event, QPointF at = {});

  Control id_;
  QPixmap picture_;
  qreal opacity_ = 1;
  QVariantAnimation* fade_;  // owned by this widget
  bool primaryDown_ = false;
};

// A progress bar: its fill tiled over [0, width) x [0, height), growing to the right.
class BarControl final : public QWidget {
 public:
  BarControl(QPixmap fill, int height, QWidget* parent);
  float barWidth() const { return width_; }
  void SetWidth(float width);

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QPixmap fill_;
  float width_ = 0;
};

class LauncherWindow final : public QWidget, public View {
 public:
  // Builds the controls from the table and pictures in the resources. Throws
  // std::runtime_error when they are missing or malformed.
  LauncherWindow();

  // Where the mouse goes; until set, nowhere.
  void SetHandler(std::function<void(Control, MouseEvent, float, float)> handler);
  // Centres the window on its screen.
  void CenterOnScreen();

  // The widget of a control, for the program and for tests.
  QWidget* widget(Control control) const { return widgets_[Index(control)]; }
  ImageControl* image(Control control) const;
  BarControl* bar(Control control) const;
  QLabel* status() const { return status_; }
  QLabel* transfer() const { return transfer_; }

  // View.
  void FadeTo(Control image, float opacity, double seconds) override;
  void SetVisible(Control control, bool visible) override;
  void SetBarWidth(Control bar, float width) override;
  // Shows the transfer line beside the bars, timed from the transfer's first notification.
  void SetTransferText(const std::string& text) override;
  // Too long for the label, the text ends in "…" and is whole in the label's tooltip.
  void SetStatusText(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  void Minimize() override;
  void Close() override;
  WindowPosition Position() const override;
  void MoveTo(WindowPosition position) override;

 protected:
  // Shows the status label's tooltip: the label itself lets the mouse through.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  static std::size_t Index(Control c) { return static_cast<std::size_t>(c); }

  std::array<QWidget*, static_cast<std::size_t>(Control::ForumNormal) + 1> widgets_{};
  QLabel* status_ = nullptr;
  QLabel* transfer_ = nullptr;
};

}  // namespace kestrune
