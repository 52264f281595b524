// Global and local contrast normalisation and the edge smoothing of block
// values.
#include <gtest/gtest.h>

#include <vector>

#include "engine/image/block_ops.h"
#include "engine/image/normalize.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "image_gen.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Normalize, GainBranches) {
  struct Case {
    uint32_t dev_sq, variance, gain;
  };
  const Case cases[] = {
      {120 * 120, 100, 384},  // g = 36864: first branch, exactly 32 * 120 / 10
      {120 * 120, 10, 1212},  // g = 368640: second branch (x 4)
      {120 * 120, 1, 3840},   // g = 3686400: third branch (x 16)
      {80 * 80, 6400, 32},    // unit gain
      {120 * 120, 0, 0},
  };
  for (const Case &c : cases) EXPECT_EQ(bal_normalize_gain(c.dev_sq, c.variance), c.gain) << c.variance;
}

TEST(Normalize, GlobalMovesHalfWayToTheTargetMean) {
  Bytes flat = imggen::flat(10, 10, 200);
  EXPECT_EQ(bal_normalize_image_simple(flat.data(), 10, 10, 127, 80, flat.data()), 0u);
  for (uint8_t v : flat) EXPECT_EQ(v, 163);

  // Mean 100, deviation 20, target deviation 20: unit gain, mean 113.
  Bytes two(100);
  for (int i = 0; i < 100; ++i) two[i] = i % 2 ? 120 : 80;
  Bytes out(100);
  EXPECT_EQ(bal_normalize_image_simple(two.data(), 10, 10, 127, 20, out.data()), 32u);
  EXPECT_EQ(out[0], 93);
  EXPECT_EQ(out[1], 133);
  // Target mean is taken as a byte: 127 + 256 acts as 127.
  bal_normalize_image_simple(two.data(), 10, 10, 127 + 256, 20, out.data());
  EXPECT_EQ(out[1], 133);
}

TEST(Normalize, EdgeSmoothingOfBlockValues) {
  // 4 x 4 grid, all fingerprint: inner cells keep their values, the outer
  // ring takes the mean of its fingerprint neighbours.
  const Bytes mask(16, 1);
  Bytes values(16);
  for (int i = 0; i < 16; ++i) values[i] = static_cast<uint8_t>(10 * i);
  Bytes out(16);
  ASSERT_EQ(bal_blur_fingerprint_edge_uint8(values.data(), mask.data(), 4, 4, out.data()), 0);
  EXPECT_EQ(out[5], 50);
  EXPECT_EQ(out[10], 100);
  EXPECT_EQ(out[0], (0 + 10 + 40 + 50) / 4);
  EXPECT_EQ(out[1], (0 + 10 + 20 + 40 + 50 + 60) / 6);
  // A background cell takes the mean of its fingerprint neighbours only;
  // one without any keeps its value; an inner fingerprint cell next to
  // background is replaced too.
  Bytes m2 = {1, 1, 0, 0,  //
              1, 1, 0, 0,  //
              1, 1, 1, 0,  //
              0, 0, 0, 0};
  const std::vector<uint16_t> v16 = {100, 200, 7, 7, 100, 200, 7, 7, 100, 200, 300, 7, 9, 9, 9, 9};
  std::vector<uint16_t> o16(16);
  ASSERT_EQ(bal_blur_fingerprint_edge_uint16(v16.data(), m2.data(), 4, 4, o16.data()), 0);
  EXPECT_EQ(o16[3], 7);                                   // no fingerprint around
  EXPECT_EQ(o16[2], (200 + 200) / 2);                     // background cell
  EXPECT_EQ(o16[5], (100 + 200 + 100 + 200 + 100 + 200 + 300) / 7);  // inner, next to background
  // In place reads input values only.
  std::vector<uint16_t> inplace = v16;
  ASSERT_EQ(bal_blur_fingerprint_edge_uint16(inplace.data(), m2.data(), 4, 4, inplace.data()), 0);
  EXPECT_EQ(inplace, o16);
}

TEST(Normalize, LocalFloorsTheVarianceAndWhitensBackground) {
  // 2 x 2 blocks of 12: flat 100 with one 101 on an odd pixel (outside the
  // variance sample); the bottom-right block is background.
  Bytes px = imggen::flat(24, 24, 100);
  px[1 * 24 + 1] = 101;
  for (int r = 12; r < 24; ++r)
    for (int c = 12; c < 24; ++c) px[r * 24 + c] = 37;
  const Bytes mask = {1, 1, 1, 0};
  Bytes out(24 * 24);
  ASSERT_EQ(bal_normalize_locally(px.data(), 24, 24, mask.data(), 12, 2, 2, 150, 120, out.data()), 0);
  // Variance 0 is raised to 100: gain 384, so +1 becomes +12.
  EXPECT_EQ(out[1 * 24 + 1], 150 + 12);
  EXPECT_EQ(out[0], 150);
  for (int r = 12; r < 24; ++r)
    for (int c = 12; c < 24; ++c) ASSERT_EQ(out[r * 24 + c], 255);
  // In place gives the same.
  ASSERT_EQ(bal_normalize_locally(px.data(), 24, 24, mask.data(), 12, 2, 2, 150, 120, px.data()), 0);
  EXPECT_EQ(px, out);
}

TEST(Normalize, LocalWritesNothingWhenOutOfMemory) {
  const Bytes px = imggen::ridges(48, 48, 8, 0);
  const Bytes mask(16, 1);
  const long live = qx_alloc_live();
  for (long n = 0;; ++n) {
    Bytes out(48 * 48, 7);
    qx_alloc_fail_after(n);
    const int status = bal_normalize_locally(px.data(), 48, 48, mask.data(), 12, 4, 4, 150, 120, out.data());
    const bool fired = !qx_alloc_fail_pending();
    qx_alloc_fail_after(-1);
    if (!fired) {
      EXPECT_EQ(status, 0);
      EXPECT_GE(n, 5);
      break;
    }
    EXPECT_EQ(status, QXI_NO_MEMORY);
    EXPECT_EQ(out, Bytes(48 * 48, 7)) << "allocation " << n;
    EXPECT_EQ(qx_alloc_live(), live);
  }
}

TEST(Normalize, BlockStatistics) {
  // 2 x 3 blocks of 4 over a 9 x 13 picture: the extra row and column are
  // ignored.
  Bytes px(9 * 13, 0);
  for (int r = 0; r < 9; ++r)
    for (int c = 0; c < 13; ++c) px[r * 13 + c] = static_cast<uint8_t>((r / 4) * 100 + (c / 4) * 10 + (r % 2) * 4);
  Bytes means(6);
  bal_mean_blockwise_uint8(px.data(), 9, 13, 4, 2, 3, means.data());
  EXPECT_EQ(means[0], 2);    // half the rows +4
  EXPECT_EQ(means[5], 122);
  std::vector<uint16_t> var(6);
  bal_var_blockwise_uint8(px.data(), 9, 13, means.data(), 4, 2, 3, var.data());
  // Only even rows are sampled (value +0): (0 - 2)^2 * 4 samples / 2^2 = 4.
  EXPECT_EQ(var[0], 4);
}

}  // namespace
