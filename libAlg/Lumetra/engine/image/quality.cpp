#include "engine/image/quality.h"

#include <cstring>

#include "engine/image/block_ops.h"
#include "engine/image/fixed_math.h"
#include "engine/image/normalize.h"
#include "engine/image/pixel_ops.h"
#include "engine/image/segment.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_simd.h"

#if QX_SIMD_HAVE_AVX2
#include <immintrin.h>
#endif

namespace {
bool valid_scale(int scale) { return scale == 1 || scale == 2; }

// The gradient moments of one block's window: the sums over its pixels
// whose squared gradient exceeds 255.
struct Moments {
  int32_t sxy = 0, n = 0;
  uint32_t sxx = 0, syy = 0;
};

void block_moments_plain(const int8_t *gx, const int8_t *gy, int cols, int y0, int y1, int x0, int x1, Moments &m) {
  for (int y = y0; y < y1; ++y) {
    const std::size_t row = static_cast<std::size_t>(y) * cols;
    for (int x = x0; x < x1; ++x) {
      const int a = gx[row + x], c = gy[row + x];
      const int xx = a * a, yy = c * c;
      if (xx + yy <= 255) continue;
      m.sxy += a * c;
      m.sxx += static_cast<uint32_t>(xx);
      m.syy += static_cast<uint32_t>(yy);
      ++m.n;
    }
  }
}

#if QX_SIMD_HAVE_AVX2
QX_SIMD_AVX2_TARGET inline int32_t hsum_epi32(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return _mm_cvtsi128_si32(s);
}

// The same sums, one window row of up to 16 pixels a step (16-bit lanes:
// the gradients are at most 127 in size, so the squares and their sum
// stay below 2^15).  A row is read 16 bytes wide from its first pixel; the
// lanes past the window are masked out.  False when a read would pass the
// end of the `count` gradients, or the window is wider than 16: the plain
// loop then does the block.
QX_SIMD_AVX2_TARGET bool block_moments_avx2(const int8_t *gx, const int8_t *gy, std::size_t count, int cols, int y0,
                                            int y1, int x0, int x1, Moments &m) {
  const int w = x1 - x0;
  if (w <= 0 || y1 <= y0) return true;  // an empty window: nothing to add
  if (w > 16 || static_cast<std::size_t>(y1 - 1) * cols + x0 + 16 > count) return false;
  const __m256i iota = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m256i inside = _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<short>(w)), iota);
  const __m256i floor = _mm256_set1_epi16(255);
  __m256i vxy = _mm256_setzero_si256(), vxx = vxy, vyy = vxy, vn = vxy;
  for (int y = y0; y < y1; ++y) {
    const std::size_t at = static_cast<std::size_t>(y) * cols + x0;
    const __m256i a = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(gx + at)));
    const __m256i c = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(gy + at)));
    const __m256i energy = _mm256_add_epi16(_mm256_mullo_epi16(a, a), _mm256_mullo_epi16(c, c));
    const __m256i keep = _mm256_and_si256(_mm256_cmpgt_epi16(energy, floor), inside);
    const __m256i ak = _mm256_and_si256(a, keep), ck = _mm256_and_si256(c, keep);
    vxy = _mm256_add_epi32(vxy, _mm256_madd_epi16(ak, c));
    vxx = _mm256_add_epi32(vxx, _mm256_madd_epi16(ak, a));
    vyy = _mm256_add_epi32(vyy, _mm256_madd_epi16(ck, c));
    vn = _mm256_sub_epi16(vn, keep);  // keep is -1 in counted lanes
  }
  m.sxy += hsum_epi32(vxy);
  m.sxx += static_cast<uint32_t>(hsum_epi32(vxx));
  m.syy += static_cast<uint32_t>(hsum_epi32(vyy));
  m.n += hsum_epi32(_mm256_madd_epi16(vn, _mm256_set1_epi16(1)));
  return true;
}
#endif
}  // namespace

extern "C" qxi_status bal_crop_block_size(const uint8_t *pixels, int rows, int cols, int B, uint8_t **cropped,
                                          int *out_rows, int *out_cols, int *row_offset, int *col_offset) {
  *cropped = nullptr;
  *out_rows = *out_cols = *row_offset = *col_offset = 0;
  if (B <= 0 || rows < B || cols < B) return QXI_OUT_OF_RANGE;
  const int rrem = rows % B, crem = cols % B;
  const int nrows = rows - rrem, ncols = cols - crem;
  auto *buf = static_cast<uint8_t *>(qx_malloc(static_cast<std::size_t>(nrows) * ncols));
  if (!buf) return QXI_NO_MEMORY;
  const int r0 = rrem / 2, c0 = crem / 2;
  for (int r = 0; r < nrows; ++r)
    std::memcpy(buf + static_cast<std::size_t>(r) * ncols, pixels + static_cast<std::size_t>(r + r0) * cols + c0,
                static_cast<std::size_t>(ncols));
  *cropped = buf;
  *out_rows = nrows;
  *out_cols = ncols;
  *row_offset = r0;
  *col_offset = c0;
  return QXI_OK;
}

extern "C" qxi_status bal_finger_presence_scale(const uint8_t *pixels, int rows, int cols, int scale, int *present) {
  *present = 0;
  if (!valid_scale(scale)) return QXI_OUT_OF_RANGE;
  const int P = 16 / scale;
  const int h = rows < 256 / scale ? rows : 256 / scale;
  const int w = cols < 192 / scale ? cols : 192 / scale;
  if (h <= 0 || w <= 0) return QXI_OK;
  const int hb = h / P, wb = w / P;
  if (hb == 0 || wb == 0) return QXI_OK;
  qx::Buffer<uint8_t> window, means;
  qx::Buffer<uint16_t> variances;
  if (!window.alloc(static_cast<std::size_t>(h) * w) || !means.alloc(static_cast<std::size_t>(hb) * wb) ||
      !variances.alloc(static_cast<std::size_t>(hb) * wb))
    return QXI_NO_MEMORY;
  bal_crop_image(pixels, rows, cols, window.get(), h, w, (rows - h) / 2, (cols - w) / 2);
  // Filtering in place needs one scratch copy per pass; a failure is an
  // out-of-memory answer, not a "no finger".
  qxi_status status = bal_median_uint8(window.get(), h, w, window.get());
  if (status == QXI_OK && scale == 1) status = bal_blur_uint8(window.get(), h, w, window.get());
  if (status == QXI_OK && scale == 1) status = bal_blur_uint8(window.get(), h, w, window.get());
  if (status != QXI_OK) return status;
  bal_mean_blockwise_uint8(window.get(), h, w, P, hb, wb, means.get());
  bal_var_blockwise_uint8(window.get(), h, w, means.get(), P, hb, wb, variances.get());
  uint32_t sum = 0;
  for (int i = 0; i < hb * wb; ++i) sum += variances[i];
  *present = sum / static_cast<uint32_t>(hb * wb) > 20 ? 1 : 0;
  return QXI_OK;
}

extern "C" int bal_finger_is_present_scale(const uint8_t *pixels, int rows, int cols, int scale) {
  int present = 0;
  return bal_finger_presence_scale(pixels, rows, cols, scale, &present) == QXI_OK ? present : 0;
}

extern "C" qxi_status bal_image_quality_cond(const uint8_t *pixels, int rows, int cols, int brows, int bcols, int B,
                                             const uint8_t *mask, uint8_t *condition) {
  *condition = 0;
  if (brows < 3 || bcols < 3) return QXI_OK;
  if (brows * B > rows || bcols * B > cols) return QXI_OUT_OF_RANGE;
  qx::Buffer<uint8_t> copy;
  if (!copy.alloc(static_cast<std::size_t>(rows) * cols)) return QXI_NO_MEMORY;
  // Median into a separate buffer: no scratch needed.
  const qxi_status status = bal_median_uint8(pixels, rows, cols, copy.get());
  if (status != QXI_OK) return status;
  bal_stretch(copy.get(), rows, cols, 5, copy.get());
  uint32_t bright = 0, dark = 0;
  for (int by = 1; by < brows - 1; ++by) {
    for (int bx = 1; bx < bcols - 1; ++bx) {
      const int b = by * bcols + bx;
      if (!(mask[b] && mask[b - 1] && mask[b + 1] && mask[b - bcols] && mask[b + bcols])) continue;
      for (int y = 0; y < B; ++y) {
        const uint8_t *p = copy.get() + static_cast<std::size_t>(by * B + y) * cols + bx * B;
        for (int x = 0; x < B; ++x) (p[x] >= 128 ? bright : dark) += 1;
      }
    }
  }
  if (bright + dark) *condition = static_cast<uint8_t>(bright * 100 / (bright + dark));
  return QXI_OK;
}

extern "C" qxi_status bal_compute_gradients(const uint8_t *pixels, int rows, int cols, const uint8_t *mask, int brows,
                                            int bcols, int B, int32_t *mean_gxy, uint32_t *mean_gxx, uint32_t *mean_gyy,
                                            int16_t *counts, int scale) {
  if (!valid_scale(scale) || B <= 0 || brows * B > rows || bcols * B > cols) return QXI_OUT_OF_RANGE;
  const std::size_t np = static_cast<std::size_t>(rows) * cols;
  qx::Buffer<uint8_t> work;
  qx::Buffer<int8_t> gx, gy;
  if (!work.alloc(np) || !gx.alloc(np) || !gy.alloc(np)) return QXI_NO_MEMORY;
  const uint8_t *src = pixels;
  if (scale == 1) {
    const qxi_status status = bal_blur_uint8(pixels, rows, cols, work.get());
    if (status != QXI_OK) return status;
    src = work.get();
  }
  sobel_2(src, rows, cols, gx.get(), gy.get());
#if QX_SIMD_HAVE_AVX2
  const bool avx2 = qx_simd_use_avx2() != 0;
#endif

  for (int by = 0; by < brows; ++by) {
    for (int bx = 0; bx < bcols; ++bx) {
      const int b = by * bcols + bx;
      // The window loses each edge line that faces a background block, so
      // that the step to flat white background adds no false gradients.
      int y0 = by * B, y1 = y0 + B, x0 = bx * B, x1 = x0 + B;
      if (by > 0 && !mask[b - bcols]) ++y0;
      if (by < brows - 1 && !mask[b + bcols]) --y1;
      if (bx > 0 && !mask[b - 1]) ++x0;
      if (bx < bcols - 1 && !mask[b + 1]) --x1;
      Moments m;
      bool done = false;
#if QX_SIMD_HAVE_AVX2
      if (avx2) done = block_moments_avx2(gx.get(), gy.get(), np, cols, y0, y1, x0, x1, m);
#endif
      if (!done) block_moments_plain(gx.get(), gy.get(), cols, y0, y1, x0, x1, m);
      const int32_t n = m.n;
      mean_gxy[b] = n ? m.sxy / n : 0;
      mean_gxx[b] = n ? m.sxx / static_cast<uint32_t>(n) : 0;
      mean_gyy[b] = n ? m.syy / static_cast<uint32_t>(n) : 0;
      counts[b] = static_cast<int16_t>(n);
    }
  }
  return QXI_OK;
}

extern "C" qxi_status bal_ridge_orientation_coherence_scale(const uint8_t *pixels, int rows, int cols, uint8_t *coherence,
                                                            const uint8_t *mask, int brows, int bcols, int B, int scale) {
  if (brows <= 0 || bcols <= 0) return QXI_OUT_OF_RANGE;
  const std::size_t nb = static_cast<std::size_t>(brows) * bcols;
  qx::Buffer<int32_t> gxy;
  qx::Buffer<uint32_t> gxx, gyy;
  qx::Buffer<int16_t> counts;
  qx::Buffer<uint8_t> raw;
  if (!gxy.alloc(nb) || !gxx.alloc(nb) || !gyy.alloc(nb) || !counts.alloc(nb) || !raw.alloc(nb))
    return QXI_NO_MEMORY;
  const qxi_status status =
      bal_compute_gradients(pixels, rows, cols, mask, brows, bcols, B, gxy.get(), gxx.get(), gyy.get(),
                            counts.get(), scale);
  if (status != QXI_OK) return status;
  const int min_count = B * B * 5 / 100;
  for (std::size_t b = 0; b < nb; ++b) {
    const uint32_t energy = gxx[b] + gyy[b];
    if (energy == 0 || counts[b] <= min_count) {
      raw[b] = 0;
      continue;
    }
    const int64_t d = static_cast<int64_t>(gxx[b]) - gyy[b];
    const int64_t e = 2 * static_cast<int64_t>(gxy[b]);
    // (gxx - gyy)^2 + (2 gxy)^2 <= (gxx + gyy)^2 < 2^30 for byte gradients.
    const uint64_t s = static_cast<uint64_t>(d * d + e * e);
    const uint32_t root = sqrt_(s > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(s));
    const uint32_t c = root * 255u / energy;
    raw[b] = static_cast<uint8_t>(c > 255 ? 255 : c);
  }
  return bal_blur_uint8(raw.get(), brows, bcols, coherence);
}

extern "C" qxi_status bal_ridge_orientation_coherence(const uint8_t *pixels, int rows, int cols, uint8_t *coherence,
                                                      const uint8_t *mask, int brows, int bcols, int B) {
  return bal_ridge_orientation_coherence_scale(pixels, rows, cols, coherence, mask, brows, bcols, B, 1);
}

extern "C" qxi_status bal_image_quality_qual(const uint8_t *pixels, int rows, int cols, int brows, int bcols, int B,
                                             const uint8_t *mask, const uint8_t *coherence, int full_rows, int full_cols,
                                             uint8_t *quality, uint32_t *area, int scale) {
  *quality = 0;
  *area = 0;
  if (brows <= 0 || bcols <= 0 || B <= 0) return QXI_OUT_OF_RANGE;
  const std::size_t nb = static_cast<std::size_t>(brows) * bcols;
  qx::Buffer<uint8_t> own;
  if (!coherence) {
    if (!own.alloc(nb)) return QXI_NO_MEMORY;
    const qxi_status status =
        bal_ridge_orientation_coherence_scale(pixels, rows, cols, own.get(), mask, brows, bcols, B, scale);
    if (status != QXI_OK) return status;
    coherence = own.get();
  }
  int32_t s = 0, j = 0;
  for (std::size_t b = 0; b < nb; ++b) {
    if (!mask[b]) continue;
    s += ((coherence[b] * 99) >> 8) + 1;
    ++j;
  }
  if (j == 0) return QXI_OK;
  // A mean term of 30 maps to 0, 90 to 100; a fingerprint block always
  // gives at least 1.
  const int32_t q = ((s - 30 * j) * 100 / 60) / j;
  *quality = static_cast<uint8_t>(q > 100 ? 100 : (q < 1 ? 1 : q));
  const uint32_t uB = static_cast<uint32_t>(B);
  *area = (((uB * uB * static_cast<uint32_t>(full_cols) * static_cast<uint32_t>(j)) /
            (static_cast<uint32_t>(bcols) * uB)) *
           static_cast<uint32_t>(full_rows)) /
          (static_cast<uint32_t>(brows) * uB);
  return QXI_OK;
}

extern "C" qxi_status bal_image_quality_scale(const uint8_t *pixels, int rows, int cols, uint8_t *quality, uint32_t *area,
                                              uint8_t *condition, int scale) {
  *quality = 0;
  *area = 0;
  *condition = 0;
  if (!valid_scale(scale)) return QXI_OUT_OF_RANGE;
  const int B = 12 / scale;
  if (rows < B || cols < B) return QXI_OK;

  uint8_t *raw_crop = nullptr;
  int crows, ccols, roff, coff;
  qxi_status status = bal_crop_block_size(pixels, rows, cols, B, &raw_crop, &crows, &ccols, &roff, &coff);
  if (status != QXI_OK) return status;
  struct Owned {
    uint8_t *p;
    ~Owned() { qx_free(p); }
  } cropped{raw_crop};

  int present = 0;
  status = bal_finger_presence_scale(cropped.p, crows, ccols, scale, &present);
  if (status != QXI_OK || !present) return status;

  const int brows = crows / B, bcols = ccols / B;
  qx::Buffer<uint8_t> mask;
  if (!mask.alloc(static_cast<std::size_t>(brows) * bcols)) return QXI_NO_MEMORY;
  status = bal_segment_image_scale(cropped.p, crows, ccols, brows, bcols, B, mask.get(), scale);
  if (status != QXI_OK) return status;

  uint8_t cond = 0;
  status = bal_image_quality_cond(cropped.p, crows, ccols, brows, bcols, B, mask.get(), &cond);
  if (status != QXI_OK) return status;

  status = bal_normalize_locally(cropped.p, crows, ccols, mask.get(), B, brows, bcols, 150, 120, cropped.p);
  if (status != QXI_OK) return status;

  uint8_t q = 0;
  uint32_t a = 0;
  status = bal_image_quality_qual(cropped.p, crows, ccols, brows, bcols, B, mask.get(), nullptr, rows, cols, &q,
                                  &a, scale);
  if (status != QXI_OK) return status;
  *quality = q;
  *area = a;
  *condition = cond;
  return QXI_OK;
}

namespace {

struct Resolution {
  int reference;  // 500 or 250
  int tolerance;  // 8 or 4
  int scale;      // 1 or 2
};

}  // namespace

extern "C" int qx_quality_working_resolution(int r, int reference, int tolerance) {
  auto near = [&](int v) { return (v > reference ? v - reference : reference - v) <= tolerance; };
  if (near(r)) return r;
  if (near(r / 2)) return r / 2;
  if (near(2 * r)) return 2 * r;
  return reference;
}

extern "C" uint16_t qx_quality_area_mm2(uint32_t pixels, int w, int reference) {
  if (w <= 0) return 0;
  // The products are taken in 64 bits and the result saturates at the
  // 16-bit field, so that very large images cannot wrap to a small area.
  uint64_t v;
  if (reference == 250)
    v = ((static_cast<uint64_t>(62500 / w) * 4 * pixels) >> 2) / 97u / static_cast<uint64_t>(w);
  else
    v = ((static_cast<uint64_t>(250000 / w) * pixels) >> 2) / 97u / static_cast<uint64_t>(w);
  return static_cast<uint16_t>(v > 0xFFFF ? 0xFFFF : v);
}

namespace {

qx_rc compute_quality(const Resolution &res, qx_image *image, qx_quality **out_record) {
  if (!out_record) return QX_RC_BAD_ARGUMENT;
  *out_record = nullptr;
  if (!image) return QX_RC_BAD_ARGUMENT;
  const int r = qx_image_get_vertical_resolution(image);
  if (r == 0 || r != qx_image_get_horizontal_resolution(image)) return QX_RC_UNSUPPORTED;

  // Working resolution: as is when close to the reference, else half or
  // double the resolution when that is close, else the reference itself.
  const int w = qx_quality_working_resolution(r, res.reference, res.tolerance);

  qx_image *measured = image;
  qx_image *copy = nullptr;
  bool too_small = false;
  if (w != r) {
    const long new_rows = static_cast<long>(w) * qx_image_get_rows(image) / r;
    const long new_cols = static_cast<long>(w) * qx_image_get_cols(image) / r;
    if (new_rows < 1 || new_cols < 1) {
      too_small = true;  // nothing left to measure: a record of zeros
    } else {
      if (!qx_image_get_pixels(image)) return QX_RC_BAD_ARGUMENT;
      copy = qx_image_scale_res(image, w, w);
      if (!copy) return QX_RC_NO_MEMORY;
      measured = copy;
    }
  }

  uint8_t quality = 0, condition = 0;
  uint32_t area_px = 0;
  if (!too_small) {
    const uint8_t *pixels = qx_image_get_pixels(measured);
    if (!pixels) {
      qx_image_delete(copy);
      return QX_RC_BAD_ARGUMENT;
    }
    const int rows = qx_image_get_rows(measured), cols = qx_image_get_cols(measured);
    const qxi_status status = bal_image_quality_scale(pixels, rows, cols, &quality, &area_px, &condition, res.scale);
    if (status != QXI_OK) {
      qx_image_delete(copy);
      return qx_rc_convert_from_qxi(status);
    }
    const uint32_t size = static_cast<uint32_t>(rows) * static_cast<uint32_t>(cols);
    if (area_px > size) area_px = size;
  }
  qx_image_delete(copy);

  qx_quality *record = qx_quality_create(quality, qx_quality_area_mm2(area_px, w, res.reference), condition);
  if (!record) return QX_RC_NO_MEMORY;
  // The record goes to the caller's image, not to a resampled copy.
  qx_image_set_quality_values(image, record);
  *out_record = record;
  return QX_RC_OK;
}

}  // namespace

extern "C" qx_rc qx_compute_quality_500(void *owner, qx_image *image, qx_quality **out_record) {
  (void)owner;
  return compute_quality(Resolution{500, 8, 1}, image, out_record);
}

extern "C" qx_rc qx_compute_quality_250(void *owner, qx_image *image, qx_quality **out_record) {
  (void)owner;
  return compute_quality(Resolution{250, 4, 2}, image, out_record);
}
