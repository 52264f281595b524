// The extraction pipeline: from a grey image to minutiae, singular points,
// quality, area, centre and the optional block fields.
#include "engine/image/extract.h"

#include <algorithm>
#include <cstring>

#include "engine/image/frequency_field.h"
#include "engine/image/normalize.h"
#include "engine/image/orientation_field.h"
#include "engine/image/pixel_ops.h"
#include "engine/image/quality.h"
#include "engine/image/resample.h"
#include "engine/image/ridge_filter.h"
#include "engine/image/segment.h"
#include "engine/image/skeleton.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"

extern "C" void bal_expand_image(uint8_t *px, int rows, int cols, int top, int left, int in_rows, int in_cols) {
  int r0 = top, r1 = top + in_rows, c0 = left, c1 = left + in_cols;
  auto at = [&](int r, int c) -> uint8_t & { return px[static_cast<size_t>(r) * cols + c]; };
  while (r0 > 0 || r1 < rows || c0 > 0 || c1 < cols) {
    // Each new pixel: mean of the nearest three of the previous ring.
    auto fill_row = [&](int dst, int src) {
      for (int c = c0; c < c1; ++c) {
        int s = 0, n = 0;
        for (int d = -1; d <= 1; ++d)
          if (c + d >= c0 && c + d < c1) {
            s += at(src, c + d);
            ++n;
          }
        at(dst, c) = static_cast<uint8_t>(s / n);
      }
    };
    auto fill_col = [&](int dst, int src) {
      for (int r = r0; r < r1; ++r) {
        int s = 0, n = 0;
        for (int d = -1; d <= 1; ++d)
          if (r + d >= r0 && r + d < r1) {
            s += at(r + d, src);
            ++n;
          }
        at(r, dst) = static_cast<uint8_t>(s / n);
      }
    };
    if (r0 > 0) {
      fill_row(r0 - 1, r0);
      --r0;
    }
    if (r1 < rows) {
      fill_row(r1, r1 - 1);
      ++r1;
    }
    if (c0 > 0) {
      fill_col(c0 - 1, c0);
      --c0;
    }
    if (c1 < cols) {
      fill_col(c1, c1 - 1);
      ++c1;
    }
  }
}

namespace {

// New size and offset of one direction.
void plan(int size, int B, int &out, int &offset) {
  const int r = size % B;
  if (r == 0) {
    out = size;
    offset = 0;
  } else if (r <= B / 4) {
    out = size - r;
    offset = r / 2;
  } else {
    out = size + (B - r);
    offset = -((B - r) / 2);
  }
}

}  // namespace

extern "C" qxi_status bal_resize_block_size(const uint8_t *in, int rows, int cols, int B, int mode, uint8_t **out,
                                            int *out_rows, int *out_cols, int *row_offset, int *col_offset) {
  (void)mode;
  *out = nullptr;
  if (rows < 3 * B || cols < 3 * B) return QXI_OUT_OF_RANGE;
  int nr, nc, ro, co;
  plan(rows, B, nr, ro);
  plan(cols, B, nc, co);
  auto *buf = static_cast<uint8_t *>(qx_malloc(static_cast<size_t>(nr) * nc));
  if (!buf) return QXI_NO_MEMORY;
  // Copy the part of the input that lies inside the new frame.
  const int top = std::max(0, -ro), left = std::max(0, -co);
  const int src_r = std::max(0, ro), src_c = std::max(0, co);
  const int cr = std::min(rows - src_r, nr - top), cc = std::min(cols - src_c, nc - left);
  for (int r = 0; r < cr; ++r)
    std::memcpy(buf + static_cast<size_t>(top + r) * nc + left, in + static_cast<size_t>(src_r + r) * cols + src_c,
                static_cast<size_t>(cc));
  bal_expand_image(buf, nr, nc, top, left, cr, cc);
  *out = buf;
  *out_rows = nr;
  *out_cols = nc;
  *row_offset = ro;
  *col_offset = co;
  return QXI_OK;
}

extern "C" void bal_sort_minutiae(bal_minutia *m, int count, int code, int cr, int cc) {
  const bool desc = code >= 17;
  const int base = desc ? code - 16 : code;
  if (base < 1 || base > 5) return;
  // Negative: a before b; 0: equal.
  auto cmp = [&](const bal_minutia &a, const bal_minutia &b) -> long {
    switch (base) {
      case 1:
        return a.col != b.col ? a.col - b.col : a.row - b.row;
      case 2:
        return a.row != b.row ? a.row - b.row : a.col - b.col;
      case 3:
        return static_cast<long>(a.direction) - b.direction;
      case 4: {
        const long da = static_cast<long>(a.row - cr) * (a.row - cr) + static_cast<long>(a.col - cc) * (a.col - cc);
        const long db = static_cast<long>(b.row - cr) * (b.row - cr) + static_cast<long>(b.col - cc) * (b.col - cc);
        return da - db;
      }
      default:
        return static_cast<long>(a.quality) - b.quality;
    }
  };
  for (int i = 1; i < count; ++i) {
    const bal_minutia x = m[i];
    int j = i;
    while (j > 0) {
      const long c = cmp(m[j - 1], x);
      if (desc ? c >= 0 : c <= 0) break;
      m[j] = m[j - 1];
      --j;
    }
    m[j] = x;
  }
}

extern "C" void bal_extract_release(bal_extract_result *res) {
  if (!res) return;
  qx_free(res->quality_field.data);
  res->quality_field.data = nullptr;
  for (bal_block_field *f : {&res->orientation_field, &res->frequency_field}) {
    qx_free(f->data);
    qx_free(f->fine);
    f->data = f->fine = nullptr;
  }
  qx_free(res->debug.picture);
  res->debug.picture = nullptr;
}

namespace {

struct Input {
  uint8_t *pixels;
  bool owned;
  ~Input() {
    if (owned) qx_free(pixels);
  }
  void release() {
    if (owned) qx_free(pixels);
    owned = false;
    pixels = nullptr;
  }
};

qxi_status extract(Input &input, int in_rows, int in_cols, bal_extract_result *res) {
  const uint32_t flags = res->flags;
  if ((flags & BAL_EXTRACT_HALF_FREQUENCY) && (flags & BAL_EXTRACT_250DPI)) return QXI_CONTRADICTORY;
  const int s = (flags & BAL_EXTRACT_250DPI) ? 2 : 1;
  const int B = 12 / s;
  // Coordinates are reported in signed 16 bits at 500 dpi.
  if (in_rows < 3 * B || in_cols < 3 * B || in_rows * s > 32767 || in_cols * s > 32767) return QXI_OUT_OF_RANGE;
  minutiastruct &ms = res->minutiae;
  ms.count = 0;
  res->cores.count = 0;
  res->deltas.count = 0;

  // Ghost removal into a fresh buffer; the input is no longer needed.
  const size_t in_n = static_cast<size_t>(in_rows) * in_cols;
  qx::Buffer<uint8_t> deghosted;
  if (!deghosted.alloc(in_n)) return QXI_NO_MEMORY;
  bal_ghost_remove_bs(input.pixels, in_rows, in_cols, deghosted.get(), B);
  input.release();

  // Whole blocks.
  uint8_t *resized_raw = nullptr;
  int rows, cols, row_off, col_off;
  qxi_status rc = bal_resize_block_size(deghosted.get(), in_rows, in_cols, B, 0, &resized_raw, &rows, &cols, &row_off,
                                 &col_off);
  if (rc != QXI_OK) return rc;
  qx::Buffer<uint8_t> img;
  if (!img.alloc(static_cast<size_t>(rows) * cols)) {
    qx_free(resized_raw);
    return QXI_NO_MEMORY;
  }
  std::memcpy(img.get(), resized_raw, static_cast<size_t>(rows) * cols);
  qx_free(resized_raw);
  deghosted.alloc(0);

  int brows = rows / B, bcols = cols / B;
  qx::Buffer<uint8_t> mask;
  if (!mask.alloc(static_cast<size_t>(brows) * bcols)) return QXI_NO_MEMORY;
  rc = bal_segment_image_scale(img.get(), rows, cols, brows, bcols, B, mask.get(), s);
  if (rc != QXI_OK) return rc;
  int centre_r = 0, centre_c = 0;
  bal_segmentation_center(mask.get(), brows, bcols, B, rows, cols, &centre_r, &centre_c);

  // Oversized images keep a window around the centre.
  if (rows > BAL_MAX_WORK_ROWS || cols > BAL_MAX_WORK_COLS) {
    const int H = std::min(rows, BAL_MAX_WORK_ROWS) / B * B, W = std::min(cols, BAL_MAX_WORK_COLS) / B * B;
    const int r0 = centre_r > H / 2 ? std::min((centre_r - H / 2) / B * B, rows - H) : 0;
    const int c0 = centre_c > W / 2 ? std::min((centre_c - W / 2) / B * B, cols - W) : 0;
    qx::Buffer<uint8_t> cropped, cmask;
    if (!cropped.alloc(static_cast<size_t>(H) * W) || !cmask.alloc(static_cast<size_t>(H / B) * (W / B))) return QXI_NO_MEMORY;
    for (int r = 0; r < H; ++r)
      std::memcpy(cropped.get() + static_cast<size_t>(r) * W, img.get() + static_cast<size_t>(r0 + r) * cols + c0,
                  static_cast<size_t>(W));
    for (int r = 0; r < H / B; ++r)
      for (int c = 0; c < W / B; ++c)
        cmask[static_cast<size_t>(r) * (W / B) + c] = mask[static_cast<size_t>(r + r0 / B) * bcols + c + c0 / B];
    if (!img.alloc(static_cast<size_t>(H) * W) || !mask.alloc(static_cast<size_t>(H / B) * (W / B))) return QXI_NO_MEMORY;
    std::memcpy(img.get(), cropped.get(), static_cast<size_t>(H) * W);
    std::memcpy(mask.get(), cmask.get(), static_cast<size_t>(H / B) * (W / B));
    rows = H;
    cols = W;
    brows = H / B;
    bcols = W / B;
    row_off += r0;
    col_off += c0;
    centre_r -= r0;
    centre_c -= c0;
  }
  const size_t n = static_cast<size_t>(rows) * cols, nb = static_cast<size_t>(brows) * bcols;

  qx::Buffer<uint8_t> half;
  int hrows = 0, hcols = 0;
  if (flags & BAL_EXTRACT_HALF_FREQUENCY) {
    hrows = rows / 2;
    hcols = cols / 2;
    if (!half.alloc(static_cast<size_t>(hrows) * hcols)) return QXI_NO_MEMORY;
    rc = bal_scale_bilinear(img.get(), rows, cols, half.get(), hrows, hcols);
    if (rc != QXI_OK) return rc;
  }

  rc = bal_normalize_locally(img.get(), rows, cols, mask.get(), B, brows, bcols, 150, 120, img.get());
  if (rc != QXI_OK) return rc;

  // Orientation, reliability, quality.
  const bool want_of = flags & BAL_EXTRACT_ORIENTATION_FIELD, want_ff = flags & BAL_EXTRACT_FREQUENCY_FIELD;
  qx::Buffer<uint8_t> orient, rel, field_o, field_f, orient_px, quality;
  if (!orient.alloc(nb) || !rel.alloc(nb) || !field_o.alloc(nb) || !field_f.alloc(nb) || !orient_px.alloc(n) ||
      !quality.alloc(n))
    return QXI_NO_MEMORY;
  rc = ridge_orientations_scale(img.get(), rows, cols, mask.get(), orient.get(), rel.get(), brows, bcols, B,
                                field_o.get(), s);
  if (rc != QXI_OK) return rc;
  rc = scale_up_orientation(orient.get(), brows, bcols, B, orient_px.get(), rows, cols);
  if (rc != QXI_OK) return rc;
  uint8_t fq = 0;
  uint32_t area = 0;
  rc = bal_image_quality_qual(img.get(), rows, cols, brows, bcols, B, mask.get(), rel.get(), in_rows, in_cols, &fq,
                              &area, s);
  if (rc != QXI_OK) return rc;
  rc = bal_quality_from_reliability(rel.get(), mask.get(), brows, bcols, B, quality.get(), rows, cols);
  if (rc != QXI_OK) return rc;

  // Smoothing along the ridges (plain 500 dpi mode).
  const bool plain = !(flags & (BAL_EXTRACT_HALF_FREQUENCY | BAL_EXTRACT_250DPI));
  qx::Buffer<uint8_t> smooth;
  if (!smooth.alloc(n)) return QXI_NO_MEMORY;
  std::memcpy(smooth.get(), img.get(), n);
  if (plain) {
    if ((rc = oriented_median(smooth.get(), rows, cols, orient_px.get(), smooth.get())) != 0) return rc;
    if ((rc = oriented_mean(smooth.get(), rows, cols, orient_px.get(), smooth.get())) != 0) return rc;
  }

  // Ridge wavelength.
  qx::Buffer<uint16_t> wl;
  qx::Buffer<uint8_t> wl_bytes, wl_px;
  if (!wl.alloc(nb) || !wl_bytes.alloc(nb) || !wl_px.alloc(n)) return QXI_NO_MEMORY;
  if (plain)
    rc = ridge_wavelengths_fft(smooth.get(), rows, cols, B, 18, 5, brows, bcols, wl.get(), field_f.get(),
                               field_o.get());
  else if (flags & BAL_EXTRACT_HALF_FREQUENCY)
    rc = ridge_wavelengths_fft16(half.get(), hrows, hcols, B / 2, 18, 5, brows, bcols, wl.get(), field_f.get(),
                                 field_o.get());
  else
    rc = ridge_wavelengths_fft16(img.get(), rows, cols, B, 18, 5, brows, bcols, wl.get(), field_f.get(),
                                 field_o.get());
  if (rc != QXI_OK) return rc;
  if ((rc = postprocess_frequency_field(wl.get(), brows, bcols, wl_bytes.get())) != 0) return rc;
  if ((rc = scale_up_bilinear_uint8(wl_bytes.get(), brows, bcols, B, wl_px.get(), rows, cols)) != 0) return rc;
  for (size_t k = 0; k < nb; ++k)
    if (!mask[k]) field_o[k] = field_f[k] = 0;
  // Both fields again on a grid three times finer; cells the estimator
  // leaves untouched stay 0, and each background block clears its 3 x 3.
  const bool fine = (flags & BAL_EXTRACT_FINE_FIELDS) && (want_of || want_ff);
  const int frows = 3 * brows, fcols = 3 * bcols;
  const size_t nf = static_cast<size_t>(frows) * fcols;
  qx::Buffer<uint16_t> fine_wl;
  qx::Buffer<uint8_t> fine_o, fine_f;
  if (fine) {
    if (!fine_wl.alloc(nf) || !fine_o.alloc(nf) || !fine_f.alloc(nf)) return QXI_NO_MEMORY;
    if (plain)
      // Cells of background blocks are cleared below: not estimated at all.
      rc = ridge_wavelengths_fft_in_mask(smooth.get(), rows, cols, B / 3, 18, 5, frows, fcols, fine_wl.get(),
                                         fine_f.get(), fine_o.get(), mask.get(), bcols, 3);
    else if (flags & BAL_EXTRACT_HALF_FREQUENCY)
      rc = ridge_wavelengths_fft16(half.get(), hrows, hcols, B / 6, 18, 5, frows, fcols, fine_wl.get(), fine_f.get(),
                                   fine_o.get());
    else
      rc = ridge_wavelengths_fft16(img.get(), rows, cols, B / 3, 18, 5, frows, fcols, fine_wl.get(), fine_f.get(),
                                   fine_o.get());
    if (rc != QXI_OK) return rc;
    for (int r = 0; r < frows; ++r)
      for (int c = 0; c < fcols; ++c)
        if (!mask[static_cast<size_t>(r / 3) * bcols + c / 3]) fine_o[static_cast<size_t>(r) * fcols + c] = fine_f[static_cast<size_t>(r) * fcols + c] = 0;
  }

  // Filtering and binarisation.
  qx::Buffer<int8_t> filtered;
  qx::Buffer<uint8_t> ridge, valley;
  if (!filtered.alloc(n) || !ridge.alloc(n) || !valley.alloc(n)) return QXI_NO_MEMORY;
  if (s == 1 && plain)
    rc = bal_gabor_filter_32(smooth.get(), rows, cols, wl_px.get(), orient_px.get(), mask.get(), quality.get(), brows,
                             bcols, B, filtered.get());
  else
    rc = bal_gabor_filter_16(smooth.get(), rows, cols, wl_px.get(), orient_px.get(), mask.get(), quality.get(), brows,
                             bcols, B, filtered.get(), (flags & BAL_EXTRACT_HALF_FREQUENCY) ? 2 : 1);
  if (rc != QXI_OK) return rc;
  rc = bal_binarize_local_histogram_threshold(filtered.get(), quality.get(), rows, cols, mask.get(), B, 47,
                                              ridge.get(), valley.get());
  if (rc != QXI_OK) return rc;
  bal_binarize_remove_edges(ridge.get(), valley.get(), rows, cols, 1, cols - bcols * B + 1, 1, rows - brows * B + 1);
  if (s == 1) bal_binarize_remove_dots(ridge.get(), valley.get(), quality.get(), rows, cols);

  // Singular points.
  if (flags & (BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS)) {
    bal_singularity cand[16];
    int nc = 0;
    rc = bal_find_singularities_poincare(orient_px.get(), quality.get(), rows, cols, cand, &nc, 16);
    if (rc != QXI_OK) return rc;
    bal_convert_singularities(cand, nc, cols, &res->cores, &res->deltas);
    if (!(flags & BAL_EXTRACT_CORES)) res->cores.count = 0;
    if (!(flags & BAL_EXTRACT_DELTAS)) res->deltas.count = 0;
  }

  // Block quality field.
  if (flags & BAL_EXTRACT_QUALITY_FIELD) {
    const int fr = in_rows / B + 1, fc = in_cols / B + 1;
    auto *qf = static_cast<uint8_t *>(qx_calloc(static_cast<size_t>(fr) * fc, 1));
    if (!qf) return QXI_NO_MEMORY;
    bal_quality_image_to_field(quality.get(), in_rows, in_cols, rows, cols, row_off, col_off, B, B, qf);
    qx_free(res->quality_field.data);
    res->quality_field.data = qf;
    res->quality_field.rows = static_cast<uint8_t>(fr);
    res->quality_field.cols = static_cast<uint8_t>(fc);
    res->quality_field.block_h = res->quality_field.block_w = static_cast<uint8_t>(B * s);
  }

  // Debug picture: the ridge picture drawn at its offsets on white.
  if (flags & BAL_EXTRACT_DEBUG_PICTURE) {
    auto *pic = static_cast<uint8_t *>(qx_malloc(in_n));
    if (!pic) return QXI_NO_MEMORY;
    std::memset(pic, 255, in_n);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) {
        const int ir = r + row_off, ic = c + col_off;
        if (ir >= 0 && ir < in_rows && ic >= 0 && ic < in_cols && ridge[static_cast<size_t>(r) * cols + c] == 0)
          pic[static_cast<size_t>(ir) * in_cols + ic] = 0;
      }
    res->debug.picture = pic;
    res->debug.rows = static_cast<uint16_t>(in_rows);
    res->debug.cols = static_cast<uint16_t>(in_cols);
  }

  // Skeletons and minutiae.
  qx::Buffer<uint8_t *> rp;
  qx::Buffer<uint8_t> counts;
  if (!rp.alloc(static_cast<size_t>(rows)) || !counts.alloc(n)) return QXI_NO_MEMORY;
  bal_images_1D_to_2D(ridge.get(), rows, cols, rp.get());
  if ((rc = bal_contour_thin_scale(rp.get(), rows, cols, s)) != 0) return rc;
  bal_images_1D_to_2D(valley.get(), rows, cols, rp.get());
  if ((rc = bal_contour_thin_scale(rp.get(), rows, cols, s)) != 0) return rc;
  int count = 0;
  bal_minutia *m = ms.minutiae;
  bal_extract_bifurcations(valley.get(), wl_px.get(), orient_px.get(), rows, cols, 1, quality.get(), m, &count,
                           counts.get(), s);
  bal_extract_bifurcations(ridge.get(), wl_px.get(), orient_px.get(), rows, cols, 2, quality.get(), m, &count,
                           counts.get(), s);
  count = bal_remove_duplicate_minutiae(m, count, s);
  count = bal_remove_edge_endpoints(m, count, ridge.get(), counts.get(), wl_px.get(), rows, cols, s);
  if (s == 2) count = bal_orientation_difference(m, count, orient_px.get(), rows, cols, s);
  for (int i = 0; i < count; ++i) {
    const int w = wl_px[static_cast<size_t>(m[i].row) * cols + m[i].col];
    m[i].wavelength = static_cast<uint8_t>(std::max(0, w - 5));
  }

  // Capping: best quality first, stable.
  const int cap = ms.max_minutiae ? ms.max_minutiae : BAL_MAX_MINUTIAE;
  if (count > cap) {
    bal_sort_minutiae(m, count, 21, 0, 0);
    count = cap;
  }

  // Into input coordinates (and 500 dpi).
  auto map = [&](int v, int off) { return std::max(0, v + off) * s; };
  for (int i = 0; i < count; ++i) {
    m[i].row = static_cast<int16_t>(map(m[i].row, row_off));
    m[i].col = static_cast<int16_t>(map(m[i].col, col_off));
  }
  for (int i = 0; i < res->cores.count; ++i) {
    res->cores.entries[i].row = static_cast<int16_t>(map(res->cores.entries[i].row, row_off));
    res->cores.entries[i].col = static_cast<int16_t>(map(res->cores.entries[i].col, col_off));
  }
  for (int i = 0; i < res->deltas.count; ++i) {
    res->deltas.entries[i].row = static_cast<int16_t>(map(res->deltas.entries[i].row, row_off));
    res->deltas.entries[i].col = static_cast<int16_t>(map(res->deltas.entries[i].col, col_off));
  }
  for (int which = 0; which < 2; ++which) {
    const bool want = which == 0 ? want_of : want_ff;
    if (!want) continue;
    bal_block_field &f = which == 0 ? res->orientation_field : res->frequency_field;
    auto *data = static_cast<uint8_t *>(qx_malloc(nb));
    if (!data) return QXI_NO_MEMORY;
    std::memcpy(data, which == 0 ? field_o.get() : field_f.get(), nb);
    qx_free(f.data);
    f.data = data;
    if (fine) {
      auto *fd = static_cast<uint8_t *>(qx_malloc(nf));
      if (!fd) return QXI_NO_MEMORY;
      std::memcpy(fd, which == 0 ? fine_o.get() : fine_f.get(), nf);
      qx_free(f.fine);
      f.fine = fd;
    }
    f.rows = static_cast<uint8_t>(brows);
    f.cols = static_cast<uint8_t>(bcols);
    f.block = static_cast<uint8_t>(B * s);
    f.row_offset = static_cast<int16_t>(row_off * s);
    f.col_offset = static_cast<int16_t>(col_off * s);
  }
  ms.count = static_cast<uint8_t>(count);
  ms.rows = static_cast<int16_t>(in_rows * s);
  ms.cols = static_cast<int16_t>(in_cols * s);
  ms.resolution = 197;
  ms.finger_quality = fq;
  res->finger_quality = fq;
  res->area = area * static_cast<uint32_t>(s * s);
  res->centre_row = static_cast<uint32_t>(std::max(0, centre_r + row_off) * s);
  res->centre_col = static_cast<uint32_t>(std::max(0, centre_c + col_off) * s);
  bal_sort_minutiae(m, count, ms.ordering, static_cast<int>(res->centre_row), static_cast<int>(res->centre_col));
  return QXI_OK;
}

}  // namespace

extern "C" qxi_status bal_extract(uint8_t *pixels, int rows, int cols, bal_extract_result *result) {
  Input input{pixels, result && (result->flags & BAL_EXTRACT_OWN_INPUT)};
  if (!result) return QXI_OUT_OF_RANGE;
  qx_free(result->debug.picture);
  result->debug.picture = nullptr;
  if (!pixels || rows <= 0 || cols <= 0) {
    result->minutiae.count = 0;
    return QXI_OUT_OF_RANGE;
  }
  const qxi_status rc = extract(input, rows, cols, result);
  if (rc != QXI_OK) result->minutiae.count = 0;
  return rc;
}
