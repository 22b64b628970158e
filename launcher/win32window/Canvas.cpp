#include "Canvas.h"

#include <algorithm>
#include <cmath>

namespace kestrune {

namespace {

// x * a / 255, rounded.
inline std::uint32_t Scale(std::uint32_t x, std::uint32_t a) {
  const std::uint32_t t = x * a + 128;
  return (t + (t >> 8)) >> 8;
}

// Premultiplied source over destination, both 0xAARRGGBB.
inline std::uint32_t Over(std::uint32_t src, std::uint32_t dst) {
  const std::uint32_t keep = 255 - (src >> 24);
  if (keep == 0) return src;
  std::uint32_t out = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const std::uint32_t s = (src >> shift) & 0xFF;
    const std::uint32_t d = (dst >> shift) & 0xFF;
    out |= std::min<std::uint32_t>(255, s + Scale(d, keep)) << shift;
  }
  return out;
}

inline std::uint32_t ScalePixel(std::uint32_t p, std::uint32_t a) {
  if (a == 255) return p;
  std::uint32_t out = 0;
  for (int shift = 0; shift < 32; shift += 8) out |= Scale((p >> shift) & 0xFF, a) << shift;
  return out;
}

}  // namespace

void DrawPicture(Canvas& canvas, const Canvas& picture, int x, int y, float opacity) {
  const auto alpha = static_cast<std::uint32_t>(std::lround(std::clamp(opacity, 0.0f, 1.0f) * 255));
  if (alpha == 0) return;
  const int left = std::max(0, -x), top = std::max(0, -y);
  const int right = std::min(picture.width, canvas.width - x);
  const int bottom = std::min(picture.height, canvas.height - y);
  for (int py = top; py < bottom; ++py) {
    const std::uint32_t* src = &picture.pixels[static_cast<std::size_t>(py) * picture.width];
    std::uint32_t* dst = &canvas.pixels[static_cast<std::size_t>(py + y) * canvas.width + x];
    for (int px = left; px < right; ++px) dst[px] = Over(ScalePixel(src[px], alpha), dst[px]);
  }
}

void TileBar(Canvas& canvas, const Canvas& fill, int x, int y, float width, int height) {
  if (fill.width <= 0 || fill.height <= 0 || !(width > 0)) return;
  // Column i is inside when its centre i + 0.5 is left of the width.
  const auto columns = static_cast<int>(std::min<double>(std::floor(width + 0.5), canvas.width));
  for (int py = 0; py < height; ++py) {
    const int cy = y + py;
    if (cy < 0 || cy >= canvas.height) continue;
    const std::uint32_t* src =
        &fill.pixels[static_cast<std::size_t>(py % fill.height) * fill.width];
    for (int px = 0; px < columns; ++px) {
      const int cx = x + px;
      if (cx < 0 || cx >= canvas.width) continue;
      std::uint32_t& dst = canvas.pixels[static_cast<std::size_t>(cy) * canvas.width + cx];
      dst = Over(src[px % fill.width], dst);
    }
  }
}

void BlendCoverage(Canvas& canvas, const std::vector<std::uint8_t>& coverage, int width, int height,
                   int x, int y, std::uint32_t colour) {
  for (int py = 0; py < height; ++py) {
    const int cy = y + py;
    if (cy < 0 || cy >= canvas.height) continue;
    for (int px = 0; px < width; ++px) {
      const int cx = x + px;
      if (cx < 0 || cx >= canvas.width) continue;
      const std::uint32_t c = coverage[static_cast<std::size_t>(py) * width + px];
      if (c == 0) continue;
      const std::uint32_t src = ScalePixel(0xFF000000u | colour, c);
      std::uint32_t& dst = canvas.pixels[static_cast<std::size_t>(cy) * canvas.width + cx];
      dst = Over(src, dst);
    }
  }
}

}  // namespace kestrune
