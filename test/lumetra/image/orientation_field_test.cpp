// Orientation, reliability, pixel orientation, quality image and the
// oriented smoothing footprints.
#include <gtest/gtest.h>

#include <vector>

#include "engine/image/fixed_math.h"
#include "engine/image/orientation_field.h"
#include "image_gen.hpp"

namespace {

struct Field {
  std::vector<uint8_t> orient, rel, phi;
};

Field orient(const std::vector<uint8_t> &px, int rows, int cols, const std::vector<uint8_t> &mask) {
  const int B = 12, brows = rows / B, bcols = cols / B;
  Field f{std::vector<uint8_t>(brows * bcols), std::vector<uint8_t>(brows * bcols),
          std::vector<uint8_t>(brows * bcols)};
  EXPECT_EQ(0, ridge_orientations_scale(px.data(), rows, cols, mask.data(), f.orient.data(), f.rel.data(), brows,
                                        bcols, B, f.phi.data(), 1));
  return f;
}

TEST(RidgeOrientations, HorizontalRidgesGive64AndVerticalRidges128Everywhere) {
  const int rows = 72, cols = 72;
  std::vector<uint8_t> mask(36, 1);
  const Field h = orient(imggen::ridges(rows, cols, 9, 90), rows, cols, mask);
  const Field v = orient(imggen::ridges(rows, cols, 9, 0), rows, cols, mask);
  for (int k = 0; k < 36; ++k) {
    EXPECT_TRUE(h.orient[k] == 64 || h.orient[k] == 192) << k << " " << int(h.orient[k]);
    EXPECT_EQ(128, v.orient[k]) << k;
    EXPECT_EQ(128, h.phi[k]);
    EXPECT_EQ(0, v.phi[k]);
    EXPECT_GT(v.rel[k], 200);
  }
}

TEST(RidgeOrientations, BackgroundBlocksGetNoReliabilityAndNoField) {
  std::vector<uint8_t> mask(36, 1);
  mask[0] = 0;
  const Field f = orient(imggen::ridges(72, 72, 9, 45), 72, 72, mask);
  EXPECT_EQ(0, f.phi[0]);
  EXPECT_NE(0, f.phi[14]);
}

TEST(RidgeOrientations, WeakBlockTakesItsNeighbourhoodAndStrongBlockKeepsItsOwn) {
  // One block of noise inside 45-degree ridges: its own moments are
  // incoherent (reliability <= 127), so its field entry follows the ridges
  // around it; the ridge blocks (reliability >= 128) keep their own angle.
  const int rows = 72, cols = 72;
  auto px = imggen::ridges(rows, cols, 9, 45);
  const auto noise = imggen::noise(rows, cols);
  for (int r = 24; r < 36; ++r)
    for (int c = 24; c < 36; ++c) px[r * cols + c] = noise[r * cols + c];
  std::vector<uint8_t> mask(36, 1);
  const Field f = orient(px, rows, cols, mask);
  const int noisy = 2 * 6 + 2, clean = 4 * 6 + 4;
  EXPECT_LE(angle_difference(f.phi[noisy], f.phi[clean]), 12);
}

TEST(ScaleUpOrientation, UniformFieldStaysUniformAcrossTheWrap) {
  std::vector<uint8_t> blocks(9, 128), out(36 * 36);
  ASSERT_EQ(0, scale_up_orientation(blocks.data(), 3, 3, 12, out.data(), 36, 36));
  for (uint8_t v : out) EXPECT_EQ(128, v);
  // 64 and 191 are nearly the same orientation: the interpolation takes the
  // short way, staying near horizontal and never passing 128.
  std::vector<uint8_t> mixed = {64, 191, 64, 191, 64, 191, 64, 191, 64};
  ASSERT_EQ(0, scale_up_orientation(mixed.data(), 3, 3, 12, out.data(), 36, 36));
  for (uint8_t v : out) EXPECT_TRUE(v <= 70 || v >= 185) << int(v);
}

TEST(QualityFromReliability, ZeroOutsideAndOneToNinetyNineInside) {
  std::vector<uint8_t> rel(9, 255), mask(9, 1), q(36 * 36);
  mask[0] = 0;
  rel[4] = 0;
  ASSERT_EQ(0, bal_quality_from_reliability(rel.data(), mask.data(), 3, 3, 12, q.data(), 36, 36));
  for (int r = 0; r < 36; ++r)
    for (int c = 0; c < 36; ++c) {
      const uint8_t v = q[r * 36 + c];
      if (r < 12 && c < 12)
        EXPECT_EQ(0, v);
      else {
        EXPECT_GE(v, 1);
        EXPECT_LE(v, 99);
      }
    }
  // Full reliability maps to (255 * 99 >> 8) + 1 = 99.
  EXPECT_EQ(99, q[30 * 36 + 30]);
}

TEST(OrientedSmoothing, FootprintsFollowTheSectorAndMarginsStayUnwritten) {
  // A single bright pixel survives a median along a line through it only if
  // the line holds more bright pixels: draw a vertical bright line.
  const int n = 11;
  std::vector<uint8_t> px(n * n, 0), o(n * n, 128), out(n * n, 7);
  for (int r = 0; r < n; ++r) px[r * n + 5] = 200;
  ASSERT_EQ(0, oriented_median(px.data(), n, n, o.data(), out.data()));
  EXPECT_EQ(200, out[5 * n + 5]);  // vertical sector keeps the vertical line
  EXPECT_EQ(7, out[1 * n + 5]);    // margin of 2 not written
  std::fill(o.begin(), o.end(), 64);  // horizontal sector wipes it
  ASSERT_EQ(0, oriented_median(px.data(), n, n, o.data(), out.data()));
  EXPECT_EQ(0, out[5 * n + 5]);
  // Mean of 9 along the horizontal set: (-1,0), (0,0), (1,0) are bright -> 600 / 9.
  ASSERT_EQ(0, oriented_mean(px.data(), n, n, o.data(), out.data()));
  EXPECT_EQ(66, out[5 * n + 5]);
  // Vertical set: 7 of the 9 lie on the line -> 1400 / 9.
  std::fill(o.begin(), o.end(), 128);
  ASSERT_EQ(0, oriented_mean(px.data(), n, n, o.data(), px.data()));
  EXPECT_EQ(155, px[5 * n + 5]);
}

}  // namespace
