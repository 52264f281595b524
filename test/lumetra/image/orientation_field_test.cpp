// Orientation, reliability, pixel orientation, quality image and the
// oriented smoothing footprints.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/image/fixed_math.h"
#include "engine/image/orientation_field.h"
#include "engine/qx_simd.h"
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

TEST(QualityFromReliability, EveryPixelTakesItsOwnBlocksMask) {
  // An odd block side, a patchy mask, and a picture reaching past the last
  // whole block on both axes: pixels there, and in background blocks, are 0.
  const int B = 7, brows = 4, bcols = 5, rows = 31, cols = 40;
  std::vector<uint8_t> rel(brows * bcols, 255), mask = imggen::noise(brows, bcols, 5), q(rows * cols);
  for (uint8_t &m : mask) m = m & 1;
  ASSERT_EQ(0, bal_quality_from_reliability(rel.data(), mask.data(), brows, bcols, B, q.data(), rows, cols));
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const bool fg = r / B < brows && c / B < bcols && mask[(r / B) * bcols + c / B];
      EXPECT_EQ(fg, q[r * cols + c] != 0) << r << ", " << c;
    }
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

TEST(OrientedSmoothing, VectorAndPlainPathsAgree) {
  // Widths below one vector, at whole vectors and with every tail length;
  // noise in the pixels and in the orientations (all 256 bytes, so every
  // sector and both sides of each sector boundary), flat black and white
  // (the largest sum of the mean), and orientations in runs.  Each filter
  // runs into a marked output and in place; the margins must stay as they
  // were on both paths.
  const int sizes[][2] = {{5, 5}, {7, 37}, {9, 38}, {12, 39}, {40, 40}, {33, 67}, {31, 68}, {120, 120}, {96, 197}};
  int seed = 7;
  for (const auto &z : sizes) {
    const int rows = z[0], cols = z[1];
    const size_t n = static_cast<size_t>(rows) * cols;
    std::vector<std::vector<uint8_t>> pictures = {imggen::noise(rows, cols, ++seed), std::vector<uint8_t>(n, 255),
                                                  std::vector<uint8_t>(n, 0)};
    std::vector<std::vector<uint8_t>> orientations = {imggen::noise(rows, cols, ++seed), std::vector<uint8_t>(n)};
    for (size_t i = 0; i < n; ++i) orientations[1][i] = static_cast<uint8_t>((i / 5) * 9);
    for (size_t p = 0; p < pictures.size(); ++p)
      for (const auto &o : orientations)
        for (int mean = 0; mean < 2; ++mean) {
          const std::vector<uint8_t> &px = pictures[p];
          auto filter = mean ? oriented_mean : oriented_median;
          std::vector<uint8_t> out[2], in_place[2];
          for (int plain = 0; plain < 2; ++plain) {
            const int previous = qx_simd_force_plain(plain);
            out[plain].assign(n, 77);
            in_place[plain] = px;
            EXPECT_EQ(0, filter(px.data(), rows, cols, o.data(), out[plain].data()));
            EXPECT_EQ(0, filter(in_place[plain].data(), rows, cols, o.data(), in_place[plain].data()));
            qx_simd_force_plain(previous);
          }
          const std::string what = std::string(mean ? "mean" : "median") + " on " + std::to_string(rows) + " x " +
                                   std::to_string(cols);
          ASSERT_EQ(out[0], out[1]) << what;
          ASSERT_EQ(in_place[0], in_place[1]) << what;
          const int m = mean ? 3 : 2;
          for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
              const size_t i = static_cast<size_t>(r) * cols + c;
              const bool inner = r >= m && r < rows - m && c >= m && c < cols - m;
              // Flat pictures stay flat; the margins are never written.
              if (!inner) {
                ASSERT_EQ(out[0][i], 77) << what;
              } else if (p > 0) {
                ASSERT_EQ(out[0][i], px[0]) << what;
              }
            }
        }
  }
}

}  // namespace
