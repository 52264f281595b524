// Filter classes, the tile filter, binarisation and the picture cleanups.
#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>
#include <vector>

#include "engine/image/pixel_ops.h"
#include "engine/image/ridge_filter.h"
#include "engine/qx_simd.h"
#include "image_gen.hpp"

namespace {

TEST(FilterClass, SectorLevelAndWavelengthClass) {
  // Vertical ridges (128) are sector 0, horizontal (64 or 192) sector 8.
  EXPECT_EQ(0, bal_filter_class(128, 10, 80) & 15);
  EXPECT_EQ(8, bal_filter_class(64, 10, 80) & 15);
  EXPECT_EQ(8, bal_filter_class(192, 10, 80) & 15);
  EXPECT_EQ(0, bal_filter_class(124, 10, 80) & 15);  // (124 + 4) >> 3 = 16 is sector 0 again
  EXPECT_EQ(3, bal_filter_class(149, 10, 80) & 15);  // 149 - 128 = 21 -> 3
  // Levels: above 75 -> 0, below 31 -> 2, else 1.
  EXPECT_EQ(16 * (11 * 0 + 4), bal_filter_class(128, 9, 76));
  EXPECT_EQ(16 * (11 * 1 + 4), bal_filter_class(128, 9, 75));
  EXPECT_EQ(16 * (11 * 1 + 4), bal_filter_class(128, 9, 31));
  EXPECT_EQ(16 * (11 * 2 + 4), bal_filter_class(128, 9, 30));
  // Wavelengths 5 or less use class 0, 15 or more class 10.
  EXPECT_EQ(bal_filter_class(128, 5, 80), bal_filter_class(128, 2, 80));
  EXPECT_EQ(16 * 10, bal_filter_class(128, 15, 80));
  EXPECT_EQ(16 * 10, bal_filter_class(128, 40, 80));
  EXPECT_EQ(527, bal_filter_class(120, 30, 0));  // sector 15, level 2, class 10
}

TEST(GaborFilter, KeepsRidgesOfTheRightPeriodAndDirection) {
  // 9-pixel ridges at 30 degrees: the filter with the matching orientation
  // keeps a strong ridge signal; one turned by 90 degrees suppresses it.
  const int n = 96, B = 12, nb = 8;
  const auto px = imggen::ridges(n, n, 9, 30);
  std::vector<uint8_t> mask(nb * nb, 1), wl(n * n, 9), q(n * n, 90);
  // Orientation byte of ridges whose normal is at 30 degrees (y down): the
  // gradient angle is 30 degrees = 21 steps, o = 21 + 128 = 149.
  std::vector<uint8_t> right(n * n, 149), wrong(n * n, 149 - 64);
  std::vector<int8_t> a(n * n), b(n * n);
  ASSERT_EQ(0, bal_gabor_filter_32(px.data(), n, n, wl.data(), right.data(), mask.data(), q.data(), nb, nb, B, a.data()));
  ASSERT_EQ(0, bal_gabor_filter_32(px.data(), n, n, wl.data(), wrong.data(), mask.data(), q.data(), nb, nb, B, b.data()));
  long ea = 0, eb = 0, corr = 0;
  for (int r = 24; r < 72; ++r)
    for (int c = 24; c < 72; ++c) {
      const int i = r * n + c;
      ea += std::abs(a[i]);
      eb += std::abs(b[i]);
      corr += static_cast<long>(a[i]) * (px[i] - 128);
    }
  EXPECT_GT(ea, 4 * eb);
  EXPECT_GT(corr, 0);  // same polarity: dark ridges stay negative
}

TEST(GaborFilter, TileWhoseProbePointsAreAllBackgroundStaysZero) {
  // Blocks of 6: the tile at (16, 16) probes (16,16), (16,31), (31,16),
  // (31,31) and (24,24), that is blocks (2,2), (2,5), (5,2), (5,5), (4,4).
  // Block (3, 3) lies inside the tile but holds no probe point.
  const int n = 48, B = 6, nb = 8;
  const auto px = imggen::ridges(n, n, 9, 0);
  std::vector<uint8_t> mask(nb * nb, 0), wl(n * n, 9), o(n * n, 128), q(n * n, 90);
  mask[3 * nb + 3] = 1;
  std::vector<int8_t> out(n * n, 5);
  ASSERT_EQ(0, bal_gabor_filter_32(px.data(), n, n, wl.data(), o.data(), mask.data(), q.data(), nb, nb, B, out.data()));
  for (int8_t v : out) ASSERT_EQ(0, v);
  // With the centre probe's block (4, 4) in the print the tile is filtered.
  mask[4 * nb + 4] = 1;
  ASSERT_EQ(0, bal_gabor_filter_32(px.data(), n, n, wl.data(), o.data(), mask.data(), q.data(), nb, nb, B, out.data()));
  long energy = 0;
  for (int r = 16; r < 32; ++r)
    for (int c = 16; c < 32; ++c) energy += std::abs(out[r * n + c]);
  EXPECT_GT(energy, 0);
  EXPECT_EQ(0, out[0]);
}

TEST(GaborFilter, SixteenPointFilterAtBothSteps) {
  const int n = 96, B = 12, nb = 8;
  const auto px = imggen::ridges(n, n, 9, 0);
  std::vector<uint8_t> mask(nb * nb, 1), wl(n * n, 9), o(n * n, 128), q(n * n, 90);
  for (int step : {1, 2}) {
    std::vector<int8_t> out(n * n);
    ASSERT_EQ(0, bal_gabor_filter_16(px.data(), n, n, wl.data(), o.data(), mask.data(), q.data(), nb, nb, B,
                                     out.data(), step));
    long corr = 0;
    for (int r = 24; r < 72; ++r)
      for (int c = 24; c < 72; ++c) corr += static_cast<long>(out[r * n + c]) * (px[r * n + c] - 128);
    EXPECT_GT(corr, 0) << step;
  }
}

// The filters on both paths of the vector kernels (among them the classes
// of sixteen pixels at a time), with orientation, wavelength and quality
// taking every byte value (the quality bounds 30/31 and 75/76, the
// wavelength limits, orientations on both sides of 128), on pictures that
// end inside a tile, with a patchy mask.
TEST(GaborFilter, VectorAndPlainPathsAgreeForEveryClass) {
  const int B = 12;
  for (const auto &size : {std::pair<int, int>{75, 90}, std::pair<int, int>{96, 96}, std::pair<int, int>{40, 131}}) {
    const int rows = size.first, cols = size.second, n = rows * cols;
    const int brows = rows / B, bcols = cols / B;
    auto px = imggen::ridges(rows, cols, 9, 30);
    const auto noise = imggen::noise(rows, cols, 99);
    std::vector<uint8_t> o(n), wl(n), q(n), mask(static_cast<size_t>(brows) * bcols);
    for (int p = 0; p < n; ++p) {
      px[p] = static_cast<uint8_t>((px[p] + noise[p]) / 2);
      o[p] = static_cast<uint8_t>(p * 37);
      wl[p] = static_cast<uint8_t>((p / 3) % 256);
      q[p] = static_cast<uint8_t>(p * 29 + p / 97);
    }
    for (size_t k = 0; k < mask.size(); ++k) mask[k] = k % 5 != 2;
    for (int kind = 0; kind < 3; ++kind) {
      std::vector<int8_t> out[2];
      for (int plain = 0; plain < 2; ++plain) {
        out[plain].assign(n, 3);
        const int previous = qx_simd_force_plain(plain);
        if (kind == 0)
          EXPECT_EQ(0, bal_gabor_filter_32(px.data(), rows, cols, wl.data(), o.data(), mask.data(), q.data(), brows,
                                           bcols, B, out[plain].data()));
        else
          EXPECT_EQ(0, bal_gabor_filter_16(px.data(), rows, cols, wl.data(), o.data(), mask.data(), q.data(), brows,
                                           bcols, B, out[plain].data(), kind));
        qx_simd_force_plain(previous);
      }
      ASSERT_EQ(out[0], out[1]) << rows << " x " << cols << ", filter " << kind;
      long energy = 0;
      for (int8_t v : out[0]) energy += std::abs(v);
      EXPECT_GT(energy, n / 4) << rows << " x " << cols << ", filter " << kind;
    }
  }
}

TEST(Binarize, UniformRegionGetsItsValueAsThresholdAndIsNotRidge) {
  const int n = 60, B = 12, nb = 5;
  std::vector<int8_t> f(n * n, 17);
  std::vector<uint8_t> mask(nb * nb, 1), q(n * n, 50), ridge(n * n), valley(n * n);
  mask[0] = 0;
  ASSERT_EQ(0, bal_binarize_local_histogram_threshold(f.data(), q.data(), n, n, mask.data(), B, 47, ridge.data(),
                                                      valley.data()));
  // Interior block (2, 2): threshold 17, nothing below it.
  for (int r = 24; r < 36; ++r)
    for (int c = 24; c < 36; ++c) {
      EXPECT_EQ(1, ridge[r * n + c]);
      EXPECT_EQ(0, valley[r * n + c]);
    }
  // Background block: white in both.
  EXPECT_EQ(1, ridge[0]);
  EXPECT_EQ(1, valley[0]);
}

TEST(Binarize, ThresholdAtFortySevenPercentSplitsRidgesFromValleys) {
  const int n = 48, B = 12, nb = 4;
  std::vector<int8_t> f(n * n);
  for (int i = 0; i < n * n; ++i) f[i] = static_cast<int8_t>((i % n) % 2 ? 60 : -60);  // columns alternate
  std::vector<uint8_t> mask(nb * nb, 1), q(n * n, 50), ridge(n * n), valley(n * n);
  ASSERT_EQ(0, bal_binarize_local_histogram_threshold(f.data(), q.data(), n, n, mask.data(), B, 47, ridge.data(),
                                                      valley.data()));
  // Half the values are -60: the cumulative share first exceeds 47 % at
  // -60, so the threshold is -60 and nothing is below it; at 40 % it is too.
  EXPECT_EQ(1, ridge[20 * n + 20]);
  ASSERT_EQ(0, bal_binarize_local_histogram_threshold(f.data(), q.data(), n, n, mask.data(), B, 50, ridge.data(),
                                                      valley.data()));
  // At 50 % the share must exceed 50: the threshold is 60, -60 lies below.
  EXPECT_EQ(0, ridge[20 * n + 20]);
  EXPECT_EQ(1, valley[20 * n + 20]);
  EXPECT_EQ(1, ridge[20 * n + 21]);
}

TEST(Binarize, EachBlockSplitsAtTheFirstValuePastItsShare) {
  // Noisy filtered values (every byte), a patchy mask and pictures that
  // reach past the last whole block, at the working block sizes and an odd
  // one, for shares from none to all (and a negative one, never reached).
  // The threshold of a block is the first value v whose count of values up
  // to v, in percent of the block (rounded down), exceeds the share; the
  // thresholds are smoothed over the blocks and each pixel of a foreground
  // block is ridge unless it lies below its block's.
  const int sizes[][3] = {{12, 64, 77}, {6, 40, 33}, {5, 26, 31}};
  int seed = 3;
  for (const auto &z : sizes) {
    const int B = z[0], rows = z[1], cols = z[2], brows = rows / B, bcols = cols / B;
    const std::vector<uint8_t> noise = imggen::noise(rows, cols, ++seed), q(rows * cols, 50);
    std::vector<int8_t> f(noise.begin(), noise.end());
    std::vector<uint8_t> mask = imggen::noise(brows, bcols, ++seed);
    for (uint8_t &m : mask) m = m % 3 != 0;
    for (int percent : {-1, 0, 1, 47, 99, 100}) {
      std::vector<int8_t> thr(brows * bcols), smooth(brows * bcols);
      for (int br = 0; br < brows; ++br)
        for (int bc = 0; bc < bcols; ++bc) {
          int t = 127;
          if (mask[br * bcols + bc]) {
            for (int v = -128; v <= 127 && t == 127; ++v) {
              unsigned upto = 0;
              for (int r = br * B; r < br * B + B; ++r)
                for (int c = bc * B; c < bc * B + B; ++c) upto += f[r * cols + c] <= v;
              if (upto * 100 / unsigned(B * B) > unsigned(percent)) t = v;
            }
          } else {
            t = 0;
          }
          thr[br * bcols + bc] = static_cast<int8_t>(t);
        }
      ASSERT_EQ(0, bal_blur_weighted_int8(thr.data(), brows, bcols, smooth.data()));
      std::vector<uint8_t> ridge(rows * cols), valley(rows * cols);
      ASSERT_EQ(0, bal_binarize_local_histogram_threshold(f.data(), q.data(), rows, cols, mask.data(), B, percent,
                                                          ridge.data(), valley.data()));
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
          const int br = r / B, bc = c / B;
          const bool fg = br < brows && bc < bcols && mask[br * bcols + bc];
          const bool below = fg && f[r * cols + c] < smooth[br * bcols + bc];
          ASSERT_EQ(ridge[r * cols + c], below ? 0 : 1) << "B " << B << ", " << percent << " %, " << r << ", " << c;
          ASSERT_EQ(valley[r * cols + c], fg && !below ? 0 : 1) << "B " << B << ", " << percent << " %";
        }
    }
  }
}

TEST(Binarize, EdgeRemovalWhitensTheOuterRowsAndColumns) {
  const int rows = 30, cols = 40;
  std::vector<uint8_t> ridge(rows * cols, 0), valley(rows * cols, 0);
  bal_binarize_remove_edges(ridge.data(), valley.data(), rows, cols, 1, 5, 1, 7);
  for (int c = 0; c < cols; ++c) {
    EXPECT_EQ(1, ridge[c]);
    EXPECT_EQ(1, valley[(rows - 1) * cols + c]);
    EXPECT_EQ(1, ridge[(rows - 7) * cols + c]);
    EXPECT_EQ(0, ridge[(rows - 8) * cols + 10]);
  }
  for (int r = 0; r < rows; ++r) {
    EXPECT_EQ(1, ridge[r * cols]);
    EXPECT_EQ(1, ridge[r * cols + cols - 5]);
  }
  EXPECT_EQ(0, ridge[10 * cols + cols - 6]);
}

TEST(Binarize, DotRemovalFlipsIsolatedPixelsWhereQualityAllows) {
  const int n = 9;
  std::vector<uint8_t> ridge(n * n, 1), valley(n * n, 0), q(n * n, 50);
  ridge[4 * n + 4] = 0;  // a lone black dot
  valley[4 * n + 4] = 1;
  ridge[2 * n + 6] = 0;  // another where the quality is too low
  valley[2 * n + 6] = 1;
  q[2 * n + 6] = 15;
  bal_binarize_remove_dots(ridge.data(), valley.data(), q.data(), n, n);
  EXPECT_EQ(1, ridge[4 * n + 4]);
  EXPECT_EQ(0, valley[4 * n + 4]);
  EXPECT_EQ(0, ridge[2 * n + 6]);
  // A horizontal line stays: its pixels equal their left and right ones.
  std::vector<uint8_t> r2(n * n, 1), v2(n * n, 0), q2(n * n, 50);
  for (int c = 0; c < n; ++c) r2[4 * n + c] = 0;
  bal_binarize_remove_dots(r2.data(), v2.data(), q2.data(), n, n);
  for (int c = 1; c < n - 1; ++c) EXPECT_EQ(0, r2[4 * n + c]);
}

// Dot removal tests sixteen pixels at a time on the vector path, each run
// cut at its first flip; both paths must flip the same pixels.  Random
// pictures from sparse to dense (runs of flips, flips next to each other
// and on the sixteen-pixel boundaries), qualities around the bound 15/16,
// bytes other than 0 and 1, widths below, at and between the steps.
TEST(Binarize, DotRemovalIsTheSameOnBothPaths) {
  uint32_t seed = 77;
  auto next = [&] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  long flipped = 0;
  for (const auto &size : {std::pair<int, int>{9, 17}, std::pair<int, int>{20, 18}, std::pair<int, int>{31, 33},
                           std::pair<int, int>{64, 100}})
    for (int density : {5, 30, 50, 80})
      for (int odd : {0, 1}) {
        const int rows = size.first, cols = size.second, n = rows * cols;
        std::vector<uint8_t> ridge(n), valley(n), q(n);
        for (int i = 0; i < n; ++i) {
          ridge[i] = next() % 100 < static_cast<uint32_t>(density) ? 0 : 1;
          if (odd && next() % 17 == 0) ridge[i] = static_cast<uint8_t>(next() % 256);
          valley[i] = static_cast<uint8_t>(ridge[i] ^ 1);
          q[i] = static_cast<uint8_t>(next() % 4 == 0 ? 14 + next() % 4 : next() % 100);
        }
        std::vector<uint8_t> r[2], v[2];
        for (int plain = 0; plain < 2; ++plain) {
          r[plain] = ridge;
          v[plain] = valley;
          const int previous = qx_simd_force_plain(plain);
          bal_binarize_remove_dots(r[plain].data(), v[plain].data(), q.data(), rows, cols);
          qx_simd_force_plain(previous);
        }
        ASSERT_EQ(r[0], r[1]) << rows << " x " << cols << ", density " << density << ", odd " << odd;
        ASSERT_EQ(v[0], v[1]) << rows << " x " << cols << ", density " << density << ", odd " << odd;
        for (int i = 0; i < n; ++i) flipped += r[0][i] != ridge[i];
      }
  EXPECT_GT(flipped, 500);
}

}  // namespace
