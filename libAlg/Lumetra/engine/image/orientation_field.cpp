// Ridge orientation and reliability per block, their full-size images, and
// the light smoothing of the image along the ridges.
#include "engine/image/orientation_field.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "engine/image/fixed_math.h"
#include "engine/image/pixel_ops.h"
#include "engine/image/quality.h"
#include "engine/image/resample.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_simd.h"

#if QX_SIMD_HAVE_AVX2
#include <immintrin.h>
#endif

namespace {

// Coherence of the gradient moments scaled to 0..255.
int reliability_of(int64_t gxy, int64_t gxx, int64_t gyy) {
  const int64_t sum = gxx + gyy;
  if (sum <= 0) return 0;
  const int64_t d = gxx - gyy;
  uint64_t q = static_cast<uint64_t>(d * d + 4 * gxy * gxy);
  if (q >= (1u << 30)) q = (1u << 30) - 1;  // unreachable by Cauchy-Schwarz; keeps sqrt_ in range
  const int64_t r = static_cast<int64_t>(sqrt_(static_cast<uint32_t>(q))) * 255 / sum;
  return static_cast<int>(std::min<int64_t>(r, 255));
}

// Middle value of five through a 9-comparator sorting network (min/max,
// no branches); the same value any selection would return.
inline uint8_t median5(uint8_t *v) {
  auto order = [v](int a, int b) {
    const uint8_t lo = std::min(v[a], v[b]), hi = std::max(v[a], v[b]);
    v[a] = lo;
    v[b] = hi;
  };
  order(0, 1);
  order(3, 4);
  order(2, 4);
  order(2, 3);
  order(0, 3);
  order(0, 2);
  order(1, 4);
  order(1, 3);
  order(1, 2);
  return v[2];
}

}  // namespace

extern "C" qxi_status ridge_orientations_scale(const uint8_t *pixels, int rows, int cols, const uint8_t *mask,
                                               uint8_t *orientation, uint8_t *reliability, int brows, int bcols, int B,
                                               uint8_t *field, int scale) {
  const size_t nb = static_cast<size_t>(brows) * bcols;
  qx::Buffer<int32_t> gxy;
  qx::Buffer<uint32_t> gxx, gyy;
  qx::Buffer<int16_t> counts, vc, vs, bc, bs;
  qx::Buffer<uint8_t> rel_blur;
  if (!gxy.alloc(nb) || !gxx.alloc(nb) || !gyy.alloc(nb) || !counts.alloc(nb) || !vc.alloc(nb) ||
      !vs.alloc(nb) || !bc.alloc(nb) || !bs.alloc(nb) || !rel_blur.alloc(nb))
    return QXI_NO_MEMORY;
  const qxi_status rc = bal_compute_gradients(pixels, rows, cols, mask, brows, bcols, B, gxy.get(), gxx.get(), gyy.get(),
                                       counts.get(), scale);
  if (rc != QXI_OK) return rc;

  for (int br = 0; br < brows; ++br)
    for (int bc_ = 0; bc_ < bcols; ++bc_) {
      const size_t k = static_cast<size_t>(br) * bcols + bc_;
      if (!mask[k]) {
        reliability[k] = 0;
        vc[k] = vs[k] = 0;
        if (field) field[k] = 0;
        continue;
      }
      int64_t mxy = gxy[k], mxx = gxx[k], myy = gyy[k];
      int r = 0;
      if (mxx + myy > 0 && counts[k] > B * B * 5 / 100) r = reliability_of(mxy, mxx, myy);
      if (r <= 127) {
        // Weak block: take the moments of its neighbourhood instead.
        int64_t sxy = 0, sxx = 0, syy = 0, n = 0;
        for (int dr = -1; dr <= 1; ++dr)
          for (int dc = -1; dc <= 1; ++dc) {
            const int rr = br + dr, cc = bc_ + dc;
            if (rr < 0 || rr >= brows || cc < 0 || cc >= bcols) continue;
            const size_t j = static_cast<size_t>(rr) * bcols + cc;
            sxy += gxy[j];
            sxx += gxx[j];
            syy += gyy[j];
            ++n;
          }
        mxy = sxy / n;
        mxx = sxx / n;
        myy = syy / n;
        r = reliability_of(mxy, mxx, myy);
      }
      reliability[k] = static_cast<uint8_t>(r);
      const int phi = atan2_(static_cast<int32_t>(2 * mxy), static_cast<int32_t>(mxx - myy)) & 255;
      vc[k] = static_cast<int16_t>(cos_(phi - 128));
      vs[k] = static_cast<int16_t>(sin_(phi - 128));
      if (field) field[k] = static_cast<uint8_t>(phi);
    }

  // Two smoothing passes of the doubled-angle vectors; the second only
  // where the (blurred) reliability is low.
  bal_blur_int16(vc.get(), brows, bcols, bc.get());
  bal_blur_int16(vs.get(), brows, bcols, bs.get());
  std::memcpy(vc.get(), bc.get(), nb * sizeof(int16_t));
  std::memcpy(vs.get(), bs.get(), nb * sizeof(int16_t));
  bal_blur_uint8(reliability, brows, bcols, rel_blur.get());
  bal_blur_int16(vc.get(), brows, bcols, bc.get());
  bal_blur_int16(vs.get(), brows, bcols, bs.get());
  for (size_t k = 0; k < nb; ++k)
    if (rel_blur[k] <= 95) {
      vc[k] = bc[k];
      vs[k] = bs[k];
    }
  for (size_t k = 0; k < nb; ++k) orientation[k] = static_cast<uint8_t>((atan2_(vs[k], vc[k]) & 255) / 2 + 64);
  bal_blur_uint8(reliability, brows, bcols, reliability);
  return QXI_OK;
}

extern "C" qxi_status scale_up_orientation(const uint8_t *orientation, int brows, int bcols, int B, uint8_t *out, int rows,
                                           int cols) {
  const size_t nb = static_cast<size_t>(brows) * bcols;
  qx::Buffer<uint8_t> doubled;
  if (!doubled.alloc(nb)) return QXI_NO_MEMORY;
  for (size_t k = 0; k < nb; ++k) doubled[k] = static_cast<uint8_t>((2 * orientation[k] - 128) & 255);
  const qxi_status rc = scale_up_bilinear_cyclic(doubled.get(), brows, bcols, B, out, rows, cols);
  if (rc != QXI_OK) return rc;
  const size_t n = static_cast<size_t>(rows) * cols;
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(out[i] / 2 + 64);
  return QXI_OK;
}

extern "C" qxi_status bal_quality_from_reliability(const uint8_t *reliability, const uint8_t *mask, int brows, int bcols,
                                                   int B, uint8_t *quality, int rows, int cols) {
  const size_t nb = static_cast<size_t>(brows) * bcols;
  qx::Buffer<uint8_t> med;
  if (!med.alloc(nb)) return QXI_NO_MEMORY;
  bal_median_uint8(reliability, brows, bcols, med.get());
  const qxi_status rc = scale_up_bilinear_pad_uint8(med.get(), brows, bcols, B, 0, quality, rows, cols);
  if (rc != QXI_OK) return rc;
  for (int r = 0; r < rows; ++r) {
    const int br = r / B;
    // The block column advances every B pixels (no division per pixel).
    for (int c = 0, bcn = 0, within = 0; c < cols; ++c) {
      uint8_t &q = quality[static_cast<size_t>(r) * cols + c];
      const bool fg = br < brows && bcn < bcols && mask[static_cast<size_t>(br) * bcols + bcn];
      q = fg ? static_cast<uint8_t>(((q * 99) >> 8) + 1) : 0;
      if (++within == B) {
        within = 0;
        ++bcn;
      }
    }
  }
  return QXI_OK;
}

namespace {

struct Offset {
  int8_t dr, dc;
};

// Footprints per sector 0..7 (sector 8 is sector 0): rows downward.
const Offset kMedianLine[8][5] = {
    {{-2, 0}, {-1, 0}, {0, 0}, {1, 0}, {2, 0}},     {{-2, 1}, {-1, 0}, {0, 0}, {1, 0}, {2, -1}},
    {{-2, 2}, {-1, 1}, {0, 0}, {1, -1}, {2, -2}},   {{-1, 2}, {0, 1}, {0, 0}, {0, -1}, {1, -2}},
    {{0, -2}, {0, -1}, {0, 0}, {0, 1}, {0, 2}},     {{-1, -2}, {0, -1}, {0, 0}, {0, 1}, {1, 2}},
    {{-2, -2}, {-1, -1}, {0, 0}, {1, 1}, {2, 2}},   {{-2, -1}, {-1, 0}, {0, 0}, {1, 0}, {2, 1}},
};
const Offset kMeanSet[8][9] = {
    {{-3, 0}, {-2, 0}, {-1, 0}, {0, -1}, {0, 0}, {0, 1}, {1, 0}, {2, 0}, {3, 0}},
    {{-3, 1}, {-2, 1}, {-1, 0}, {-1, 1}, {0, 0}, {1, -1}, {1, 0}, {2, -1}, {3, -1}},
    {{-2, 2}, {-1, 0}, {-1, 1}, {0, -1}, {0, 0}, {0, 1}, {1, -1}, {1, 0}, {2, -2}},
    {{-1, 1}, {-1, 2}, {-1, 3}, {0, -1}, {0, 0}, {0, 1}, {1, -3}, {1, -2}, {1, -1}},
    {{-1, 0}, {0, -3}, {0, -2}, {0, -1}, {0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 0}},
    {{-1, -3}, {-1, -2}, {-1, -1}, {0, -1}, {0, 0}, {0, 1}, {1, 1}, {1, 2}, {1, 3}},
    {{-2, -2}, {-1, -1}, {-1, 0}, {0, -1}, {0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 2}},
    {{-3, -1}, {-2, -1}, {-1, -1}, {-1, 0}, {0, 0}, {1, 0}, {1, 1}, {2, 1}, {3, 1}},
};

int sector9(uint8_t o) {
  const int a = o <= 128 ? o : o - 128;
  return ((a + 8) >> 4) & 7;  // 8 and 0 are the same direction
}

// The sector of every orientation byte, and a footprint as offsets into a
// row-major image of `cols` columns: the filters below then read each
// sample with one indexed load.
struct Sectors {
  uint8_t of[256];
  Sectors() {
    for (int o = 0; o < 256; ++o) of[o] = static_cast<uint8_t>(sector9(static_cast<uint8_t>(o)));
  }
};
const Sectors kSectors;

template <int K>
void linear_offsets(const Offset (&fp)[8][K], int cols, std::ptrdiff_t (&out)[8][K]) {
  for (int s = 0; s < 8; ++s)
    for (int k = 0; k < K; ++k) out[s][k] = static_cast<std::ptrdiff_t>(fp[s][k].dr) * cols + fp[s][k].dc;
}

}  // namespace

#if QX_SIMD_HAVE_AVX2
namespace {

// The sector of 32 orientation bytes at once, as sector9 finds it: o less
// 128 when o > 128, plus 8, then bits 4..6.
QX_SIMD_AVX2_TARGET __m256i sectors32(const uint8_t *o) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(o));
  const __m256i high = _mm256_set1_epi8(static_cast<char>(0x80));
  const __m256i over = _mm256_cmpgt_epi8(_mm256_xor_si256(v, high), _mm256_setzero_si256());  // o > 128
  const __m256i a = _mm256_sub_epi8(v, _mm256_and_si256(over, high));
  const __m256i t = _mm256_add_epi8(a, _mm256_set1_epi8(8));  // at most 136: no carry out of the byte
  return _mm256_and_si256(_mm256_srli_epi16(t, 4), _mm256_set1_epi8(7));
}

// Sample k of the footprint of each of 32 pixels: the byte at the offset of
// the pixel's own sector, picked from the eight sectors' loads.
template <int K>
QX_SIMD_AVX2_TARGET inline __m256i footprint_tap(const uint8_t *centre, const std::ptrdiff_t (&fp)[8][K], int k,
                                                 const __m256i (&is)[8]) {
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(centre + fp[0][k]));
  for (int s = 1; s < 8; ++s)
    v = _mm256_blendv_epi8(v, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(centre + fp[s][k])), is[s]);
  return v;
}

QX_SIMD_AVX2_TARGET inline void sector_masks(const uint8_t *orientation, __m256i (&is)[8]) {
  const __m256i sec = sectors32(orientation);
  for (int s = 0; s < 8; ++s) is[s] = _mm256_cmpeq_epi8(sec, _mm256_set1_epi8(static_cast<char>(s)));
}

// One comparator of a sorting network on 32 byte lanes (a function rather
// than a lambda, so that it takes on the vector target).
QX_SIMD_AVX2_TARGET inline void order_bytes(__m256i &a, __m256i &b) {
  const __m256i lo = _mm256_min_epu8(a, b);
  b = _mm256_max_epu8(a, b);
  a = lo;
}

// The columns of the vector steps of a row whose filter reaches `margin`
// pixels: 32 at a time from the first column the plain loop writes, and,
// where a part shorter than a vector remains, one last step ending at the
// last column (it writes some pixels again, with the same values: the
// steps read only the copy of the input).  Every read stays in the image.
// Returns the first column left for the plain loop.
template <typename Step>
QX_SIMD_AVX2_TARGET inline int vector_steps(int cols, int margin, Step step) {
  int c = margin;
  for (; c + 32 <= cols - margin; c += 32) step(c);
  if (c > margin && c < cols - margin) {
    step(cols - margin - 32);
    c = cols - margin;
  }
  return c;
}

// Row r of the filters (the median reaches 2 pixels, the mean 3).
QX_SIMD_AVX2_TARGET int oriented_median_row_avx2(const uint8_t *copy, int cols, int r, const uint8_t *orientation,
                                                  const std::ptrdiff_t (&line)[8][5], uint8_t *out) {
  return vector_steps(cols, 2, [&](int c) QX_SIMD_AVX2_TARGET {
    const std::size_t i = static_cast<std::size_t>(r) * cols + c;
    __m256i is[8];
    sector_masks(orientation + i, is);
    const uint8_t *centre = copy + i;
    __m256i v[5];
    for (int k = 0; k < 5; ++k) v[k] = footprint_tap(centre, line, k, is);
    // median5's comparators on bytes: the middle value of each pixel's five.
    order_bytes(v[0], v[1]);
    order_bytes(v[3], v[4]);
    order_bytes(v[2], v[4]);
    order_bytes(v[2], v[3]);
    order_bytes(v[0], v[3]);
    order_bytes(v[0], v[2]);
    order_bytes(v[1], v[4]);
    order_bytes(v[1], v[3]);
    order_bytes(v[1], v[2]);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), v[2]);
  });
}

QX_SIMD_AVX2_TARGET int oriented_mean_row_avx2(const uint8_t *copy, int cols, int r, const uint8_t *orientation,
                                                const std::ptrdiff_t (&set)[8][9], uint8_t *out) {
  const __m256i zero = _mm256_setzero_si256();
  // floor(s / 9) for the sums of nine bytes (at most 2295) as
  // floor(s * 7282 / 2^16): 7282 / 2^16 exceeds 1/9 by less than
  // 1 / (9 * 2295), so the product never reaches the next integer.
  const __m256i ninth = _mm256_set1_epi16(7282);
  return vector_steps(cols, 3, [&](int c) QX_SIMD_AVX2_TARGET {
    const std::size_t i = static_cast<std::size_t>(r) * cols + c;
    __m256i is[8];
    sector_masks(orientation + i, is);
    const uint8_t *centre = copy + i;
    __m256i lo = zero, hi = zero;
    for (int k = 0; k < 9; ++k) {
      const __m256i v = footprint_tap(centre, set, k, is);
      lo = _mm256_add_epi16(lo, _mm256_unpacklo_epi8(v, zero));
      hi = _mm256_add_epi16(hi, _mm256_unpackhi_epi8(v, zero));
    }
    lo = _mm256_mulhi_epu16(lo, ninth);
    hi = _mm256_mulhi_epu16(hi, ninth);
    // packus undoes the unpacks' lane order.
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), _mm256_packus_epi16(lo, hi));
  });
}

}  // namespace
#endif

namespace {

// A filter along the ridges: every pixel at least `margin` from the edges
// takes `pixel(centre, footprint)` of its own sector's footprint, read from
// a copy of the input (so that out may be in).  With the vector path the
// row kernel does a leading run of each row and returns the first column
// it left.
template <int K, typename RowKernel, typename Pixel>
qxi_status along_ridges(const uint8_t *in, int rows, int cols, const uint8_t *orientation, uint8_t *out,
                        const Offset (&footprint)[8][K], int margin, RowKernel row_kernel, Pixel pixel) {
  const size_t n = static_cast<size_t>(rows) * cols;
  qx::Buffer<uint8_t> copy;
  if (!copy.alloc(n)) return QXI_NO_MEMORY;
  std::memcpy(copy.get(), in, n);
  std::ptrdiff_t offsets[8][K];
  linear_offsets(footprint, cols, offsets);
  const bool avx2 = qx_simd_use_avx2() != 0;
  for (int r = margin; r < rows - margin; ++r) {
    const int first = avx2 ? row_kernel(copy.get(), cols, r, orientation, offsets, out) : margin;
    for (int c = first; c < cols - margin; ++c) {
      const size_t i = static_cast<size_t>(r) * cols + c;
      out[i] = pixel(copy.get() + i, offsets[kSectors.of[orientation[i]]]);
    }
  }
  return QXI_OK;
}

// The row kernels, or none where the build has no vector path.
template <int K>
int no_row_kernel(const uint8_t *, int, int, const uint8_t *, const std::ptrdiff_t (&)[8][K], uint8_t *) {
  return K == 5 ? 2 : 3;
}

}  // namespace

extern "C" qxi_status oriented_median(const uint8_t *in, int rows, int cols, const uint8_t *orientation, uint8_t *out) {
#if QX_SIMD_HAVE_AVX2
  const auto row_kernel = oriented_median_row_avx2;
#else
  const auto row_kernel = no_row_kernel<5>;
#endif
  return along_ridges(in, rows, cols, orientation, out, kMedianLine, 2, row_kernel,
                      [](const uint8_t *centre, const std::ptrdiff_t *fp) {
                        uint8_t v[5];
                        for (int k = 0; k < 5; ++k) v[k] = centre[fp[k]];
                        return median5(v);
                      });
}

extern "C" qxi_status oriented_mean(const uint8_t *in, int rows, int cols, const uint8_t *orientation, uint8_t *out) {
#if QX_SIMD_HAVE_AVX2
  const auto row_kernel = oriented_mean_row_avx2;
#else
  const auto row_kernel = no_row_kernel<9>;
#endif
  return along_ridges(in, rows, cols, orientation, out, kMeanSet, 3, row_kernel,
                      [](const uint8_t *centre, const std::ptrdiff_t *fp) {
                        uint32_t sum = 0;
                        for (int k = 0; k < 9; ++k) sum += centre[fp[k]];
                        return static_cast<uint8_t>((static_cast<uint64_t>(sum) * 954437177ull) >> 33);
                      });
}
