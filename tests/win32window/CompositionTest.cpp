// What the window draws: the pixel arithmetic on its own, then the whole window in its two
// layouts. Expected colours are those of the picture files (read by hand, RGBA), never
// what the code under test computes.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "Canvas.h"
#include "LabelText.h"
#include "MainForm.h"
#include "Picture.h"
#include "Resources.h"
#include "UiThread.h"
#include "WindowTestSupport.h"

namespace kestrune::test {
namespace {

// Channels within one step of each other: premultiplied rounding may differ by one.
::testing::AssertionResult Near(std::uint32_t actual, std::uint32_t expected) {
  for (int shift = 0; shift < 32; shift += 8) {
    const int a = static_cast<int>((actual >> shift) & 0xFF);
    const int e = static_cast<int>((expected >> shift) & 0xFF);
    if (std::abs(a - e) > 1) {
      return ::testing::AssertionFailure()
             << std::hex << "0x" << actual << " is not near 0x" << expected;
    }
  }
  return ::testing::AssertionSuccess();
}

Canvas Filled(int w, int h, std::uint32_t pixel) {
  Canvas c(w, h);
  c.pixels.assign(c.pixels.size(), pixel);
  return c;
}

TEST(CanvasTest, PictureOverAtOpacity) {
  struct Case {
    std::uint32_t under, picture;
    float opacity;
    std::uint32_t expected;
  } cases[] = {
      {0xFFFF0000, 0xFF0000FF, 1.0f, 0xFF0000FF},  // opaque replaces
      {0xFFFF0000, 0xFF0000FF, 0.5f, 0xFF800080},  // half and half
      {0x00000000, 0xFF0000FF, 0.5f, 0x80000080},  // over nothing: premultiplied half
      {0xFFFF0000, 0x80000080, 1.0f, 0xFF7F0080},  // a half-transparent picture
      {0xFFFF0000, 0xFF0000FF, 0.0f, 0xFFFF0000},  // invisible
  };
  for (const Case& c : cases) {
    Canvas canvas = Filled(3, 3, c.under);
    DrawPicture(canvas, Filled(1, 1, c.picture), 1, 1, c.opacity);
    EXPECT_TRUE(Near(canvas.at(1, 1), c.expected)) << c.opacity;
    EXPECT_EQ(canvas.at(0, 0), c.under);
    EXPECT_EQ(canvas.at(2, 2), c.under);
  }
}

TEST(CanvasTest, PictureCutAtTheEdges) {
  Canvas canvas(4, 4);
  DrawPicture(canvas, Filled(3, 3, 0xFF112233), -2, 2, 1);
  EXPECT_EQ(canvas.at(0, 2), 0xFF112233u);
  EXPECT_EQ(canvas.at(0, 3), 0xFF112233u);
  EXPECT_EQ(canvas.at(1, 2), 0u);
  EXPECT_EQ(canvas.at(0, 1), 0u);
}

TEST(CanvasTest, BarFillsColumnsWhoseCentreIsInsideAndTiles) {
  // Two columns: A B, repeated.
  Canvas fill(2, 1);
  fill.pixels = {0xFFAA0000, 0xFF00BB00};
  struct Case {
    float width;
    int columns;
  } cases[] = {{0, 0}, {-3.5f, 0}, {0.4f, 0}, {0.6f, 1}, {2.4f, 2}, {4.6f, 5}, {9.0f, 9}, {50, 10}};
  for (const Case& c : cases) {
    Canvas canvas(11, 2);
    TileBar(canvas, fill, 1, 1, c.width, 1);
    for (int x = 0; x < 11; ++x) {
      const bool inside = x >= 1 && x < 1 + c.columns;
      const std::uint32_t expected = !inside ? 0 : ((x - 1) % 2 == 0 ? 0xFFAA0000 : 0xFF00BB00);
      EXPECT_EQ(canvas.at(x, 1), expected) << "width " << c.width << " column " << x;
      EXPECT_EQ(canvas.at(x, 0), 0u);
    }
  }
}

TEST(CanvasTest, CoverageBlendsTheColour) {
  Canvas canvas = Filled(3, 1, 0xFF000000);
  BlendCoverage(canvas, {0, 255, 128}, 3, 1, 0, 0, 0xDCDCDC);
  EXPECT_EQ(canvas.at(0, 0), 0xFF000000u);
  EXPECT_EQ(canvas.at(1, 0), 0xFFDCDCDCu);
  EXPECT_TRUE(Near(canvas.at(2, 0), 0xFF6E6E6E));
}

// Points of the window and what the picture files have there.
constexpr int kUpdateX = 539 + 100, kUpdateY = 524 + 19;
constexpr std::uint32_t kUpdateNormalPixel = 0xFF555752;  // update-normal.png (100, 19)
constexpr std::uint32_t kUpdateHoverPixel = 0xFF657990;   // update-hover.png (100, 19)
constexpr int kCancelX = 759 + 100, kCancelY = 524 + 19;
constexpr std::uint32_t kCancelNormalPixel = 0xFF182438;  // cancel-normal.png (100, 19)
constexpr int kStartX = 346 + 180, kStartY = 411 + 32;
constexpr std::uint32_t kStartDisabledPixel = 0xFF40434D;     // start-disabled.png (180, 32)
constexpr int kBarX = 95, kFileBarY = 530, kTotalBarY = 554;  // the fill's opaque row 1
constexpr std::uint32_t kFill200 = 0xFFF2AC4A;                // bar-fill.png (200, 1)

using CompositionTest = WindowTest;

TEST_F(CompositionTest, IdleAtLoadTransparentCornersAndTopBandOpaqueMiddle) {
  const Canvas c = window().Compose();
  ASSERT_EQ(c.width, 1040);
  ASSERT_EQ(c.height, 630);
  for (auto [x, y] : {std::pair{0, 0},
                      {1039, 0},
                      {0, 629},
                      {1039, 629},
                      {520, 0},
                      {520, 40},
                      {300, 50},
                      {5, 300}}) {
    EXPECT_EQ(c.at(x, y) >> 24, 0u) << x << "," << y;
  }
  for (auto [x, y] : {std::pair{520, 300}, {100, 400}, {900, 600}, {30, 300}}) {
    EXPECT_EQ(c.at(x, y) >> 24, 255u) << x << "," << y;
  }
  EXPECT_EQ(c.at(kUpdateX, kUpdateY), kUpdateNormalPixel);
  // Both bars full: the fill at its own column 200.
  EXPECT_EQ(c.at(kBarX + 200, kFileBarY), kFill200);
  EXPECT_EQ(c.at(kBarX + 200, kTotalBarY), kFill200);
  // Hidden at load: neither Cancel nor the disabled Start is drawn.
  EXPECT_NE(c.at(kCancelX, kCancelY), kCancelNormalPixel);
  EXPECT_NE(c.at(kStartX, kStartY), kStartDisabledPixel);
}

TEST_F(CompositionTest, BusyLayoutShowsCancelAndDisabledStartHidesUpdate) {
  PlainUiThread ui;
  TFormUpdater form(window(), ui);
  const Canvas idle = window().Compose();
  form.ApplyBusyLayout();
  const Canvas busy = window().Compose();
  EXPECT_EQ(busy.at(kCancelX, kCancelY), kCancelNormalPixel);
  EXPECT_EQ(busy.at(kStartX, kStartY), kStartDisabledPixel);
  EXPECT_NE(busy.at(kUpdateX, kUpdateY), kUpdateNormalPixel);
  form.ApplyIdleLayout();
  EXPECT_EQ(window().Compose().pixels, idle.pixels);
}

TEST_F(CompositionTest, BarEndsWhereItsWidthSaysAndTilesBeyondItsPicture) {
  const Canvas empty = [&] {
    window().SetBarWidth(Control::FileProgress, 0);
    window().SetBarWidth(Control::TotalProgress, 0);
    return window().Compose();
  }();
  window().SetBarWidth(Control::FileProgress, 200.4f);
  window().SetBarWidth(Control::TotalProgress, 409 + 201);
  const Canvas c = window().Compose();
  EXPECT_EQ(c.at(kBarX + 199, kFileBarY), 0xFFF4B864u);  // bar-fill.png (199, 1)
  EXPECT_EQ(c.at(kBarX + 200, kFileBarY), empty.at(kBarX + 200, kFileBarY));
  EXPECT_EQ(c.at(kBarX - 1, kFileBarY), empty.at(kBarX - 1, kFileBarY));
  // Past the picture's 409 columns the fill starts over.
  EXPECT_EQ(c.at(kBarX + 409 + 200, kTotalBarY), kFill200);
  EXPECT_EQ(c.at(kBarX + 409 + 201, kTotalBarY), empty.at(kBarX + 409 + 201, kTotalBarY));
}

TEST_F(CompositionTest, ImagesAtTheirOpacity) {
  window().FadeTo(Control::UpdateHover, 1, 0);
  window().FadeTo(Control::UpdateNormal, 0.5f, 0);
  window().Tick();
  // Normal at one half over Hover at one.
  EXPECT_TRUE(Near(window().Compose().at(kUpdateX, kUpdateY), 0xFF5D6871));
  window().FadeTo(Control::UpdateNormal, 0, 0);
  window().Tick();
  EXPECT_EQ(window().Compose().at(kUpdateX, kUpdateY), kUpdateHoverPixel);
}

// The label area of the window: which columns the text changed, and whether any pixel took
// the label's colour in full.
struct TextSpan {
  int first = -1, last = -1;
  bool fullColour = false;
};
TextSpan Changed(const Canvas& before, const Canvas& after, int x, int y, int w, int h,
                 std::uint32_t colour) {
  TextSpan span;
  for (int py = y; py < y + h; ++py) {
    for (int px = x; px < x + w; ++px) {
      if (before.at(px, py) == after.at(px, py)) continue;
      if (span.first < 0 || px < span.first) span.first = px;
      span.last = std::max(span.last, px);
      span.fullColour = span.fullColour || after.at(px, py) == colour;
    }
  }
  return span;
}

TEST_F(CompositionTest, StatusLeftInGainsboroTransferRightInItsColour) {
  const Canvas blank = window().Compose();
  window().SetStatusText("Updater is ready to work.");
  window().SetTransferText("1.0 MB of 8.0 MB");
  const Canvas c = window().Compose();
  // Nothing outside the two label boxes changes.
  const TextSpan all = Changed(blank, c, 0, 0, 1040, 630, 0);
  EXPECT_GE(all.first, 90);
  EXPECT_LE(all.last, 140 + 364);

  const TextSpan status = Changed(blank, c, 90, 497, 417, 24, 0xFFDCDCDC);
  ASSERT_GE(status.first, 0) << "no status text drawn";
  EXPECT_LT(status.first, 90 + 4);   // left-aligned
  EXPECT_LT(status.last, 90 + 300);  // a short line ends well before the box does
  EXPECT_TRUE(status.fullColour);

  const TextSpan transfer = Changed(blank, c, 140, 536, 364, 14, 0xFFD6C496);
  ASSERT_GE(transfer.first, 0) << "no transfer text drawn";
  EXPECT_GT(transfer.last, 140 + 364 - 5);  // right-aligned
  EXPECT_GT(transfer.first, 140 + 100);
  EXPECT_TRUE(transfer.fullColour);

  window().SetStatusText("");
  window().SetTransferText("");
  EXPECT_EQ(window().Compose().pixels, blank.pixels);
}

TEST_F(CompositionTest, MissingOrBrokenResourcesAreNamed) {
  EXPECT_EQ(ResourceBytes("bar-fill.png").size(), 1032u);  // the file's own size
  const auto message = [](auto&& call) {
    try {
      call();
    } catch (const std::runtime_error& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message([] { ResourceBytes("nothing.png"); }), "missing resource nothing.png");
  const std::string_view png = ResourceBytes("bar-fill.png");
  EXPECT_EQ(message([&] {
              DecodePng(png.substr(0, 100), "cut.png");
            }).rfind("cannot decode picture cut.png", 0),
            0u);
  EXPECT_EQ(message([] {
              DecodePng("not a picture", "text.png");
            }).rfind("cannot decode picture text.png", 0),
            0u);
  const Canvas whole = DecodePng(png, "bar-fill.png");
  EXPECT_EQ(whole.width, 409);
  EXPECT_EQ(whole.height, 4);
}

TEST(LabelTextTest, TooLongEndsWithinTheBoxTheSameForAnyExcess) {
  const std::string longer(300, 'W');
  const LabelMask a = RenderLabel(std::string(200, 'W'), 100, 24, 14, LabelAlign::Left);
  const LabelMask b = RenderLabel(longer, 100, 24, 14, LabelAlign::Left);
  // Cut to the same beginning and the same "…": what lies past the cut does not show.
  EXPECT_EQ(a.coverage, b.coverage);
  const LabelMask cyrillic = RenderLabel("Обновление завершено", 417, 24, 14, LabelAlign::Left);
  int inked = 0;
  for (std::uint8_t v : cyrillic.coverage) inked += v > 0;
  EXPECT_GT(inked, 50) << "UTF-8 text drew nothing";
}

}  // namespace
}  // namespace kestrune::test
