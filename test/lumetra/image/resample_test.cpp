// Resampling paths and block-to-pixel interpolation.
#include <gtest/gtest.h>

#include <vector>

#include "engine/image/qx_image.h"
#include "engine/image/resample.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "image_gen.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Resample, ScaleResTakesTheExactHalfPath) {
  const Bytes px = imggen::noise(400, 400);
  qx_image *img = qx_image_create(400, 400, 1000, 1000, px.data(), 3);
  qx_image *half = qx_image_scale_res(img, 500, 500);
  ASSERT_NE(half, nullptr);
  EXPECT_EQ(qx_image_get_rows(half), 200);
  EXPECT_EQ(qx_image_get_cols(half), 200);
  EXPECT_EQ(qx_image_get_vertical_resolution(half), 500);
  EXPECT_EQ(qx_image_get_impression_type(half), 3);
  const uint8_t *out = qx_image_get_pixels(half);
  for (int r = 0; r < 200; r += 13)
    for (int c = 0; c < 200; c += 7) {
      const int sum = px[(2 * r) * 400 + 2 * c] + px[(2 * r) * 400 + 2 * c + 1] + px[(2 * r + 1) * 400 + 2 * c] +
                      px[(2 * r + 1) * 400 + 2 * c + 1];
      ASSERT_EQ(out[r * 200 + c], sum >> 2) << r << "," << c;
    }
  qx_image_delete(half);
  qx_image_delete(img);
}

TEST(Resample, FarSmallerTargetHalvesThenInterpolates) {
  const Bytes px = imggen::ridges(300, 300, 9, 30);
  qx_image *img = qx_image_create(300, 300, 500, 500, px.data(), 0);
  qx_image *small = qx_image_scale_res(img, 127, 127);
  ASSERT_NE(small, nullptr);
  ASSERT_EQ(qx_image_get_rows(small), 76);
  ASSERT_EQ(qx_image_get_cols(small), 76);
  // The same as halving once to 150 x 150 and sampling that.
  Bytes halved(150 * 150), expected(76 * 76);
  ASSERT_EQ(bal_scale_down_bilinear_2_uint8(px.data(), 300, 300, halved.data()), 0);
  ASSERT_EQ(bal_scale_bilinear(halved.data(), 150, 150, expected.data(), 76, 76), 0);
  EXPECT_EQ(Bytes(qx_image_get_pixels(small), qx_image_get_pixels(small) + 76 * 76), expected);
  qx_image_delete(small);
  qx_image_delete(img);
}

TEST(Resample, HalvingSmoothsWithRenormalisedBorders) {
  Bytes px(4 * 4, 0);
  px[0] = 90;
  Bytes out(4);
  ASSERT_EQ(bal_scale_down_bilinear_2_uint8(px.data(), 4, 4, out.data()), 0);
  // Smoothed: 40 (corner / 9), 15 and 15 (edges / 12), 5 (interior / 16).
  EXPECT_EQ(out[0], (40 + 15 + 15 + 5) >> 2);
  EXPECT_EQ(out[3], 0);
  Bytes flat = imggen::flat(7, 9, 200), fout(3 * 4);
  ASSERT_EQ(bal_scale_down_bilinear_2_uint8(flat.data(), 7, 9, fout.data()), 0);
  for (uint8_t v : fout) EXPECT_EQ(v, 200);
}

TEST(Resample, GeneralBilinear) {
  // Same size copies; flat stays flat; a horizontal ramp stays monotonic.
  Bytes flat = imggen::flat(30, 40, 77), out(17 * 23);
  ASSERT_EQ(bal_scale_bilinear(flat.data(), 30, 40, out.data(), 17, 23), 0);
  for (uint8_t v : out) EXPECT_EQ(v, 77);
  Bytes ramp(10 * 100);
  for (int r = 0; r < 10; ++r)
    for (int c = 0; c < 100; ++c) ramp[r * 100 + c] = static_cast<uint8_t>(2 * c);
  Bytes up(10 * 150);
  ASSERT_EQ(bal_scale_bilinear(ramp.data(), 10, 100, up.data(), 10, 150), 0);
  for (int c = 1; c < 150; ++c) EXPECT_LE(up[c - 1], up[c]) << c;
  EXPECT_LE(up[0], 4);
  EXPECT_GE(up[149], 194);
  Bytes same(10 * 100);
  ASSERT_EQ(bal_scale_bilinear(ramp.data(), 10, 100, same.data(), 10, 100), 0);
  EXPECT_EQ(same, ramp);
  EXPECT_EQ(bal_scale_bilinear(ramp.data(), 10, 100, same.data(), 0, 100), QXI_OUT_OF_RANGE);
}

TEST(Resample, BlockInterpolationBetweenCentres) {
  const Bytes blocks = {0, 100, 100, 201};
  Bytes out(8 * 8);
  ASSERT_EQ(scale_up_bilinear_uint8(blocks.data(), 2, 2, 4, out.data(), 8, 8), 0);
  EXPECT_EQ(out[2 * 8 + 2], 0);      // on the first centre
  EXPECT_EQ(out[2 * 8 + 4], 50);     // half-way along the top
  EXPECT_EQ(out[4 * 8 + 4], 100);    // (0 + 100 + 100 + 201) / 4 = 100.25, truncated
  EXPECT_EQ(out[3 * 8 + 3], (0 * 9 + 100 * 3 + 100 * 3 + 201 * 1) / 16);
  EXPECT_EQ(out[0], 0);              // replicated edge
  EXPECT_EQ(out[63], 201);
  EXPECT_EQ(out[0 * 8 + 4], out[2 * 8 + 4]);
}

TEST(Resample, PaddedInterpolationFadesTowardThePad) {
  const Bytes blocks = {200};
  Bytes out(4 * 4);
  ASSERT_EQ(scale_up_bilinear_pad_uint8(blocks.data(), 1, 1, 4, 0, out.data(), 4, 4), 0);
  EXPECT_EQ(out[2 * 4 + 2], 200);
  EXPECT_EQ(out[0 * 4 + 2], 100);  // half-way to the padding block above
  EXPECT_EQ(out[0], 50);           // half-way in both directions
  qx_alloc_fail_after(0);
  EXPECT_EQ(scale_up_bilinear_pad_uint8(blocks.data(), 1, 1, 4, 0, out.data(), 4, 4), QXI_NO_MEMORY);
  qx_alloc_fail_after(-1);
}

TEST(Resample, CyclicInterpolationTakesTheShorterArc) {
  const Bytes blocks = {250, 10};
  Bytes out(4 * 8);
  ASSERT_EQ(scale_up_bilinear_cyclic(blocks.data(), 1, 2, 4, out.data(), 4, 8), 0);
  EXPECT_EQ(out[2 * 8 + 4], 2);  // 250 + 16 * 2 / 4 = 258 -> 2, not 130
  EXPECT_EQ(out[2 * 8 + 3], 254);
  EXPECT_EQ(out[2 * 8 + 6], 10);
  const Bytes down = {10, 250};
  ASSERT_EQ(scale_up_bilinear_cyclic(down.data(), 1, 2, 4, out.data(), 4, 8), 0);
  EXPECT_EQ(out[2 * 8 + 3], 6);  // 10 - 16 * 1 / 4
  EXPECT_EQ(out[2 * 8 + 5], 254);  // 10 - 16 * 3 / 4 = -2, wrapped
}

TEST(Resample, AllocationFailuresLeakNothing) {
  const Bytes px = imggen::noise(300, 300);
  qx_image *img = qx_image_create(300, 300, 500, 500, px.data(), 0);
  const long live = qx_alloc_live();
  for (long n = 0;; ++n) {
    qx_alloc_fail_after(n);
    qx_image *out = qx_image_scale_res(img, 127, 127);
    const bool hook_fired = !qx_alloc_fail_pending();
    qx_alloc_fail_after(-1);
    if (!hook_fired) {
      ASSERT_NE(out, nullptr);
      qx_image_delete(out);
      break;
    }
    EXPECT_EQ(out, nullptr) << "allocation " << n;
    EXPECT_EQ(qx_alloc_live(), live);
  }
  qx_image_delete(img);
}

}  // namespace
