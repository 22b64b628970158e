#include "LauncherWindow.h"

#include <QEnterEvent>
#include <QFile>
#include <QHelpEvent>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QToolTip>
#include <QVariantAnimation>
#include <cmath>
#include <stdexcept>

// Widgets here are created with `new` and a parent, which owns and deletes them (Qt's idiom).

namespace kestrune {

namespace {

const char* const kTableResource = ":/kestrune/controls.csv";
const char* const kIconResource = ":/kestrune/pictures/icon.png";

QLabel* MakeLabel(QWidget* parent, int pixelSize, QColor colour, Qt::Alignment alignment) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setAttribute(Qt::WA_TransparentForMouseEvents);
  label->setAlignment(alignment);
  QFont font("Arial");
  font.setPixelSize(pixelSize);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
  return label;
}

// Cut to the label's width at a letter boundary, ending in "…"; the whole text goes to the
// tooltip when it was cut.
void SetElidedText(QLabel* label, const QString& text) {
  const QString shown =
      label->fontMetrics().elidedText(text, Qt::ElideRight, label->contentsRect().width());
  label->setText(shown);
  label->setToolTip(shown == text ? QString() : text);
}

QPixmap LoadPicture(const std::string& name) {
  if (name.empty()) return {};
  QPixmap picture(QString::fromStdString(":/kestrune/pictures/" + name));
  if (picture.isNull()) throw std::runtime_error("missing picture " + name);
  return picture;
}

}  // namespace

ImageControl::ImageControl(Control id, QPixmap picture, QWidget* parent)
    : QWidget(parent), id_(id), picture_(std::move(picture)), fade_(new QVariantAnimation(this)) {
  QObject::connect(fade_, &QVariantAnimation::valueChanged, this,
                   [this](const QVariant& value) { SetOpacity(value.toReal()); });
}

void ImageControl::SetOpacity(qreal value) {
  if (value == opacity_) return;
  opacity_ = value;
  update();
}

void ImageControl::FadeTo(qreal target, double seconds) {
  if (fade_->state() == QAbstractAnimation::Running) {
    const qreal end = fade_->endValue().toReal();
    fade_->stop();
    SetOpacity(end);
  }
  fade_->setStartValue(opacity_);
  fade_->setEndValue(target);
  fade_->setDuration(std::max(0, static_cast<int>(std::lround(seconds * 1000))));
  fade_->start();
}

void ImageControl::paintEvent(QPaintEvent*) {
  if (picture_.isNull() || opacity_ <= 0) return;
  QPainter painter(this);
  painter.setOpacity(opacity_);
  painter.drawPixmap(0, 0, picture_);
}

void ImageControl::Send(MouseEvent event, QPointF at) {
  if (handler) handler(id_, event, static_cast<float>(at.x()), static_cast<float>(at.y()));
}

void ImageControl::enterEvent(QEnterEvent*) {
  Send(MouseEvent::Enter);
}
void ImageControl::leaveEvent(QEvent*) {
  Send(MouseEvent::Leave);
}

// Images take every press, handled or not, so a press never falls through to the container.
void ImageControl::mousePressEvent(QMouseEvent* event) {
  event->accept();
  if (event->button() == Qt::LeftButton) primaryDown_ = true;
  Send(MouseEvent::Down, event->position());
}

void ImageControl::mouseMoveEvent(QMouseEvent* event) {
  event->accept();
  Send(MouseEvent::Move, event->position());
}

void ImageControl::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
  const bool click = primaryDown_ && event->button() == Qt::LeftButton &&
                     rect().contains(event->position().toPoint());
  if (event->button() == Qt::LeftButton) primaryDown_ = false;
  Send(MouseEvent::Up, event->position());
  if (click) Send(MouseEvent::Click, event->position());
}

BarControl::BarControl(QPixmap fill, int height, QWidget* parent)
    : QWidget(parent), fill_(std::move(fill)) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setFixedHeight(height);
}

void BarControl::SetWidth(float width) {
  width_ = width;
  // The widget is only a clip; the float width is what is painted.
  resize(std::max(0, static_cast<int>(std::ceil(width))), height());
  update();
}

void BarControl::paintEvent(QPaintEvent*) {
  if (width_ <= 0) return;
  QPainter painter(this);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QBrush(fill_));
  painter.drawRect(QRectF(0, 0, width_, height()));
}

LauncherWindow::LauncherWindow() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
  setAttribute(Qt::WA_TranslucentBackground);
  setWindowTitle(QString::fromUtf8(kWindowCaption));

  QFile file(kTableResource);
  if (!file.open(QIODevice::ReadOnly)) throw std::runtime_error("missing control table");
  const QByteArray bytes = file.readAll();
  const auto rows = ParseControlTable(std::string_view(bytes.constData(), bytes.size()));

  QWidget* layout = nullptr;
  for (const ControlRow& row : rows) {
    QWidget* w = nullptr;
    QWidget* parent = layout ? layout : this;
    switch (row.kind) {
      case ControlKind::Container:
        w = layout = new QWidget(this);
        break;
      case ControlKind::Image: {
        auto* image = new ImageControl(row.control, LoadPicture(row.picture), parent);
        image->SetOpacity(row.opacity);
        w = image;
        break;
      }
      case ControlKind::Label:
        if (row.control == Control::Transfer) {
          // Small and warm like the bars' own captions, against the right end of the bars.
          w = transfer_ =
              MakeLabel(parent, 11, QColor(214, 196, 150), Qt::AlignRight | Qt::AlignVCenter);
        } else {
          w = status_ =
              MakeLabel(parent, 14, QColor(220, 220, 220), Qt::AlignLeft | Qt::AlignVCenter);
        }
        break;
      case ControlKind::Bar:
        w = new BarControl(LoadPicture(row.picture), row.height, parent);
        break;
    }
    w->setGeometry(row.x, row.y, row.width, row.height);
    if (row.kind == ControlKind::Bar) static_cast<BarControl*>(w)->SetWidth(row.width);
    w->setVisible(row.visible);
    widgets_[Index(row.control)] = w;
  }
  if (!status_ || !transfer_ || !layout) {
    throw std::runtime_error("control table lacks a label or the container");
  }
  setFixedSize(layout->size());
  const QIcon icon(kIconResource);
  if (icon.isNull()) throw std::runtime_error("missing window icon");
  setWindowIcon(icon);
  widget(Control::MainForm)->installEventFilter(this);
}

bool LauncherWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::ToolTip || watched != widget(Control::MainForm)) return false;
  const auto* help = static_cast<QHelpEvent*>(event);
  if (status_->isVisible() && status_->geometry().contains(help->pos()) &&
      !status_->toolTip().isEmpty()) {
    QToolTip::showText(help->globalPos(), status_->toolTip(), status_);
  } else {
    QToolTip::hideText();
  }
  return true;
}

void LauncherWindow::SetHandler(std::function<void(Control, MouseEvent, float, float)> handler) {
  for (QWidget* w : widgets_) {
    if (auto* image = dynamic_cast<ImageControl*>(w)) image->handler = handler;
  }
}

void LauncherWindow::CenterOnScreen() {
  if (const QScreen* s = screen()) {
    const QRect area = s->availableGeometry();
    move(area.center() - rect().center());
  }
}

ImageControl* LauncherWindow::image(Control control) const {
  return dynamic_cast<ImageControl*>(widget(control));
}

BarControl* LauncherWindow::bar(Control control) const {
  return dynamic_cast<BarControl*>(widget(control));
}

void LauncherWindow::FadeTo(Control control, float opacity, double seconds) {
  if (ImageControl* i = image(control)) i->FadeTo(opacity, seconds);
}

void LauncherWindow::SetVisible(Control control, bool visible) {
  widget(control)->setVisible(visible);
}

void LauncherWindow::SetBarWidth(Control control, float width) {
  if (BarControl* b = bar(control)) b->SetWidth(width);
}

void LauncherWindow::SetTransferText(const std::string& text) {
  SetElidedText(transfer_, QString::fromStdString(text));
}

void LauncherWindow::SetStatusText(const std::string& text) {
  SetElidedText(status_, QString::fromStdString(text));
}

void LauncherWindow::ShowMessage(const std::string& text) {
  // No parent: at start-up the message comes before the window is shown.
  QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kWindowCaption),
                  QString::fromStdString(text), QMessageBox::Ok);
  box.exec();
}

void LauncherWindow::Minimize() {
  showMinimized();
}

void LauncherWindow::Close() {
  close();
}

WindowPosition LauncherWindow::Position() const {
  return {x(), y()};
}

void LauncherWindow::MoveTo(WindowPosition position) {
  move(position.left, position.top);
}

}  // namespace kestrune
