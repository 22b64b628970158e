// A layered window of the launcher's size showing a known premultiplied picture, centred on
// the screen, so that a test can tell what the display makes of per-pixel alpha before it
// judges the launcher's own window. A primary click anywhere ends it with exit code 0.
//
// The picture, 1040 x 630: red x * 255 / 1040, green y * 255 / 630, blue 100; fully
// transparent in 40 x 40 squares at the four corners, alpha 128 in the rest of the top 40
// rows, opaque elsewhere.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <type_traits>

namespace {

constexpr int kWidth = 1040;
constexpr int kHeight = 630;
constexpr int kEdge = 40;

struct DcRelease {
  void operator()(HDC dc) const { ReleaseDC(nullptr, dc); }
};
struct DcDelete {
  void operator()(HDC dc) const { DeleteDC(dc); }
};
struct ObjectDelete {
  void operator()(HGDIOBJ object) const { DeleteObject(object); }
};
using ScreenDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcRelease>;
using MemoryDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDelete>;
using Bitmap = std::unique_ptr<std::remove_pointer_t<HGDIOBJ>, ObjectDelete>;

std::uint32_t Pixel(int x, int y) {
  const bool cornerColumn = x < kEdge || x >= kWidth - kEdge;
  const bool cornerRow = y < kEdge || y >= kHeight - kEdge;
  std::uint32_t alpha = 255;
  if (cornerColumn && cornerRow) {
    alpha = 0;
  } else if (y < kEdge) {
    alpha = 128;
  }
  const std::uint32_t red = static_cast<std::uint32_t>(x) * 255 / kWidth * alpha / 255;
  const std::uint32_t green = static_cast<std::uint32_t>(y) * 255 / kHeight * alpha / 255;
  const std::uint32_t blue = 100 * alpha / 255;
  return alpha << 24 | red << 16 | green << 8 | blue;
}

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_LBUTTONUP:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

}  // namespace

int main() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = Procedure;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  windowClass.lpszClassName = L"KestruneLayeredProbe";
  if (!RegisterClassW(&windowClass)) return 2;

  const POINT origin{(GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2,
                     (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2};
  // Destroyed by the click, or with the process.
  const HWND window =
      CreateWindowExW(WS_EX_LAYERED, windowClass.lpszClassName, L"Kestrune layered probe", WS_POPUP,
                      origin.x, origin.y, kWidth, kHeight, nullptr, nullptr, instance, nullptr);
  if (!window) return 2;

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = kWidth;
  info.bmiHeader.biHeight = -kHeight;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  const ScreenDc screen(GetDC(nullptr));
  const MemoryDc memory(CreateCompatibleDC(screen.get()));
  void* bits = nullptr;
  const Bitmap bitmap(CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!screen || !memory || !bitmap || !bits) return 2;
  auto* pixels = static_cast<std::uint32_t*>(bits);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) pixels[y * kWidth + x] = Pixel(x, y);
  }
  const HGDIOBJ previous = SelectObject(memory.get(), bitmap.get());

  POINT source{0, 0};
  POINT destination = origin;
  SIZE size{kWidth, kHeight};
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  const BOOL updated = UpdateLayeredWindow(window, screen.get(), &destination, &size, memory.get(),
                                           &source, 0, &blend, ULW_ALPHA);
  SelectObject(memory.get(), previous);
  if (!updated) return 2;
  ShowWindow(window, SW_SHOWNORMAL);
  std::printf("shown at %ld,%ld\n", origin.x, origin.y);
  std::fflush(stdout);

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
