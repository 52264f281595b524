// Resampling paths and block-to-pixel interpolation.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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

// The interpolation written pixel by pixel, as the block fields are
// defined: each pixel's cell between block centres (clamped beyond the
// first and last), the four corners and one division at the end (linear)
// or three truncated steps along the shorter arc (cyclic).
struct CellRef {
  int k0, k1, off;
};
CellRef cell_ref(int p, int centre0, int count, int B) {
  const int rel = std::clamp(p - centre0, 0, (count - 1) * B);
  CellRef c{rel / B, 0, rel % B};
  if (c.k0 >= count - 1) c = {count - 1, 0, 0};
  c.k1 = std::min(c.k0 + 1, count - 1);
  return c;
}
Bytes interpolate_ref(const Bytes &grid, int grows, int gcols, int B, int centre0, int rows, int cols, bool cyclic) {
  Bytes out(static_cast<size_t>(rows) * cols);
  auto wrap = [](int d) { return static_cast<int>(static_cast<int8_t>(static_cast<uint8_t>(d))); };
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const CellRef y = cell_ref(r, centre0, grows, B), x = cell_ref(c, centre0, gcols, B);
      const int tl = grid[y.k0 * gcols + x.k0], tr = grid[y.k0 * gcols + x.k1];
      const int bl = grid[y.k1 * gcols + x.k0], br = grid[y.k1 * gcols + x.k1];
      int v;
      if (cyclic) {
        const int top = tl + wrap(tr - tl) * x.off / B, bottom = bl + wrap(br - bl) * x.off / B;
        v = top + wrap(bottom - top) * y.off / B;
      } else {
        v = ((tl * (B - x.off) + tr * x.off) * (B - y.off) + (bl * (B - x.off) + br * x.off) * y.off) / (B * B);
      }
      out[static_cast<size_t>(r) * cols + c] = static_cast<uint8_t>(v);
    }
  return out;
}

TEST(Resample, BlockInterpolationMatchesThePixelByPixelDefinition) {
  // Block sides with their own code paths (12 and 6) and others, grids of
  // one block to many, images cut short of the grid or reaching past it,
  // and one wider than the column tables (1100 columns).
  struct Case {
    int B, grows, gcols, rows, cols;
  };
  const Case cases[] = {{12, 10, 10, 120, 120}, {12, 17, 16, 204, 192}, {12, 3, 5, 30, 70},  {6, 20, 20, 120, 120},
                        {6, 9, 4, 60, 20},      {4, 2, 2, 8, 8},        {1, 5, 7, 5, 7},     {2, 1, 1, 3, 3},
                        {13, 4, 6, 50, 80},     {7, 3, 3, 40, 17},      {12, 1, 12, 12, 144}, {12, 2, 92, 24, 1100},
                        {5, 6, 230, 30, 1100}};
  int seed = 1;
  for (const Case &k : cases) {
    const Bytes grid = imggen::noise(k.grows, k.gcols, ++seed);
    // Padded grid as scale_up_bilinear_pad_uint8 lays it out (pad 37).
    const int prows = k.grows + 2, pcols = k.gcols + 2;
    Bytes padded(static_cast<size_t>(prows) * pcols, 37);
    for (int r = 0; r < k.grows; ++r)
      for (int c = 0; c < k.gcols; ++c) padded[(r + 1) * pcols + c + 1] = grid[r * k.gcols + c];
    Bytes out(static_cast<size_t>(k.rows) * k.cols);
    const std::string what = "B " + std::to_string(k.B) + ", grid " + std::to_string(k.grows) + " x " +
                             std::to_string(k.gcols) + ", image " + std::to_string(k.rows) + " x " +
                             std::to_string(k.cols);
    ASSERT_EQ(scale_up_bilinear_uint8(grid.data(), k.grows, k.gcols, k.B, out.data(), k.rows, k.cols), 0);
    EXPECT_EQ(out, interpolate_ref(grid, k.grows, k.gcols, k.B, k.B / 2, k.rows, k.cols, false)) << "linear, " << what;
    ASSERT_EQ(scale_up_bilinear_cyclic(grid.data(), k.grows, k.gcols, k.B, out.data(), k.rows, k.cols), 0);
    EXPECT_EQ(out, interpolate_ref(grid, k.grows, k.gcols, k.B, k.B / 2, k.rows, k.cols, true)) << "cyclic, " << what;
    ASSERT_EQ(scale_up_bilinear_pad_uint8(grid.data(), k.grows, k.gcols, k.B, 37, out.data(), k.rows, k.cols), 0);
    EXPECT_EQ(out, interpolate_ref(padded, prows, pcols, k.B, k.B / 2 - k.B, k.rows, k.cols, false))
        << "padded, " << what;
  }
}

// The general bilinear sampler written out: 16.16 positions, taps on the
// nearer side of each pixel centre, weights in 1/256, neighbours outside
// the image dropped and the sum divided by the weights that remain.
Bytes sample_ref(const Bytes &src, int rows, int cols, int dst_rows, int dst_cols) {
  struct T {
    int i0, i1, w0, w1;
  };
  auto tap = [](uint32_t pos, int size) {
    const int i = static_cast<int>(pos >> 16);
    const int f = static_cast<int>(pos & 0xFFFF) - 0x8000;
    T t = f < 0 ? T{i - 1, i, (-f) >> 8, 0} : T{i, i + 1, 256 - (f >> 8), 0};
    t.w1 = 256 - t.w0;
    if (t.i0 < 0) t.w0 = 0, t.i0 = 0;
    if (t.i1 >= size) t.w1 = 0, t.i1 = size - 1;
    if (t.i0 >= size) t.i0 = size - 1;
    return t;
  };
  const uint32_t sy = (static_cast<uint32_t>(rows - 1) << 16) / dst_rows, sx = (static_cast<uint32_t>(cols - 1) << 16) / dst_cols;
  Bytes out(static_cast<size_t>(dst_rows) * dst_cols);
  for (int r = 0; r < dst_rows; ++r)
    for (int c = 0; c < dst_cols; ++c) {
      const T ty = tap(sy / 2 + 0x8000 + r * sy, rows), tx = tap(sx / 2 + 0x8000 + c * sx, cols);
      const int w[4] = {ty.w0 * tx.w0, ty.w0 * tx.w1, ty.w1 * tx.w0, ty.w1 * tx.w1};
      const int v[4] = {src[ty.i0 * cols + tx.i0], src[ty.i0 * cols + tx.i1], src[ty.i1 * cols + tx.i0],
                        src[ty.i1 * cols + tx.i1]};
      const int weight = w[0] + w[1] + w[2] + w[3];
      const int sum = w[0] * v[0] + w[1] * v[1] + w[2] * v[2] + w[3] * v[3];
      out[static_cast<size_t>(r) * dst_cols + c] = static_cast<uint8_t>(weight ? sum / weight : v[0]);
    }
  return out;
}

TEST(Resample, GeneralSamplerMatchesItsDefinitionInsideAndAtTheEdges) {
  // 88 -> 120 is the small sensor's resampling; the others reach the edge
  // taps from both sides, shrink without the halving steps, and reach
  // past the column table.
  const int sizes[][4] = {{88, 88, 120, 120}, {88, 100, 120, 137}, {7, 5, 19, 23}, {120, 120, 88, 88}, {2, 2, 5, 3},
                          {3, 700, 2, 1100}};  // wider than the column table
  int seed = 40;
  for (const auto &z : sizes) {
    const Bytes src = imggen::noise(z[0], z[1], ++seed);
    Bytes out(static_cast<size_t>(z[2]) * z[3]);
    ASSERT_EQ(bal_scale_bilinear(src.data(), z[0], z[1], out.data(), z[2], z[3]), 0);
    EXPECT_EQ(out, sample_ref(src, z[0], z[1], z[2], z[3])) << z[0] << " x " << z[1] << " -> " << z[2] << " x " << z[3];
  }
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
