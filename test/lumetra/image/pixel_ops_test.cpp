// 3 x 3 filters, morphology, histograms, stretch, Sobel and small helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/image/pixel_ops.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "engine/qx_simd.h"
#include "image_gen.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(PixelOps, MeanBlurAndSobelGiveTheSameOnBothPaths) {
  // Widths below one vector, at whole vectors and with every tail length,
  // down to the smallest images; noise (every byte), flat white (the
  // largest sum of the mean) and a print; the blur also in place.  The
  // Sobel border must stay 0 and the interior keep C's truncation of
  // negative values on both paths.
  const int sizes[][2] = {{1, 1}, {2, 40}, {3, 3}, {3, 17}, {4, 18}, {5, 19}, {7, 33}, {9, 34}, {17, 47}, {40, 120},
                          {120, 120}, {63, 197}};
  int seed = 11;
  for (const auto &z : sizes) {
    const int rows = z[0], cols = z[1];
    const size_t n = static_cast<size_t>(rows) * cols;
    const Bytes pictures[] = {imggen::flat(rows, cols, 255), imggen::noise(rows, cols, ++seed),
                              imggen::finger(rows, cols, 7.5, 35)};
    for (const Bytes &px : pictures) {
      const bool white = &px == &pictures[0];
      Bytes blur[2], in_place[2];
      std::vector<int8_t> gx[2], gy[2];
      for (int plain = 0; plain < 2; ++plain) {
        const int previous = qx_simd_force_plain(plain);
        blur[plain].assign(n, 3);
        in_place[plain] = px;
        ASSERT_EQ(bal_blur_uint8(px.data(), rows, cols, blur[plain].data()), 0);
        ASSERT_EQ(bal_blur_uint8(in_place[plain].data(), rows, cols, in_place[plain].data()), 0);
        gx[plain].assign(n, 5);
        gy[plain].assign(n, 5);
        sobel_2(px.data(), rows, cols, gx[plain].data(), gy[plain].data());
        qx_simd_force_plain(previous);
      }
      const std::string what = std::to_string(rows) + " x " + std::to_string(cols);
      ASSERT_EQ(blur[0], blur[1]) << what;
      ASSERT_EQ(in_place[0], in_place[1]) << what;
      ASSERT_EQ(blur[0], in_place[0]) << what;
      ASSERT_EQ(gx[0], gx[1]) << what;
      ASSERT_EQ(gy[0], gy[1]) << what;
      for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
          const size_t i = static_cast<size_t>(r) * cols + c;
          if (white) {
            ASSERT_EQ(blur[1][i], 255) << what;
          }
          if (r == 0 || c == 0 || r == rows - 1 || c == cols - 1) {
            ASSERT_EQ(gx[1][i], 0) << what;
            ASSERT_EQ(gy[1][i], 0) << what;
          }
        }
    }
  }
}

TEST(PixelOps, MeanOfOnePixelLineIs85OnAndBesideIt) {
  Bytes px = imggen::flat(5, 5, 0);
  for (int r = 0; r < 5; ++r) px[r * 5 + 2] = 255;
  Bytes out(25);
  ASSERT_EQ(bal_blur_uint8(px.data(), 5, 5, out.data()), 0);
  for (int r = 0; r < 5; ++r) {
    EXPECT_EQ(out[r * 5 + 2], 85) << r;  // 255*3/9 inside, 255*2/6 on the edge rows
    EXPECT_EQ(out[r * 5 + 1], 85) << r;
    EXPECT_EQ(out[r * 5 + 0], 0) << r;
  }
  // In place gives the same result: the filter reads input values only.
  ASSERT_EQ(bal_blur_uint8(px.data(), 5, 5, px.data()), 0);
  EXPECT_EQ(px, out);
}

TEST(PixelOps, MeanDivisorsAndSignedTruncation) {
  // Corner / 4, edge / 6, interior / 9 on a 3 x 3 picture of 1..9.
  const std::vector<uint16_t> in = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::vector<uint16_t> out(9);
  ASSERT_EQ(bal_blur_uint16(in.data(), 3, 3, out.data()), 0);
  EXPECT_EQ(out[0], (1 + 2 + 4 + 5) / 4);
  EXPECT_EQ(out[1], (1 + 2 + 3 + 4 + 5 + 6) / 6);
  EXPECT_EQ(out[4], 45 / 9);
  // -5 / 9 truncates to 0 and -13 / 4 to -3 (toward zero, not down).
  const std::vector<int16_t> s = {-13, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<int16_t> so(9);
  ASSERT_EQ(bal_blur_int16(s.data(), 3, 3, so.data()), 0);
  EXPECT_EQ(so[0], -3);
  EXPECT_EQ(so[4], -1);  // -13 / 9
  EXPECT_EQ(so[8], 0);
}

TEST(PixelOps, BinomialRenormalisesEdgesAndCorners) {
  const Bytes in = {90, 0, 0, 0};
  Bytes out(4);
  ASSERT_EQ(bal_blur_weighted_uint8(in.data(), 2, 2, out.data()), 0);
  EXPECT_EQ(out[0], 4 * 90 / 9);
  EXPECT_EQ(out[1], 2 * 90 / 9);
  EXPECT_EQ(out[3], 90 / 9);
  // A flat picture stays flat with the 16 / 12 / 9 divisors.
  Bytes flat = imggen::flat(6, 7, 200);
  ASSERT_EQ(bal_blur_weighted_uint8(flat.data(), 6, 7, flat.data()), 0);
  for (uint8_t v : flat) EXPECT_EQ(v, 200);
  const std::vector<int8_t> neg = {-90, 0, 0, 0};
  std::vector<int8_t> nout(4);
  ASSERT_EQ(bal_blur_weighted_int8(neg.data(), 2, 2, nout.data()), 0);
  EXPECT_EQ(nout[0], -40);
  EXPECT_EQ(nout[3], -10);
}

TEST(PixelOps, UpsampleFillsBetweenSamplesThenSmooths) {
  // Samples on even rows and columns of a 3 x 3 grid; the rest is filled.
  const std::vector<int8_t> in = {40, 99, 80, 99, 99, 99, 0, 99, 40};
  std::vector<int8_t> out(9);
  ASSERT_EQ(bal_blur_weighted_int8_upsample(in.data(), 3, 3, out.data()), 0);
  // Filled grid: 40 60 80 / 20 40 60 / 0 20 40 (a plane), which the
  // binomial kernel keeps in the middle.
  EXPECT_EQ(out[4], 40);
}

// Straightforward clipped-neighbourhood filters, to check the faster
// interior forms against.
template <typename Reduce>
Bytes reference3x3(const Bytes &in, int rows, int cols, Reduce reduce) {
  Bytes out(in.size());
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      std::vector<int> v, w;
      for (int y = r - 1; y <= r + 1; ++y)
        for (int x = c - 1; x <= c + 1; ++x)
          if (y >= 0 && x >= 0 && y < rows && x < cols) {
            v.push_back(in[y * cols + x]);
            w.push_back((y == r ? 2 : 1) * (x == c ? 2 : 1));
          }
      out[r * cols + c] = static_cast<uint8_t>(reduce(v, w));
    }
  return out;
}

TEST(PixelOps, FiltersMatchTheirDefinitionOnNoise) {
  const int rows = 23, cols = 31;
  const Bytes px = imggen::noise(rows, cols, 777);
  Bytes out(px.size());
  ASSERT_EQ(bal_median_uint8(px.data(), rows, cols, out.data()), 0);
  EXPECT_EQ(out, reference3x3(px, rows, cols, [](std::vector<int> v, const std::vector<int> &) {
              std::sort(v.begin(), v.end());
              const size_t n = v.size();
              return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
            }));
  ASSERT_EQ(bal_blur_uint8(px.data(), rows, cols, out.data()), 0);
  EXPECT_EQ(out, reference3x3(px, rows, cols, [](const std::vector<int> &v, const std::vector<int> &) {
              int sum = 0;
              for (int x : v) sum += x;
              return sum / static_cast<int>(v.size());
            }));
  ASSERT_EQ(bal_blur_weighted_uint8(px.data(), rows, cols, out.data()), 0);
  EXPECT_EQ(out, reference3x3(px, rows, cols, [](const std::vector<int> &v, const std::vector<int> &w) {
              int sum = 0, weight = 0;
              for (size_t i = 0; i < v.size(); ++i) sum += v[i] * w[i], weight += w[i];
              return sum / weight;
            }));
}

TEST(PixelOps, MedianWithEvenNeighbourhoods) {
  const Bytes in = {1, 2, 3, 4, 50, 6, 7, 8, 9};
  Bytes out(9);
  ASSERT_EQ(bal_median_uint8(in.data(), 3, 3, out.data()), 0);
  EXPECT_EQ(out[4], 6);              // sorted 1 2 3 4 6 7 8 9 50
  EXPECT_EQ(out[0], (2 + 4) / 2);    // corner {1, 2, 4, 50}
  EXPECT_EQ(out[1], (3 + 4) / 2);    // edge {1, 2, 3, 4, 50, 6}
  const Bytes row = {9, 1, 9, 1};
  Bytes rout(4);
  ASSERT_EQ(bal_median_uint8(row.data(), 1, 4, rout.data()), 0);
  EXPECT_EQ(rout, row);
}

TEST(PixelOps, TwoLevelMorphology) {
  // 5 x 5 with a 3 x 3 square and one stray pixel.
  const Bytes in = {0, 0, 0, 0, 1,  //
                    0, 1, 1, 1, 0,  //
                    0, 1, 1, 1, 0,  //
                    0, 1, 1, 1, 0,  //
                    0, 0, 0, 0, 0};
  Bytes out(25);
  ASSERT_EQ(bal_erode(in.data(), 5, 5, out.data()), 0);
  EXPECT_EQ(std::count(out.begin(), out.end(), 1), 1);
  EXPECT_EQ(out[12], 1);
  ASSERT_EQ(bal_open(in.data(), 5, 5, out.data()), 0);
  Bytes square = in;
  square[4] = 0;
  EXPECT_EQ(out, square);  // the stray pixel is gone, the square stays
  ASSERT_EQ(bal_dilate(in.data(), 5, 5, out.data()), 0);
  EXPECT_EQ(std::count(out.begin(), out.end(), 1), 25);

  // Isolated set and clear interior elements flip; border elements do not.
  Bytes holes = imggen::flat(4, 4, 1);
  holes[5] = 0;
  holes[15] = 0;
  ASSERT_EQ(bal_binarize_remove_holes(holes.data(), 4, 4, out.data()), 0);
  EXPECT_EQ(out[5], 1);
  EXPECT_EQ(out[15], 0);
  Bytes lone = imggen::flat(4, 4, 0);
  lone[6] = 1;
  ASSERT_EQ(bal_binarize_remove_holes(lone.data(), 4, 4, out.data()), 0);
  EXPECT_EQ(out[6], 0);
}

TEST(PixelOps, MajorityRulesForInteriorEdgeAndCorner) {
  // 3 x 3: corner needs all 4, edge more than 4 of 6, centre more than 4 of 9.
  const Bytes in = {1, 1, 0,  //
                    1, 1, 0,  //
                    1, 0, 0};
  Bytes out(9);
  ASSERT_EQ(bal_binarize_blur(in.data(), 3, 3, out.data()), 0);
  EXPECT_EQ(out[0], 1);  // corner: 1 1 / 1 1
  EXPECT_EQ(out[2], 0);  // corner: 1 0 / 1 0
  EXPECT_EQ(out[1], 0);  // top edge: 4 of 6, not more than 4
  EXPECT_EQ(out[3], 1);  // left edge: 5 of 6
  EXPECT_EQ(out[4], 1);  // centre: 5 of 9
}

TEST(PixelOps, HistogramStatistics) {
  const Bytes px = {0, 10, 10, 20, 255, 255};
  uint32_t hist[256];
  bal_image_histogram(px.data(), 2, 3, hist);
  EXPECT_EQ(hist[10], 2u);
  EXPECT_EQ(hist[255], 2u);
  EXPECT_EQ(bal_hist_mean(hist, 6), (0 + 10 + 10 + 20 + 255 + 255) / 6);
  const Bytes two = {80, 120, 80, 120};
  bal_image_histogram(two.data(), 2, 2, hist);
  EXPECT_EQ(bal_hist_mean(hist, 4), 100);
  EXPECT_EQ(bal_hist_var(hist, 100, 4), 400u);
  // Counts of a large image do not wrap the sums.
  uint32_t big[256] = {};
  big[0] = big[255] = 300000;
  EXPECT_EQ(bal_hist_mean(big, 600000), 127);
  EXPECT_EQ(bal_hist_var(big, 127, 600000), (127u * 127 + 128 * 128) / 2);
  big[0] = 0;
  big[255] = 20000000;
  EXPECT_EQ(bal_hist_mean(big, 20000000), 255);
  uint32_t bins[4];
  bal_image_histogram_n(px.data(), 2, 3, 2, bins);  // p >> 6
  EXPECT_EQ(bins[0], 4u);
  EXPECT_EQ(bins[3], 2u);
}

TEST(PixelOps, StretchFlatAndRamp) {
  Bytes flat = imggen::flat(4, 4, 100);
  bal_stretch(flat.data(), 4, 4, 5, flat.data());  // lo 100 -> 99, hi 100
  for (uint8_t v : flat) EXPECT_EQ(v, 255);
  Bytes zero = imggen::flat(2, 2, 0);
  bal_stretch(zero.data(), 2, 2, 5, zero.data());  // lo 0, hi 1
  for (uint8_t v : zero) EXPECT_EQ(v, 0);
  // A ramp 0..99 at 10 %: k = 10; lo = 10, hi = 89.
  Bytes ramp(100);
  for (int i = 0; i < 100; ++i) ramp[i] = static_cast<uint8_t>(i);
  Bytes out(100);
  bal_stretch(ramp.data(), 10, 10, 10, out.data());
  EXPECT_EQ(out[10], 0);
  EXPECT_EQ(out[11], 255 / 79);
  EXPECT_EQ(out[50], 40 * 255 / 79);
  EXPECT_EQ(out[89], 255);
  EXPECT_EQ(out[99], 255);
  // Over 99 % nothing happens; a very large percentage does not divide by
  // a negative span.
  Bytes keep = ramp;
  bal_stretch(ramp.data(), 10, 10, 100, keep.data());
  EXPECT_EQ(keep, ramp);
  bal_stretch(ramp.data(), 10, 10, 80, out.data());
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(out[i] == 0 || out[i] == 255) << i;
}

TEST(PixelOps, SobelTruncatesTowardZeroAndClearsBorder) {
  // Vertical step from 0 to 255: gx = 255 * 4 / 8 = 127 next to it.
  Bytes step(5 * 6, 0);
  for (int r = 0; r < 5; ++r)
    for (int c = 3; c < 6; ++c) step[r * 6 + c] = 255;
  std::vector<int8_t> gx(30), gy(30);
  sobel_2(step.data(), 5, 6, gx.data(), gy.data());
  EXPECT_EQ(gx[2 * 6 + 2], 127);
  EXPECT_EQ(gx[2 * 6 + 3], 127);
  EXPECT_EQ(gx[2 * 6 + 1], 0);
  EXPECT_EQ(gy[2 * 6 + 2], 0);
  EXPECT_EQ(gx[0 * 6 + 2], 0);  // border row
  // 7 / 8 and -7 / 8 both give 0; -9 / 8 gives -1.
  Bytes small = imggen::flat(3, 3, 10);
  small[5] = 17;  // right-middle: +14 weighted -> 14 / 8 = 1
  sobel_2(small.data(), 3, 3, gx.data(), gy.data());
  EXPECT_EQ(gx[4], 1);
  EXPECT_EQ(gy[4], 0);
  small[5] = 10;
  small[3] = 17;  // left-middle: -14 / 8 = -1
  sobel_2(small.data(), 3, 3, gx.data(), gy.data());
  EXPECT_EQ(gx[4], -1);
  small[3] = 13;  // -6 / 8 = 0
  sobel_2(small.data(), 3, 3, gx.data(), gy.data());
  EXPECT_EQ(gx[4], 0);
  Bytes ux(9), uy(9);
  small[3] = 17;
  sobel_horizontal(small.data(), 3, 3, ux.data());
  sobel_vertical(small.data(), 3, 3, uy.data());
  EXPECT_EQ(ux[4], 255);  // -1 as its byte pattern
  EXPECT_EQ(uy[4], 0);
}

TEST(PixelOps, CropHelpers) {
  Bytes src(4 * 4);
  for (int i = 0; i < 16; ++i) src[i] = static_cast<uint8_t>(i);
  Bytes dst(3 * 3, 99);
  bal_crop_image(src.data(), 4, 4, dst.data(), 3, 3, -1, 2);
  // Row -1 is outside (left unwritten); columns 2, 3 exist, column 4 not.
  const Bytes expected = {99, 99, 99, 2, 3, 99, 6, 7, 99};
  EXPECT_EQ(dst, expected);
  uint8_t *rows[4];
  bal_images_1D_to_2D(src.data(), 4, 4, rows);
  EXPECT_EQ(rows[3][1], 13);
  EXPECT_EQ(bal_image_pad_bytes(88, 88, 12, 1), 144u * 8 * 8 - 88 * 88);
  EXPECT_EQ(bal_image_pad_bytes(96, 96, 12, 1), 144u * 8 * 8 - 96 * 96);
  EXPECT_EQ(bal_image_pad_bytes(100, 100, 12, 1), 144u * 9 * 9 - 100 * 100);
  EXPECT_EQ(bal_image_pad_bytes(120, 120, 12, 1), 0u);
}

TEST(PixelOps, InPlaceFiltersAnswerOutOfMemory) {
  Bytes px = imggen::noise(8, 8);
  const Bytes before = px;
  const long live = qx_alloc_live();
  int (*filters[])(const uint8_t *, int, int, uint8_t *) = {bal_blur_uint8, bal_blur_weighted_uint8,
                                                             bal_median_uint8, bal_erode, bal_binarize_blur};
  for (auto f : filters) {
    qx_alloc_fail_after(0);
    EXPECT_EQ(f(px.data(), 8, 8, px.data()), QXI_NO_MEMORY);
    EXPECT_EQ(px, before);
  }
  qx_alloc_fail_after(0);
  Bytes out(64);
  EXPECT_EQ(bal_open(px.data(), 8, 8, out.data()), QXI_NO_MEMORY);
  qx_alloc_fail_after(-1);
  EXPECT_EQ(qx_alloc_live(), live);
}

}  // namespace
