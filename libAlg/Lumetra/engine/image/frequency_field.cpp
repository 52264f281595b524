// Ridge wavelength per block: power spectrum of a tapered window, sharpened
// peaks, sub-bin refinement of the strongest peak beyond the DC region.
#include "engine/image/frequency_field.h"

#include <algorithm>
#include <cstring>

#include "engine/image/fft.h"
#include "engine/image/fixed_math.h"
#include "engine/image/pixel_ops.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_simd.h"

#if QX_SIMD_HAVE_AVX2
#include <immintrin.h>
#endif

namespace {

constexpr int kTaper32[32] = {0,   17,  33,  50,  66,  83,  99,  116, 132, 149, 165, 182, 198, 215, 231, 248,
                          248, 231, 215, 198, 182, 165, 149, 132, 116, 99,  83,  66,  50,  33,  17,  0};
constexpr int kTaper16[16] = {0, 34, 68, 102, 137, 171, 205, 239, 239, 205, 171, 137, 102, 68, 34, 0};

// Sum and sum of squares of the pixels of rows ra .. rb - 1 and columns
// ca .. cb - 1 of the window at (r0, c0).
inline void window_sums(const uint8_t *px, int cols, int r0, int c0, int ra, int rb, int ca, int cb, uint32_t &s,
                        uint32_t &s2) {
  for (int r = ra; r < rb; ++r) {
    const uint8_t *row = px + static_cast<size_t>(r0 + r) * cols + c0;
    for (int c = ca; c < cb; ++c) {
      const uint32_t p = row[c];
      s += p;
      s2 += p * p;
    }
  }
}

// Loads the tapered window of n x n pixels at (r0, c0); returns false when
// the window is untextured.  `threshold_ok` decides on the variance measure.
template <int N>
bool load_window(const uint8_t *px, int rows, int cols, int r0, int c0, const int *taper, int32_t *block,
                 bool (*textured)(uint32_t)) {
  // The part of the window inside the image.
  const int ra = std::max(0, -r0), rb = std::min(N, rows - r0), ca = std::max(0, -c0), cb = std::min(N, cols - c0);
  if (ra >= rb || ca >= cb) return false;
  uint32_t s = 0, s2 = 0;
  const uint32_t n = static_cast<uint32_t>((rb - ra) * (cb - ca));
  window_sums(px, cols, r0, c0, ra, rb, ca, cb, s, s2);
  const uint32_t t = (16u * s2 - s * ((16u * s) / n)) / n;
  if (!textured(t)) return false;
  const int m = static_cast<int>((s + n / 2) / n);
  std::memset(block, 0, sizeof(int32_t) * N * N);
  for (int r = ra; r < rb; ++r) {
    const uint8_t *row = px + static_cast<size_t>(r0 + r) * cols + c0;
    int32_t *out = block + r * N;
    const int tr = taper[r];
    for (int c = ca; c < cb; ++c) out[c] = (static_cast<int32_t>(row[c]) - m) * tr * taper[c] / 16;
  }
  return true;
}

bool textured32(uint32_t t) { return t > 255; }

#if QX_SIMD_HAVE_AVX2
// taper[r] * taper[c] of the 32-point window: (p - m) * taper[r] * taper[c]
// is the same integer whichever product is formed first (it stays below
// 2^24), so the vector path multiplies once per pixel.
struct TaperProducts32 {
  int32_t w[32][32];
  constexpr TaperProducts32() : w{} {
    for (int r = 0; r < 32; ++r)
      for (int c = 0; c < 32; ++c) w[r][c] = kTaper32[r] * kTaper32[c];
  }
};
constexpr TaperProducts32 kTaperProducts32{};

QX_SIMD_AVX2_TARGET inline uint32_t hsum_epi32(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(s));
}

// The picture inside a frame of kFrame zero bytes on every side, for the
// vector window loads: a window that crosses the picture's edge reads the
// zeros there, which add nothing to its sums and whose taper weights are
// masked to 0, which writes the 0 the plain path leaves there.  Every
// window of a block grid starts at most (32 - B) / 2 <= 16 pixels before
// the picture (a window further out takes the plain load), and one that
// starts inside it ends within 32 past it; only rows inside are read.
constexpr int kFrame = 32;
struct Framed {
  qx::Buffer<uint8_t> bytes;
  const uint8_t *origin = nullptr;  // the picture's pixel (0, 0)
  int stride = 0;
  bool make(const uint8_t *px, int rows, int cols) {
    stride = cols + 2 * kFrame;
    const size_t n = static_cast<size_t>(rows + 2 * kFrame) * static_cast<size_t>(stride);
    if (!bytes.alloc(n)) return false;  // zeroed
    uint8_t *o = bytes.get() + static_cast<size_t>(kFrame) * stride + kFrame;
    for (int r = 0; r < rows; ++r)
      std::memcpy(o + static_cast<size_t>(r) * stride, px + static_cast<size_t>(r) * cols, static_cast<size_t>(cols));
    origin = o;
    return true;
  }
};

// load_window<32> with textured32, eight or sixteen pixels at a time, from
// the framed picture: the same sums (integer, in any order) and the same
// tapered values (the division by 16 truncates toward zero, as C's does).
QX_SIMD_AVX2_TARGET bool load_window32_avx2(const Framed &f, int rows, int cols, int r0, int c0, int32_t *block) {
  constexpr int N = 32;
  const int ra = std::max(0, -r0), rb = std::min(N, rows - r0), ca = std::max(0, -c0), cb = std::min(N, cols - c0);
  if (ra >= rb || ca >= cb) return false;
  auto row_of = [&](int r) -> const uint8_t * {
    return f.origin + static_cast<ptrdiff_t>(r0 + r) * f.stride + c0;
  };
  uint32_t s = 0, s2 = 0;
  const uint32_t n = static_cast<uint32_t>((rb - ra) * (cb - ca));
  {
    const __m256i ones = _mm256_set1_epi16(1);
    __m256i vs = _mm256_setzero_si256(), vs2 = _mm256_setzero_si256();
    for (int r = ra; r < rb; ++r) {
      const uint8_t *row = row_of(r);
      const __m256i lo = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(row)));
      const __m256i hi = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(row + 16)));
      vs = _mm256_add_epi32(vs, _mm256_add_epi32(_mm256_madd_epi16(lo, ones), _mm256_madd_epi16(hi, ones)));
      vs2 = _mm256_add_epi32(vs2, _mm256_add_epi32(_mm256_madd_epi16(lo, lo), _mm256_madd_epi16(hi, hi)));
    }
    s = hsum_epi32(vs);
    s2 = hsum_epi32(vs2);
  }
  const uint32_t t = (16u * s2 - s * ((16u * s) / n)) / n;
  if (!textured32(t)) return false;
  const int m = static_cast<int>((s + n / 2) / n);
  // Rows outside the image are zero; every other entry is written below.
  if (ra > 0) std::memset(block, 0, sizeof(int32_t) * N * ra);
  if (rb < N) std::memset(block + rb * N, 0, sizeof(int32_t) * N * (N - rb));
  const __m256i vm = _mm256_set1_epi32(m), v15 = _mm256_set1_epi32(15);
  const __m256i iota = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  __m256i inside[4];
  for (int q = 0; q < 4; ++q) {
    const __m256i col = _mm256_add_epi32(iota, _mm256_set1_epi32(8 * q));
    inside[q] = _mm256_andnot_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(ca), col),
                                    _mm256_cmpgt_epi32(_mm256_set1_epi32(cb), col));
  }
  for (int r = ra; r < rb; ++r) {
    const uint8_t *row = row_of(r);
    int32_t *out = block + r * N;
    const int32_t *w = kTaperProducts32.w[r];
    for (int q = 0; q < 4; ++q) {
      const int c = 8 * q;
      const __m256i p = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(row + c)));
      const __m256i wq = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(w + c)), inside[q]);
      __m256i x = _mm256_mullo_epi32(_mm256_sub_epi32(p, vm), wq);
      x = _mm256_srai_epi32(_mm256_add_epi32(x, _mm256_and_si256(_mm256_srai_epi32(x, 31), v15)), 4);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + c), x);
    }
  }
  return true;
}

#endif

bool textured16(uint32_t t) { return (t >> 4) > 15; }

// Power at (u, v) of an N-point half spectrum, using P(-u, -v) = P(u, v).
template <int N>
int64_t power_at(const uint32_t *p, int u, int v) {
  if (u < 0) {
    u = -u;
    v = -v;
  }
  if (u > N / 2 || v > N / 2 || v < -N / 2) return 0;
  return p[((v + N) % N) * (N / 2 + 1) + u];
}

// The power spectrum around DC, |u|, |v| <= 10, laid out for direct reads
// (0 beyond the transform's own bins).
struct Grid {
  int64_t g[21][21];
  template <int N>
  void load(const uint32_t *p) {
    for (int v = -10; v <= 10; ++v)
      for (int u = -10; u <= 10; ++u) g[v + 10][u + 10] = power_at<N>(p, u, v);
  }
  // The same values as load<N> for N >= 21 (every |u|, |v| <= 10 is a bin
  // of the transform), without the per-entry tests.
  template <int N>
  void load_near_dc(const uint32_t *p) {
    static_assert(N / 2 >= 10, "all bins within the transform");
    constexpr int W = N / 2 + 1;
    for (int v = -10; v <= 10; ++v) {
      const uint32_t *pos = p + ((v + N) % N) * W;   // u >= 0
      const uint32_t *neg = p + ((N - v) % N) * W;   // u < 0 reads (-u, -v)
      int64_t *row = g[v + 10];
      for (int u = 1; u <= 10; ++u) row[10 - u] = neg[u];
      for (int u = 0; u <= 10; ++u) row[10 + u] = pos[u];
    }
  }
  int64_t operator()(int u, int v) const { return g[v + 10][u + 10]; }
};

struct Peak {
  int u, v;
  int64_t s;
};

// Inserts into the list sorted by s, largest first; equal values go behind.
void insert_peak(Peak *list, int &count, const Peak &p) {
  int pos = count;
  while (pos > 0 && list[pos - 1].s < p.s) --pos;
  if (pos >= 5) return;
  const int last = std::min(count, 4);
  for (int k = last; k > pos; --k) list[k] = list[k - 1];
  list[pos] = p;
  if (count < 5) ++count;
}

int64_t shift_by(int64_t v, int m) { return m >= 0 ? v * (int64_t{1} << m) : v / (int64_t{1} << -m); }

// Refined position of a peak in 1/2^frac bin; returns false for an empty
// neighbourhood.
template <typename Power>
bool refine(const Power &pw, const Peak &pk, int frac, int64_t &U, int64_t &V, int64_t &S9) {
  S9 = 0;
  int64_t cx = 0, cy = 0;
  for (int d = -1; d <= 1; ++d) {
    for (int e = -1; e <= 1; ++e) S9 += pw(pk.u + d, pk.v + e);
    cx += pw(pk.u + 1, pk.v + d) - pw(pk.u - 1, pk.v + d);
    cy += pw(pk.u + d, pk.v + 1) - pw(pk.u + d, pk.v - 1);
  }
  if (S9 <= 0 || S9 > 0xFFFFFFFFll) return false;
  const int M = 30 - static_cast<int>(log2_32(static_cast<uint32_t>(S9)));
  const int64_t D = M >= frac ? S9 << (M - frac) : S9 >> (frac - M);
  if (D == 0) return false;
  U = (int64_t{pk.u} << frac) + shift_by(cx, M) / D;
  V = (int64_t{pk.v} << frac) + shift_by(cy, M) / D;
  return true;
}

// Doubled angle of a refined peak position.
int peak_angle(int64_t U, int64_t V, uint32_t d) {
  const int R = 30 - static_cast<int>(log2_32(d));
  const int64_t Dp = R >= 15 ? int64_t{d} << (R - 15) : int64_t{d} >> (15 - R);
  if (Dp == 0) return 0;
  const int64_t Y = shift_by(2 * U * V, R) / Dp;
  const int64_t X = shift_by(U * U - V * V, R) / Dp;
  return atan2_(static_cast<int32_t>(Y), static_cast<int32_t>(X)) & 255;
}

// Walks the peak list strongest first and takes the first peak whose
// refined distance from the centre exceeds dmin.  kNoPeak: none does;
// kWeakPeak: that peak is too far out or too weak against the block's
// energy E; kGoodPeak: U, V and d describe it.
enum PeakChoice { kNoPeak, kWeakPeak, kGoodPeak };

template <typename Power>
PeakChoice choose_peak(const Power &pw, const Peak *list, int count, int frac, int64_t dmin, int64_t E,
                       int64_t &U, int64_t &V, uint32_t &d) {
  for (int i = 0; i < count; ++i) {
    int64_t S9;
    if (!refine(pw, list[i], frac, U, V, S9)) continue;
    const int64_t dd = U * U + V * V;
    if (dd <= dmin) continue;
    if (dd > 0xFFFFFFFFll || S9 < (E >> 3)) return kWeakPeak;
    d = static_cast<uint32_t>(dd);
    return kGoodPeak;
  }
  return kNoPeak;
}

#if QX_SIMD_HAVE_AVX2
// The power spectrum around DC as the vector search lays it out: rows
// v = -8 .. 8, columns u = -4 .. 11, every bin that the energy, the
// sharpening and the peak refinement of a 32-point window read (and a few
// more, to fill whole vectors).
struct NearGrid {
  alignas(32) int64_t g[17][16];
  int64_t operator()(int u, int v) const { return g[v + 8][u + 4]; }
};

QX_SIMD_AVX2_TARGET inline __m256i at4(const int64_t *p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

// The search of one 32-point window, from its half spectrum (columns
// 0 .. 11 of the rows |v| <= 8 transformed), four bins at a time in 64-bit
// lanes: the power (a^2 + b^2) >> 10 truncated to 32 bits, the energy E,
// the sharpened values over -1 <= u <= 6, -6 <= v <= 6 and the bins that
// are at least their eight neighbours, which are then offered to the peak
// list in the plain search's order.  The same integers as the plain
// search (sums in another order, the same comparisons); returns the
// number of peaks listed.
QX_SIMD_AVX2_TARGET int near_dc_peaks32_avx2(const int32_t *re, const int32_t *im, NearGrid &G, int64_t &E,
                                             Peak *list) {
  constexpr int N = 32, W = N / 2 + 1;
  const __m256i low32 = _mm256_set1_epi64x(0xFFFFFFFFll);
  for (int v = -8; v <= 8; ++v) {
    const int row = ((v + N) % N) * W;
    int64_t *g = G.g[v + 8] + 4;
    for (int u = 0; u < 12; u += 4) {
      const __m256i a = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i *>(re + row + u)));
      const __m256i b = _mm256_cvtepi32_epi64(_mm_loadu_si128(reinterpret_cast<const __m128i *>(im + row + u)));
      const __m256i p = _mm256_srli_epi64(_mm256_add_epi64(_mm256_mul_epi32(a, a), _mm256_mul_epi32(b, b)), 10);
      _mm256_store_si256(reinterpret_cast<__m256i *>(g + u), _mm256_and_si256(p, low32));
    }
  }
  // P(-u, v) = P(u, -v): columns -4 .. -1 are columns 4 .. 1 of the mirrored row.
  for (int v = -8; v <= 8; ++v)
    _mm256_store_si256(reinterpret_cast<__m256i *>(G.g[v + 8]), _mm256_permute4x64_epi64(at4(G.g[8 - v] + 5), 0x1B));
  __m256i e = _mm256_setzero_si256();
  for (int v = -8; v <= 8; ++v) e = _mm256_add_epi64(e, _mm256_add_epi64(at4(G.g[v + 8] + 5), at4(G.g[v + 8] + 9)));
  alignas(32) int64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i *>(lanes), e);
  E = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  for (int v = 1; v <= 8; ++v) E += G(0, v);
  const __m256i F = _mm256_set1_epi64x(E >> 7), zero = _mm256_setzero_si256();
  // Sharpened values at column index u + 4 of rows v + 7, zero around the
  // computed part (u = 7, v = -7 and v = 7), as the plain search reads them.
  alignas(32) int64_t S[15][16];
  for (int k = 0; k < 16; k += 4) {
    _mm256_store_si256(reinterpret_cast<__m256i *>(S[0] + k), zero);
    _mm256_store_si256(reinterpret_cast<__m256i *>(S[14] + k), zero);
  }
  for (int v = -6; v <= 6; ++v) {
    const int64_t *g0 = G.g[v + 8], *gu = G.g[v + 7], *gd = G.g[v + 9], *gu2 = G.g[v + 6], *gd2 = G.g[v + 10];
    for (int x = 3; x <= 7; x += 4) {  // u = -1 .. 2 and 3 .. 6
      const __m256i c = at4(g0 + x);
      const __m256i n1 = _mm256_add_epi64(_mm256_add_epi64(at4(g0 + x + 1), at4(g0 + x - 1)),
                                          _mm256_add_epi64(at4(gd + x), at4(gu + x)));
      const __m256i n2 = _mm256_add_epi64(_mm256_add_epi64(at4(gd + x + 1), at4(gu + x + 1)),
                                          _mm256_add_epi64(at4(gd + x - 1), at4(gu + x - 1)));
      const __m256i n3 = _mm256_add_epi64(_mm256_add_epi64(at4(g0 + x + 2), at4(g0 + x - 2)),
                                          _mm256_add_epi64(at4(gd2 + x), at4(gu2 + x)));
      __m256i sv = _mm256_sub_epi64(_mm256_slli_epi64(c, 4), _mm256_slli_epi64(n1, 1));
      sv = _mm256_sub_epi64(_mm256_sub_epi64(sv, n2), n3);
      sv = _mm256_and_si256(sv, _mm256_cmpgt_epi64(c, F));
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(S[v + 7] + x), sv);
    }
    S[v + 7][11] = 0;
  }
  // Bins u = 0 .. 6 that no neighbour exceeds, with a positive value (the
  // list takes nothing at or below 0).
  int count = 0;
  for (int v = 6; v >= -6; --v) {
    unsigned top = 0;
    for (int x = 4; x <= 8; x += 4) {
      const int64_t *up = S[v + 6] + x, *mid = S[v + 7] + x, *down = S[v + 8] + x;
      const __m256i sv = at4(mid);
      __m256i above = _mm256_cmpgt_epi64(at4(mid - 1), sv);
      above = _mm256_or_si256(above, _mm256_cmpgt_epi64(at4(mid + 1), sv));
      above = _mm256_or_si256(above, _mm256_cmpgt_epi64(at4(up - 1), sv));
      above = _mm256_or_si256(above, _mm256_cmpgt_epi64(at4(up), sv));
      above = _mm256_or_si256(above, _mm256_cmpgt_epi64(at4(up + 1), sv));
      above = _mm256_or_si256(above, _mm256_cmpgt_epi64(at4(down - 1), sv));
      above = _mm256_or_si256(above, _mm256_cmpgt_epi64(at4(down), sv));
      above = _mm256_or_si256(above, _mm256_cmpgt_epi64(at4(down + 1), sv));
      const __m256i keep = _mm256_andnot_si256(above, _mm256_cmpgt_epi64(sv, zero));
      top |= static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(keep))) << (x - 4);
    }
    top &= v >= 1 ? 0x7Fu : 0x7Eu;  // u <= 6; u = 0 only above the axis
    for (int u = 6; top != 0 && u >= 0; --u) {
      if (!((top >> u) & 1)) continue;
      const int64_t sv = S[v + 7][u + 4];
      const int64_t fifth = count < 5 ? 0 : list[4].s;
      if (sv > fifth) insert_peak(list, count, Peak{u, v, sv});
    }
  }
  return count;
}
#endif

}  // namespace

extern "C" int ridge_peak_position32(const uint32_t *power, int u, int v, int64_t *U, int64_t *V, int64_t *S9) {
  Grid g;
  g.load<32>(power);
  return refine(g, Peak{u, v, 0}, 12, *U, *V, *S9) ? 0 : 1;
}

extern "C" int ridge_peak_wavelength32(int64_t U, int64_t V, int *angle) {
  const int64_t d = U * U + V * V;
  *angle = 0;
  if (d <= 47586034 || d > 0xFFFFFFFFll) return 0;
  *angle = peak_angle(U, V, static_cast<uint32_t>(d));
  return static_cast<int>((int64_t{1} << 25) / sqrt_32(static_cast<uint32_t>(d)));
}

extern "C" qxi_status ridge_wavelengths_fft(const uint8_t *pixels, int rows, int cols, int B, int longest, int shortest,
                                            int brows, int bcols, uint16_t *wavelengths, uint8_t *freq_field,
                                            uint8_t *orient_field) {
  return ridge_wavelengths_fft_in_mask(pixels, rows, cols, B, longest, shortest, brows, bcols, wavelengths,
                                       freq_field, orient_field, nullptr, 0, 1);
}

extern "C" qxi_status ridge_wavelengths_fft_in_mask(const uint8_t *pixels, int rows, int cols, int B, int longest,
                                                    int shortest, int brows, int bcols, uint16_t *wavelengths,
                                                    uint8_t *freq_field, uint8_t *orient_field, const uint8_t *mask,
                                                    int mask_cols, int mask_div) {
  constexpr int N = 32, W = N / 2 + 1;
  qx::Buffer<int32_t> block, re, im, scratch;
  qx::Buffer<uint32_t> power;
  if (!block.alloc(N * N) || !re.alloc(N * W) || !im.alloc(N * W) || !scratch.alloc(FFT_SCRATCH_WORDS(N)) ||
      !power.alloc(N * W))
    return QXI_NO_MEMORY;
  const int64_t wmax = 256 * longest, wmin = 256 * shortest;
  const bool avx2 = qx_simd_use_avx2() != 0;
#if QX_SIMD_HAVE_AVX2
  Framed framed;
  if (avx2 && !framed.make(pixels, rows, cols)) return QXI_NO_MEMORY;
#endif
  // Block k from the peak list of its window.
  auto take_peak = [&](size_t k, const auto &P, const Peak *list, int count, int64_t E) {
    int64_t U, V;
    uint32_t d;
    if (choose_peak(P, list, count, 12, 47586034, E, U, V, d) != kGoodPeak) {
      if (orient_field) orient_field[k] = 0;
      return;
    }
    const int64_t Wl = (int64_t{1} << 25) / sqrt_32(d);
    if (orient_field) orient_field[k] = static_cast<uint8_t>(peak_angle(U, V, d));
    if (Wl > wmax || Wl < wmin) return;
    wavelengths[k] = static_cast<uint16_t>(Wl);
    if (freq_field) freq_field[k] = static_cast<uint8_t>(std::min<int64_t>(255, ((1 << 18) + Wl / 2) / Wl));
  };
  for (int br = 0; br < brows; ++br)
    for (int bc = 0; bc < bcols; ++bc) {
      const size_t k = static_cast<size_t>(br) * bcols + bc;
      wavelengths[k] = 0;
      if (freq_field) freq_field[k] = 0;
      if (mask != nullptr && !mask[static_cast<size_t>(br / mask_div) * mask_cols + bc / mask_div]) {
        if (orient_field) orient_field[k] = 0;
        continue;
      }
      const int r0 = br * B - (N - B) / 2, c0 = bc * B - (N - B) / 2;
#if QX_SIMD_HAVE_AVX2
      const bool textured = avx2 && c0 >= -kFrame ? load_window32_avx2(framed, rows, cols, r0, c0, block.get())
                                 : load_window<32>(pixels, rows, cols, r0, c0, kTaper32, block.get(), textured32);
#else
      const bool textured = load_window<32>(pixels, rows, cols, r0, c0, kTaper32, block.get(), textured32);
#endif
      if (!textured) continue;  // untextured: the orientation entry stays as it is
      // The spectrum is read only around DC (|u|, |v| <= 10, see Grid): the
      // higher horizontal frequencies are neither transformed nor squared.
      constexpr int kColumns = 11;
      fftn2d32_columns(block.get(), re.get(), im.get(), kColumns);
#if QX_SIMD_HAVE_AVX2
      if (avx2) {
        NearGrid G;
        Peak list[5];
        int64_t E;
        const int count = near_dc_peaks32_avx2(re.get(), im.get(), G, E, list);
        take_peak(k, G, list, count, E);
        continue;
      }
#endif
      // Only the rows of |v| <= 10 are squared (the Grid reads no others).
      for (int v = 0; v < N; ++v) {
        if (v > 10 && v < N - 10) continue;
        for (int u = 0; u < kColumns; ++u) {
          const int i = v * W + u;
          const int64_t a = re[i], b = im[i];
          power[i] = static_cast<uint32_t>((a * a + b * b) >> 10);
        }
      }
      Grid P;
      P.load_near_dc<N>(power.get());
      int64_t E = 0;
      for (int u = 1; u <= 8; ++u)
        for (int v = -8; v <= 8; ++v) E += P(u, v);
      for (int v = 1; v <= 8; ++v) E += P(0, v);
      const int64_t F = E >> 7;
      // Sharpened spectrum over -1 <= u <= 6, -6 <= v <= 6 (0 elsewhere).
      int64_t S[8][13];
      for (int u = -1; u <= 6; ++u)
        for (int v = -6; v <= 6; ++v) {
          const int64_t p = P(u, v);
          int64_t s = 0;
          if (p > F) {
            s = 16 * p -
                2 * (P(u + 1, v) + P(u - 1, v) + P(u, v + 1) +
                     P(u, v - 1)) -
                (P(u + 1, v + 1) + P(u + 1, v - 1) + P(u - 1, v + 1) +
                 P(u - 1, v - 1)) -
                (P(u + 2, v) + P(u - 2, v) + P(u, v + 2) +
                 P(u, v - 2));
          }
          S[u + 1][v + 6] = s;
        }
      auto sharp = [&](int u, int v) -> int64_t {
        if (u < -1 || u > 6 || v < -6 || v > 6) return QXI_OK;
        return S[u + 1][v + 6];
      };
      Peak list[5];
      int count = 0;
      for (int v = 6; v >= -6; --v)
        for (int u = 6; u >= (v >= 1 ? 0 : 1); --u) {
          const int64_t s = sharp(u, v);
          const int64_t fifth = count < 5 ? 0 : list[4].s;
          if (s <= fifth) continue;  // not a candidate, peak or not
          bool top = true;
          for (int du = -1; du <= 1 && top; ++du)
            for (int dv = -1; dv <= 1; ++dv)
              if ((du || dv) && sharp(u + du, v + dv) > s) {
                top = false;
                break;
              }
          if (top) insert_peak(list, count, Peak{u, v, s});
        }
      take_peak(k, P, list, count, E);
    }
  return QXI_OK;
}

extern "C" void fftn2d8rw_spectrum16(const int32_t *block, uint32_t *power, int32_t *scratch) {
  constexpr int N = 16, W = N / 2 + 1;
  int32_t re[N * W], im[N * W];
  fftn2d16(block, re, im, scratch);
  for (int i = 0; i < N * W; ++i) {
    const int64_t a = re[i], b = im[i];
    power[i] = static_cast<uint32_t>((a * a + b * b) >> 10);
  }
}

extern "C" qxi_status ridge_wavelengths_fft16(const uint8_t *pixels, int rows, int cols, int B, int longest, int shortest,
                                              int brows, int bcols, uint16_t *wavelengths, uint8_t *freq_field,
                                              uint8_t *orient_field) {
  constexpr int N = 16, W = N / 2 + 1;
  int32_t block[N * N], scratch[FFT_SCRATCH_WORDS(N)];
  uint32_t spectrum[N * W];
  const int64_t wmax = 256 * longest, wmin = 256 * shortest;
  for (int br = 0; br < brows; ++br)
    for (int bc = 0; bc < bcols; ++bc) {
      const size_t k = static_cast<size_t>(br) * bcols + bc;
      wavelengths[k] = 0;
      if (freq_field) freq_field[k] = 0;
      if (!load_window<N>(pixels, rows, cols, br * B - (N - B) / 2, bc * B - (N - B) / 2, kTaper16, block,
                          textured16))
        continue;
      fftn2d8rw_spectrum16(block, spectrum, scratch);
      Grid P;
      P.load<N>(spectrum);
      int64_t E = 0;
      for (int u = 1; u <= 8; ++u)
        for (int v = -8; v <= 8; ++v) E += P(u, v);
      for (int v = -8; v <= -1; ++v) E += P(0, v);
      const int64_t F = E >> 7;
      int64_t S[7][13];
      for (int u = 0; u <= 6; ++u)
        for (int v = -6; v <= 6; ++v) {
          const int64_t p = P(u, v);
          S[u][v + 6] = p > F ? 4 * p - (P(u + 1, v) + P(u - 1, v) +
                                         P(u, v + 1) + P(u, v - 1))
                              : 0;
        }
      auto sharp = [&](int u, int v) -> int64_t {
        if (u < 0 || u > 6 || v < -6 || v > 6) return QXI_OK;
        return S[u][v + 6];
      };
      Peak list[5];
      int count = 0;
      for (int v = -6; v <= 6; ++v)
        for (int u = (v >= 1 ? 0 : 1); u <= 6; ++u) {
          const int64_t s = sharp(u, v);
          const bool top = s >= sharp(u + 1, v) && s >= sharp(u - 1, v) && s >= sharp(u, v + 1) &&
                           s >= sharp(u, v - 1);
          const int64_t fifth = count < 5 ? 0 : list[4].s;
          if (top && s > fifth) insert_peak(list, count, Peak{u, v, s});
        }
      int64_t U, V;
      uint32_t d;
      if (choose_peak(P, list, count, 11, 11896508, E, U, V, d) != kGoodPeak) {
        if (orient_field) orient_field[k] = 0;
        continue;
      }
      const int64_t K = std::min<int64_t>(255, ((sqrt_32(d) / 2) + 16) >> 5);
      if (freq_field) freq_field[k] = static_cast<uint8_t>(K);
      if (orient_field) orient_field[k] = static_cast<uint8_t>(peak_angle(U, V, d));
      const int64_t Wl = ((1 << 18) + K / 2) / K;
      if (Wl > wmax || Wl < wmin) continue;
      wavelengths[k] = static_cast<uint16_t>(Wl);
    }
  return QXI_OK;
}

extern "C" qxi_status filter_wavelengths(uint16_t *w, int brows, int bcols) {
  const size_t nb = static_cast<size_t>(brows) * bcols;
  qx::Buffer<uint16_t> copy;
  if (!copy.alloc(nb)) return QXI_NO_MEMORY;
  std::memcpy(copy.get(), w, nb * sizeof(uint16_t));
  static const int kDr[4] = {-1, 1, 0, 0}, kDc[4] = {0, 0, -1, 1};
  for (int r = 0; r < brows; ++r)
    for (int c = 0; c < bcols; ++c) {
      const size_t k = static_cast<size_t>(r) * bcols + c;
      if (!copy[k]) continue;
      uint32_t sum = copy[k], lo = copy[k], hi = copy[k], n = 1;
      for (int d = 0; d < 4; ++d) {
        const int rr = r + kDr[d], cc = c + kDc[d];
        if (rr < 0 || rr >= brows || cc < 0 || cc >= bcols) continue;
        const uint32_t v = copy[static_cast<size_t>(rr) * bcols + cc];
        if (!v) continue;
        sum += v;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        ++n;
      }
      if (n == 1)
        w[k] = 0;
      else if (n == 2)
        w[k] = static_cast<uint16_t>(sum / 2);
      else
        w[k] = static_cast<uint16_t>((sum - lo - hi) / (n - 2));
    }
  return QXI_OK;
}

extern "C" qxi_status postprocess_frequency_field(uint16_t *w, int brows, int bcols, uint8_t *out) {
  const size_t nb = static_cast<size_t>(brows) * bcols;
  if (nb == 0) return QXI_OK;
  qx::Buffer<uint16_t> copy;
  if (!copy.alloc(nb)) return QXI_NO_MEMORY;
  for (int pass = 0; pass < 2; ++pass)
    if (filter_wavelengths(w, brows, bcols) != QXI_OK) return QXI_NO_MEMORY;
  bool any = false;
  for (size_t k = 0; k < nb; ++k) any = any || w[k] != 0;
  if (!any) w[0] = 2560;
  // Fill the unknown cells from their known neighbours until nothing changes.
  for (bool filled = true; filled;) {
    filled = false;
    std::memcpy(copy.get(), w, nb * sizeof(uint16_t));
    for (int r = 0; r < brows; ++r)
      for (int c = 0; c < bcols; ++c) {
        const size_t k = static_cast<size_t>(r) * bcols + c;
        if (copy[k]) continue;
        uint32_t sum = 0, n = 0;
        for (int rr = std::max(0, r - 1); rr <= std::min(brows - 1, r + 1); ++rr)
          for (int cc = std::max(0, c - 1); cc <= std::min(bcols - 1, c + 1); ++cc) {
            const uint16_t v = copy[static_cast<size_t>(rr) * bcols + cc];
            if (v) {
              sum += v;
              ++n;
            }
          }
        if (n) {
          w[k] = static_cast<uint16_t>(sum / n);
          filled = true;
        }
      }
  }
  bal_blur_weighted_uint16(w, brows, bcols, w);
  for (size_t k = 0; k < nb; ++k) out[k] = static_cast<uint8_t>(std::min(255, (w[k] + 128) >> 8));
  return QXI_OK;
}
