#pragma once
// A label's text as coverage: GDI writes no alpha, so the text is drawn white on black and
// the brightness becomes how much of the label's colour covers each pixel.

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune {

enum class LabelAlign { Left, Right };

struct LabelMask {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> coverage;  // width x height, top row first
};

// `text` (UTF-8) in Arial at `pixelSize`, one line vertically centred in a `width` x `height`
// box, ending in "…" when it is too long. Throws std::runtime_error when GDI refuses.
LabelMask RenderLabel(const std::string& text, int width, int height, int pixelSize,
                      LabelAlign align);

}  // namespace kestrune
