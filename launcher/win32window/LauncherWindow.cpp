#include "LauncherWindow.h"

#include <windowsx.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

#include "Picture.h"
#include "Resources.h"
#include "win32/Utf16.h"

namespace kestrune {

namespace {

const wchar_t* const kClassName = L"KestruneUpdaterWindow";
constexpr UINT_PTR kFadeTimer = 1;
constexpr UINT kFadeIntervalMs = 15;
// Posted to itself, so that the many changes of one step are drawn once.
constexpr UINT kRedrawMessage = WM_APP + 1;

constexpr std::uint32_t kStatusColour = 0xDCDCDC;    // Gainsboro
constexpr std::uint32_t kTransferColour = 0xD6C496;  // warm, like the bars' captions

// Which bit of LauncherWindow::buttons_ a button message is about.
unsigned ButtonBit(UINT message) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
      return 1;
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
      return 2;
    default:
      return 4;
  }
}

}  // namespace

LauncherWindow::LauncherWindow(Clock clock) : clock_(std::move(clock)) {
  const std::string_view table = ResourceBytes("controls.csv");
  const std::vector<ControlRow> rows = ParseControlTable(table);

  // Every picture is decoded once; the rows point at them once the list is complete.
  std::map<std::string, std::size_t> byName;
  for (const ControlRow& row : rows) {
    if (row.picture.empty() || byName.count(row.picture)) continue;
    byName[row.picture] = pictures_.size();
    pictures_.push_back(DecodePng(ResourceBytes(row.picture), row.picture.c_str()));
  }
  bool container = false;
  for (const ControlRow& row : rows) {
    State& state = controls_[Index(row.control)];
    state.row = row;
    state.visible = row.visible;
    state.fade = Fade(row.opacity);
    if (!row.picture.empty()) state.picture = &pictures_[byName[row.picture]];
    if (row.kind == ControlKind::Bar) {
      if (!state.picture)
        throw std::runtime_error(std::string("bar without fill: ") + ControlName(row.control));
      state.barWidth = static_cast<float>(row.width);
    }
    if (row.kind == ControlKind::Container) {
      container = true;
      width_ = row.width;
      height_ = row.height;
    }
    if (row.kind == ControlKind::Label)
      state.label = RenderLabel({}, row.width, row.height, 14, LabelAlign::Left);
    order_.push_back(row.control);
  }
  if (!container || width_ <= 0 || height_ <= 0) {
    throw std::runtime_error("control table lacks the container");
  }

  // The frame handed to the system: one DIB section, kept selected into its own DC.
  frame_ = MakeDib(width_, height_, &frameBits_);
  frameDc_.reset(CreateCompatibleDC(nullptr));
  if (!frame_ || !frameBits_ || !frameDc_)
    throw std::runtime_error("cannot make the window's frame");
  SelectObject(frameDc_.get(), frame_.get());

  // Read before the window exists: a throw past its creation would leave a window whose
  // procedure points at this half-built object.
  const Canvas iconPicture = DecodePng(ResourceBytes("icon.png"), "icon.png", false);

  const HINSTANCE instance = GetModuleHandleW(nullptr);
  static const ATOM windowClass = [instance] {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = &LauncherWindow::Procedure;
    cls.hInstance = instance;
    cls.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    cls.lpszClassName = kClassName;
    return RegisterClassExW(&cls);
  }();
  if (windowClass == 0) throw std::runtime_error("cannot register the window class");

  // WS_SYSMENU and WS_MINIMIZEBOX: without them the system will not minimise a popup.
  hwnd_ = CreateWindowExW(WS_EX_LAYERED | WS_EX_APPWINDOW, kClassName, L"",
                          WS_POPUP | WS_MINIMIZEBOX | WS_SYSMENU, 0, 0, width_, height_, nullptr,
                          nullptr, instance, this);
  if (hwnd_ == nullptr) throw std::runtime_error("cannot create the window");
  SetWindowTextW(hwnd_, platform::Widen(kWindowCaption).c_str());

  // The icon: a colour bitmap with straight alpha and an unused mask.
  void* bits = nullptr;
  GdiObject colour = MakeDib(iconPicture.width, iconPicture.height, &bits);
  GdiObject mask(CreateBitmap(iconPicture.width, iconPicture.height, 1, 1, nullptr));
  if (colour && bits && mask) {
    std::memcpy(bits, iconPicture.pixels.data(), iconPicture.pixels.size() * 4);
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmColor = static_cast<HBITMAP>(colour.get());
    info.hbmMask = static_cast<HBITMAP>(mask.get());
    icon_.reset(CreateIconIndirect(&info));
  }
  if (icon_) {
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_.get()));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_.get()));
  }
  Redraw();
}

LauncherWindow::~LauncherWindow() {
  if (hwnd_ != nullptr) {
    // Gone with its owner, not closed by the user: the message loop is not told.
    destroying_ = true;
    DestroyWindow(hwnd_);
  }
}

LRESULT CALLBACK LauncherWindow::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    auto* window = static_cast<LauncherWindow*>(create->lpCreateParams);
    window->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
  }
  auto* window = reinterpret_cast<LauncherWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (window == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
  return window->Handle(message, wParam, lParam);
}

LRESULT LauncherWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND hwnd = hwnd_;
  switch (message) {
    case WM_MOUSEMOVE:
      OnMove(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      return 0;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
      OnButton(true, ButtonBit(message), GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      return 0;
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP:
      OnButton(false, ButtonBit(message), GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      return 0;
    case WM_MOUSELEAVE:
      tracking_ = false;
      inside_ = false;
      if (!pressed_) Hover(std::nullopt);
      return 0;
    case WM_CAPTURECHANGED:
      // Taken away by the system (a menu, another window): the press ends without an Up.
      if (pressed_ && reinterpret_cast<HWND>(lParam) != hwnd_) {
        pressed_.reset();
        buttons_ = 0;
        primaryDown_ = false;
      }
      return 0;
    case WM_TIMER:
      if (wParam == kFadeTimer) Tick();
      return 0;
    case kRedrawMessage:
      redrawPosted_ = false;
      Redraw();
      return 0;
    case WM_DESTROY:
      if (timer_) KillTimer(hwnd_, kFadeTimer);
      timer_ = false;
      if (!destroying_) PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
      hwnd_ = nullptr;
      return DefWindowProcW(hwnd, message, wParam, lParam);
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

void LauncherWindow::CenterOnScreen() {
  RECT area{};
  if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0)) return;
  const int left = area.left + (area.right - area.left - width_) / 2;
  const int top = area.top + (area.bottom - area.top - height_) / 2;
  MoveTo({left, top});
}

void LauncherWindow::Show() {
  if (hwnd_ == nullptr) return;
  Redraw();
  ShowWindow(hwnd_, SW_SHOW);
  // Once more when mapped: some systems pick the window's alpha up only from a shown window.
  Redraw();
}

Canvas LauncherWindow::Compose() const {
  Canvas canvas(width_, height_);
  if (!controls_[Index(Control::Layout1)].visible) return canvas;
  for (const Control control : order_) {
    const State& state = controls_[Index(control)];
    if (!state.visible) continue;
    const ControlRow& row = state.row;
    switch (row.kind) {
      case ControlKind::Container:
        break;
      case ControlKind::Image:
        if (state.picture) DrawPicture(canvas, *state.picture, row.x, row.y, state.fade.opacity());
        break;
      case ControlKind::Bar:
        TileBar(canvas, *state.picture, row.x, row.y, state.barWidth, row.height);
        break;
      case ControlKind::Label:
        BlendCoverage(canvas, state.label.coverage, state.label.width, state.label.height, row.x,
                      row.y, control == Control::Transfer ? kTransferColour : kStatusColour);
        break;
    }
  }
  return canvas;
}

void LauncherWindow::ScheduleRedraw() {
  if (hwnd_ == nullptr || redrawPosted_) return;
  redrawPosted_ = PostMessageW(hwnd_, kRedrawMessage, 0, 0) != 0;
  if (!redrawPosted_) Redraw();
}

void LauncherWindow::Redraw() {
  if (hwnd_ == nullptr) return;
  const Canvas canvas = Compose();
  std::memcpy(frameBits_, canvas.pixels.data(), canvas.pixels.size() * 4);
  RECT rect{};
  GetWindowRect(hwnd_, &rect);
  POINT position{rect.left, rect.top};
  SIZE size{width_, height_};
  POINT source{0, 0};
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  // A refusal leaves the last picture on screen; the next change tries again.
  UpdateLayeredWindow(hwnd_, nullptr, &position, &size, frameDc_.get(), &source, 0, &blend,
                      ULW_ALPHA);
}

void LauncherWindow::EnsureTimer() {
  if (timer_ || hwnd_ == nullptr) return;
  timer_ = SetTimer(hwnd_, kFadeTimer, kFadeIntervalMs, nullptr) != 0;
}

void LauncherWindow::Tick() {
  const auto now = clock_();
  bool changed = false;
  bool running = false;
  for (State& state : controls_) {
    changed = state.fade.Advance(now) || changed;
    running = running || state.fade.running();
  }
  if (!running && timer_) {
    if (hwnd_ != nullptr) KillTimer(hwnd_, kFadeTimer);
    timer_ = false;
  }
  if (changed) ScheduleRedraw();
}

void LauncherWindow::FadeTo(Control image, float opacity, double seconds) {
  State& state = controls_[Index(image)];
  if (state.row.kind != ControlKind::Image) return;
  const bool wasRunning = state.fade.running();
  const float before = state.fade.opacity();
  state.fade.Start(opacity, seconds, clock_());
  // The jump of a fade cut short shows at once.
  if (wasRunning && state.fade.opacity() != before) ScheduleRedraw();
  EnsureTimer();
}

void LauncherWindow::SetVisible(Control control, bool visible) {
  State& state = controls_[Index(control)];
  if (state.visible == visible) return;
  state.visible = visible;
  ScheduleRedraw();
  // What lies under a resting pointer may have changed.
  if (!pressed_ && inside_) Hover(ImageAt(last_.x, last_.y));
}

void LauncherWindow::SetBarWidth(Control bar, float width) {
  State& state = controls_[Index(bar)];
  if (state.row.kind != ControlKind::Bar || state.barWidth == width) return;
  state.barWidth = width;
  ScheduleRedraw();
}

void LauncherWindow::SetLabel(Control label, const std::string& text) {
  State& state = controls_[Index(label)];
  const bool transfer = label == Control::Transfer;
  state.label = RenderLabel(text, state.row.width, state.row.height, transfer ? 11 : 14,
                            transfer ? LabelAlign::Right : LabelAlign::Left);
  ScheduleRedraw();
}

void LauncherWindow::SetTransferText(const std::string& text) {
  SetLabel(Control::Transfer, text);
}

void LauncherWindow::SetStatusText(const std::string& text) {
  SetLabel(Control::Status, text);
}

void LauncherWindow::ShowMessage(const std::string& text) {
  // No owner: at start-up the message comes before the window is shown. The window still
  // takes no clicks while the box is up, as a modal box of its own would have it.
  const bool enabled = hwnd_ != nullptr && IsWindowVisible(hwnd_);
  if (enabled) EnableWindow(hwnd_, FALSE);
  MessageBoxW(nullptr, platform::Widen(text).c_str(), platform::Widen(kWindowCaption).c_str(),
              MB_OK);
  if (enabled && hwnd_ != nullptr) EnableWindow(hwnd_, TRUE);
}

void LauncherWindow::Minimize() {
  if (hwnd_ != nullptr) SendMessageW(hwnd_, WM_SYSCOMMAND, SC_MINIMIZE, 0);
}

void LauncherWindow::Close() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

WindowPosition LauncherWindow::Position() const {
  RECT rect{};
  if (hwnd_ == nullptr || !GetWindowRect(hwnd_, &rect)) return {};
  return {rect.left, rect.top};
}

void LauncherWindow::MoveTo(WindowPosition position) {
  if (hwnd_ == nullptr) return;
  SetWindowPos(hwnd_, nullptr, position.left, position.top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::optional<Control> LauncherWindow::ImageAt(int x, int y) const {
  if (!controls_[Index(Control::Layout1)].visible) return std::nullopt;
  for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
    const State& state = controls_[Index(*it)];
    const ControlRow& row = state.row;
    // Labels, bars and the container let the mouse through.
    if (row.kind != ControlKind::Image || !state.visible) continue;
    if (x >= row.x && x < row.x + row.width && y >= row.y && y < row.y + row.height) return *it;
  }
  return std::nullopt;
}

void LauncherWindow::Send(Control control, MouseEvent event, int x, int y) {
  if (!handler_) return;
  // Entering and leaving carry no position.
  if (event == MouseEvent::Enter || event == MouseEvent::Leave) {
    handler_(control, event, 0, 0);
    return;
  }
  const ControlRow& row = controls_[Index(control)].row;
  handler_(control, event, static_cast<float>(x - row.x), static_cast<float>(y - row.y));
}

void LauncherWindow::Hover(std::optional<Control> target) {
  if (target == hover_) return;
  const std::optional<Control> left = hover_;
  hover_ = target;
  if (left) Send(*left, MouseEvent::Leave);
  if (target) Send(*target, MouseEvent::Enter);
}

void LauncherWindow::TrackLeave() {
  if (tracking_ || hwnd_ == nullptr) return;
  TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, hwnd_, 0};
  tracking_ = TrackMouseEvent(&track) != 0;
}

void LauncherWindow::OnMove(int x, int y) {
  last_ = {x, y};
  inside_ = true;
  TrackLeave();
  // While a button is held, only the pressed control hears of the mouse.
  if (pressed_) {
    Send(*pressed_, MouseEvent::Move, x, y);
    return;
  }
  Hover(ImageAt(x, y));
}

void LauncherWindow::OnButton(bool down, int button, int x, int y) {
  last_ = {x, y};
  const unsigned bit = static_cast<unsigned>(button);
  if (down) {
    if (!pressed_) {
      Hover(ImageAt(x, y));
      if (!hover_) return;
      pressed_ = hover_;
      if (hwnd_ != nullptr) SetCapture(hwnd_);
    }
    buttons_ |= bit;
    if (bit == 1) primaryDown_ = true;
    Send(*pressed_, MouseEvent::Down, x, y);
    return;
  }
  if (!pressed_ || !(buttons_ & bit)) return;
  const Control target = *pressed_;
  buttons_ &= ~bit;
  const ControlRow& row = controls_[Index(target)].row;
  const bool inside = x >= row.x && x < row.x + row.width && y >= row.y && y < row.y + row.height;
  const bool click = bit == 1 && primaryDown_ && inside;
  if (bit == 1) primaryDown_ = false;
  if (buttons_ == 0) {
    // Released before the handlers run: one of them may close the window.
    pressed_.reset();
    if (hwnd_ != nullptr && GetCapture() == hwnd_) ReleaseCapture();
  }
  Send(target, MouseEvent::Up, x, y);
  if (click) Send(target, MouseEvent::Click, x, y);
  if (!pressed_ && hwnd_ != nullptr) {
    RECT client{0, 0, width_, height_};
    const bool over = PtInRect(&client, last_) != 0;
    inside_ = over;
    // A leave that came while the button was held ended the tracking; without it again, a
    // pointer that now leaves at once would leave this control lit.
    if (over) TrackLeave();
    Hover(over ? ImageAt(last_.x, last_.y) : std::nullopt);
  }
}

}  // namespace kestrune
