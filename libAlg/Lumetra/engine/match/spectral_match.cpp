// The spectral block-field matcher: laying grid A turned and shifted onto
// grid B, scoring the overlap, and the search over rotations and
// translations (coarse, refined, then on the fine grid).
#include "engine/match/spectral_match.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "engine/match/spectral_steps.hpp"
#include "engine/qx_rc.h"
#include "engine/qx_simd.h"

namespace qx_spectral {

// ---------------------------------------------------------------------------
// Canvases and extents.

void align8_feature_canvas(const uint8_t *blocks, int rows, int cols, Canvas *canvas) {
  canvas->rows = rows;
  canvas->cols = cols;
  canvas->stride = cols + kCanvasPad;
  for (int r = 0; r < rows; ++r) {
    uint8_t *dst = canvas->data + 2 * static_cast<std::size_t>(r) * canvas->stride;
    std::memcpy(dst, blocks + 2 * static_cast<std::size_t>(r) * cols, 2 * static_cast<std::size_t>(cols));
    std::memset(dst + 2 * cols, 0, 2 * kCanvasPad);
  }
}

namespace {

// ceil(a / b) for b > 0.
int64_t ceil_div(int64_t a, int64_t b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); }

// Narrows [j0, j1) to the j with 0 <= n + j step < lim.
void clip_span(int64_t n, int64_t step, int64_t lim, int64_t *j0, int64_t *j1) {
  if (step == 0) {
    if (n < 0 || n >= lim) *j1 = *j0;
    return;
  }
  if (step < 0) {
    // n + j step >= 0  <=>  j <= n / -step;  n + j step < lim  <=>  j > (n - lim) / -step.
    *j0 = std::max(*j0, ceil_div(n - lim + 1, -step));
    *j1 = std::min(*j1, n >= 0 ? n / -step + 1 : *j0);
  } else {
    *j0 = std::max(*j0, ceil_div(-n, step));
    *j1 = std::min(*j1, ceil_div(lim - n, step));
  }
}

}  // namespace

namespace {

// Where the rows of a transformed canvas sample grid A.  Positions in 1/64
// canvas block relative to the canvas centre: dx = 64 j + 32 - 32 cols -
// 2 xi, dy = 64 i + 32 - 32 rows - 2 eta.  An A position, scaled by
// 16384 x scale so that it stays an integer:
//   nx = 32 (c dx + s dy) + 32 src_cols 16384 scale
//   ny = 32 (c dy - s dx) + 32 src_rows 16384 scale
// and the A block index is floor(n / (64 x 16384 x scale)).
struct Sampling {
  int64_t c, s, den, base_x, base_y, dx0, step_x, step_y, lim_x, lim_y;
  int shift = -1;  // log2 of den when the scale is a power of two
  int rows;
  int eta;

  Sampling(int src_rows, int src_cols, int r, int scale, int xi, int eta_, const Canvas &cv)
      : c(cos16(angle16_from_rotation(r))), s(sin16(angle16_from_rotation(r))), den(int64_t{64} * 16384 * scale),
        base_x(int64_t{32} * src_cols * 16384 * scale), base_y(int64_t{32} * src_rows * 16384 * scale),
        dx0(32 - int64_t{32} * cv.cols - 2 * xi), step_x(32 * 64 * c), step_y(-32 * 64 * s),
        lim_x(src_cols * den), lim_y(src_rows * den), rows(cv.rows), eta(eta_) {
    if ((scale & (scale - 1)) == 0) {
      shift = 20;
      for (int v = scale; v > 1; v >>= 1) ++shift;
    }
  }

  int64_t floor_div(int64_t n) const {
    if (shift >= 0) return n >> shift;
    const int64_t q = n / den;
    return (n % den != 0 && n < 0) ? q - 1 : q;
  }

  // The A block under canvas block (i, j), or null when its sample lies
  // outside A: the position the row loop reaches at j, tested on both axes
  // as the row's span tests it.
  const uint8_t *sample(const uint8_t *src, int src_cols, int i, int j) const {
    const int64_t dy = 64 * int64_t{i} + 32 - int64_t{32} * rows - 2 * eta;
    const int64_t nx = 32 * (c * dx0 + s * dy) + base_x + j * step_x;
    const int64_t ny = 32 * (c * dy - s * dx0) + base_y + j * step_y;
    if (nx < 0 || nx >= lim_x || ny < 0 || ny >= lim_y) return nullptr;
    return src + 2 * (floor_div(ny) * src_cols + floor_div(nx));
  }

  // Row i: the blocks j whose sample lies inside A, 0 <= n + j step < lim
  // on both axes, an interval [j0, j1) of the row (empty: 0, 0), and the
  // sample position of block j0.
  void span(int i, int64_t cols, int64_t *j0, int64_t *j1, int64_t *px, int64_t *py) const {
    const int64_t dy = 64 * int64_t{i} + 32 - int64_t{32} * rows - 2 * eta;
    const int64_t nx = 32 * (c * dx0 + s * dy) + base_x;
    const int64_t ny = 32 * (c * dy - s * dx0) + base_y;
    *j0 = 0;
    *j1 = cols;
    clip_span(nx, step_x, lim_x, j0, j1);
    clip_span(ny, step_y, lim_y, j0, j1);
    if (*j1 <= *j0) *j0 = *j1 = 0;
    *px = nx + *j0 * step_x;
    *py = ny + *j0 * step_y;
  }
};

// floor((a0 + i d) / b) for i = 0, 1, 2, ... (b > 0), by additions: the
// quotient and the remainder in [0, b) are carried from one i to the next.
struct FloorWalk {
  int64_t q = 0, rem = 0, dq = 0, drem = 0, b = 1;
  static int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
  }
  FloorWalk() = default;
  FloorWalk(int64_t a0, int64_t d, int64_t b_) : q(floor_div(a0, b_)), dq(floor_div(d, b_)), b(b_) {
    rem = a0 - q * b;
    drem = d - dq * b;
  }
  void next() {
    q += dq;
    rem += drem;
    if (rem >= b) {
      rem -= b;
      ++q;
    }
  }
};

// The spans of Sampling::span for the rows 0, 1, 2, ... in turn, without a
// division per row.  On one axis, with n the row's position (n grows by
// `dn` from row to row), the blocks j with 0 <= n + j step < lim are
//   step > 0:  -floor(n / step) <= j < -floor((n - lim) / step)
//   step < 0:  -floor((lim - 1 - n) / t) <= j < floor(n / t) + 1, t = -step
// (the ceilings of clip_span written as floors; for n < 0 and step < 0 the
// upper bound is at most 0, an empty span as clip_span makes it), and with
// step 0 all of the row or none of it.
class SpanWalk {
 public:
  explicit SpanWalk(const Sampling &sm) : sm_(sm) {
    const int64_t dy0 = 32 - int64_t{32} * sm.rows - 2 * sm.eta;
    nx_ = 32 * (sm.c * sm.dx0 + sm.s * dy0) + sm.base_x;
    ny_ = 32 * (sm.c * dy0 - sm.s * sm.dx0) + sm.base_y;
    dnx_ = 32 * 64 * sm.s;
    dny_ = 32 * 64 * sm.c;
    init_axis(nx_, dnx_, sm.step_x, sm.lim_x, &x_);
    init_axis(ny_, dny_, sm.step_y, sm.lim_y, &y_);
  }

  // The span of the current row, then on to the next row.
  void next(int64_t cols, int64_t *j0, int64_t *j1, int64_t *px, int64_t *py) {
    *j0 = 0;
    *j1 = cols;
    bound(x_, nx_, sm_.lim_x, j0, j1);
    bound(y_, ny_, sm_.lim_y, j0, j1);
    if (*j1 <= *j0) *j0 = *j1 = 0;
    *px = nx_ + *j0 * sm_.step_x;
    *py = ny_ + *j0 * sm_.step_y;
    nx_ += dnx_;
    ny_ += dny_;
    x_.lo.next();
    x_.hi.next();
    y_.lo.next();
    y_.hi.next();
  }

 private:
  struct Axis {
    int sign = 0;       // of the step
    FloorWalk lo, hi;   // lower bound -lo.q (step > 0 and < 0); upper -hi.q (> 0) or hi.q + 1 (< 0)
  };

  static void init_axis(int64_t n, int64_t dn, int64_t step, int64_t lim, Axis *a) {
    if (step > 0) {
      a->sign = 1;
      a->lo = FloorWalk(n, dn, step);
      a->hi = FloorWalk(n - lim, dn, step);
    } else if (step < 0) {
      a->sign = -1;
      a->lo = FloorWalk(lim - 1 - n, -dn, -step);
      a->hi = FloorWalk(n, dn, -step);
    }
  }

  static void bound(const Axis &a, int64_t n, int64_t lim, int64_t *j0, int64_t *j1) {
    if (a.sign == 0) {
      if (n < 0 || n >= lim) *j1 = *j0;
      return;
    }
    *j0 = std::max(*j0, -a.lo.q);
    *j1 = std::min(*j1, a.sign > 0 ? -a.hi.q : a.hi.q + 1);
  }

  const Sampling &sm_;
  int64_t nx_, ny_, dnx_, dny_;
  Axis x_, y_;
};

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Clears a canvas row of `bytes` bytes (at least 16: a row holds at least
// the 8 padding blocks) with overlapping vector stores.
__attribute__((target("avx2"))) inline void clear_row_avx2(uint8_t *dst, std::size_t bytes) {
  const __m256i zero = _mm256_setzero_si256();
  if (bytes < 32) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm256_castsi256_si128(zero));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + bytes - 16), _mm256_castsi256_si128(zero));
    return;
  }
  std::size_t k = 0;
  for (; k + 32 <= bytes; k += 32) _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + k), zero);
  if (k < bytes) _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + bytes - 32), zero);
}

// Every row of the canvas: cleared, then the blocks j0 .. j1 - 1 of its
// span (from SpanWalk, the plain loop's spans without its divisions) eight
// at a time, with the same sample positions as the plain loop of
// transform_features in 32-bit lanes.  The caller guarantees that the
// scale is a power of two (sample index = position >> shift) and that both
// limits src x den are below 2^31: every position inside a row's span then
// fits in 32 bits, and a lane's position, formed by wrapping 32-bit
// additions, is the exact one.  Lanes past j1 are masked off (their
// position may lie anywhere) and write zeros, at most 7 blocks past j1,
// inside the row's padding.  The gather reads 4 bytes from each block's
// first byte; the grid's last block is read by itself, so that no read
// passes the end of the blocks.  With `ext`, each row's extent is taken
// from the blocks as they are written: the first and one past the last
// with a non-zero frequency, as refine_bounding_boxes finds them.
__attribute__((target("avx2"))) void transform_rows_avx2(const uint8_t *src, int src_rows, int src_cols, int r,
                                                         const Sampling &sm, Canvas *cv, RowExtent *ext) {
  const std::size_t nblocks = static_cast<std::size_t>(src_rows) * src_cols;
  const __m256i iota = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i vstep_x = _mm256_mullo_epi32(iota, _mm256_set1_epi32(static_cast<int32_t>(sm.step_x)));
  const __m256i vstep_y = _mm256_mullo_epi32(iota, _mm256_set1_epi32(static_cast<int32_t>(sm.step_y)));
  const __m256i vcols = _mm256_set1_epi32(src_cols);
  const __m256i vlast = _mm256_set1_epi32(static_cast<int32_t>(nblocks - 1));
  const __m128i vshift = _mm_cvtsi32_si128(sm.shift);
  const __m256i lowbyte = _mm256_set1_epi32(0xFF), highbyte = _mm256_set1_epi32(0xFF00);
  const __m256i vr = _mm256_set1_epi32(r), zero = _mm256_setzero_si256();
  const int32_t *base = reinterpret_cast<const int32_t *>(src);
  const uint8_t *last_block = src + 2 * (nblocks - 1);
  const uint8_t last_o = rotate_orientation(last_block[0], r), last_f = last_block[1];
  const std::size_t row_bytes = 2 * static_cast<std::size_t>(cv->stride);
  SpanWalk spans(sm);
  for (int i = 0; i < cv->rows; ++i) {
    uint8_t *dst = cv->data + row_bytes * static_cast<std::size_t>(i);
    clear_row_avx2(dst, row_bytes);
    int64_t j0, j1, px, py;
    spans.next(cv->cols, &j0, &j1, &px, &py);
    int lo = -1, hi = 0;
    for (int64_t j = j0; j < j1; j += 8, px += 8 * sm.step_x, py += 8 * sm.step_y) {
      const __m256i live = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int32_t>(j1 - j)), iota);
      const __m256i ax = _mm256_srl_epi32(_mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(px)), vstep_x), vshift);
      const __m256i ay = _mm256_srl_epi32(_mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(py)), vstep_y), vshift);
      const __m256i idx = _mm256_and_si256(_mm256_add_epi32(_mm256_mullo_epi32(ay, vcols), ax), live);
      const __m256i last = _mm256_and_si256(_mm256_cmpeq_epi32(idx, vlast), live);
      const __m256i gathered = _mm256_mask_i32gather_epi32(zero, base, idx, _mm256_andnot_si256(last, live), 2);
      // Orientation turned by r (mod 256), frequency as it is.
      __m256i v = _mm256_or_si256(_mm256_and_si256(gathered, highbyte),
                                  _mm256_and_si256(_mm256_add_epi32(gathered, vr), lowbyte));
      v = _mm256_and_si256(v, live);
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(v, v), 0x08);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 2 * j), _mm256_castsi256_si128(packed));
      const int lastmask = _mm256_movemask_ps(_mm256_castsi256_ps(last));
      int ridges = ~_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(v, highbyte), zero))) &
                   0xFF;
      if (lastmask != 0) {
        for (int k = 0; k < 8; ++k)
          if (lastmask & (1 << k)) {
            dst[2 * (j + k)] = last_o;
            dst[2 * (j + k) + 1] = last_f;
          }
        if (last_f != 0) ridges |= lastmask;
      }
      if (ridges != 0) {
        if (lo < 0) lo = static_cast<int>(j) + __builtin_ctz(static_cast<unsigned>(ridges));
        hi = static_cast<int>(j) + 32 - __builtin_clz(static_cast<unsigned>(ridges));
      }
    }
    if (ext != nullptr) {
      ext[i].lo = static_cast<int16_t>(lo < 0 ? 0 : lo);
      ext[i].hi = static_cast<int16_t>(lo < 0 ? 0 : hi);
    }
  }
}
#define QX_SPECTRAL_TRANSFORM_AVX2 1
#endif

}  // namespace

void transform_features(const uint8_t *src, int src_rows, int src_cols, int r, int scale, int xi,
                        int eta, Canvas *cv, RowExtent *ext) {
  cv->stride = cv->cols + kCanvasPad;
  const Sampling sm(src_rows, src_cols, r, scale, xi, eta, *cv);
#if defined(QX_SPECTRAL_TRANSFORM_AVX2)
  if (qx_simd_use_avx2() != 0 && sm.shift >= 0 && sm.lim_x < (int64_t{1} << 31) &&
      sm.lim_y < (int64_t{1} << 31)) {
    transform_rows_avx2(src, src_rows, src_cols, r, sm, cv, ext);
    return;
  }
#endif
  for (int i = 0; i < cv->rows; ++i) {
    uint8_t *dst = cv->data + 2 * static_cast<std::size_t>(i) * cv->stride;
    int64_t j0, j1, px, py;
    sm.span(i, cv->cols, &j0, &j1, &px, &py);
    std::memset(dst, 0, 2 * static_cast<std::size_t>(j0));
    for (int64_t j = j0; j < j1; ++j, px += sm.step_x, py += sm.step_y) {
      const uint8_t *p = src + 2 * (sm.floor_div(py) * src_cols + sm.floor_div(px));
      dst[2 * j] = rotate_orientation(p[0], r);
      dst[2 * j + 1] = p[1];
    }
    std::memset(dst + 2 * j1, 0, 2 * (static_cast<std::size_t>(cv->stride) - static_cast<std::size_t>(j1)));
  }
  if (ext != nullptr) refine_bounding_boxes(*cv, ext);
}

void shift_features(const uint8_t *src, int src_rows, int src_cols, int r, int scale, int xi,
                    int eta, int kx, int ky, Canvas *cv, RowExtent *ext) {
  cv->stride = cv->cols + kCanvasPad;
  const Sampling sm(src_rows, src_cols, r, scale, xi + 32 * kx, eta + 32 * ky, *cv);
  const int rows = cv->rows, cols = cv->cols;
  const std::size_t row_bytes = 2 * static_cast<std::size_t>(cv->stride);
  auto lay = [&](uint8_t *dst, int i, int j) {
    const uint8_t *p = sm.sample(src, src_cols, i, j);
    dst[2 * j] = p != nullptr ? rotate_orientation(p[0], r) : 0;
    dst[2 * j + 1] = p != nullptr ? p[1] : 0;
  };
  // New row i comes from old row i - ky: moving down, the rows are taken
  // from the bottom up, so that each old row is read before it is written.
  const int first = ky > 0 ? rows - 1 : 0, last = ky > 0 ? -1 : rows, dir = ky > 0 ? -1 : 1;
  const int moved = cols - std::abs(kx);
  for (int i = first; i != last; i += dir) {
    uint8_t *dst = cv->data + row_bytes * static_cast<std::size_t>(i);
    const int from = i - ky;
    if (from < 0 || from >= rows || moved <= 0) {
      for (int j = 0; j < cols; ++j) lay(dst, i, j);
      continue;
    }
    const uint8_t *old = cv->data + row_bytes * static_cast<std::size_t>(from);
    // New block j is old block j - kx.
    std::memmove(dst + 2 * std::max(kx, 0), old + 2 * std::max(-kx, 0), 2 * static_cast<std::size_t>(moved));
    if (kx > 0) lay(dst, i, 0);
    if (kx < 0) lay(dst, i, cols - 1);
  }
  if (ext != nullptr) refine_bounding_boxes(*cv, ext);
}

void refine_bounding_boxes(const Canvas &cv, RowExtent *ext) {
  for (int i = 0; i < cv.rows; ++i) {
    const uint8_t *row = cv.block(i, 0);
    int lo = 0, hi = cv.cols;
    while (lo < hi && row[2 * lo + 1] == 0) ++lo;
    while (hi > lo && row[2 * (hi - 1) + 1] == 0) --hi;
    if (lo == hi) lo = hi = 0;
    ext[i].lo = static_cast<int16_t>(lo);
    ext[i].hi = static_cast<int16_t>(hi);
  }
}

Box get_bounding_box(const RowExtent *ext, int rows) {
  Box b;
  bool any = false;
  for (int i = 0; i < rows; ++i) {
    if (ext[i].lo == ext[i].hi) continue;
    if (!any) {
      b.x0 = ext[i].lo;
      b.x1 = ext[i].hi - 1;
      b.y0 = i;
      any = true;
    }
    b.x0 = std::min<int>(b.x0, ext[i].lo);
    b.x1 = std::max<int>(b.x1, ext[i].hi - 1);
    b.y1 = i;
  }
  return b;
}

// ---------------------------------------------------------------------------
// Scoring one position.

namespace {

// so and sf as functions of the differences: so[(uint8)(oa - ob)],
// sf[fa - fb + 255].
struct SimTables {
  uint8_t so[256];
  uint8_t sf[511];
  constexpr SimTables() : so(), sf() {
    for (int d = 0; d < 256; ++d) {
      const int sd = d < 128 ? d : d - 256;
      const int a = sd < 0 ? -sd : sd;
      so[d] = static_cast<uint8_t>(a < 21 ? 21 - a : 0);
    }
    for (int d = -255; d <= 255; ++d) {
      const int a = d < 0 ? -d : d;
      sf[d + 255] = static_cast<uint8_t>(a < 21 ? 21 - a : 0);
    }
  }
};
constexpr SimTables kSim;

// Pairs of one row run: B blocks [lo, hi) against A blocks [lo - x, hi - x),
// every `step`-th one.
inline void run_pairs_scalar(const uint8_t *pa, const uint8_t *pb, int count, int step, uint32_t *n,
                             uint64_t *sim) {
  uint32_t nn = 0, ss = 0;
  for (int k = 0; k < count; k += step) {
    const uint8_t fa = pa[2 * k + 1], fb = pb[2 * k + 1];
    if (fa == 0 || fb == 0) continue;
    ++nn;
    ss += static_cast<uint32_t>(kSim.so[static_cast<uint8_t>(pa[2 * k] - pb[2 * k])]) *
          kSim.sf[fa - fb + 255];
  }
  *n += nn;
  *sim += ss;
}

// Every pair of the overlap at (x, y), rows [y0, y1).  The vector forms
// may round a run up to a whole number of lanes: past the end of a run one
// of the two canvases holds only empty blocks (the run ends where one row
// extent ends, and the 8 padding blocks of every canvas row are zero), so
// the extra pairs never count, and no read leaves a canvas row.
struct Overlap {
  const Canvas &a;
  const RowExtent *ea;
  const Canvas &b;
  const RowExtent *eb;
  int x, y, y0, y1;
  // The run of row ya: B blocks [lo, hi); false when empty.
  bool run(int ya, int *lo, int *hi) const {
    const int yb = ya + y;
    *lo = std::max(ea[ya].lo + x, static_cast<int>(eb[yb].lo));
    *hi = std::min(ea[ya].hi + x, static_cast<int>(eb[yb].hi));
    return *lo < *hi;
  }
};

#if !defined(__SSE2__)
void dense_pairs_scalar(const Overlap &o, PairSums *s) {
  for (int ya = o.y0; ya < o.y1; ++ya) {
    int lo, hi;
    if (o.run(ya, &lo, &hi)) run_pairs_scalar(o.a.block(ya, lo - o.x), o.b.block(ya + o.y, lo), hi - lo, 1, &s->n, &s->sim);
  }
}
#endif

#if defined(__SSE2__)
// Eight pairs in 16-bit lanes: so and sf by saturating subtraction, the
// similarity masked where a frequency is 0, sums widened to 32 bits.
#define QX_SPECTRAL_PAIRS8(va, vb, acc_n, acc_sim)                                           \
  do {                                                                                      \
    const __m128i fa_ = _mm_srli_epi16(va, 8), fb_ = _mm_srli_epi16(vb, 8);                 \
    __m128i d_ = _mm_srai_epi16(_mm_slli_epi16(_mm_sub_epi16(va, vb), 8), 8);               \
    d_ = _mm_max_epi16(d_, _mm_sub_epi16(zero, d_));                                        \
    __m128i e_ = _mm_sub_epi16(fa_, fb_);                                                   \
    e_ = _mm_max_epi16(e_, _mm_sub_epi16(zero, e_));                                        \
    const __m128i sim_ = _mm_mullo_epi16(_mm_subs_epu16(c21, d_), _mm_subs_epu16(c21, e_)); \
    const __m128i empty_ = _mm_or_si128(_mm_cmpeq_epi16(fa_, zero), _mm_cmpeq_epi16(fb_, zero)); \
    acc_sim = _mm_add_epi32(acc_sim, _mm_madd_epi16(_mm_andnot_si128(empty_, sim_), ones));  \
    acc_n = _mm_add_epi32(acc_n, _mm_madd_epi16(_mm_andnot_si128(empty_, ones), ones));     \
  } while (0)

inline uint32_t hsum(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

void dense_pairs_sse2(const Overlap &o, PairSums *s) {
  const __m128i zero = _mm_setzero_si128(), c21 = _mm_set1_epi16(21), ones = _mm_set1_epi16(1);
  __m128i acc_n = zero, acc_sim = zero;
  for (int ya = o.y0; ya < o.y1; ++ya) {
    int lo, hi;
    if (!o.run(ya, &lo, &hi)) continue;
    const uint8_t *pa = o.a.block(ya, lo - o.x), *pb = o.b.block(ya + o.y, lo);
    for (int k = 0; k < hi - lo; k += 8) {
      const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pa + 2 * k));
      const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pb + 2 * k));
      QX_SPECTRAL_PAIRS8(va, vb, acc_n, acc_sim);
    }
  }
  s->n = hsum(acc_n);
  s->sim = hsum(acc_sim);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QX_SPECTRAL_AVX2 1
// Thirty-two pairs in 8-bit lanes.  va0 and va1 hold sixteen A blocks each
// as they lie in the canvas (orientation, frequency), vb0 and vb1 the B
// blocks they pair with.  Each vector is split into its orientations and
// frequencies, and the two halves are joined, in the same lane order on
// both sides (the sums do not depend on it).  so = 21 - |signed byte
// difference| (abs_epi8 of -128 is 128 taken as unsigned, which saturates
// to 0 as it should), sf = 21 - |fa - fb| from the unsigned maximum and
// minimum, both by saturating subtraction; a pair with a frequency 0 (the
// minimum is 0) has its so cleared and counts as empty.  The products
// (at most 441) are summed in pairs to 16 bits (at most 882) and then to
// 32 bits.  `empty` counts the empty pairs per lane, one at most per call.
struct Pairs32 {
  __m256i sim, empty, empty_total;
  uint32_t calls = 0;
  uint32_t unflushed = 0;  // calls since `empty` was last added to the total
};

__attribute__((target("avx2"))) inline void flush_empty(Pairs32 &acc) {
  acc.empty_total = _mm256_add_epi64(acc.empty_total, _mm256_sad_epu8(acc.empty, _mm256_setzero_si256()));
  acc.empty = _mm256_setzero_si256();
  acc.unflushed = 0;
}

__attribute__((target("avx2"))) inline void pairs32_avx2(__m256i va0, __m256i va1, __m256i vb0, __m256i vb1,
                                                         Pairs32 &acc) {
  const __m256i split = _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15, 0, 2, 4, 6, 8, 10,
                                         12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
  const __m256i zero = _mm256_setzero_si256(), c21 = _mm256_set1_epi8(21), ones = _mm256_set1_epi16(1);
  const __m256i a0 = _mm256_shuffle_epi8(va0, split), a1 = _mm256_shuffle_epi8(va1, split);
  const __m256i b0 = _mm256_shuffle_epi8(vb0, split), b1 = _mm256_shuffle_epi8(vb1, split);
  const __m256i oa = _mm256_unpacklo_epi64(a0, a1), fa = _mm256_unpackhi_epi64(a0, a1);
  const __m256i ob = _mm256_unpacklo_epi64(b0, b1), fb = _mm256_unpackhi_epi64(b0, b1);
  const __m256i so = _mm256_subs_epu8(c21, _mm256_abs_epi8(_mm256_sub_epi8(oa, ob)));
  const __m256i fmin = _mm256_min_epu8(fa, fb);
  const __m256i sf = _mm256_subs_epu8(c21, _mm256_sub_epi8(_mm256_max_epu8(fa, fb), fmin));
  const __m256i empty = _mm256_cmpeq_epi8(fmin, zero);
  const __m256i prod = _mm256_maddubs_epi16(_mm256_andnot_si256(empty, so), sf);
  acc.sim = _mm256_add_epi32(acc.sim, _mm256_madd_epi16(prod, ones));
  acc.empty = _mm256_sub_epi8(acc.empty, empty);
  ++acc.calls;
  if (++acc.unflushed == 255) flush_empty(acc);
}

__attribute__((target("avx2"))) inline __m256i load16(const uint8_t *p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
// Eight blocks, the upper half of the vector empty.
__attribute__((target("avx2"))) inline __m256i load8(const uint8_t *p) {
  return _mm256_zextsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}
// Eight blocks from each of two rows.
__attribute__((target("avx2"))) inline __m256i load8x2(const uint8_t *p, const uint8_t *q) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i *>(q)), 1);
}

// The sums of one overlap: `rows` rows of `count` pairs (both positive),
// A's first block at pa and B's at pb, rows sa and sb bytes apart.
__attribute__((target("avx2"), always_inline)) inline void overlap_sums_avx2(const uint8_t *pa, std::size_t sa,
                                                                           const uint8_t *pb, std::size_t sb,
                                                                           int rows, int count, PairSums *s) {
  Pairs32 acc;
  acc.sim = acc.empty = acc.empty_total = _mm256_setzero_si256();
  const __m256i zero = _mm256_setzero_si256();
  int r = 0;
  if (count <= 8) {
    for (; r + 3 < rows; r += 4, pa += 4 * sa, pb += 4 * sb)
      pairs32_avx2(load8x2(pa, pa + sa), load8x2(pa + 2 * sa, pa + 3 * sa), load8x2(pb, pb + sb),
                   load8x2(pb + 2 * sb, pb + 3 * sb), acc);
    switch (rows - r) {
      case 3:
        pairs32_avx2(load8x2(pa, pa + sa), load8(pa + 2 * sa), load8x2(pb, pb + sb), load8(pb + 2 * sb), acc);
        break;
      case 2:
        pairs32_avx2(load8x2(pa, pa + sa), zero, load8x2(pb, pb + sb), zero, acc);
        break;
      case 1:
        pairs32_avx2(load8(pa), zero, load8(pb), zero, acc);
        break;
      default:
        break;
    }
  } else if (count <= 16) {
    for (; r + 1 < rows; r += 2, pa += 2 * sa, pb += 2 * sb)
      pairs32_avx2(load16(pa), load16(pa + sa), load16(pb), load16(pb + sb), acc);
    if (r < rows) pairs32_avx2(load16(pa), zero, load16(pb), zero, acc);
  } else {
    for (; r < rows; ++r, pa += sa, pb += sb) {
      int k = 0;
      for (; k + 24 < count; k += 32)
        pairs32_avx2(load16(pa + 2 * k), load16(pa + 2 * k + 32), load16(pb + 2 * k), load16(pb + 2 * k + 32),
                     acc);
      const int rest = count - k;
      if (rest > 16)
        pairs32_avx2(load16(pa + 2 * k), load8(pa + 2 * k + 32), load16(pb + 2 * k), load8(pb + 2 * k + 32), acc);
      else if (rest > 8)
        pairs32_avx2(load16(pa + 2 * k), zero, load16(pb + 2 * k), zero, acc);
      else if (rest > 0)
        pairs32_avx2(load8(pa + 2 * k), zero, load8(pb + 2 * k), zero, acc);
    }
  }
  flush_empty(acc);
  const __m128i e2 = _mm_add_epi64(_mm256_castsi256_si128(acc.empty_total), _mm256_extracti128_si256(acc.empty_total, 1));
  const uint64_t empty = static_cast<uint64_t>(_mm_cvtsi128_si64(e2)) + static_cast<uint64_t>(_mm_extract_epi64(e2, 1));
  const __m128i s4 = _mm_add_epi32(_mm256_castsi256_si128(acc.sim), _mm256_extracti128_si256(acc.sim, 1));
  s->n = static_cast<uint32_t>(32 * static_cast<uint64_t>(acc.calls) - empty);
  s->sim = hsum(s4);
}

// The same sums over the whole overlap of the two canvases, not only
// within the row extents: a pair outside the extents has an empty block on
// one side and never counts, so the sums are those of the extents, and
// every row then has the same run, B blocks [lo, hi) with lo = max(0, x)
// and hi = min(x + A's cols, B's cols), which saves the per-row
// bookkeeping.  Past the run's end one canvas shows its zero padding (the
// run ends where one canvas's row ends), as in dense_pairs_sse2, and every
// read stays within 7 blocks past the run's end, inside the 8 padding
// blocks.  Runs of up to 8 pairs go four rows to a call, of up to 16 two
// rows; longer ones 32 pairs at a time while more than 24 remain, then the
// rest in one call.  The empty halves of a call count as empty pairs.
__attribute__((target("avx2"))) void dense_pairs_avx2(const Overlap &o, PairSums *s) {
  const int lo = std::max(0, o.x), hi = std::min(o.a.cols + o.x, o.b.cols);
  const int rows = o.y1 - o.y0, count = hi - lo;
  s->n = 0;
  s->sim = 0;
  if (rows <= 0 || count <= 0) return;
  overlap_sums_avx2(o.a.block(o.y0, lo - o.x), 2 * static_cast<std::size_t>(o.a.stride),
                    o.b.block(o.y0 + o.y, lo), 2 * static_cast<std::size_t>(o.b.stride), rows, count, s);
}

int32_t score_from_sums_inline(const PairSums &s, const ScoreParams &p);

// The scores of dense_pairs_avx2's sums at the positions (xs[k], y),
// k < n, of one row of the search, in one call: the rows of the overlap
// are the same for all of them.
__attribute__((target("avx2"))) void dense_row_avx2(const Canvas &a, const Canvas &b, int y, const int *xs, int n,
                                                    const ScoreParams &p, int32_t *scores) {
  const int y0 = std::max(0, -y), y1 = std::min(a.rows, b.rows - y), rows = y1 - y0;
  const std::size_t sa = 2 * static_cast<std::size_t>(a.stride), sb = 2 * static_cast<std::size_t>(b.stride);
  for (int k = 0; k < n; ++k) {
    const int x = xs[k];
    const int lo = std::max(0, x), hi = std::min(a.cols + x, b.cols), count = hi - lo;
    if (rows <= 0 || count <= 0) {
      scores[k] = 0;
      continue;
    }
    PairSums s;
    overlap_sums_avx2(a.block(y0, lo - x), sa, b.block(y0 + y, lo), sb, rows, count, &s);
    s.count = s.n;
    scores[k] = score_from_sums_inline(s, p);
  }
}

bool use_avx2() { return qx_simd_use_avx2() != 0; }
#endif
#endif

void dense_pairs(const Overlap &o, PairSums *s) {
#if defined(QX_SPECTRAL_AVX2)
  if (use_avx2()) return dense_pairs_avx2(o, s);
#endif
#if defined(__SSE2__)
  dense_pairs_sse2(o, s);
#else
  dense_pairs_scalar(o, s);
#endif
}

#if defined(__SIZEOF_INT128__)
// ceil(2^64 / (441 n)) for the pair counts n < 1024 (every coarse and fine
// position of the sensors the library takes).  For a divisor d < 2^19 and
// any numerator v < 2^45, floor(v ceil(2^64 / d) / 2^64) = floor(v / d)
// exactly (with c = (2^64 + e) / d, e < d, the product exceeds v / d by
// v e / (d 2^64) < 1 / d), and the numerator S x 32768 <= 441 n x 32768 is
// below 2^34: one multiplication in place of a division per scored
// position.
struct MeanReciprocals {
  static constexpr uint32_t kCount = 1024;
  uint64_t of[kCount];
  constexpr MeanReciprocals() : of() {
    for (uint32_t n = 1; n < kCount; ++n) of[n] = ~uint64_t{0} / (441 * uint64_t{n}) + 1;
  }
};
constexpr MeanReciprocals kMeanReciprocals;
#endif

}  // namespace

uint64_t mean_similarity(uint64_t sim, uint32_t n) {
  const uint64_t num = sim * 32768;
#if defined(__SIZEOF_INT128__)
  if (n < MeanReciprocals::kCount && sim < (uint64_t{1} << 30))
    return static_cast<uint64_t>((static_cast<unsigned __int128>(num) * kMeanReciprocals.of[n]) >> 64);
#endif
  const uint64_t den = 441 * static_cast<uint64_t>(n);
  // The same quotient in 32 bits when both fit (a 64-bit division is slow).
  return (num | den) <= 0xFFFFFFFFu ? static_cast<uint32_t>(num) / static_cast<uint32_t>(den) : num / den;
}

namespace {
inline int32_t score_from_sums_inline(const PairSums &s, const ScoreParams &p) {
  if (s.n == 0 || s.count < p.threshold) return 0;
  const uint64_t mean = mean_similarity(s.sim, s.n);
  auto weight = [&] {
    return isqrt64(static_cast<uint64_t>(p.scale) * isqrt64(4096 * static_cast<uint64_t>(s.count)));
  };
  uint64_t w;
  if (s.count < p.weights_size) {
    uint32_t &known = p.weights[s.count];
    if (known == 0) known = weight();
    w = known;
  } else {
    w = weight();
  }
  const uint64_t mw = mean * w;
  if (mw >= (uint64_t{1} << 23)) return 32767;
  return static_cast<int32_t>(mw / 256);
}
}  // namespace

int32_t score_from_sums(const PairSums &s, const ScoreParams &p) { return score_from_sums_inline(s, p); }

int32_t xcorr_features(const Canvas &a, const RowExtent *ea, const Canvas &b, const RowExtent *eb,
                       int x, int y, const ScoreParams &p, PairSums *out) {
  PairSums s;
  const int y0 = std::max(0, -y), y1 = std::min(a.rows, b.rows - y);
  if (!p.sampled) {
    dense_pairs(Overlap{a, ea, b, eb, x, y, y0, y1}, &s);
    s.count = s.n;
  } else {
    // Four interleaved phases over B's (row, column) parities; stop once the
    // pairs seen let the full count be estimated above the threshold.
    static constexpr int kPhase[4][2] = {{0, 0}, {1, 1}, {0, 1}, {1, 0}};
    int phases = 0;
    for (const auto &ph : kPhase) {
      ++phases;
      for (int ya = y0; ya < y1; ++ya) {
        const int yb = ya + y;
        if ((yb & 1) != ph[0]) continue;
        int lo = std::max(ea[ya].lo + x, static_cast<int>(eb[yb].lo));
        const int hi = std::min(ea[ya].hi + x, static_cast<int>(eb[yb].hi));
        if ((lo & 1) != ph[1]) ++lo;
        if (lo < hi) run_pairs_scalar(a.block(ya, lo - x), b.block(yb, lo), hi - lo, 2, &s.n, &s.sim);
      }
      if (s.n >= 32 && 4 * static_cast<uint64_t>(s.n) >= static_cast<uint64_t>(phases) * p.threshold) break;
    }
    s.count = static_cast<uint32_t>((4 * static_cast<uint64_t>(s.n) + phases - 1) / phases);
  }
  if (out != nullptr) *out = s;
  return score_from_sums(s, p);
}

void xcorr_row(const Canvas &a, const RowExtent *ea, const Canvas &b, const RowExtent *eb, int y,
               const int *xs, int n, const ScoreParams &p, int32_t *scores) {
#if defined(QX_SPECTRAL_AVX2)
  if (!p.sampled && use_avx2()) return dense_row_avx2(a, b, y, xs, n, p, scores);
#endif
  for (int k = 0; k < n; ++k) scores[k] = xcorr_features(a, ea, b, eb, xs[k], y, p);
}

// ---------------------------------------------------------------------------
// Alignment and grid position.

namespace {
// v / d rounded to the nearest integer, halves away from zero (d > 0).
int64_t round_half_away(int64_t v, int64_t d) {
  return v >= 0 ? (2 * v + d) / (2 * d) : -((-2 * v + d) / (2 * d));
}

// Offset of the turned A centre from the canvas centre, x 32768 (Q14 x 2):
// c (wA - 1) - s (hA - 1) - (wC - 1) 16384 and c (hA - 1) + s (wA - 1) -
// (hC - 1) 16384, sizes in pixels.
void centre_offsets(const GridFrame &g, int64_t c, int64_t s, int64_t *cx, int64_t *cy) {
  const int64_t b = g.b_block;
  const int64_t wa = g.a_cols * b, ha = g.a_rows * b, wc = g.canvas_cols * b, hc = g.canvas_rows * b;
  *cx = c * (wa - 1) - s * (ha - 1) - (wc - 1) * 16384;
  *cy = c * (ha - 1) + s * (wa - 1) - (hc - 1) * 16384;
}

}  // namespace

void alignment_of_position(const GridFrame &g, int r, int x, int xi, int y, int eta,
                           qx_spectral_alignment *al) {
  const int32_t a16 = angle16_from_rotation(r);
  int64_t cx, cy;
  centre_offsets(g, cos16(a16), sin16(a16), &cx, &cy);
  const int64_t b = g.b_block, f = 500 / g.resolution;
  const int64_t px = 32 * int64_t{x} + xi, py = 32 * int64_t{y} + eta;
  // C++ division truncates toward zero, as the formulas want.
  al->rotation = alignment_from_rotation(r);
  al->dx = static_cast<int16_t>(f * (b * px / 32 - cx / 32768));
  al->dy = static_cast<int16_t>(f * (b * py / 32 - cy / 32768));
  al->prec_rotation = angle16_from_rotation(r) & 0xFFFF;
  al->prec_dx = static_cast<int32_t>(f * (b * px * 8 - cx / 128));
  al->prec_dy = static_cast<int32_t>(f * (b * py * 8 - cy / 128));
  al->precise = 1;
}

void position_of_alignment(const GridFrame &g, const qx_spectral_alignment &al, int *r, int *x,
                           int *xi, int *y, int *eta) {
  const int32_t a16 = angle16_from_alignment(al.rotation);
  int64_t cx, cy;
  centre_offsets(g, cos16(a16), sin16(a16), &cx, &cy);
  const int64_t b = g.b_block;
  const int64_t px = al.dx + cx / 32768, py = al.dy + cy / 32768;
  const int64_t bx = round_half_away(px, b), by = round_half_away(py, b);
  *r = rotation_from_alignment(al.rotation);
  *x = static_cast<int>(bx);
  *y = static_cast<int>(by);
  *xi = static_cast<int>((px - b * bx) * 32 / b);
  *eta = static_cast<int>((py - b * by) * 32 / b);
}

}  // namespace qx_spectral

// ---------------------------------------------------------------------------
// The search.

namespace {

using namespace qx_spectral;

constexpr int kCoarseRotations[24] = {0,    21,  -21, 43,   -43, 64,   -64, 85,
                                      -85,  107, -107, 128, -128, 149, -149, 171,
                                      -171, 192, -192, 213, -213, 235, -235, -256};
constexpr int kRefineRotations[5] = {0, -7, 7, -14, 14};
constexpr int kFineRotations[3] = {0, -3, 3};
constexpr int kSubBlock[3] = {0, -16, 16};
// Positions of a coarse row scored in one call.
constexpr int kRowBatch = 64;
constexpr int32_t kGoodEnoughLimited[13] = {32768, 6078,  7050,  8630,  9147,  10137, 10507,
                                            11253, 11523, 12119, 12316, 12669, 12776};
constexpr int32_t kGoodEnoughFull[13] = {32768, 6699,  7536,  8972,  9453,  10385, 10728,
                                         11420, 11698, 12277, 12475, 12843, 12962};

// Canvases larger than this (blocks per side, coarse) are refused: no
// sensor comes near it, and it bounds the work area.
constexpr int64_t kMaxCanvasSide = 1024;

struct Layout {
  int scale = 0;             // A in B's block units, 1/32
  int wc = 0, hc = 0;        // A canvas, coarse
  bool fine = false;         // both sets carry a fine field
  std::size_t a_bytes = 0;   // A canvas at the larger resolution
  std::size_t b_bytes = 0;   // B canvas at the larger resolution
  std::size_t a_rows = 0;    // rows of extents
  std::size_t b_rows = 0;
  std::size_t total = 0;
};

std::size_t align16(std::size_t v) { return (v + 15) & ~std::size_t{15}; }

bool plan(const Grid &a, const Grid &b, uint32_t flags, Layout *l) {
  const int64_t s = int64_t{a.block} * 32 * b.resolution / b.block / a.resolution;
  int64_t wc = a.cols * s / 32, hc = a.rows * s / 32;
  if (flags & QX_SPECTRAL_SQUARE_CANVAS) wc = hc = std::max(wc, hc);
  if (s > 32 * kMaxCanvasSide || wc > kMaxCanvasSide || hc > kMaxCanvasSide) return false;
  l->scale = static_cast<int>(s);
  l->wc = static_cast<int>(wc);
  l->hc = static_cast<int>(hc);
  l->fine = a.fine != nullptr && b.fine != nullptr;
  const int k = l->fine ? 3 : 1;
  l->a_bytes = canvas_bytes(k * l->hc, k * l->wc);
  l->b_bytes = canvas_bytes(k * b.rows, k * b.cols);
  l->a_rows = static_cast<std::size_t>(k) * l->hc;
  l->b_rows = static_cast<std::size_t>(k) * b.rows;
  l->total = align16(l->a_bytes) + align16(l->b_bytes) + align16(l->a_rows * sizeof(RowExtent)) +
             align16(l->b_rows * sizeof(RowExtent));
  l->total = std::max<std::size_t>(l->total, 48);
  return l->total <= 0xFFFFFFFFu;
}

// One resolution of the search: the coarse grids or the fine ones.
struct Level {
  const uint8_t *a_blocks;
  int a_rows, a_cols;
  const uint8_t *b_blocks;
  int b_rows, b_cols;
  int b_block;     // B's block size in pixels at this resolution
  int wc, hc;      // A canvas
  uint32_t scale_value;
};

// A position found by the search.
struct Position {
  int32_t score = 0;
  int r = 0, x = 0, y = 0, xi = 0, eta = 0;
  bool fine = false;
  bool found = false;
};

class Search {
 public:
  Search(const Grid &a, const Grid &b, const Layout &lay, uint8_t *work, uint32_t flags,
         int32_t good_enough)
      : a_(a), b_(b), lay_(lay), flags_(flags), good_enough_(good_enough) {
    uint8_t *p = work;
    ca_.data = p;
    p += align16(lay.a_bytes);
    cb_.data = p;
    p += align16(lay.b_bytes);
    ea_ = reinterpret_cast<RowExtent *>(p);
    p += align16(lay.a_rows * sizeof(RowExtent));
    eb_ = reinterpret_cast<RowExtent *>(p);
    const int ra = a.resolution;
    coarse_ = Level{a.blocks, a.rows, a.cols, b.blocks, b.rows, b.cols, b.block, lay.wc, lay.hc,
                    static_cast<uint32_t>((ra * 13 / 2 + b.block * 32000) / 13 / ra)};
    fine_ = Level{a.fine, 3 * a.rows, 3 * a.cols, b.fine, 3 * b.rows, 3 * b.cols, b.block / 3,
                  3 * lay.wc, 3 * lay.hc,
                  static_cast<uint32_t>((ra * 13 / 2 + (b.block / 3) * 32000) / 13 / ra + 1)};
  }

  const Level &level(bool fine) const { return fine ? fine_ : coarse_; }

  // B's canvas and extents at the given resolution.
  void use_level(bool fine) {
    if (b_level_ == static_cast<int>(fine)) return;
    const Level &lv = level(fine);
    align8_feature_canvas(lv.b_blocks, lv.b_rows, lv.b_cols, &cb_);
    refine_bounding_boxes(cb_, eb_);
    box_b_ = get_bounding_box(eb_, cb_.rows);
    b_level_ = fine;
  }

  // A's canvas turned by r and shifted by (xi, eta), with its extents.
  // The canvas is kept while the same one is asked for again.
  Box lay_a(bool fine, int r, int xi, int eta) {
    if (a_fine_ == static_cast<int>(fine) && a_r_ == r && a_xi_ == xi && a_eta_ == eta) return box_a_;
    const Level &lv = level(fine);
    ca_.rows = lv.hc;
    ca_.cols = lv.wc;
    transform_features(lv.a_blocks, lv.a_rows, lv.a_cols, r, lay_.scale, xi, eta, &ca_, ea_);
    box_a_ = get_bounding_box(ea_, ca_.rows);
    a_fine_ = fine;
    a_r_ = r;
    a_xi_ = xi;
    a_eta_ = eta;
    return box_a_;
  }

  ScoreParams params(bool fine, uint32_t threshold, bool sampled) {
    ScoreParams p;
    p.threshold = threshold;
    p.scale = level(fine).scale_value;
    p.sampled = sampled;
    p.weights = weights_[fine ? 1 : 0];
    p.weights_size = kWeightMemory;
    return p;
  }

  int32_t score(bool fine, int x, int y, uint32_t threshold, bool sampled) {
    return xcorr_features(ca_, ea_, cb_, eb_, x, y, params(fine, threshold, sampled));
  }

  // Scores of the positions (xs[k], y), k < n <= kRowBatch, at the current
  // A canvas.  A score does not depend on when it is found, so a row is
  // scored first and its positions are then visited in their order.
  void score_row(bool fine, int y, const int *xs, int n, uint32_t threshold, bool sampled, int32_t *out) {
    xcorr_row(ca_, ea_, cb_, eb_, y, xs, n, params(fine, threshold, sampled), out);
  }

  // Scores (x, y) at the current A canvas and keeps it when it is the best.
  int32_t visit(bool fine, int r, int x, int y, int xi, int eta, uint32_t threshold, bool sampled,
                Position *best) {
    const int32_t sc = score(fine, x, y, threshold, sampled);
    if (sc > best->score) *best = Position{sc, r, x, y, xi, eta, fine, true};
    return sc;
  }

  bool good_enough(const Position &p) const { return p.score > good_enough_; }

  // The coarse search over the candidate rotations.
  Position coarse(const bool tried[24], uint32_t t1, uint32_t t2, int step, bool sampled) {
    Position best;
    use_level(false);
    if (box_b_.empty()) return best;
    for (int k = 0; k < 24; ++k) {
      if (!tried[k]) continue;
      const int r = kCoarseRotations[k];
      const Box ba = lay_a(false, r, 0, 0);
      if (ba.empty()) continue;
      const int ar = std::abs(r);
      const uint32_t t = static_cast<uint32_t>(
          t2 + static_cast<int64_t>(std::abs(128 - ar)) * (static_cast<int64_t>(t1) - t2) / 128);
      const uint32_t need = std::max<uint32_t>(t, 1);
      // Offsets whose bounding-box overlap can hold `need` pairs, on the
      // grid of multiples of the step.
      const int xlo = box_b_.x0 - ba.x1, xhi = box_b_.x1 - ba.x0;
      const int ylo = box_b_.y0 - ba.y1, yhi = box_b_.y1 - ba.y0;
      auto overlap = [](int a0, int a1, int b0, int b1, int d) {
        return std::max(0, std::min(a1 + d, b1) - std::max(a0 + d, b0) + 1);
      };
      for (int y = first_multiple(ylo, step); y <= yhi; y += step) {
        const int64_t oh = overlap(ba.y0, ba.y1, box_b_.y0, box_b_.y1, y);
        int xs[kRowBatch];
        int32_t scores[kRowBatch];
        int n = 0;
        // The row's positions so far, scored together, then visited in order.
        auto visit_row = [&] {
          score_row(false, y, xs, n, t, sampled, scores);
          for (int k = 0; k < n; ++k) {
            const int x = xs[k];
            const int32_t sc = scores[k];
            if (sc > best.score) best = Position{sc, r, x, y, 0, 0, false, true};
            // A competitor (within 80 % of the best): its four neighbours too.
            if (sc > 0 && 5 * static_cast<int64_t>(sc) > 4 * static_cast<int64_t>(best.score)) {
              static constexpr int kNeighbour[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
              for (const auto &d : kNeighbour) {
                const int nx = x + d[0], ny = y + d[1];
                if (overlap(ba.x0, ba.x1, box_b_.x0, box_b_.x1, nx) *
                        static_cast<int64_t>(overlap(ba.y0, ba.y1, box_b_.y0, box_b_.y1, ny)) < need)
                  continue;
                visit(false, r, nx, ny, 0, 0, t, sampled, &best);
              }
            }
          }
          n = 0;
        };
        // The offsets whose overlap is at least w = ceil(need / oh) blocks
        // wide: both boxes that wide, x >= B.x0 + w - 1 - A.x1 and
        // x <= B.x1 + 1 - w - A.x0.
        if (oh == 0) continue;
        const int64_t w = (need + oh - 1) / oh;
        if (ba.x1 - ba.x0 + 1 < w || box_b_.x1 - box_b_.x0 + 1 < w) continue;
        const int x0 = static_cast<int>(xlo + w - 1), x1 = static_cast<int>(xhi + 1 - w);
        for (int x = first_multiple(x0, step); x <= x1; x += step) {
          xs[n++] = x;
          if (n == kRowBatch) visit_row();
        }
        if (n > 0) visit_row();
      }
    }
    return best;
  }

  // Refinement around the coarse best: nearby rotations, +-2 blocks.
  void refine(Position *best, uint32_t t) {
    const Position centre = *best;
    use_level(false);
    for (int dr : kRefineRotations) {
      const int r = wrap_rotation(centre.r + dr);
      if (lay_a(false, r, 0, 0).empty()) continue;
      for (int y = centre.y - 2; y <= centre.y + 2; ++y) {
        const int xs[5] = {centre.x - 2, centre.x - 1, centre.x, centre.x + 1, centre.x + 2};
        int32_t scores[5];
        score_row(false, y, xs, 5, t, false, scores);
        for (int k = 0; k < 5; ++k) {
          if (scores[k] > best->score) *best = Position{scores[k], r, xs[k], y, 0, 0, false, true};
          if (good_enough(*best)) return;
        }
      }
    }
  }

  // The fine grid around the refined best; the fine scores replace the
  // coarse one when any position reaches the threshold there.
  void fine(Position *best, uint32_t t) {
    const Position centre = *best;
    Position f;
    use_level(true);
    const int range = (flags_ & QX_SPECTRAL_WIDE_FINE) ? 2 : 1;
    const int fx = 3 * centre.x + 1, fy = 3 * centre.y + 1;
    bool stop = false;
    for (int k = 0; k < 3 && !stop; ++k) {
      const int r = wrap_rotation(centre.r + kFineRotations[k]);
      if (lay_a(true, r, 0, 0).empty()) continue;
      for (int y = fy - range; y <= fy + range && !stop; ++y) {
        int xs[5], n = 0;
        int32_t scores[5];
        for (int x = fx - range; x <= fx + range; ++x) xs[n++] = x;
        score_row(true, y, xs, n, t, false, scores);
        for (int k = 0; k < n && !stop; ++k) {
          if (scores[k] > f.score) f = Position{scores[k], r, xs[k], y, 0, 0, true, true};
          stop = good_enough(f);
        }
      }
    }
    if (f.found && !stop) {
      // The eight sub-block offsets at the best fine position.  A canvas's
      // score does not depend on when it is scored, so they are scored in
      // the order that lays the fewest canvases (three; the other five are
      // moved by a block from one of them), then taken in the order of
      // kSubBlock, which decides ties and the early stop.
      const Position at = f;
      int32_t sub[3][3] = {};  // [eta][xi], indices into kSubBlock
      auto at_score = [&] { return score(true, at.x, at.y, t, false); };
      lay_a(true, at.r, 0, -16);
      sub[1][0] = at_score();
      shift_a(0, 1);  // (0, 16)
      sub[2][0] = at_score();
      lay_a(true, at.r, -16, 0);
      sub[0][1] = at_score();
      shift_a(1, 0);  // (16, 0)
      sub[0][2] = at_score();
      lay_a(true, at.r, -16, -16);
      sub[1][1] = at_score();
      shift_a(1, 0);  // (16, -16)
      sub[1][2] = at_score();
      shift_a(0, 1);  // (16, 16)
      sub[2][2] = at_score();
      shift_a(-1, 0);  // (-16, 16)
      sub[2][1] = at_score();
      for (int ie = 0; ie < 3; ++ie)
        for (int ix = 0; ix < 3; ++ix) {
          if ((ix == 0 && ie == 0) || stop) continue;
          const int32_t sc = sub[ie][ix];
          if (sc > f.score) f = Position{sc, at.r, at.x, at.y, kSubBlock[ix], kSubBlock[ie], true, true};
          stop = good_enough(f);
        }
    }
    if (f.found) *best = f;
  }

  // Moves the fine A canvas by whole blocks to the sub-block offsets
  // (xi + 32 kx, eta + 32 ky) of its rotation.
  void shift_a(int kx, int ky) {
    const Level &lv = level(true);
    shift_features(lv.a_blocks, lv.a_rows, lv.a_cols, a_r_, lay_.scale, a_xi_, a_eta_, kx, ky, &ca_, ea_);
    box_a_ = get_bounding_box(ea_, ca_.rows);
    a_xi_ += 32 * kx;
    a_eta_ += 32 * ky;
  }

  void aux(const Position &p, uint16_t out[QX_SPECTRAL_AUX_COUNT]) {
    use_level(p.fine);
    lay_a(p.fine, p.r, p.xi, p.eta);
    aux_values(ca_, ea_, cb_, eb_, p.x, p.y, out);
  }

  GridFrame frame(bool fine) const {
    const Level &lv = level(fine);
    return GridFrame{lv.b_block, b_.resolution, lv.a_cols, lv.a_rows, lv.wc, lv.hc};
  }

  void alignment(const Position &p, qx_spectral_alignment *al) const {
    alignment_of_position(frame(p.fine), p.r, p.x, p.xi, p.y, p.eta, al);
  }

  // The one position of a given alignment (coarse grid).
  Position at_alignment(const qx_spectral_alignment &in, uint32_t t1) {
    Position p;
    position_of_alignment(frame(false), in, &p.r, &p.x, &p.xi, &p.y, &p.eta);
    use_level(false);
    lay_a(false, p.r, p.xi, p.eta);
    p.score = score(false, p.x, p.y, t1, false);
    p.found = true;
    return p;
  }

 private:
  static int first_multiple(int lo, int step) {
    int q = lo / step;
    if (q * step < lo) ++q;
    return q * step;
  }

  const Grid &a_;
  const Grid &b_;
  const Layout &lay_;
  uint32_t flags_;
  int32_t good_enough_;
  Canvas ca_, cb_;
  RowExtent *ea_ = nullptr, *eb_ = nullptr;
  Box box_a_, box_b_;
  int b_level_ = -1;
  int a_fine_ = -1, a_r_ = 0, a_xi_ = 0, a_eta_ = 0;  // what the A canvas holds
  Level coarse_{}, fine_{};
  // Score weights by pair count, per level (they depend on the level's
  // scale value only).
  static constexpr uint32_t kWeightMemory = 1024;
  uint32_t weights_[2][kWeightMemory] = {};
};

}  // namespace

extern "C" {

uint32_t qx_spectral_match_required_mem(const uint8_t *features_a, uint32_t length_a,
                                        const uint8_t *features_b, uint32_t length_b,
                                        uint32_t flags) {
  Grid a, b;
  Layout lay;
  if (!read_grid(features_a, length_a, &a) || !read_grid(features_b, length_b, &b) ||
      !plan(a, b, flags, &lay))
    return 0;
  return static_cast<uint32_t>(lay.total);
}

qx_rc qx_spectral_match(void *work, uint32_t work_size, const uint8_t *features_a,
                        uint32_t length_a, const uint8_t *features_b, uint32_t length_b,
                        int32_t level, qx_spectral_result *result, int32_t *decision,
                        qx_spectral_alignment *alignment, uint32_t flags) {
  // The alignment is read before the outputs are cleared.
  const bool from_alignment = (flags & QX_SPECTRAL_AT_ALIGNMENT) && alignment != nullptr;
  qx_spectral_alignment given{};
  if (alignment != nullptr) given = *alignment;
  if (decision != nullptr) *decision = 0;
  if (alignment != nullptr) *alignment = qx_spectral_alignment{};
  const bool aux_room = result != nullptr && result->count >= QX_SPECTRAL_RESULT_COUNT;
  if (result != nullptr) {
    result->score = 0;
    result->status = 0;
    std::fill(result->aux, result->aux + QX_SPECTRAL_AUX_COUNT, uint16_t{0});
  }

  Grid a, b;
  if (!read_grid(features_a, length_a, &a) || !read_grid(features_b, length_b, &b) || level < 0 ||
      level > 12)
    return QX_RC_UNSUPPORTED;
  const int32_t good_enough =
      (flags & QX_SPECTRAL_FULL_ROTATION) ? kGoodEnoughFull[level] : kGoodEnoughLimited[level];
  if (aux_room) result->status = QX_SPECTRAL_STATUS_ACCEPTED;
  if (decision != nullptr && level != 0) *decision = 2;
  if (a.rows == 0) return QX_RC_OK;

  Layout lay;
  if (!plan(a, b, flags, &lay) || work == nullptr || work_size < lay.total) {
    if (result != nullptr) result->status = 0;
    if (decision != nullptr) *decision = 0;
    return QX_RC_UNSUPPORTED;
  }

  // Counts and thresholds.
  const uint64_t na = count_nonempty(a.blocks, static_cast<std::size_t>(a.rows) * a.cols);
  const uint64_t nb = count_nonempty(b.blocks, static_cast<std::size_t>(b.rows) * b.cols);
  const uint64_t e = static_cast<uint64_t>(lay.scale) * lay.scale * na / 1024;
  if (e == 0 || nb == 0) return QX_RC_OK;
  const uint64_t t1 = (nb + e) * 21 / 121;
  int q = std::min(b.rows, b.cols) * 54 / std::max(b.rows, b.cols) - 3;
  q = std::clamp(q, 12, 21);
  const uint64_t t2 = (nb + e) * static_cast<uint64_t>(q) / static_cast<uint64_t>(q + 100);
  const int step = e > 168 ? 3 : 2;
  const bool sampled = !(flags & QX_SPECTRAL_SMALL_SENSOR) && e > 168 && nb > 168;
  if (static_cast<uint64_t>(std::min(lay.hc, b.rows)) * std::min(lay.wc, b.cols) < t1)
    return QX_RC_OK;
  // Thresholds are pair counts, far below 2^32 for any grid the layout takes.
  const uint32_t t1c = static_cast<uint32_t>(t1), t2c = static_cast<uint32_t>(t2);

  Search search(a, b, lay, static_cast<uint8_t *>(work), flags, good_enough);
  Position best;
  const bool want_aux = aux_room && (flags & QX_SPECTRAL_AUX_VALUES);
  if (from_alignment) {
    best = search.at_alignment(given, t1c);
    if (want_aux) {
      search.aux(best, result->aux);
      result->status = QX_SPECTRAL_STATUS_WRITTEN;
    }
  } else {
    // Rotation candidates: those whose histogram shift overlaps at least
    // half as well as the best shift.
    uint32_t ha[12], hb[12], overlap[12], c = 0;
    hist_ori(a.blocks, static_cast<std::size_t>(a.rows) * a.cols, ha);
    hist_ori(b.blocks, static_cast<std::size_t>(b.rows) * b.cols, hb);
    for (int k = 0; k < 12; ++k) c = std::max(c, overlap[k] = hist_overlap(ha, hb, k));
    bool tried[24] = {};
    const int candidates = (flags & QX_SPECTRAL_FULL_ROTATION) ? 24 : 3;
    for (int k = 0; k < candidates; ++k) {
      const int r = kCoarseRotations[k];
      const int shift = ((r < 0 ? r + 256 : r) + 10) / 21 % 12;
      tried[k] = overlap[shift] >= c / 2;
    }
    best = search.coarse(tried, t1c, t2c, step, sampled);
    if (best.found) {
      const int ar = std::abs(best.r);
      const uint32_t t = static_cast<uint32_t>((static_cast<uint64_t>(ar) * t2c + (256 - ar) * uint64_t{t1c}) / 256);
      search.refine(&best, t);
      if (lay.fine && !search.good_enough(best)) search.fine(&best, 9 * t);
      if (want_aux) {
        search.aux(best, result->aux);
        result->status = QX_SPECTRAL_STATUS_WRITTEN;
      }
    }
  }

  if (decision != nullptr && level != 0) *decision = best.score > good_enough ? 1 : 2;
  uint32_t score = static_cast<uint32_t>(best.score);
  if (!(flags & QX_SPECTRAL_RAW_SCORE)) {
    const int qmax = std::max<int>(std::max(a.quality, b.quality), 75);
    score = std::min<uint32_t>(237 * score / isqrt64(1024 * static_cast<uint64_t>(std::max(40, qmax - 35))), 65535);
  }
  if (result != nullptr) result->score = static_cast<uint16_t>(score);
  if (alignment != nullptr && best.found) search.alignment(best, alignment);
  return QX_RC_OK;
}

}  // extern "C"
