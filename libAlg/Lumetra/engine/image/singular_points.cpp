// Cores and deltas: the orientation turns by +-half a turn around them.
#include "engine/image/singular_points.h"

#include <cmath>
#include <cstring>

#include "engine/image/fixed_math.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_simd.h"

#if QX_SIMD_HAVE_AVX2
#include <immintrin.h>
#endif

namespace {

// Unit-vector templates X = -256 dx / r and Y = 256 dy / r over the 9 x 9
// neighbourhood, rounded to nearest.
struct Templates {
  int x[9][9], y[9][9];
  Templates() {
    for (int dy = -4; dy <= 4; ++dy)
      for (int dx = -4; dx <= 4; ++dx) {
        const double r = std::sqrt(static_cast<double>(dx * dx + dy * dy));
        x[dy + 4][dx + 4] = r > 0 ? static_cast<int>(std::lround(-256.0 * dx / r)) : 0;
        y[dy + 4][dx + 4] = r > 0 ? static_cast<int>(std::lround(256.0 * dy / r)) : 0;
      }
  }
};
const Templates kT;

int direction_of(const uint8_t *o, int rows, int cols, int r, int c, bool delta) {
  int64_t s1 = 0, s2 = 0, n = 0;
  for (int dy = -4; dy <= 4; ++dy)
    for (int dx = -4; dx <= 4; ++dx) {
      const int rr = r + dy, cc = c + dx;
      if ((!dx && !dy) || rr < 0 || rr >= rows || cc < 0 || cc >= cols) continue;
      const int a = (2 * o[static_cast<size_t>(rr) * cols + cc] - 128) & 255;
      const int64_t cs = cos_(a) >> 6, sn = sin_(a) >> 6;
      const int tx = kT.x[dy + 4][dx + 4], ty = delta ? -kT.y[dy + 4][dx + 4] : kT.y[dy + 4][dx + 4];
      s1 += cs * tx - sn * ty;
      s2 += cs * ty + sn * tx;
      ++n;
    }
  const int theta = n ? (atan2_(static_cast<int32_t>(s1 / n), static_cast<int32_t>(s2 / n)) & 255) : 0;
  return delta ? (theta / 3 + 106) & 255 : (theta + 64) & 255;
}

// Class of a Poincare sum of wrapped orientation steps (see
// bal_classify_singularity).
inline int class_of_sum(int sum) {
  if (sum >= 127 && sum <= 129) return BAL_SINGULAR_CORE;
  if (sum >= 255 && sum <= 257) return BAL_SINGULAR_DOUBLE_CORE;
  if (sum >= -129 && sum <= -127) return BAL_SINGULAR_DELTA;
  return 0;
}

#if QX_SIMD_HAVE_AVX2
// The Poincare sums of row r (1 <= r < rows - 1) for the columns
// 1 .. cols - 2 that a run of 16 covers without reading past the row's
// neighbours (columns c - 1 .. c + 16 within 0 .. cols - 1), sixteen at a
// time in 16-bit lanes: the same eight wrapped steps as
// bal_classify_singularity, in the same order.  Returns the first column
// not done.
QX_SIMD_AVX2_TARGET int poincare_sums_avx2(const uint8_t *o, int cols, int r, int16_t *sums) {
  const __m256i lo = _mm256_set1_epi16(-64), hi = _mm256_set1_epi16(64), turn = _mm256_set1_epi16(128);
#define LUMETRA_LOAD16(p) _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)))
  int c = 1;
  for (; c + 17 <= cols; c += 16) {
    const uint8_t *up = o + static_cast<size_t>(r - 1) * cols + c, *mid = up + cols, *down = mid + cols;
    // NW, N, NE, E, SE, S, SW, W and back to NW.
    const __m256i v[9] = {LUMETRA_LOAD16(up - 1),   LUMETRA_LOAD16(up),       LUMETRA_LOAD16(up + 1),
                          LUMETRA_LOAD16(mid + 1),  LUMETRA_LOAD16(down + 1), LUMETRA_LOAD16(down),
                          LUMETRA_LOAD16(down - 1), LUMETRA_LOAD16(mid - 1),  LUMETRA_LOAD16(up - 1)};
    __m256i sum = _mm256_setzero_si256();
    for (int k = 0; k < 8; ++k) {
      __m256i d = _mm256_sub_epi16(v[k + 1], v[k]);
      d = _mm256_add_epi16(d, _mm256_and_si256(_mm256_cmpgt_epi16(lo, d), turn));
      d = _mm256_sub_epi16(d, _mm256_and_si256(_mm256_cmpgt_epi16(d, hi), turn));
      sum = _mm256_add_epi16(sum, d);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(sums + c), sum);
  }
#undef LUMETRA_LOAD16
  return c;
}
#endif

}  // namespace

extern "C" int bal_classify_singularity(const uint8_t *o, int cols, uint32_t index) {
  const int32_t offs[9] = {-cols - 1, -cols, -cols + 1, 1, cols + 1, cols, cols - 1, -1, -cols - 1};
  int sum = 0;
  for (int k = 0; k < 8; ++k) {
    int d = o[index + offs[k + 1]] - o[index + offs[k]];
    if (d < -64) d += 128;
    if (d > 64) d -= 128;
    sum += d;
  }
  return class_of_sum(sum);
}

extern "C" qxi_status bal_find_singularities_poincare(const uint8_t *o, const uint8_t *quality, int rows, int cols,
                                                      bal_singularity *out, int *count, int maximum) {
  *count = 0;
  qx::Buffer<uint8_t> prev, next;
  qx::Buffer<int16_t> sums;
  if (!prev.alloc(cols > 0 ? cols : 1) || !next.alloc(cols > 0 ? cols : 1) || !sums.alloc(cols > 0 ? cols : 1))
    return QXI_NO_MEMORY;
  const bool avx2 = qx_simd_use_avx2() != 0;
  for (int r = 1; r < rows - 1; ++r) {
    std::memset(next.get(), 0, static_cast<size_t>(cols));
    // Columns below `vector_end` take their sums from the row computed
    // ahead; the others are classified one by one.
    int vector_end = 1;
#if QX_SIMD_HAVE_AVX2
    if (avx2) vector_end = poincare_sums_avx2(o, cols, r, sums.get());
#else
    (void)avx2;
#endif
    for (int c = 1; c < cols - 1; ++c) {
      const uint32_t i = static_cast<uint32_t>(r) * cols + c;
      if (quality[i] <= 40 || prev[c]) continue;
      const int t = c < vector_end ? class_of_sum(sums[c]) : bal_classify_singularity(o, cols, i);
      if (t < BAL_SINGULAR_CORE) continue;
      if (*count < maximum) {
        bal_singularity &s = out[(*count)++];
        s.index = i;
        s.type = static_cast<uint8_t>(t);
        s.direction = static_cast<uint8_t>(direction_of(o, rows, cols, r, c, t == BAL_SINGULAR_DELTA));
        s.reserved[0] = s.reserved[1] = 0;
      }
      next[c - 1] = next[c] = next[c + 1] = 1;
      ++c;  // skip the next pixel
    }
    std::memcpy(prev.get(), next.get(), static_cast<size_t>(cols));
  }
  // Stable insertion sort by quality, highest first.
  for (int i = 1; i < *count; ++i) {
    const bal_singularity s = out[i];
    int j = i;
    while (j > 0 && quality[out[j - 1].index] < quality[s.index]) {
      out[j] = out[j - 1];
      --j;
    }
    out[j] = s;
  }
  return QXI_OK;
}

extern "C" void bal_convert_singularities(const bal_singularity *cand, int count, int cols, bal_core_list *cores,
                                          bal_delta_list *deltas) {
  cores->count = 0;
  deltas->count = 0;
  for (int i = 0; i < count; ++i) {
    const int row = static_cast<int>(cand[i].index / cols), col = static_cast<int>(cand[i].index % cols);
    if (cand[i].type == BAL_SINGULAR_DELTA) {
      if (deltas->count >= 4) continue;
      bal_delta &d = deltas->entries[deltas->count++];
      d.row = static_cast<int16_t>(row);
      d.col = static_cast<int16_t>(col);
      d.direction[0] = cand[i].direction;
      d.direction[1] = static_cast<uint8_t>(cand[i].direction + 85);
      d.direction[2] = static_cast<uint8_t>(cand[i].direction - 86);
      d.present = 1;
    } else if (cand[i].type == BAL_SINGULAR_CORE || cand[i].type == BAL_SINGULAR_DOUBLE_CORE) {
      if (cores->count >= 4) continue;
      bal_core &c = cores->entries[cores->count++];
      c.row = static_cast<int16_t>(row);
      c.col = static_cast<int16_t>(col);
      c.direction = cand[i].direction;
      c.present = 1;
    }
  }
}
