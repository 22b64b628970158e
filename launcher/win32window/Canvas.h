#pragma once
// A 32-bit picture in premultiplied BGRA, top row first, and the few ways the window paints
// into one. Pure pixel arithmetic: no system call.

#include <cstdint>
#include <vector>

namespace kestrune {

struct Canvas {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;  // 0xAARRGGBB, colour premultiplied by alpha

  Canvas() = default;
  Canvas(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h, 0) {}
  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// `picture` over `canvas` with its top-left at (x, y), at `opacity` (0..1); what falls
// outside the canvas is cut off.
void DrawPicture(Canvas& canvas, const Canvas& picture, int x, int y, float opacity);

// Fills [x, x + width) x [y, y + height) with `fill` repeated from (x, y); a column is filled
// when its centre lies inside the floating width, as a painter fills a rectangle without
// antialiasing.
void TileBar(Canvas& canvas, const Canvas& fill, int x, int y, float width, int height);

// `colour` (0xRRGGBB) over the canvas at (x, y) through `coverage` (one byte a pixel,
// `width` x `height`, 255 for full).
void BlendCoverage(Canvas& canvas, const std::vector<std::uint8_t>& coverage, int width, int height,
                   int x, int y, std::uint32_t colour);

}  // namespace kestrune
