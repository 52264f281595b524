// The extraction pipeline: from a grey image to minutiae, singular points,
// quality, area, centre and the optional block fields.
#include "engine/image/extract.h"

#include <algorithm>
#include <cstring>

#include "engine/image/frequency_field.h"
#include "engine/image/ghost_removal.h"
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

// The caller's pixels, owned by the extraction when the request says so
// (freed as soon as ghost removal has read them, or on any early return).
struct Input {
  const uint8_t *pixels;
  qx::Buffer<uint8_t> owned;
};

// Everything the stages of one extraction share.  The working image is
// rows x cols pixels of whole blocks of `block` pixels, placed in the input
// at (row_offset, col_offset); its block grid is block_rows x block_cols
// and the fine grid three times finer each way.
struct Work {
  uint32_t flags = 0;
  int scale = 1;   // 2 for a 250 dpi input, else 1
  int block = 12;  // block side in working pixels (12 / scale)
  int in_rows = 0, in_cols = 0;
  bool plain_500dpi = true;  // neither half-frequency nor 250 dpi mode
  bool want_orientation_field = false, want_frequency_field = false, want_fine_fields = false;
  int rows = 0, cols = 0, block_rows = 0, block_cols = 0, row_offset = 0, col_offset = 0;
  int centre_row = 0, centre_col = 0;  // of the foreground, in the working image
  size_t pixel_count = 0, block_count = 0;
  int half_rows = 0, half_cols = 0, fine_rows = 0, fine_cols = 0;
  size_t fine_count = 0;
  uint8_t finger_quality = 0;
  uint32_t area = 0;
  // The working image, the foreground block mask, the half-size copy for
  // the half-frequency mode.
  qx::Buffer<uint8_t> image, block_mask, half_image;
  // Per block: ridge orientation and its reliability; the orientation and
  // frequency fields handed out; per pixel: orientation, quality, and the
  // image smoothed along the ridges.
  qx::Buffer<uint8_t> block_orientation, block_reliability, orientation_field, frequency_field;
  qx::Buffer<uint8_t> pixel_orientation, pixel_quality, smoothed;
  // Ridge wavelengths per block (and per fine cell), as bytes per block
  // and per pixel; the fine fields.
  qx::Buffer<uint16_t> block_wavelength, fine_wavelength;
  qx::Buffer<uint8_t> block_wavelength_byte, pixel_wavelength, fine_orientation, fine_frequency;
  // The contextually filtered image and its ridge and valley pictures.
  qx::Buffer<int8_t> filtered;
  qx::Buffer<uint8_t> ridge, valley;
};

// The request and the input size: scale, block size and modes.
qxi_status check_request(Work &w, const bal_extract_result &res, int in_rows, int in_cols) {
  w.flags = res.flags;
  if ((w.flags & BAL_EXTRACT_HALF_FREQUENCY) && (w.flags & BAL_EXTRACT_250DPI)) return QXI_CONTRADICTORY;
  w.scale = (w.flags & BAL_EXTRACT_250DPI) ? 2 : 1;
  w.block = 12 / w.scale;
  // Coordinates are reported in signed 16 bits at 500 dpi.
  if (in_rows < 3 * w.block || in_cols < 3 * w.block || in_rows * w.scale > 32767 || in_cols * w.scale > 32767)
    return QXI_OUT_OF_RANGE;
  w.in_rows = in_rows;
  w.in_cols = in_cols;
  w.plain_500dpi = !(w.flags & (BAL_EXTRACT_HALF_FREQUENCY | BAL_EXTRACT_250DPI));
  w.want_orientation_field = w.flags & BAL_EXTRACT_ORIENTATION_FIELD;
  w.want_frequency_field = w.flags & BAL_EXTRACT_FREQUENCY_FIELD;
  w.want_fine_fields = (w.flags & BAL_EXTRACT_FINE_FIELDS) && (w.want_orientation_field || w.want_frequency_field);
  return QXI_OK;
}

// Ghost removal into a fresh buffer (the input is no longer needed), then
// whole blocks.
qxi_status deghost_and_resize(Work &w, Input &input) {
  qx::Buffer<uint8_t> deghosted;
  if (!deghosted.alloc(static_cast<size_t>(w.in_rows) * w.in_cols)) return QXI_NO_MEMORY;
  bal_ghost_remove_bs(input.pixels, w.in_rows, w.in_cols, deghosted.get(), w.block);
  input.owned.reset();
  input.pixels = nullptr;
  uint8_t *resized_raw = nullptr;
  const qxi_status st = bal_resize_block_size(deghosted.get(), w.in_rows, w.in_cols, w.block, 0, &resized_raw, &w.rows,
                                              &w.cols, &w.row_offset, &w.col_offset);
  if (st != QXI_OK) return st;
  if (!w.image.alloc(static_cast<size_t>(w.rows) * w.cols)) {
    qx_free(resized_raw);
    return QXI_NO_MEMORY;
  }
  std::memcpy(w.image.get(), resized_raw, static_cast<size_t>(w.rows) * w.cols);
  qx_free(resized_raw);
  return QXI_OK;
}

// Foreground block mask and its centre.
qxi_status segment(Work &w) {
  w.block_rows = w.rows / w.block;
  w.block_cols = w.cols / w.block;
  if (!w.block_mask.alloc(static_cast<size_t>(w.block_rows) * w.block_cols)) return QXI_NO_MEMORY;
  const qxi_status st = bal_segment_image_scale(w.image.get(), w.rows, w.cols, w.block_rows, w.block_cols, w.block,
                                                w.block_mask.get(), w.scale);
  if (st != QXI_OK) return st;
  bal_segmentation_center(w.block_mask.get(), w.block_rows, w.block_cols, w.block, w.rows, w.cols, &w.centre_row,
                          &w.centre_col);
  return QXI_OK;
}

// Oversized images keep a window of whole blocks around the centre.
qxi_status crop_oversized(Work &w) {
  if (w.rows > BAL_MAX_WORK_ROWS || w.cols > BAL_MAX_WORK_COLS) {
    const int B = w.block;
    const int H = std::min(w.rows, BAL_MAX_WORK_ROWS) / B * B, W = std::min(w.cols, BAL_MAX_WORK_COLS) / B * B;
    const int r0 = w.centre_row > H / 2 ? std::min((w.centre_row - H / 2) / B * B, w.rows - H) : 0;
    const int c0 = w.centre_col > W / 2 ? std::min((w.centre_col - W / 2) / B * B, w.cols - W) : 0;
    qx::Buffer<uint8_t> cropped, cmask;
    if (!cropped.alloc(static_cast<size_t>(H) * W) || !cmask.alloc(static_cast<size_t>(H / B) * (W / B)))
      return QXI_NO_MEMORY;
    for (int r = 0; r < H; ++r)
      std::memcpy(cropped.get() + static_cast<size_t>(r) * W, w.image.get() + static_cast<size_t>(r0 + r) * w.cols + c0,
                  static_cast<size_t>(W));
    for (int r = 0; r < H / B; ++r)
      for (int c = 0; c < W / B; ++c)
        cmask[static_cast<size_t>(r) * (W / B) + c] =
            w.block_mask[static_cast<size_t>(r + r0 / B) * w.block_cols + c + c0 / B];
    if (!w.image.alloc(static_cast<size_t>(H) * W) || !w.block_mask.alloc(static_cast<size_t>(H / B) * (W / B)))
      return QXI_NO_MEMORY;
    std::memcpy(w.image.get(), cropped.get(), static_cast<size_t>(H) * W);
    std::memcpy(w.block_mask.get(), cmask.get(), static_cast<size_t>(H / B) * (W / B));
    w.rows = H;
    w.cols = W;
    w.block_rows = H / B;
    w.block_cols = W / B;
    w.row_offset += r0;
    w.col_offset += c0;
    w.centre_row -= r0;
    w.centre_col -= c0;
  }
  w.pixel_count = static_cast<size_t>(w.rows) * w.cols;
  w.block_count = static_cast<size_t>(w.block_rows) * w.block_cols;
  return QXI_OK;
}

// The half-size copy for the frequency stage (before normalisation), then
// the local contrast normalisation.
qxi_status halve_and_normalize(Work &w) {
  if (w.flags & BAL_EXTRACT_HALF_FREQUENCY) {
    w.half_rows = w.rows / 2;
    w.half_cols = w.cols / 2;
    if (!w.half_image.alloc(static_cast<size_t>(w.half_rows) * w.half_cols)) return QXI_NO_MEMORY;
    const qxi_status st =
        bal_scale_bilinear(w.image.get(), w.rows, w.cols, w.half_image.get(), w.half_rows, w.half_cols);
    if (st != QXI_OK) return st;
  }
  return bal_normalize_locally(w.image.get(), w.rows, w.cols, w.block_mask.get(), w.block, w.block_rows, w.block_cols,
                               150, 120, w.image.get());
}

// Orientation, reliability, finger quality and area, pixel quality.
qxi_status orientation_and_quality(Work &w) {
  if (!w.block_orientation.alloc(w.block_count) || !w.block_reliability.alloc(w.block_count) ||
      !w.orientation_field.alloc(w.block_count) || !w.frequency_field.alloc(w.block_count) ||
      !w.pixel_orientation.alloc(w.pixel_count) || !w.pixel_quality.alloc(w.pixel_count))
    return QXI_NO_MEMORY;
  qxi_status st = ridge_orientations_scale(w.image.get(), w.rows, w.cols, w.block_mask.get(), w.block_orientation.get(),
                                           w.block_reliability.get(), w.block_rows, w.block_cols, w.block,
                                           w.orientation_field.get(), w.scale);
  if (st == QXI_OK)
    st = scale_up_orientation(w.block_orientation.get(), w.block_rows, w.block_cols, w.block, w.pixel_orientation.get(),
                              w.rows, w.cols);
  if (st == QXI_OK)
    st = bal_image_quality_qual(w.image.get(), w.rows, w.cols, w.block_rows, w.block_cols, w.block, w.block_mask.get(),
                                w.block_reliability.get(), w.in_rows, w.in_cols, &w.finger_quality, &w.area, w.scale);
  if (st == QXI_OK)
    st = bal_quality_from_reliability(w.block_reliability.get(), w.block_mask.get(), w.block_rows, w.block_cols,
                                      w.block, w.pixel_quality.get(), w.rows, w.cols);
  return st;
}

// A copy smoothed along the ridges (plain 500 dpi mode only).
qxi_status smooth_along_ridges(Work &w) {
  if (!w.smoothed.alloc(w.pixel_count)) return QXI_NO_MEMORY;
  std::memcpy(w.smoothed.get(), w.image.get(), w.pixel_count);
  if (!w.plain_500dpi) return QXI_OK;
  qxi_status st = oriented_median(w.smoothed.get(), w.rows, w.cols, w.pixel_orientation.get(), w.smoothed.get());
  if (st == QXI_OK) st = oriented_mean(w.smoothed.get(), w.rows, w.cols, w.pixel_orientation.get(), w.smoothed.get());
  return st;
}

// Ridge wavelength per block of `block` pixels on the grid of rows x cols
// blocks, from the image the mode uses (the fine grid has B / 3).
qxi_status estimate_wavelengths(Work &w, int block_divisor, int grows, int gcols, uint16_t *wavelengths,
                                uint8_t *freq, uint8_t *ori) {
  const int block = w.block / block_divisor;
  if (w.plain_500dpi && block_divisor == 3)
    // Cells of background blocks are cleared afterwards: not estimated at all.
    return ridge_wavelengths_fft_in_mask(w.smoothed.get(), w.rows, w.cols, block, 18, 5, grows, gcols, wavelengths,
                                         freq, ori, w.block_mask.get(), w.block_cols, 3);
  if (w.plain_500dpi)
    return ridge_wavelengths_fft(w.smoothed.get(), w.rows, w.cols, block, 18, 5, grows, gcols, wavelengths, freq, ori);
  if (w.flags & BAL_EXTRACT_HALF_FREQUENCY)
    return ridge_wavelengths_fft16(w.half_image.get(), w.half_rows, w.half_cols, block / 2, 18, 5, grows, gcols,
                                   wavelengths, freq, ori);
  return ridge_wavelengths_fft16(w.image.get(), w.rows, w.cols, block, 18, 5, grows, gcols, wavelengths, freq, ori);
}

// Block wavelengths, their pixel image, and the block fields (background
// blocks cleared).
qxi_status wavelength_field(Work &w) {
  if (!w.block_wavelength.alloc(w.block_count) || !w.block_wavelength_byte.alloc(w.block_count) ||
      !w.pixel_wavelength.alloc(w.pixel_count))
    return QXI_NO_MEMORY;
  qxi_status st = estimate_wavelengths(w, 1, w.block_rows, w.block_cols, w.block_wavelength.get(),
                                       w.frequency_field.get(), w.orientation_field.get());
  if (st == QXI_OK)
    st = postprocess_frequency_field(w.block_wavelength.get(), w.block_rows, w.block_cols,
                                     w.block_wavelength_byte.get());
  if (st == QXI_OK)
    st = scale_up_bilinear_uint8(w.block_wavelength_byte.get(), w.block_rows, w.block_cols, w.block,
                                 w.pixel_wavelength.get(), w.rows, w.cols);
  if (st != QXI_OK) return st;
  for (size_t k = 0; k < w.block_count; ++k)
    if (!w.block_mask[k]) w.orientation_field[k] = w.frequency_field[k] = 0;
  return QXI_OK;
}

// Both fields again on a grid three times finer; cells the estimator
// leaves untouched stay 0, and each background block clears its 3 x 3.
qxi_status fine_fields(Work &w) {
  w.fine_rows = 3 * w.block_rows;
  w.fine_cols = 3 * w.block_cols;
  w.fine_count = static_cast<size_t>(w.fine_rows) * w.fine_cols;
  if (!w.want_fine_fields) return QXI_OK;
  if (!w.fine_wavelength.alloc(w.fine_count) || !w.fine_orientation.alloc(w.fine_count) ||
      !w.fine_frequency.alloc(w.fine_count))
    return QXI_NO_MEMORY;
  const qxi_status st = estimate_wavelengths(w, 3, w.fine_rows, w.fine_cols, w.fine_wavelength.get(),
                                             w.fine_frequency.get(), w.fine_orientation.get());
  if (st != QXI_OK) return st;
  for (int r = 0; r < w.fine_rows; ++r)
    for (int c = 0; c < w.fine_cols; ++c)
      if (!w.block_mask[static_cast<size_t>(r / 3) * w.block_cols + c / 3])
        w.fine_orientation[static_cast<size_t>(r) * w.fine_cols + c] =
            w.fine_frequency[static_cast<size_t>(r) * w.fine_cols + c] = 0;
  return QXI_OK;
}

// Contextual filtering, then the ridge and valley pictures.
qxi_status filter_and_binarize(Work &w) {
  if (!w.filtered.alloc(w.pixel_count) || !w.ridge.alloc(w.pixel_count) || !w.valley.alloc(w.pixel_count))
    return QXI_NO_MEMORY;
  qxi_status st;
  if (w.scale == 1 && w.plain_500dpi)
    st = bal_gabor_filter_32(w.smoothed.get(), w.rows, w.cols, w.pixel_wavelength.get(), w.pixel_orientation.get(),
                             w.block_mask.get(), w.pixel_quality.get(), w.block_rows, w.block_cols, w.block,
                             w.filtered.get());
  else
    st = bal_gabor_filter_16(w.smoothed.get(), w.rows, w.cols, w.pixel_wavelength.get(), w.pixel_orientation.get(),
                             w.block_mask.get(), w.pixel_quality.get(), w.block_rows, w.block_cols, w.block,
                             w.filtered.get(), (w.flags & BAL_EXTRACT_HALF_FREQUENCY) ? 2 : 1);
  if (st == QXI_OK)
    st = bal_binarize_local_histogram_threshold(w.filtered.get(), w.pixel_quality.get(), w.rows, w.cols,
                                                w.block_mask.get(), w.block, 47, w.ridge.get(), w.valley.get());
  if (st != QXI_OK) return st;
  bal_binarize_remove_edges(w.ridge.get(), w.valley.get(), w.rows, w.cols, 1, w.cols - w.block_cols * w.block + 1, 1,
                            w.rows - w.block_rows * w.block + 1);
  if (w.scale == 1) bal_binarize_remove_dots(w.ridge.get(), w.valley.get(), w.pixel_quality.get(), w.rows, w.cols);
  return QXI_OK;
}

// Cores and deltas, when asked for.
qxi_status singular_points(Work &w, bal_extract_result *res) {
  if (!(w.flags & (BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS))) return QXI_OK;
  bal_singularity cand[16];
  int nc = 0;
  const qxi_status st =
      bal_find_singularities_poincare(w.pixel_orientation.get(), w.pixel_quality.get(), w.rows, w.cols, cand, &nc, 16);
  if (st != QXI_OK) return st;
  bal_convert_singularities(cand, nc, w.cols, &res->cores, &res->deltas);
  if (!(w.flags & BAL_EXTRACT_CORES)) res->cores.count = 0;
  if (!(w.flags & BAL_EXTRACT_DELTAS)) res->deltas.count = 0;
  return QXI_OK;
}

// The block quality field over the input, and the debug picture (the ridge
// picture drawn at its offsets on white), when asked for.
qxi_status quality_field_and_picture(Work &w, bal_extract_result *res) {
  const int B = w.block;
  if (w.flags & BAL_EXTRACT_QUALITY_FIELD) {
    const int fr = w.in_rows / B + 1, fc = w.in_cols / B + 1;
    auto *qf = static_cast<uint8_t *>(qx_calloc(static_cast<size_t>(fr) * fc, 1));
    if (!qf) return QXI_NO_MEMORY;
    bal_quality_image_to_field(w.pixel_quality.get(), w.in_rows, w.in_cols, w.rows, w.cols, w.row_offset, w.col_offset,
                               B, B, qf);
    qx_free(res->quality_field.data);
    res->quality_field.data = qf;
    res->quality_field.rows = static_cast<uint8_t>(fr);
    res->quality_field.cols = static_cast<uint8_t>(fc);
    res->quality_field.block_h = res->quality_field.block_w = static_cast<uint8_t>(B * w.scale);
  }
  if (w.flags & BAL_EXTRACT_DEBUG_PICTURE) {
    const size_t in_n = static_cast<size_t>(w.in_rows) * w.in_cols;
    auto *pic = static_cast<uint8_t *>(qx_malloc(in_n));
    if (!pic) return QXI_NO_MEMORY;
    std::memset(pic, 255, in_n);
    for (int r = 0; r < w.rows; ++r)
      for (int c = 0; c < w.cols; ++c) {
        const int ir = r + w.row_offset, ic = c + w.col_offset;
        if (ir >= 0 && ir < w.in_rows && ic >= 0 && ic < w.in_cols && w.ridge[static_cast<size_t>(r) * w.cols + c] == 0)
          pic[static_cast<size_t>(ir) * w.in_cols + ic] = 0;
      }
    res->debug.picture = pic;
    res->debug.rows = static_cast<uint16_t>(w.in_rows);
    res->debug.cols = static_cast<uint16_t>(w.in_cols);
  }
  return QXI_OK;
}

// Skeletons of both pictures, minutiae from them, cleanup, each minutia's
// wavelength, and the cap (best quality first, stable).
qxi_status skeletons_and_minutiae(Work &w, bal_extract_result *res, int *count_out) {
  qx::Buffer<uint8_t *> rp;
  qx::Buffer<uint8_t> counts;
  if (!rp.alloc(static_cast<size_t>(w.rows)) || !counts.alloc(w.pixel_count)) return QXI_NO_MEMORY;
  for (uint8_t *picture : {w.ridge.get(), w.valley.get()}) {
    bal_images_1D_to_2D(picture, w.rows, w.cols, rp.get());
    const qxi_status st = bal_contour_thin_scale(rp.get(), w.rows, w.cols, w.scale);
    if (st != QXI_OK) return st;
  }
  int count = 0;
  bal_minutia *m = res->minutiae.minutiae;
  bal_extract_bifurcations(w.valley.get(), w.pixel_wavelength.get(), w.pixel_orientation.get(), w.rows, w.cols, 1,
                           w.pixel_quality.get(), m, &count, counts.get(), w.scale);
  bal_extract_bifurcations(w.ridge.get(), w.pixel_wavelength.get(), w.pixel_orientation.get(), w.rows, w.cols, 2,
                           w.pixel_quality.get(), m, &count, counts.get(), w.scale);
  count = bal_remove_duplicate_minutiae(m, count, w.scale);
  count = bal_remove_edge_endpoints(m, count, w.ridge.get(), counts.get(), w.pixel_wavelength.get(), w.rows, w.cols,
                                    w.scale);
  if (w.scale == 2) count = bal_orientation_difference(m, count, w.pixel_orientation.get(), w.rows, w.cols, w.scale);
  for (int i = 0; i < count; ++i) {
    const int wl = w.pixel_wavelength[static_cast<size_t>(m[i].row) * w.cols + m[i].col];
    m[i].wavelength = static_cast<uint8_t>(std::max(0, wl - 5));
  }
  const int cap = res->minutiae.max_minutiae ? res->minutiae.max_minutiae : BAL_MAX_MINUTIAE;
  if (count > cap) {
    bal_sort_minutiae(m, count, 21, 0, 0);
    count = cap;
  }
  *count_out = count;
  return QXI_OK;
}

// Copies of the block fields (and their fine grids) for the result.
qxi_status hand_out_fields(Work &w, bal_extract_result *res) {
  for (int which = 0; which < 2; ++which) {
    const bool want = which == 0 ? w.want_orientation_field : w.want_frequency_field;
    if (!want) continue;
    bal_block_field &f = which == 0 ? res->orientation_field : res->frequency_field;
    auto *data = static_cast<uint8_t *>(qx_malloc(w.block_count));
    if (!data) return QXI_NO_MEMORY;
    std::memcpy(data, which == 0 ? w.orientation_field.get() : w.frequency_field.get(), w.block_count);
    qx_free(f.data);
    f.data = data;
    if (w.want_fine_fields) {
      auto *fd = static_cast<uint8_t *>(qx_malloc(w.fine_count));
      if (!fd) return QXI_NO_MEMORY;
      std::memcpy(fd, which == 0 ? w.fine_orientation.get() : w.fine_frequency.get(), w.fine_count);
      qx_free(f.fine);
      f.fine = fd;
    }
    f.rows = static_cast<uint8_t>(w.block_rows);
    f.cols = static_cast<uint8_t>(w.block_cols);
    f.block = static_cast<uint8_t>(w.block * w.scale);
    f.row_offset = static_cast<int16_t>(w.row_offset * w.scale);
    f.col_offset = static_cast<int16_t>(w.col_offset * w.scale);
  }
  return QXI_OK;
}

// Everything found, back into input coordinates at 500 dpi; the summary
// values; the fields; the requested minutia order.
qxi_status map_back(Work &w, bal_extract_result *res, int count) {
  const int s = w.scale;
  auto map = [&](int v, int off) { return static_cast<int16_t>(std::max(0, v + off) * s); };
  bal_minutia *m = res->minutiae.minutiae;
  for (int i = 0; i < count; ++i) {
    m[i].row = map(m[i].row, w.row_offset);
    m[i].col = map(m[i].col, w.col_offset);
  }
  auto map_points = [&](auto &points) {
    for (int i = 0; i < points.count; ++i) {
      points.entries[i].row = map(points.entries[i].row, w.row_offset);
      points.entries[i].col = map(points.entries[i].col, w.col_offset);
    }
  };
  map_points(res->cores);
  map_points(res->deltas);
  const qxi_status st = hand_out_fields(w, res);
  if (st != QXI_OK) return st;
  minutiastruct &ms = res->minutiae;
  ms.count = static_cast<uint8_t>(count);
  ms.rows = static_cast<int16_t>(w.in_rows * s);
  ms.cols = static_cast<int16_t>(w.in_cols * s);
  ms.resolution = 197;
  ms.finger_quality = w.finger_quality;
  res->finger_quality = w.finger_quality;
  res->area = w.area * static_cast<uint32_t>(s * s);
  res->centre_row = static_cast<uint32_t>(std::max(0, w.centre_row + w.row_offset) * s);
  res->centre_col = static_cast<uint32_t>(std::max(0, w.centre_col + w.col_offset) * s);
  bal_sort_minutiae(m, count, ms.ordering, static_cast<int>(res->centre_row), static_cast<int>(res->centre_col));
  return QXI_OK;
}

// The stages in order; the first failing one ends the extraction.
qxi_status extract_stages(Input &input, int in_rows, int in_cols, bal_extract_result *res) {
  Work w;
  qxi_status st = check_request(w, *res, in_rows, in_cols);
  if (st != QXI_OK) return st;
  res->minutiae.count = 0;
  res->cores.count = 0;
  res->deltas.count = 0;
  st = deghost_and_resize(w, input);
  if (st == QXI_OK) st = segment(w);
  if (st == QXI_OK) st = crop_oversized(w);
  if (st == QXI_OK) st = halve_and_normalize(w);
  if (st == QXI_OK) st = orientation_and_quality(w);
  if (st == QXI_OK) st = smooth_along_ridges(w);
  if (st == QXI_OK) st = wavelength_field(w);
  if (st == QXI_OK) st = fine_fields(w);
  if (st == QXI_OK) st = filter_and_binarize(w);
  if (st == QXI_OK) st = singular_points(w, res);
  if (st == QXI_OK) st = quality_field_and_picture(w, res);
  int count = 0;
  if (st == QXI_OK) st = skeletons_and_minutiae(w, res, &count);
  if (st == QXI_OK) st = map_back(w, res, count);
  return st;
}

}  // namespace

extern "C" qxi_status bal_extract(uint8_t *pixels, int rows, int cols, bal_extract_result *result) {
  Input input{pixels, {}};
  if (result && (result->flags & BAL_EXTRACT_OWN_INPUT)) input.owned.adopt(pixels, 0);
  if (!result) return QXI_OUT_OF_RANGE;
  qx_free(result->debug.picture);
  result->debug.picture = nullptr;
  if (!pixels || rows <= 0 || cols <= 0) {
    result->minutiae.count = 0;
    return QXI_OUT_OF_RANGE;
  }
  const qxi_status rc = extract_stages(input, rows, cols, result);
  if (rc != QXI_OK) result->minutiae.count = 0;
  return rc;
}
