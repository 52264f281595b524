#include "engine/image/pixel_ops.h"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <cstring>

#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"
#include "engine/qx_simd.h"

#if QX_SIMD_HAVE_AVX2
#include <immintrin.h>
#endif

namespace {

// Runs `edge(src, rows, cols, r, c)` for border elements and
// `inner(p, cols)` (p pointing at the element) for interior ones, reading
// from a copy of the input when the output overwrites it.
// No row kernel: every interior element goes through `inner`.
struct NoRowKernel {
  template <typename T>
  int operator()(const T *, T *, int, int) const {
    return 1;
  }
};

// `row_kernel(src, out, cols, r)` may do a leading run of an interior
// row's interior elements itself; it returns the first column it left.
template <typename T, typename Edge, typename Inner, typename RowKernel = NoRowKernel>
qxi_status filter3x3(const T *in, int rows, int cols, T *out, Edge edge, Inner inner, bool edge_everywhere = false,
                     RowKernel row_kernel = {}) {
  if (rows <= 0 || cols <= 0) return QXI_OK;
  const std::size_t n = static_cast<std::size_t>(rows) * cols;
  qx::Buffer<T> copy;
  const T *src = qx::stable_input(in, out, n, copy);
  if (!src) return QXI_NO_MEMORY;
  for (int r = 0; r < rows; ++r) {
    const std::size_t row = static_cast<std::size_t>(r) * cols;
    const bool border_row = r == 0 || r == rows - 1;
    int c = 0;
    if constexpr (!std::is_same_v<RowKernel, NoRowKernel>) {
      if (!edge_everywhere && !border_row && cols > 2) {
        out[row] = edge(src, rows, cols, r, 0);
        c = row_kernel(src, out, cols, r);
      }
    }
    for (; c < cols; ++c) {
      if (edge_everywhere || border_row || c == 0 || c == cols - 1)
        out[row + c] = edge(src, rows, cols, r, c);
      else
        out[row + c] = inner(src + row + c, static_cast<std::ptrdiff_t>(cols));
    }
  }
  return QXI_OK;
}

// The same with one clipped-neighbourhood operation for every element
// (used on small block grids, where speed does not matter).
template <typename T, typename F>
qxi_status filter3x3_all(const T *in, int rows, int cols, T *out, F f) {
  return filter3x3(in, rows, cols, out, f, [&](const T *, std::ptrdiff_t) { return T{}; }, true);
}

// Sum of the 3 x 3 neighbourhood of an interior element, and the binomial
// (1 2 1 / 2 4 2 / 1 2 1) weighted sum.
template <typename Sum, typename T>
inline Sum sum9(const T *p, std::ptrdiff_t w) {
  return Sum(p[-w - 1]) + p[-w] + p[-w + 1] + p[-1] + p[0] + p[1] + p[w - 1] + p[w] + p[w + 1];
}
template <typename T>
inline int32_t binomial9(const T *p, std::ptrdiff_t w) {
  return int32_t(p[-w - 1]) + 2 * p[-w] + p[-w + 1] + 2 * p[-1] + 4 * p[0] + 2 * p[1] + p[w - 1] + 2 * p[w] +
         p[w + 1];
}

// Visits the clipped 3 x 3 neighbourhood of (r, c).
template <typename V>
inline void each_neighbour(int rows, int cols, int r, int c, V visit) {
  const int r0 = r > 0 ? r - 1 : 0, r1 = r < rows - 1 ? r + 1 : rows - 1;
  const int c0 = c > 0 ? c - 1 : 0, c1 = c < cols - 1 ? c + 1 : cols - 1;
  for (int y = r0; y <= r1; ++y)
    for (int x = c0; x <= c1; ++x) visit(y, x);
}

#if QX_SIMD_HAVE_AVX2
// floor(s / 9) for sums of nine bytes (at most 2295) as floor(s * 7282 /
// 2^16): 7282 / 2^16 exceeds 1/9 by less than 1 / (9 * 2295), too little
// to reach the next integer.
QX_SIMD_AVX2_TARGET inline __m256i ninth_epu16(__m256i s) { return _mm256_mulhi_epu16(s, _mm256_set1_epi16(7282)); }

QX_SIMD_AVX2_TARGET inline __m256i bytes16(const uint8_t *p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

// The 3 x 3 mean of interior row r, 16 pixels a step from column 1 while
// every read stays in the row (the last pixel of a step is at most
// cols - 2); returns the first column left.
QX_SIMD_AVX2_TARGET int blur_mean_row_avx2(const uint8_t *src, uint8_t *out, int cols, int r) {
  const uint8_t *mid = src + static_cast<std::size_t>(r) * cols;
  const uint8_t *up = mid - cols, *down = mid + cols;
  int c = 1;
  for (; c + 16 <= cols - 1; c += 16) {
    __m256i s = _mm256_add_epi16(_mm256_add_epi16(bytes16(up + c - 1), bytes16(up + c)), bytes16(up + c + 1));
    s = _mm256_add_epi16(s, _mm256_add_epi16(_mm256_add_epi16(bytes16(mid + c - 1), bytes16(mid + c)),
                                             bytes16(mid + c + 1)));
    s = _mm256_add_epi16(s, _mm256_add_epi16(_mm256_add_epi16(bytes16(down + c - 1), bytes16(down + c)),
                                             bytes16(down + c + 1)));
    const __m256i q = ninth_epu16(s);
    const __m128i packed = _mm_packus_epi16(_mm256_castsi256_si128(q), _mm256_extracti128_si256(q, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + static_cast<std::size_t>(r) * cols + c), packed);
  }
  return c;
}
#endif

struct BlurMeanRowKernel {
  bool avx2;
  int operator()(const uint8_t *src, uint8_t *out, int cols, int r) const {
#if QX_SIMD_HAVE_AVX2
    if (avx2) return blur_mean_row_avx2(src, out, cols, r);
#endif
    (void)src, (void)out, (void)cols, (void)r;
    return 1;
  }
};

template <typename T, typename Sum, typename RowKernel = NoRowKernel>
qxi_status blur_mean(const T *in, int rows, int cols, T *out, RowKernel row_kernel = {}) {
  return filter3x3(
      in, rows, cols, out,
      [](const T *s, int R, int C, int r, int c) {
        Sum sum = 0;
        Sum count = 0;
        each_neighbour(R, C, r, c, [&](int y, int x) {
          sum += s[static_cast<std::size_t>(y) * C + x];
          ++count;
        });
        return static_cast<T>(sum / count);  // truncation toward zero for signed sums
      },
      [](const T *p, std::ptrdiff_t w) { return static_cast<T>(sum9<Sum>(p, w) / 9); }, false, row_kernel);
}

template <typename T>
qxi_status blur_binomial(const T *in, int rows, int cols, T *out) {
  return filter3x3(
      in, rows, cols, out,
      [](const T *s, int R, int C, int r, int c) {
        int32_t sum = 0;
        int32_t weight = 0;
        each_neighbour(R, C, r, c, [&](int y, int x) {
          const int32_t w = (y == r ? 2 : 1) * (x == c ? 2 : 1);
          sum += w * s[static_cast<std::size_t>(y) * C + x];
          weight += w;
        });
        return static_cast<T>(sum / weight);  // 16 inside, 12 on edges, 9 in corners
      },
      [](const T *p, std::ptrdiff_t w) { return static_cast<T>(binomial9(p, w) / 16); });
}

}  // namespace

extern "C" qxi_status bal_blur_uint8(const uint8_t *in, int rows, int cols, uint8_t *out) {
  return blur_mean<uint8_t, uint32_t>(in, rows, cols, out, BlurMeanRowKernel{qx_simd_use_avx2() != 0});
}
extern "C" qxi_status bal_blur_uint16(const uint16_t *in, int rows, int cols, uint16_t *out) {
  return blur_mean<uint16_t, uint32_t>(in, rows, cols, out);
}
extern "C" qxi_status bal_blur_int16(const int16_t *in, int rows, int cols, int16_t *out) {
  return blur_mean<int16_t, int32_t>(in, rows, cols, out);
}

extern "C" qxi_status bal_blur_weighted_uint8(const uint8_t *in, int rows, int cols, uint8_t *out) {
  return blur_binomial(in, rows, cols, out);
}
extern "C" qxi_status bal_blur_weighted_int8(const int8_t *in, int rows, int cols, int8_t *out) {
  return blur_binomial(in, rows, cols, out);
}
extern "C" qxi_status bal_blur_weighted_uint16(const uint16_t *in, int rows, int cols, uint16_t *out) {
  return blur_binomial(in, rows, cols, out);
}

extern "C" qxi_status bal_blur_weighted_int8_upsample(const int8_t *in, int rows, int cols, int8_t *out) {
  if (rows <= 0 || cols <= 0) return QXI_OK;
  const std::size_t n = static_cast<std::size_t>(rows) * cols;
  qx::Buffer<int8_t> grid;
  if (!grid.alloc(n)) return QXI_NO_MEMORY;
  // Fill every element that is not a sample with the mean of the samples
  // among its clipped 3 x 3 neighbours (2 along a sample row or column,
  // 4 in the middle of a cell), truncated toward zero.
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const std::size_t i = static_cast<std::size_t>(r) * cols + c;
      if ((r & 1) == 0 && (c & 1) == 0) {
        grid[i] = in[i];
        continue;
      }
      int32_t sum = 0, count = 0;
      each_neighbour(rows, cols, r, c, [&](int y, int x) {
        if ((y & 1) == 0 && (x & 1) == 0) {
          sum += in[static_cast<std::size_t>(y) * cols + x];
          ++count;
        }
      });
      grid[i] = static_cast<int8_t>(count ? sum / count : 0);
    }
  }
  return blur_binomial<int8_t>(grid.get(), rows, cols, out);
}

extern "C" qxi_status bal_median_uint8(const uint8_t *in, int rows, int cols, uint8_t *out) {
  if (rows == 1 || cols == 1) {
    if (in != out && rows > 0 && cols > 0) std::memcpy(out, in, static_cast<std::size_t>(rows) * cols);
    return QXI_OK;
  }
  return filter3x3(
      in, rows, cols, out,
      [](const uint8_t *s, int R, int C, int r, int c) {
        uint8_t v[9] = {};
        int n = 0;
        each_neighbour(R, C, r, c, [&](int y, int x) { v[n++] = s[static_cast<std::size_t>(y) * C + x]; });
        for (int i = 1; i < n; ++i)  // insertion sort of at most 9 values
          for (int j = i; j > 0 && v[j - 1] > v[j]; --j) std::swap(v[j - 1], v[j]);
        if (n & 1) return v[n / 2];
        return static_cast<uint8_t>((v[n / 2 - 1] + v[n / 2]) / 2);
      },
      [](const uint8_t *p, std::ptrdiff_t w) {
        uint8_t v[9] = {p[-w - 1], p[-w], p[-w + 1], p[-1], p[0], p[1], p[w - 1], p[w], p[w + 1]};
        // Median-of-9 exchange network: 19 compare-exchanges leave the
        // median in v[4].
        auto o = [&v](int a, int b) {
          if (v[a] > v[b]) std::swap(v[a], v[b]);
        };
        o(1, 2), o(4, 5), o(7, 8), o(0, 1), o(3, 4), o(6, 7), o(1, 2), o(4, 5), o(7, 8), o(0, 3);
        o(5, 8), o(4, 7), o(3, 6), o(1, 4), o(2, 5), o(4, 7), o(4, 2), o(6, 4), o(4, 2);
        return v[4];
      });
}

extern "C" qxi_status bal_erode(const uint8_t *in, int rows, int cols, uint8_t *out) {
  return filter3x3_all(in, rows, cols, out, [](const uint8_t *s, int R, int C, int r, int c) {
    uint8_t all = 1;
    each_neighbour(R, C, r, c, [&](int y, int x) {
      if (!s[static_cast<std::size_t>(y) * C + x]) all = 0;
    });
    return all;
  });
}

extern "C" qxi_status bal_dilate(const uint8_t *in, int rows, int cols, uint8_t *out) {
  return filter3x3_all(in, rows, cols, out, [](const uint8_t *s, int R, int C, int r, int c) {
    uint8_t any = 0;
    each_neighbour(R, C, r, c, [&](int y, int x) {
      if (s[static_cast<std::size_t>(y) * C + x]) any = 1;
    });
    return any;
  });
}

extern "C" qxi_status bal_open(const uint8_t *in, int rows, int cols, uint8_t *out) {
  if (rows <= 0 || cols <= 0) return QXI_OK;
  qx::Buffer<uint8_t> eroded;
  if (!eroded.alloc(static_cast<std::size_t>(rows) * cols)) return QXI_NO_MEMORY;
  const qxi_status status = bal_erode(in, rows, cols, eroded.get());
  if (status != QXI_OK) return status;
  const qxi_status dilated = bal_dilate(eroded.get(), rows, cols, out);
  return dilated != QXI_OK ? dilated : status;
}

extern "C" qxi_status bal_binarize_remove_holes(const uint8_t *in, int rows, int cols, uint8_t *out) {
  return filter3x3_all(in, rows, cols, out, [](const uint8_t *s, int R, int C, int r, int c) {
    const uint8_t self = s[static_cast<std::size_t>(r) * C + c];
    if (r == 0 || c == 0 || r == R - 1 || c == C - 1) return self;
    int set = 0;
    each_neighbour(R, C, r, c, [&](int y, int x) {
      if ((y != r || x != c) && s[static_cast<std::size_t>(y) * C + x]) ++set;
    });
    if (self && set == 0) return uint8_t{0};
    if (!self && set == 8) return uint8_t{1};
    return self;
  });
}

extern "C" qxi_status bal_binarize_blur(const uint8_t *in, int rows, int cols, uint8_t *out) {
  return filter3x3_all(in, rows, cols, out, [](const uint8_t *s, int R, int C, int r, int c) {
    int set = 0, count = 0;
    each_neighbour(R, C, r, c, [&](int y, int x) {
      ++count;
      if (s[static_cast<std::size_t>(y) * C + x]) ++set;
    });
    // 9 elements: more than 4; 6 (edge): more than 4; 4 (corner): all 4.
    // Smaller neighbourhoods (one-row grids) need a strict majority.
    if (count == 4) return static_cast<uint8_t>(set == 4);
    if (count >= 6) return static_cast<uint8_t>(set > 4);
    return static_cast<uint8_t>(set * 2 > count);
  });
}

extern "C" void bal_image_histogram(const uint8_t *pixels, int rows, int cols, uint32_t hist[256]) {
  std::memset(hist, 0, 256 * sizeof(uint32_t));
  if (rows <= 0 || cols <= 0) return;
  const std::size_t n = static_cast<std::size_t>(rows) * cols;
  for (std::size_t i = 0; i < n; ++i) ++hist[pixels[i]];
}

extern "C" void bal_image_histogram_n(const uint8_t *pixels, int rows, int cols, int bits, uint32_t *hist) {
  if (bits < 1 || bits > 8) return;
  std::memset(hist, 0, (std::size_t{1} << bits) * sizeof(uint32_t));
  if (rows <= 0 || cols <= 0) return;
  const std::size_t n = static_cast<std::size_t>(rows) * cols;
  for (std::size_t i = 0; i < n; ++i) ++hist[pixels[i] >> (8 - bits)];
}

extern "C" uint8_t bal_hist_mean(const uint32_t hist[256], uint32_t n) {
  if (n == 0) return 0;
  // 64-bit sums: a 32-bit sum would wrap for images of more than 2^24
  // pixels and give a meaningless mean; below that the result is the same.
  uint64_t sum = 0;
  for (uint32_t i = 0; i < 256; ++i) sum += static_cast<uint64_t>(i) * hist[i];
  return static_cast<uint8_t>(sum / n);
}

extern "C" uint32_t bal_hist_var(const uint32_t hist[256], uint8_t mean, uint32_t n) {
  if (n == 0) return 0;
  uint64_t sum = 0;  // see bal_hist_mean: no wrap on large images
  for (int i = 0; i < 256; ++i) {
    const int d = i - mean;
    sum += static_cast<uint64_t>(d * d) * hist[i];
  }
  return static_cast<uint32_t>(sum / n);
}

extern "C" void bal_stretch(const uint8_t *in, int rows, int cols, int percent, uint8_t *out) {
  if (percent > 99 || rows <= 0 || cols <= 0) return;
  uint32_t hist[256];
  bal_image_histogram(in, rows, cols, hist);
  const uint64_t n = static_cast<uint64_t>(rows) * cols;
  const uint64_t k = n * static_cast<uint64_t>(percent < 0 ? 0 : percent) / 100;
  int lo = 255, hi = 0;
  uint64_t cum = 0;
  for (int i = 0; i < 256; ++i) {
    cum += hist[i];
    if (cum > k) {
      lo = i;
      break;
    }
  }
  cum = 0;
  for (int i = 255; i >= 0; --i) {
    cum += hist[i];
    if (cum > k) {
      hi = i;
      break;
    }
  }
  if (lo == hi) {
    if (lo == 0)
      hi = 1;
    else
      lo = lo - 1;
  }
  // A large percentage can put the dark limit above the bright one; the
  // stretch then degenerates to a threshold at lo instead of dividing by a
  // negative span.
  if (hi <= lo) hi = lo + 1;
  const std::size_t count = static_cast<std::size_t>(n);
  for (std::size_t i = 0; i < count; ++i) {
    const int p = in[i];
    if (p <= lo) {
      out[i] = 0;
    } else {
      const int v = (p - lo) * 255 / (hi - lo);
      out[i] = static_cast<uint8_t>(v > 255 ? 255 : v);
    }
  }
}

namespace {
// Sobel components of an interior pixel, before the division by 8.
inline void sobel_at(const uint8_t *p, int cols, int &dx, int &dy) {
  const uint8_t *up = p - cols, *dn = p + cols;
  dx = (up[1] + 2 * p[1] + dn[1]) - (up[-1] + 2 * p[-1] + dn[-1]);
  dy = (dn[-1] + 2 * dn[0] + dn[1]) - (up[-1] + 2 * up[0] + up[1]);
}

template <typename F>
void sobel_each(const uint8_t *pixels, int rows, int cols, F store) {
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const std::size_t i = static_cast<std::size_t>(r) * cols + c;
      if (r == 0 || c == 0 || r == rows - 1 || c == cols - 1) {
        store(i, 0, 0);
        continue;
      }
      int dx, dy;
      sobel_at(pixels + i, cols, dx, dy);
      store(i, dx / 8, dy / 8);  // |value| <= 1020 / 8, fits a signed byte
    }
  }
}
}  // namespace

#if QX_SIMD_HAVE_AVX2
namespace {
// v / 8 rounded toward zero, as C's division, on 16-bit lanes.
QX_SIMD_AVX2_TARGET inline __m256i eighth_toward_zero(__m256i v) {
  return _mm256_srai_epi16(_mm256_add_epi16(v, _mm256_srli_epi16(_mm256_srai_epi16(v, 15), 13)), 3);
}
QX_SIMD_AVX2_TARGET inline void store_bytes16(int8_t *dst, __m256i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i *>(dst),
                   _mm_packs_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

// sobel_2 on the interior of row r, 16 pixels a step from column 1 while
// the reads stay in the row; returns the first column left.
QX_SIMD_AVX2_TARGET int sobel_row_avx2(const uint8_t *pixels, int cols, int r, int8_t *gx, int8_t *gy) {
  const std::size_t row = static_cast<std::size_t>(r) * cols;
  const uint8_t *mid = pixels + row, *up = mid - cols, *down = mid + cols;
  int c = 1;
  for (; c + 16 <= cols - 1; c += 16) {
    const __m256i ul = bytes16(up + c - 1), uc = bytes16(up + c), ur = bytes16(up + c + 1);
    const __m256i ml = bytes16(mid + c - 1), mr = bytes16(mid + c + 1);
    const __m256i dl = bytes16(down + c - 1), dc = bytes16(down + c), dr = bytes16(down + c + 1);
    const __m256i right = _mm256_add_epi16(_mm256_add_epi16(ur, dr), _mm256_add_epi16(mr, mr));
    const __m256i left = _mm256_add_epi16(_mm256_add_epi16(ul, dl), _mm256_add_epi16(ml, ml));
    const __m256i below = _mm256_add_epi16(_mm256_add_epi16(dl, dr), _mm256_add_epi16(dc, dc));
    const __m256i above = _mm256_add_epi16(_mm256_add_epi16(ul, ur), _mm256_add_epi16(uc, uc));
    // |value| <= 1020 / 8: the signed packs never saturate.
    store_bytes16(gx + row + c, eighth_toward_zero(_mm256_sub_epi16(right, left)));
    store_bytes16(gy + row + c, eighth_toward_zero(_mm256_sub_epi16(below, above)));
  }
  return c;
}
}  // namespace
#endif

extern "C" void sobel_2(const uint8_t *pixels, int rows, int cols, int8_t *gx, int8_t *gy) {
#if QX_SIMD_HAVE_AVX2
  if (qx_simd_use_avx2() && rows >= 3) {
    // The border is 0, the interior as sobel_at gives it.
    for (int r = 0; r < rows; ++r) {
      const std::size_t row = static_cast<std::size_t>(r) * cols;
      if (r == 0 || r == rows - 1) {
        std::memset(gx + row, 0, static_cast<std::size_t>(cols));
        std::memset(gy + row, 0, static_cast<std::size_t>(cols));
        continue;
      }
      gx[row] = gy[row] = 0;
      int c = cols > 2 ? sobel_row_avx2(pixels, cols, r, gx, gy) : 1;
      for (; c < cols - 1; ++c) {
        int dx, dy;
        sobel_at(pixels + row + c, cols, dx, dy);
        gx[row + c] = static_cast<int8_t>(dx / 8);
        gy[row + c] = static_cast<int8_t>(dy / 8);
      }
      if (cols > 1) gx[row + cols - 1] = gy[row + cols - 1] = 0;
    }
    return;
  }
#endif
  sobel_each(pixels, rows, cols, [&](std::size_t i, int x, int y) {
    gx[i] = static_cast<int8_t>(x);
    gy[i] = static_cast<int8_t>(y);
  });
}

extern "C" void sobel_horizontal(const uint8_t *pixels, int rows, int cols, uint8_t *gx) {
  sobel_each(pixels, rows, cols, [&](std::size_t i, int x, int) { gx[i] = static_cast<uint8_t>(x); });
}

extern "C" void sobel_vertical(const uint8_t *pixels, int rows, int cols, uint8_t *gy) {
  sobel_each(pixels, rows, cols, [&](std::size_t i, int, int y) { gy[i] = static_cast<uint8_t>(y); });
}

extern "C" void bal_crop_image(const uint8_t *src, int rows, int cols, uint8_t *dst, int dst_rows, int dst_cols,
                               int row0, int col0) {
  const int c_begin = std::max(0, -col0), c_end = std::min(dst_cols, cols - col0);
  if (c_end <= c_begin) return;
  for (int r = 0; r < dst_rows; ++r) {
    const int sr = r + row0;
    if (sr < 0 || sr >= rows) continue;
    std::memcpy(dst + static_cast<std::size_t>(r) * dst_cols + c_begin,
                src + static_cast<std::size_t>(sr) * cols + (c_begin + col0), static_cast<std::size_t>(c_end - c_begin));
  }
}

extern "C" void bal_images_1D_to_2D(uint8_t *pixels, int rows, int cols, uint8_t **row_ptrs) {
  for (int r = 0; r < rows; ++r) row_ptrs[r] = pixels + static_cast<std::size_t>(r) * cols;
}

extern "C" uint32_t bal_image_pad_bytes(int rows, int cols, int B, int scale) {
  if (B <= 0 || scale <= 0) return 0;
  const int64_t grown = static_cast<int64_t>(B) * B * ((cols + 8 / scale) / B) * ((rows + 8 / scale) / B);
  const int64_t extra = grown - static_cast<int64_t>(rows) * cols;
  return extra > 0 ? static_cast<uint32_t>(extra) : 0;
}
