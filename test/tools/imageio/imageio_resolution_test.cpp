// The tools' resolution rule, the 16-bit scaling rule, and the yardsticks'
// foreground centre with the windows cut around it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imageio.h"
#include "imageio_internal.h"
#include "resolution.h"

namespace {

using imageio::GreyImage;

GreyImage stating(int rows, int cols, int dpi_x, int dpi_y) {
  GreyImage im(rows, cols, 200);
  im.dpi_x = dpi_x;
  im.dpi_y = dpi_y;
  return im;
}

// A white image whose 16 x 16 block at (by, bx) alternates between lo and
// hi (population variance ((hi - lo) / 2)^2).
void texture_block(GreyImage *im, int by, int bx, int lo, int hi) {
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) im->at(by + y, bx + x) = static_cast<uint8_t>((x + y) % 2 ? hi : lo);
}

TEST(ResolutionRule, StatedValueCountsOnlyWhenPlausibleForAReader) {
  struct Case {
    int dpi_x, dpi_y;
    bool force;
    int want_x, want_y, ignored;
  } cases[] = {
      {0, 0, false, 500, 500, 0},        // none stated: the default
      {1000, 0, false, 1000, 1000, 0},   // one axis states both
      {250, 1500, false, 250, 1500, 0},  // the range's ends are plausible
      {96, 96, false, 500, 500, 96},     // image tools' default
      {1, 1, false, 500, 500, 1},
      {1501, 1501, false, 500, 500, 1501},
      {500, 96, false, 500, 500, 96},    // one implausible axis rules out both
      {1000, 1000, true, 500, 500, 0},   // forced: the file is not asked
  };
  for (const Case &c : cases) {
    imageio::ResolutionRule rule;
    rule.force = c.force;
    int y = 0, x = 0, ignored = -1;
    imageio::chosen_resolution(stating(10, 10, c.dpi_x, c.dpi_y), rule, &y, &x, &ignored);
    EXPECT_EQ(x, c.want_x) << c.dpi_x << " x " << c.dpi_y;
    EXPECT_EQ(y, c.want_y) << c.dpi_x << " x " << c.dpi_y;
    EXPECT_EQ(ignored, c.ignored) << c.dpi_x << " x " << c.dpi_y;
  }
  imageio::ResolutionRule at_250{250, false};
  int y = 0, x = 0, ignored = 0;
  imageio::chosen_resolution(stating(10, 10, 96, 96), at_250, &y, &x, &ignored);
  EXPECT_EQ(x, 250);
}

TEST(ResolutionRule, ResamplesToTheLibrarysResolutionWithinTheLimit) {
  GreyImage out;
  std::string warning, problem;
  ASSERT_TRUE(imageio::to_library_resolution(stating(176, 88, 1000, 1000), {}, &out, &warning,
                                             &problem));
  EXPECT_EQ(out.rows, 88);
  EXPECT_EQ(out.cols, 44);
  EXPECT_EQ(out.dpi_x, 500);
  EXPECT_TRUE(warning.empty());
  // Ignored: one warning naming the value, the image as it is.
  ASSERT_TRUE(imageio::to_library_resolution(stating(30, 40, 96, 96), {}, &out, &warning, &problem));
  EXPECT_EQ(out.rows, 30);
  EXPECT_NE(warning.find("96 dpi"), std::string::npos) << warning;
  // 4000 x 4000 at 250 dpi would be 8000 x 8000 at 500 dpi: refused before
  // any pixel is made.
  const GreyImage big = stating(4000, 4000, 250, 250);
  EXPECT_FALSE(imageio::to_library_resolution(big, {}, &out, &warning, &problem));
  EXPECT_NE(problem.find("8001 x 8001"), std::string::npos) << problem;
  imageio::ResolutionRule tiny{1, true};
  EXPECT_FALSE(imageio::to_library_resolution(stating(100, 100, 0, 0), tiny, &out, &warning, &problem));
}

TEST(Grey16, ScaledFromTheStatedRangeAndRefusedWhenNarrowAndUnstated) {
  std::vector<uint8_t> out;
  std::string problem;
  const std::vector<uint16_t> twelve_bit = {0, 2048, 4095};
  EXPECT_FALSE(imageio::detail::grey16_to_8(twelve_bit, 0, &out, &problem));
  EXPECT_NE(problem.find("12 bits"), std::string::npos) << problem;
  ASSERT_TRUE(imageio::detail::grey16_to_8(twelve_bit, 4095, &out, &problem));
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 128, 255}));
  // A sample above the stated range is taken as its top.
  ASSERT_TRUE(imageio::detail::grey16_to_8({5000}, 4095, &out, &problem));
  EXPECT_EQ(out[0], 255);
  // Full-range data (one sample at 4096 or more) needs no statement.
  ASSERT_TRUE(imageio::detail::grey16_to_8({0, 4096, 65535}, 0, &out, &problem));
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 16, 255}));
}

TEST(ForegroundCentre, MeanCentreOfTheBlocksWhoseVarianceExceeds400) {
  GreyImage im(64, 80, 255);
  int row = 0, col = 0;
  imageio::foreground_centre(im, &row, &col);
  EXPECT_EQ(row, 32);  // none: the image centre
  EXPECT_EQ(col, 40);
  texture_block(&im, 16, 32, 100, 140);  // variance exactly 400: not counted
  imageio::foreground_centre(im, &row, &col);
  EXPECT_EQ(row, 32);
  texture_block(&im, 16, 32, 100, 141);  // 420.25
  imageio::foreground_centre(im, &row, &col);
  EXPECT_EQ(row, 24);
  EXPECT_EQ(col, 40);
  texture_block(&im, 32, 64, 0, 255);
  imageio::foreground_centre(im, &row, &col);
  EXPECT_EQ(row, (24 + 40) / 2);
  EXPECT_EQ(col, (40 + 72) / 2);
  // Blocks are tiled from 0: ridges in the partial last column of blocks
  // (an 84-pixel-wide image has 5 whole ones) do not count.
  GreyImage wide(64, 84, 255);
  for (int y = 0; y < 64; ++y)
    for (int x = 80; x < 84; ++x) wide.at(y, x) = static_cast<uint8_t>(x % 2 ? 0 : 255);
  imageio::foreground_centre(wide, &row, &col);
  EXPECT_EQ(col, 42);
}

TEST(ForegroundCentre, WindowAroundItStaysInsideTheImage) {
  GreyImage im(200, 300, 255);
  texture_block(&im, 96, 240, 0, 255);  // centre (104, 248)
  GreyImage w = imageio::foreground_window(im, 88, 88);
  ASSERT_EQ(w.rows, 88);
  ASSERT_EQ(w.cols, 88);
  // (104 - 44, 248 - 44) = (60, 204) fits: the block sits at (36, 36).
  EXPECT_EQ(w.at(36, 36), 0);
  EXPECT_EQ(w.at(36, 37), 255);
  // Moved by (dy, dx), and kept inside at the right edge: left 300 - 88.
  w = imageio::foreground_window(im, 88, 88, 10, 100);
  EXPECT_EQ(w.at(96 - 70, 240 - 212), 0);
  // Larger than the image: white outside it.
  w = imageio::foreground_window(im, 250, 350);
  EXPECT_EQ(w.rows, 250);
  EXPECT_EQ(w.at(249, 349), 255);
}

}  // namespace
