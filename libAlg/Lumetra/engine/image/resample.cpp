#include "engine/image/resample.h"

#include <cstring>
#include <type_traits>

#include "engine/image/pixel_ops.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace {

bool valid(int rows, int cols) { return rows > 0 && cols > 0; }

// The widest rows whose column steps the samplers keep in a table on the
// stack.
constexpr int kMaxTableCols = 1024;

// One axis of the 16.16 sampler: the two neighbouring source indices and
// their weights in 1/256.  `pos` is the sample position with half a pixel
// added, so the fraction's half tells on which side of the pixel centre
// the sample lies.
struct Tap {
  int i0, i1;
  int32_t w0, w1;
};

Tap tap_at(uint32_t pos, int size) {
  const int i = static_cast<int>(pos >> 16);
  const int32_t f = static_cast<int32_t>(pos & 0xFFFF) - 0x8000;
  Tap t;
  if (f < 0) {  // left of the centre of pixel i: blend with i - 1
    t.i0 = i - 1;
    t.i1 = i;
    t.w0 = (-f) >> 8;
  } else {  // right of it: blend with i + 1
    t.i0 = i;
    t.i1 = i + 1;
    t.w0 = 256 - (f >> 8);
  }
  t.w1 = 256 - t.w0;
  // Neighbours beyond the image take no part.
  if (t.i0 < 0) t.w0 = 0, t.i0 = 0;
  if (t.i1 >= size) t.w1 = 0, t.i1 = size - 1;
  if (t.i0 >= size) t.i0 = size - 1;
  return t;
}

void sample_general(const uint8_t *src, int rows, int cols, uint8_t *dst, int dst_rows, int dst_cols) {
  const uint32_t step_y = (static_cast<uint32_t>(rows - 1) << 16) / static_cast<uint32_t>(dst_rows);
  const uint32_t step_x = (static_cast<uint32_t>(cols - 1) << 16) / static_cast<uint32_t>(dst_cols);
  // The column taps are the same on every row: found once for targets up
  // to kMaxTableCols columns (wider ones find them again per pixel).
  Tap column_taps[kMaxTableCols];
  const bool table = dst_cols <= kMaxTableCols;
  if (table) {
    uint32_t x = step_x / 2 + 0x8000;
    for (int c = 0; c < dst_cols; ++c, x += step_x) column_taps[c] = tap_at(x, cols);
  }
  uint32_t y = step_y / 2 + 0x8000;
  for (int r = 0; r < dst_rows; ++r, y += step_y) {
    const Tap ty = tap_at(y, rows);
    const uint8_t *row0 = src + static_cast<std::size_t>(ty.i0) * cols;
    const uint8_t *row1 = src + static_cast<std::size_t>(ty.i1) * cols;
    uint32_t x = step_x / 2 + 0x8000;
    for (int c = 0; c < dst_cols; ++c, x += step_x) {
      const Tap tx = table ? column_taps[c] : tap_at(x, cols);
      const int32_t w00 = ty.w0 * tx.w0, w01 = ty.w0 * tx.w1, w10 = ty.w1 * tx.w0, w11 = ty.w1 * tx.w1;
      const int32_t sum = w00 * row0[tx.i0] + w01 * row0[tx.i1] + w10 * row1[tx.i0] + w11 * row1[tx.i1];
      const int32_t weight = w00 + w01 + w10 + w11;
      // Inside the image the weights make 256 x 256: a shift then gives
      // the quotient of the (non-negative) sum without a division.
      const int32_t value = weight == 65536 ? sum >> 16 : weight ? sum / weight : row0[tx.i0];
      dst[static_cast<std::size_t>(r) * dst_cols + c] = static_cast<uint8_t>(value);
    }
  }
}

void mean_2x2(const uint8_t *src, int cols, uint8_t *dst, int dst_rows, int dst_cols) {
  for (int r = 0; r < dst_rows; ++r) {
    const uint8_t *a = src + static_cast<std::size_t>(2 * r) * cols;
    const uint8_t *b = a + cols;
    for (int c = 0; c < dst_cols; ++c)
      dst[static_cast<std::size_t>(r) * dst_cols + c] =
          static_cast<uint8_t>((a[2 * c] + a[2 * c + 1] + b[2 * c] + b[2 * c + 1]) >> 2);
  }
}

}  // namespace

extern "C" qxi_status bal_scale_down_bilinear_2_uint8(const uint8_t *src, int rows, int cols, uint8_t *dst) {
  if (!valid(rows, cols)) return QXI_OUT_OF_RANGE;
  qx::Buffer<uint8_t> smooth;
  if (!smooth.alloc(static_cast<std::size_t>(rows) * cols)) return QXI_NO_MEMORY;
  const qxi_status status = bal_blur_weighted_uint8(src, rows, cols, smooth.get());
  if (status != QXI_OK) return status;
  mean_2x2(smooth.get(), cols, dst, rows / 2, cols / 2);
  return QXI_OK;
}

extern "C" qxi_status bal_scale_bilinear(const uint8_t *src, int rows, int cols, uint8_t *dst, int dst_rows,
                                         int dst_cols) {
  if (!valid(rows, cols) || !valid(dst_rows, dst_cols)) return QXI_OUT_OF_RANGE;
  if (rows == dst_rows && cols == dst_cols) {
    std::memmove(dst, src, static_cast<std::size_t>(rows) * cols);
    return QXI_OK;
  }
  if (2 * dst_rows == rows && 2 * dst_cols == cols) {
    mean_2x2(src, cols, dst, dst_rows, dst_cols);
    return QXI_OK;
  }
  // Far smaller targets: halve with smoothing first, so that the bilinear
  // sampler never skips over source pixels.
  qx::Buffer<uint8_t> a, b;
  const uint8_t *cur = src;
  int cur_rows = rows, cur_cols = cols;
  while (2 * dst_rows < cur_rows && 2 * dst_cols < cur_cols) {
    qx::Buffer<uint8_t> &next = (cur == a.get()) ? b : a;
    if (!next.alloc(static_cast<std::size_t>(cur_rows / 2) * (cur_cols / 2))) return QXI_NO_MEMORY;
    const qxi_status status = bal_scale_down_bilinear_2_uint8(cur, cur_rows, cur_cols, next.get());
    if (status != QXI_OK) return status;
    cur = next.get();
    cur_rows /= 2;
    cur_cols /= 2;
  }
  sample_general(cur, cur_rows, cur_cols, dst, dst_rows, dst_cols);
  return QXI_OK;
}

namespace {

// Position of a pixel on the lattice of block centres along one axis:
// the cell (pair of centres) and the offset from the first one, clamped so
// that pixels outside the lattice repeat its first or last line.
struct Cell {
  int k0, k1;
  int off;
};

Cell cell_at(int p, int centre0, int count, int B) {
  int rel = p - centre0;
  const int last = (count - 1) * B;
  if (rel < 0) rel = 0;
  if (rel > last) rel = last;
  Cell c;
  c.k0 = rel / B;
  c.off = rel - c.k0 * B;
  if (c.k0 >= count - 1) {  // on the last centre (or a single-centre grid)
    c.k0 = count - 1;
    c.off = 0;
  }
  c.k1 = c.k0 + 1 < count ? c.k0 + 1 : c.k0;
  return c;
}

// The block side as a constant for the common sizes (12 at 500 dpi, 6 at
// 250 dpi), so that the blends' divisions by B and B * B become
// multiplications; any other side is read at run time.  The results are
// the same integers either way.
template <int kB>
struct Side {
  int value() const { return kB; }
};
template <>
struct Side<0> {
  int b;
  int value() const { return b; }
};

// Two lines of pixels made from grid rows, each kept while the pixel rows
// still read it: of(k, keep, make) returns grid row k's line, made by
// make(k, line) in the slot that does not hold grid row `keep` when
// neither slot holds k yet.
template <typename T>
struct LinePair {
  T line[2][kMaxTableCols];
  int row[2] = {-1, -1};  // the grid row each line holds
  template <typename Make>
  const T *of(int k, int keep, Make &make) {
    for (int j = 0; j < 2; ++j)
      if (row[j] == k) return line[j];
    const int j = row[0] == keep ? 1 : row[1] == keep ? 0 : row[0] < row[1] ? 0 : 1;
    make(k, line[j]);
    row[j] = k;
    return line[j];
  }
};

// Bilinear interpolation of `grid` (grows x gcols, first centre at pixel
// (centre0, centre0)) onto rows x cols pixels:
//   ((tl (B - x) + tr x) (B - y) + (bl (B - x) + br x) y) / B^2.
// The sum is exact, so it is formed in whichever order is cheapest: each
// grid row is first mixed along its columns, tl (B - x) + tr x, once per
// grid row (not once per pixel row), and each pixel row then blends the
// two lines of its cell, one multiply-add per pixel over whole lines
// (which the compiler vectorises).  Rows with the same cell and offset
// (those clamped beyond the lattice) repeat the row above.
template <int kB>
void upsample_linear(const uint8_t *grid, int grows, int gcols, Side<kB> side, int centre0, uint8_t *out, int rows,
                     int cols) {
  const int B = side.value();
  // A mixed line holds at most 255 B; with a constant B <= 16 the blend
  // 255 B^2 stays within 16 bits.
  using Mixed = std::conditional_t<(kB > 0 && kB <= 16), uint16_t, int32_t>;
  Cell column_cells[kMaxTableCols];
  LinePair<Mixed> along;  // cols <= kMaxTableCols, checked by the caller
  for (int c = 0; c < cols; ++c) column_cells[c] = cell_at(c, centre0, gcols, B);
  auto mix = [&](int k, Mixed *line) {
    const uint8_t *g = grid + static_cast<std::size_t>(k) * gcols;
    for (int c = 0; c < cols; ++c) {
      const Cell cx = column_cells[c];
      line[c] = static_cast<Mixed>(g[cx.k0] * (B - cx.off) + g[cx.k1] * cx.off);
    }
  };
  auto line_of = [&](int k, int keep) { return along.of(k, keep, mix); };
  Cell last{-1, -1, -1};
  for (int r = 0; r < rows; ++r) {
    const Cell cy = cell_at(r, centre0, grows, B);
    uint8_t *line = out + static_cast<std::size_t>(r) * cols;
    if (r > 0 && cy.k0 == last.k0 && cy.k1 == last.k1 && cy.off == last.off) {
      std::memcpy(line, line - cols, static_cast<std::size_t>(cols));
      continue;
    }
    last = cy;
    const Mixed *top = line_of(cy.k0, -1);
    const Mixed *bottom = line_of(cy.k1, cy.k0);
    const Mixed wt = static_cast<Mixed>(B - cy.off), wb = static_cast<Mixed>(cy.off);
    const Mixed area = static_cast<Mixed>(B * B);
    for (int c = 0; c < cols; ++c)
      line[c] = static_cast<uint8_t>(static_cast<Mixed>(top[c] * wt + bottom[c] * wb) / area);
  }
}

// Signed difference b - a wrapped into -128 .. 127.
inline int wrap(int d) { return static_cast<int8_t>(static_cast<uint8_t>(d)); }

// The cyclic blend: along each grid row first, tl + wrap(tr - tl) x / B
// (truncated toward zero), then between the two rows' values the same way.
// A grid row's blended line is the same for every pixel row that reads it,
// so it is made once per cell rather than once per pixel row.
template <int kB>
void upsample_cyclic(const uint8_t *grid, int grows, int gcols, Side<kB> side, int centre0, uint8_t *out, int rows,
                     int cols) {
  const int B = side.value();
  Cell column_cells[kMaxTableCols];
  LinePair<int16_t> along;
  for (int c = 0; c < cols; ++c) column_cells[c] = cell_at(c, centre0, gcols, B);
  auto blend = [&](int k, int16_t *line) {
    const uint8_t *g = grid + static_cast<std::size_t>(k) * gcols;
    for (int c = 0; c < cols; ++c) {
      const Cell cx = column_cells[c];
      line[c] = static_cast<int16_t>(g[cx.k0] + wrap(g[cx.k1] - g[cx.k0]) * cx.off / B);
    }
  };
  auto line_of = [&](int k, int keep) { return along.of(k, keep, blend); };
  for (int r = 0; r < rows; ++r) {
    const Cell cy = cell_at(r, centre0, grows, B);
    const int16_t *top = line_of(cy.k0, -1);
    const int16_t *bottom = line_of(cy.k1, cy.k0);
    uint8_t *line = out + static_cast<std::size_t>(r) * cols;
    for (int c = 0; c < cols; ++c) line[c] = static_cast<uint8_t>(top[c] + wrap(bottom[c] - top[c]) * cy.off / B);
  }
}

// Interpolates `grid` (grows x gcols, first centre at pixel (centre0,
// centre0)) onto rows x cols pixels, pixel by pixel; `blend(a, b, t, B)`
// mixes two values.  The reference for images wider than the tables above.
template <typename Blend2D>
void upsample_each(const uint8_t *grid, int grows, int gcols, int B, int centre0, uint8_t *out, int rows, int cols,
                   Blend2D blend) {
  for (int r = 0; r < rows; ++r) {
    const Cell cy = cell_at(r, centre0, grows, B);
    const uint8_t *g0 = grid + static_cast<std::size_t>(cy.k0) * gcols;
    const uint8_t *g1 = grid + static_cast<std::size_t>(cy.k1) * gcols;
    uint8_t *line = out + static_cast<std::size_t>(r) * cols;
    for (int c = 0; c < cols; ++c) {
      const Cell cx = cell_at(c, centre0, gcols, B);
      line[c] = blend(g0[cx.k0], g0[cx.k1], g1[cx.k0], g1[cx.k1], cx.off, cy.off, B);
    }
  }
}

uint8_t blend_linear(int tl, int tr, int bl, int br, int x, int y, int B) {
  const int32_t v = ((tl * (B - x) + tr * x) * (B - y) + (bl * (B - x) + br * x) * y) / (B * B);
  return static_cast<uint8_t>(v);
}

uint8_t blend_cyclic(int tl, int tr, int bl, int br, int x, int y, int B) {
  const int top = tl + wrap(tr - tl) * x / B;
  const int bottom = bl + wrap(br - bl) * x / B;
  return static_cast<uint8_t>(top + wrap(bottom - top) * y / B);
}

// Calls fn with the block side as a constant for 12 and 6, else as read.
template <typename Fn>
void with_side(int B, Fn fn) {
  if (B == 12)
    fn(Side<12>{});
  else if (B == 6)
    fn(Side<6>{});
  else
    fn(Side<0>{B});
}

void upsample_linear_any(const uint8_t *grid, int grows, int gcols, int B, int centre0, uint8_t *out, int rows,
                         int cols) {
  if (cols > kMaxTableCols || gcols > kMaxTableCols)
    upsample_each(grid, grows, gcols, B, centre0, out, rows, cols, blend_linear);
  else
    with_side(B, [&](auto side) { upsample_linear(grid, grows, gcols, side, centre0, out, rows, cols); });
}

void upsample_cyclic_any(const uint8_t *grid, int grows, int gcols, int B, int centre0, uint8_t *out, int rows,
                         int cols) {
  if (cols > kMaxTableCols)
    upsample_each(grid, grows, gcols, B, centre0, out, rows, cols, blend_cyclic);
  else
    with_side(B, [&](auto side) { upsample_cyclic(grid, grows, gcols, side, centre0, out, rows, cols); });
}

bool upsample_args_ok(const uint8_t *blocks, int brows, int bcols, int B, const uint8_t *out) {
  return blocks && out && brows > 0 && bcols > 0 && B > 0;
}

}  // namespace

extern "C" qxi_status scale_up_bilinear_uint8(const uint8_t *blocks, int brows, int bcols, int B, uint8_t *out, int rows,
                                              int cols) {
  if (!upsample_args_ok(blocks, brows, bcols, B, out)) return QXI_OUT_OF_RANGE;
  upsample_linear_any(blocks, brows, bcols, B, B / 2, out, rows, cols);
  return QXI_OK;
}

extern "C" qxi_status scale_up_bilinear_pad_uint8(const uint8_t *blocks, int brows, int bcols, int B, uint8_t pad,
                                                  uint8_t *out, int rows, int cols) {
  if (!upsample_args_ok(blocks, brows, bcols, B, out)) return QXI_OUT_OF_RANGE;
  const int prows = brows + 2, pcols = bcols + 2;
  qx::Buffer<uint8_t> padded;
  if (!padded.alloc(static_cast<std::size_t>(prows) * pcols)) return QXI_NO_MEMORY;
  std::memset(padded.get(), pad, static_cast<std::size_t>(prows) * pcols);
  for (int r = 0; r < brows; ++r)
    std::memcpy(padded.get() + static_cast<std::size_t>(r + 1) * pcols + 1,
                blocks + static_cast<std::size_t>(r) * bcols, static_cast<std::size_t>(bcols));
  // The padding block sits one block before the grid: its centre is at
  // B/2 - B.
  upsample_linear_any(padded.get(), prows, pcols, B, B / 2 - B, out, rows, cols);
  return QXI_OK;
}

extern "C" qxi_status scale_up_bilinear_cyclic(const uint8_t *blocks, int brows, int bcols, int B, uint8_t *out, int rows,
                                               int cols) {
  if (!upsample_args_ok(blocks, brows, bcols, B, out)) return QXI_OUT_OF_RANGE;
  upsample_cyclic_any(blocks, brows, bcols, B, B / 2, out, rows, cols);
  return QXI_OK;
}
