#include "LabelText.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "GdiHandles.h"
#include "win32/Utf16.h"

namespace kestrune {

LabelMask RenderLabel(const std::string& text, int width, int height, int pixelSize,
                      LabelAlign align) {
  LabelMask mask;
  mask.width = width;
  mask.height = height;
  mask.coverage.assign(static_cast<std::size_t>(width) * height, 0);
  if (text.empty() || width <= 0 || height <= 0) return mask;

  void* bits = nullptr;
  GdiObject dib = MakeDib(width, height, &bits);
  MemoryDc dc(CreateCompatibleDC(nullptr));
  // Negative: the em height in pixels, as a pixel-sized font elsewhere means it.
  GdiObject font(CreateFontW(-pixelSize, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                             DEFAULT_PITCH | FF_SWISS, L"Arial"));
  if (!dib || !bits || !dc || !font) throw std::runtime_error("cannot draw the label text");
  std::memset(bits, 0, static_cast<std::size_t>(width) * height * 4);
  {
    const Selected bitmap(dc.get(), dib.get());
    const Selected chosen(dc.get(), font.get());
    SetBkMode(dc.get(), TRANSPARENT);
    SetTextColor(dc.get(), RGB(255, 255, 255));
    std::wstring wide = platform::Widen(text);
    RECT box{0, 0, width, height};
    const UINT format = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS |
                        (align == LabelAlign::Right ? DT_RIGHT : DT_LEFT);
    DrawTextW(dc.get(), wide.data(), static_cast<int>(wide.size()), &box, format);
    GdiFlush();
  }
  const auto* pixels = static_cast<const std::uint32_t*>(bits);
  for (std::size_t i = 0; i < mask.coverage.size(); ++i) {
    const std::uint32_t p = pixels[i];
    // Grey antialiasing gives equal channels; the brightest stands in should they differ.
    mask.coverage[i] =
        static_cast<std::uint8_t>(std::max({p & 0xFF, (p >> 8) & 0xFF, (p >> 16) & 0xFF}));
  }
  return mask;
}

}  // namespace kestrune
