// Contextual band-pass filtering of the ridges, tile by tile.
#include "engine/image/ridge_filter.h"

#include <algorithm>
#include <cstring>

#include "engine/image/bandpass_masks.h"
#include "engine/image/fft.h"
#include "engine/image/pixel_ops.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_simd.h"

#if QX_SIMD_HAVE_AVX2
#include <immintrin.h>
#endif

extern "C" int bal_filter_class(uint8_t orientation, uint8_t wavelength, uint8_t quality) {
  const int a = orientation <= 128 ? orientation : orientation - 128;
  const int sector = ((a + 4) >> 3) & 15;  // 16 is sector 0 again
  const int level = quality > 75 ? 0 : (quality < 31 ? 2 : 1);
  const int w = std::min(10, std::max(0, static_cast<int>(wavelength) - 5));
  return sector + 16 * (11 * level + w);
}

namespace {

// The band-pass gain applied to a half spectrum: g = gain, raised to the
// power 1 + level in Q8 ((g g) >> 8, once or twice), then
// out = (in g) >> 8 for both parts.
void apply_gain_plain(const int32_t *re, const int32_t *im, const uint8_t *gain, int level, int32_t *fre,
                      int32_t *fim, int m) {
  for (int t = 0; t < m; ++t) {
    int32_t g = gain[t];
    if (level >= 1) g = (g * gain[t]) >> 8;
    if (level >= 2) g = (g * gain[t]) >> 8;
    // The spectrum of a block within +-2^20 stays below 1.5e6 in
    // magnitude and g <= 255: the product fits in 32 bits.
    fre[t] = (re[t] * g) >> 8;
    fim[t] = (im[t] * g) >> 8;
  }
}

#if QX_SIMD_HAVE_AVX2
// apply_gain_plain eight values at a time (the same 32-bit products and
// arithmetic shifts).
QX_SIMD_AVX2_TARGET void apply_gain_avx2(const int32_t *re, const int32_t *im, const uint8_t *gain, int level,
                                         int32_t *fre, int32_t *fim, int m) {
  int t = 0;
  for (; t + 8 <= m; t += 8) {
    const __m256i g0 = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(gain + t)));
    __m256i g = g0;
    if (level >= 1) g = _mm256_srai_epi32(_mm256_mullo_epi32(g, g0), 8);
    if (level >= 2) g = _mm256_srai_epi32(_mm256_mullo_epi32(g, g0), 8);
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(re + t));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(im + t));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(fre + t), _mm256_srai_epi32(_mm256_mullo_epi32(a, g), 8));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(fim + t), _mm256_srai_epi32(_mm256_mullo_epi32(b, g), 8));
  }
  apply_gain_plain(re + t, im + t, gain + t, level, fre + t, fim + t, m - t);
}
#endif

void apply_gain(const int32_t *re, const int32_t *im, const uint8_t *gain, int level, int32_t *fre, int32_t *fim,
                int m) {
#if QX_SIMD_HAVE_AVX2
  if (qx_simd_use_avx2()) return apply_gain_avx2(re, im, gain, level, fre, fim, m);
#endif
  apply_gain_plain(re, im, gain, level, fre, fim, m);
}

// dst[c] = (row[(w0c + c) step] - 128) << shift for c_lo <= c < c_hi.
void load_samples_plain(const uint8_t *row, int w0c, int c_lo, int c_hi, int step, int shift, int32_t *dst) {
  for (int c = c_lo; c < c_hi; ++c) dst[c] = (static_cast<int32_t>(row[(w0c + c) * step]) - 128) << shift;
}

#if QX_SIMD_HAVE_AVX2
// The same for step 1, eight samples at a time.
QX_SIMD_AVX2_TARGET void load_samples_avx2(const uint8_t *row, int w0c, int c_lo, int c_hi, int shift,
                                           int32_t *dst) {
  const __m256i centre = _mm256_set1_epi32(128);
  const __m128i count = _mm_cvtsi32_si128(shift);
  int c = c_lo;
  for (; c + 8 <= c_hi; c += 8) {
    const __m256i p = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(row + w0c + c)));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + c), _mm256_sll_epi32(_mm256_sub_epi32(p, centre), count));
  }
  load_samples_plain(row, w0c, c, c_hi, 1, shift, dst);
}
#endif

void load_samples(const uint8_t *row, int w0c, int c_lo, int c_hi, int step, int shift, int32_t *dst) {
#if QX_SIMD_HAVE_AVX2
  if (step == 1 && qx_simd_use_avx2()) return load_samples_avx2(row, w0c, c_lo, c_hi, shift, dst);
#endif
  load_samples_plain(row, w0c, c_lo, c_hi, step, shift, dst);
}

#if QX_SIMD_HAVE_AVX2
// bal_filter_class of sixteen pixels in a row, in 8-bit lanes widened to
// 16 at the end: the sector from the orientation folded into 0 .. 128, the
// level from the quality's two bounds, the wavelength class saturated into
// 0 .. 10.
QX_SIMD_AVX2_TARGET void filter_classes16_avx2(const uint8_t *orientation, const uint8_t *wavelength,
                                               const uint8_t *quality, uint16_t *cls) {
  const __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i *>(orientation));
  const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(wavelength));
  const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i *>(quality));
  const __m128i past_half = _mm_cmpeq_epi8(_mm_max_epu8(o, _mm_set1_epi8(static_cast<char>(129))), o);
  const __m128i a = _mm_sub_epi8(o, _mm_and_si128(past_half, _mm_set1_epi8(static_cast<char>(128))));
  // (a + 4) >> 3 in each byte (a + 4 <= 132): a 16-bit shift, the bits
  // shifted in from the neighbouring byte cleared with the sector's 4 bits.
  const __m128i sector =
      _mm_and_si128(_mm_srli_epi16(_mm_add_epi8(a, _mm_set1_epi8(4)), 3), _mm_set1_epi8(15));
  const __m128i good = _mm_cmpeq_epi8(_mm_max_epu8(q, _mm_set1_epi8(76)), q);  // q > 75
  const __m128i poor = _mm_cmpeq_epi8(_mm_min_epu8(q, _mm_set1_epi8(30)), q);  // q < 31
  const __m128i level = _mm_sub_epi8(_mm_add_epi8(_mm_set1_epi8(1), good), poor);
  const __m128i wc = _mm_min_epu8(_mm_subs_epu8(w, _mm_set1_epi8(5)), _mm_set1_epi8(10));
  // 11 level + w <= 32 still fits the byte; then sector + 16 (...) in 16 bits.
  const __m128i rest = _mm_add_epi8(_mm_add_epi8(_mm_add_epi8(level, level), _mm_slli_epi16(level, 3)),
                                    _mm_add_epi8(level, wc));
  const __m256i k = _mm256_add_epi16(_mm256_cvtepu8_epi16(sector), _mm256_slli_epi16(_mm256_cvtepu8_epi16(rest), 4));
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(cls), k);
}
#endif

// The classes present in a tile, as bits of a 528-bit set (which also
// lists them in ascending order); a run of one class marks it once.
struct ClassSet {
  uint64_t bits[9] = {};
  int last = -1;
  void mark(const uint16_t *cls, int n) {
    for (int i = 0; i < n; ++i) {
      const int k = cls[i];
      if (k == last || k == 0xFFFF) continue;
      bits[k >> 6] |= uint64_t{1} << (k & 63);
      last = k;
    }
  }
  int list(uint16_t *classes) const {
    int n = 0;
    for (int w = 0; w < 9; ++w)
      for (uint64_t b = bits[w]; b != 0; b &= b - 1)
        classes[n++] = static_cast<uint16_t>(w * 64 + __builtin_ctzll(b));
    return n;
  }
};

bool in_print(const uint8_t *mask, int brows, int bcols, int B, int r, int c) {
  const int br = r / B, bc = c / B;
  return r >= 0 && c >= 0 && br < brows && bc < bcols && mask[static_cast<size_t>(br) * bcols + bc];
}

// The tile filter shared by both sizes.  N: transform size; T: tile size in
// samples; step: pixel distance of samples; Divisor: final division (a
// constant, so that it is no division instruction per sample).
template <int N, int Divisor>
qxi_status filter_tiles(const uint8_t *src, int rows, int cols, const uint8_t *wavelength, const uint8_t *orientation,
                        const uint8_t *mask, const uint8_t *quality, int brows, int bcols, int B, int8_t *out, int step,
                        int shift_in, void (*fwd)(const int32_t *, int32_t *, int32_t *),
                        void (*inv)(int32_t *, int32_t *, int32_t *, int, int)) {
  constexpr int W = N / 2 + 1, T = N / 2, M = N * W;
  qx::Buffer<int32_t> block, re, im, fre, fim, scratch;
  qx::Buffer<uint8_t> masks;  // decoded masks, 16 sectors x 11 classes
  qx::Buffer<uint8_t> decoded;
  qx::Buffer<uint16_t> cls, classes;
  if (!classes.alloc(T * T) || !block.alloc(N * N) || !re.alloc(M) || !im.alloc(M) || !fre.alloc(M) || !fim.alloc(M) ||
      !scratch.alloc(FFT_SCRATCH_WORDS(N)) || !masks.alloc(static_cast<size_t>(16) * 11 * M) ||
      !decoded.alloc(16 * 11) || !cls.alloc(T * T))
    return QXI_NO_MEMORY;
  const int span = T * step;  // pixels covered by a tile
  const bool avx2 = qx_simd_use_avx2() != 0;
  (void)avx2;
  const int sr = (rows + step - 1) / step, sc = (cols + step - 1) / step;
  for (int i = 0; i < rows; i += span)
    for (int j = 0; j < cols; j += span) {
      // Probe points, in pixels.
      const int last = span - 1, mid = span / 2;
      if (!in_print(mask, brows, bcols, B, i, j) && !in_print(mask, brows, bcols, B, i, j + last) &&
          !in_print(mask, brows, bcols, B, i + last, j) && !in_print(mask, brows, bcols, B, i + last, j + last) &&
          !in_print(mask, brows, bcols, B, i + mid, j + mid))
        continue;
      const int si = i / step, sj = j / step;  // tile origin in samples
      const int w0r = si - (N - T) / 2, w0c = sj - (N - T) / 2;
      // Samples inside the image (0 <= y < sr, which is y step < rows, and
      // the same for x), centred on 128 and scaled; 0 outside.
      const int c_lo = std::max(0, -w0c), c_hi = std::max(c_lo, std::min(N, sc - w0c));
      for (int r = 0; r < N; ++r) {
        int32_t *dst = block.get() + r * N;
        const int y = w0r + r;
        if (y < 0 || y >= sr) {
          std::fill(dst, dst + N, 0);
          continue;
        }
        std::fill(dst, dst + c_lo, 0);
        std::fill(dst + c_hi, dst + N, 0);
        const uint8_t *row = src + static_cast<size_t>(y) * step * cols;
        load_samples(row, w0c, c_lo, c_hi, step, shift_in, dst);
      }
      // Classes of the tile's samples (0xFFFF outside the image), and the
      // distinct ones in ascending order.
      ClassSet present;
      for (int r = 0; r < T; ++r) {
        uint16_t *own = cls.get() + r * T;
        const int y = (si + r) * step;
#if QX_SIMD_HAVE_AVX2
        if (T == 16 && step == 1 && y < rows && sj + T <= cols && avx2) {
          const size_t p = static_cast<size_t>(y) * cols + sj;
          filter_classes16_avx2(orientation + p, wavelength + p, quality + p, own);
          present.mark(own, T);
          continue;
        }
#endif
        for (int c = 0; c < T; ++c) {
          const int x = (sj + c) * step;
          if (y >= rows || x >= cols) {
            own[c] = 0xFFFF;
            continue;
          }
          const size_t p = static_cast<size_t>(y) * cols + x;
          own[c] = static_cast<uint16_t>(bal_filter_class(orientation[p], wavelength[p], quality[p]));
        }
        present.mark(own, T);
      }
      const int nclasses = present.list(classes.get());
      if (nclasses == 0) continue;
      fwd(block.get(), re.get(), im.get());
      // Each sample takes the inverse of its own class: kept in `tile` by a
      // select over the whole tile per class (no branch per sample), then
      // written out once.
      int8_t tile[T * T] = {};
      for (int ci = 0; ci < nclasses; ++ci) {
        const int k = classes[ci];
        const int sector = k & 15, rest = k >> 4, level = rest / 11, wc = rest % 11;
        uint8_t *gain = masks.get() + (static_cast<size_t>(wc) * 16 + sector) * M;
        if (!decoded[wc * 16 + sector]) {
          bal_bandpass_mask(N, wc, sector, gain);
          decoded[wc * 16 + sector] = 1;
        }
        apply_gain(re.get(), im.get(), gain, level, fre.get(), fim.get(), M);
        // Only the tile's own rows of the inverse are read.
        inv(fre.get(), fim.get(), block.get(), (N - T) / 2, (N - T) / 2 + T);
        for (int r = 0; r < T; ++r) {
          const int32_t *inverse = block.get() + (r + (N - T) / 2) * N + (N - T) / 2;
          const uint16_t *own = cls.get() + r * T;
          int8_t *line = tile + r * T;
          for (int c = 0; c < T; ++c) {
            const int32_t v = std::max(-128, std::min(127, inverse[c] / Divisor));
            line[c] = own[c] == k ? static_cast<int8_t>(v) : line[c];
          }
        }
      }
      for (int r = 0; r < T; ++r) {
        const int y = (si + r) * step;
        if (y >= rows) break;
        int8_t *dst = out + static_cast<size_t>(y) * cols;
        if (step == 1 && sj + T <= cols) {
          std::memcpy(dst + sj, tile + r * T, T);
          continue;
        }
        for (int c = 0; c < T; ++c)
          if (cls[r * T + c] != 0xFFFF)  // inside the image
            dst[(sj + c) * step] = tile[r * T + c];
      }
    }
  return QXI_OK;
}

}  // namespace

extern "C" qxi_status bal_gabor_filter_32(const uint8_t *pixels, int rows, int cols, const uint8_t *wavelength,
                                          const uint8_t *orientation, const uint8_t *mask, const uint8_t *quality,
                                          int brows, int bcols, int B, int8_t *out) {
  std::memset(out, 0, static_cast<size_t>(rows) * cols);
  return filter_tiles<32, 8>(pixels, rows, cols, wavelength, orientation, mask, quality, brows, bcols, B, out, 1, 13,
                          fftn2d32_bounded, fftni2d32_rows);
}

extern "C" qxi_status bal_gabor_filter_16(const uint8_t *pixels, int rows, int cols, const uint8_t *wavelength,
                                          const uint8_t *orientation, const uint8_t *mask, const uint8_t *quality,
                                          int brows, int bcols, int B, int8_t *out, int step) {
  const size_t n = static_cast<size_t>(rows) * cols;
  std::memset(out, 0, n);
  if (step != 2)
    return filter_tiles<16, 32>(pixels, rows, cols, wavelength, orientation, mask, quality, brows, bcols, B, out, 1,
                                13, fftn2d16_bounded, fftni2d16_rows);
  qx::Buffer<uint8_t> smooth;
  qx::Buffer<int8_t> sparse;
  if (!smooth.alloc(n) || !sparse.alloc(n)) return QXI_NO_MEMORY;
  bal_blur_weighted_uint8(pixels, rows, cols, smooth.get());
  const qxi_status rc = filter_tiles<16, 32>(smooth.get(), rows, cols, wavelength, orientation, mask, quality, brows,
                                             bcols, B, sparse.get(), 2, 13, fftn2d16_bounded, fftni2d16_rows);
  if (rc != QXI_OK) return rc;
  return bal_blur_weighted_int8_upsample(sparse.get(), rows, cols, out);
}

extern "C" qxi_status bal_binarize_local_histogram_threshold(const int8_t *filtered, const uint8_t *quality, int rows,
                                                             int cols, const uint8_t *mask, int B, int percent,
                                                             uint8_t *ridge, uint8_t *valley) {
  (void)quality;
  const size_t n = static_cast<size_t>(rows) * cols;
  std::memset(ridge, 1, n);
  std::memset(valley, 1, n);
  const int brows = rows / B, bcols = cols / B;
  if (brows <= 0 || bcols <= 0) return QXI_OK;
  qx::Buffer<int8_t> thr, smooth;
  if (!thr.alloc(static_cast<size_t>(brows) * bcols) || !smooth.alloc(static_cast<size_t>(brows) * bcols)) return QXI_NO_MEMORY;
  for (int br = 0; br < brows; ++br)
    for (int bc = 0; bc < bcols; ++bc) {
      const size_t k = static_cast<size_t>(br) * bcols + bc;
      if (!mask[k]) {
        thr[k] = 0;
        continue;
      }
      uint32_t hist[256] = {0};
      for (int r = br * B; r < br * B + B; ++r)
        for (int c = bc * B; c < bc * B + B; ++c) ++hist[filtered[static_cast<size_t>(r) * cols + c] + 128];
      // The first value whose cumulative share passes the percentage:
      // floor(cum * 100 / B^2) > percent, which for these unsigned
      // integers is cum * 100 >= (percent + 1) * B^2 (no division per bin).
      const uint64_t reach = (uint64_t{static_cast<uint32_t>(percent)} + 1) * static_cast<uint32_t>(B * B);
      int t = 127;
      uint32_t cum = 0;
      for (int v = 0; v < 256; ++v) {
        cum += hist[v];
        if (uint64_t{cum * 100} >= reach) {
          t = v - 128;
          break;
        }
      }
      thr[k] = static_cast<int8_t>(t);
    }
  bal_blur_weighted_int8(thr.get(), brows, bcols, smooth.get());
  // Block by block along each row, so that no pixel divides to find its
  // block.
  for (int r = 0; r < brows * B; ++r) {
    const size_t krow = static_cast<size_t>(r / B) * bcols;
    for (int bc = 0; bc < bcols; ++bc) {
      if (!mask[krow + bc]) continue;
      const int8_t limit = smooth[krow + bc];
      for (int c = bc * B; c < bc * B + B; ++c) {
        const size_t p = static_cast<size_t>(r) * cols + c;
        const bool below = filtered[p] < limit;
        ridge[p] = below ? 0 : 1;
        valley[p] = below ? 1 : 0;
      }
    }
  }
  return QXI_OK;
}

extern "C" void bal_binarize_remove_edges(uint8_t *ridge, uint8_t *valley, int rows, int cols, int left, int right,
                                          int top, int bottom) {
  for (int r = 0; r < rows; ++r) {
    const bool whole = r < top || r >= rows - bottom;
    for (int c = 0; c < cols; ++c)
      if (whole || c < left || c >= cols - right) {
        ridge[static_cast<size_t>(r) * cols + c] = 1;
        valley[static_cast<size_t>(r) * cols + c] = 1;
      }
  }
}

namespace {

#if QX_SIMD_HAVE_AVX2
// Bit i set where pixel p + i of the dot test would flip on the picture as
// it is now: quality above 15 and at most one of its four neighbours equal
// to it ((v != down) + (v != up) - (v == right) - (v == left) > 0).
QX_SIMD_AVX2_TARGET inline unsigned dot_flips16(const uint8_t *ridge, const uint8_t *quality, size_t p, int cols) {
  auto at = [&](size_t i) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(ridge + i)); };
  const __m128i v = at(p);
  const __m128i equal = _mm_add_epi8(_mm_add_epi8(_mm_cmpeq_epi8(v, at(p + cols)), _mm_cmpeq_epi8(v, at(p - cols))),
                                     _mm_add_epi8(_mm_cmpeq_epi8(v, at(p + 1)), _mm_cmpeq_epi8(v, at(p - 1))));
  // equal is minus the number of equal neighbours: a flip wants 2 + equal > 0.
  const __m128i flips = _mm_cmpgt_epi8(_mm_add_epi8(equal, _mm_set1_epi8(2)), _mm_setzero_si128());
  const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i *>(quality + p));
  const __m128i good = _mm_cmpeq_epi8(_mm_max_epu8(q, _mm_set1_epi8(16)), q);
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(flips, good)));
}

// The two sweeps of bal_binarize_remove_dots, sixteen tests at a time: the
// tests of a run of pixels read the picture as the sweep leaves it as long
// as none of them flips, so the run is taken up to its first flip (in
// sweep order), that pixel is flipped, and the next run starts behind it.
QX_SIMD_AVX2_TARGET void remove_dots_avx2(uint8_t *ridge, uint8_t *valley, const uint8_t *quality, int rows,
                                          int cols, void (*test)(uint8_t *, uint8_t *, const uint8_t *, int, size_t)) {
  for (int r = 1; r < rows - 1; ++r) {
    const size_t row = static_cast<size_t>(r) * cols;
    int c = 1;
    while (c + 16 <= cols - 1) {
      const unsigned m = dot_flips16(ridge, quality, row + c, cols);
      if (m == 0) {
        c += 16;
        continue;
      }
      c += __builtin_ctz(m);
      ridge[row + c] ^= 1;
      valley[row + c] ^= 1;
      ++c;
    }
    for (; c < cols - 1; ++c) test(ridge, valley, quality, cols, row + c);
  }
  for (int r = rows - 2; r >= 1; --r) {
    const size_t row = static_cast<size_t>(r) * cols;
    int c = cols - 2;  // the next pixel to test, going left
    while (c - 15 >= 1) {
      const unsigned m = dot_flips16(ridge, quality, row + c - 15, cols);
      if (m == 0) {
        c -= 16;
        continue;
      }
      c -= 15 - (31 - __builtin_clz(m));
      ridge[row + c] ^= 1;
      valley[row + c] ^= 1;
      --c;
    }
    for (; c >= 1; --c) test(ridge, valley, quality, cols, row + c);
  }
}
#endif

// The dot test of the pixel at p.
void dot_test(uint8_t *ridge, uint8_t *valley, const uint8_t *quality, int cols, size_t p) {
  if (quality[p] <= 15) return;
  const uint8_t v = ridge[p];
  const int score = (v != ridge[p + cols]) + (v != ridge[p - cols]) - (v == ridge[p + 1]) - (v == ridge[p - 1]);
  if (score > 0) {
    ridge[p] ^= 1;
    valley[p] ^= 1;
  }
}

}  // namespace

extern "C" void bal_binarize_remove_dots(uint8_t *ridge, uint8_t *valley, const uint8_t *quality, int rows,
                                         int cols) {
#if QX_SIMD_HAVE_AVX2
  if (qx_simd_use_avx2()) return remove_dots_avx2(ridge, valley, quality, rows, cols, dot_test);
#endif
  for (int r = 1; r < rows - 1; ++r)
    for (int c = 1; c < cols - 1; ++c) dot_test(ridge, valley, quality, cols, static_cast<size_t>(r) * cols + c);
  for (int r = rows - 2; r >= 1; --r)
    for (int c = cols - 2; c >= 1; --c) dot_test(ridge, valley, quality, cols, static_cast<size_t>(r) * cols + c);
}
