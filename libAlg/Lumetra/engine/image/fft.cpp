// Integer Fourier transforms: radix-4 first level, radix-2 after it,
// decimation in time, one halving per level.
#include "engine/image/fft.h"

#include <array>
#include <cstddef>
#include <utility>

#include "engine/qx_simd.h"

#if QX_SIMD_HAVE_AVX2
#include <immintrin.h>
#endif

namespace {

// cos(2 pi j / 64) in Q10.  The 16- and 32-point transforms read every
// 4th and 2nd entry; sin(2 pi j / 64) is cos of j - 16.
constexpr int32_t kCos64[64] = {
    1024, 1019, 1004, 980,  946,  903,  851,  792,  724,  650,  569,  483,  392,  297,  200,  100,
    0,    -100, -200, -297, -392, -483, -569, -650, -724, -792, -851, -903, -946, -980, -1004, -1019,
    -1024, -1019, -1004, -980, -946, -903, -851, -792, -724, -650, -569, -483, -392, -297, -200, -100,
    0,    100,  200,  297,  392,  483,  569,  650,  724,  792,  851,  903,  946,  980,  1004, 1019};

constexpr int32_t cos64(int j) { return kCos64[j & 63]; }
constexpr int32_t sin64(int j) { return kCos64[(j - 16) & 63]; }

constexpr int log2_of(int n) { return n == 1 ? 0 : 1 + log2_of(n / 2); }

// Bit-reversal permutation of N indices, built at compile time.
template <int N>
struct BitReverse {
  std::array<uint8_t, N> index{};
  constexpr BitReverse() {
    for (int i = 0; i < N; ++i) {
      int r = 0;
      for (int b = 0; b < log2_of(N); ++b) r |= ((i >> b) & 1) << (log2_of(N) - 1 - b);
      index[i] = static_cast<uint8_t>(r);
    }
  }
};
template <int N>
constexpr BitReverse<N> kBitReverse{};

// Twiddle product (a + ib) * (c + is), Q10, rounded.
inline void twiddle(int32_t a, int32_t b, int32_t c, int32_t s, int32_t &out_re, int32_t &out_im) {
  out_re = static_cast<int32_t>((static_cast<int64_t>(a) * c - static_cast<int64_t>(b) * s + 512) >> 10);
  out_im = static_cast<int32_t>((static_cast<int64_t>(b) * c + static_cast<int64_t>(a) * s + 512) >> 10);
}

// Complex N-point transform in place.  Forward uses e^(-2 pi i k n / N),
// inverse e^(+2 pi i k n / N); both divide by N through arithmetic
// shifts: the radix-4 level by 4, each radix-2 level by 2.  Each shift
// rounds half up (adds half a unit first), so that the twelve levels of a
// 64-point forward/inverse pair do not pile up a downward bias; a value
// that is already a multiple of the divisor passes unchanged, which keeps
// constant blocks exact.
template <int N, bool Inverse>
void transform(int32_t *re, int32_t *im) {
  static_assert(N >= 4 && N <= 64 && (N & (N - 1)) == 0, "16, 32 or 64 points");
  for (int i = 0; i < N; ++i) {
    const int j = kBitReverse<N>.index[i];
    if (j > i) {
      const int32_t tr = re[i], ti = im[i];
      re[i] = re[j];
      im[i] = im[j];
      re[j] = tr;
      im[j] = ti;
    }
  }
  // Radix-4 level on groups of four (in bit-reversed order the group
  // holds x[n], x[n + N/2], x[n + N/4], x[n + 3N/4]).
  for (int g = 0; g < N; g += 4) {
    const int32_t b0r = re[g] + re[g + 1], b0i = im[g] + im[g + 1];
    const int32_t b1r = re[g] - re[g + 1], b1i = im[g] - im[g + 1];
    const int32_t b2r = re[g + 2] + re[g + 3], b2i = im[g + 2] + im[g + 3];
    const int32_t b3r = re[g + 2] - re[g + 3], b3i = im[g + 2] - im[g + 3];
    // b3 times -i (forward) or +i (inverse).
    const int32_t wr = Inverse ? -b3i : b3i;
    const int32_t wi = Inverse ? b3r : -b3r;
    re[g] = (b0r + b2r + 2) >> 2;
    im[g] = (b0i + b2i + 2) >> 2;
    re[g + 2] = (b0r - b2r + 2) >> 2;
    im[g + 2] = (b0i - b2i + 2) >> 2;
    re[g + 1] = (b1r + wr + 2) >> 2;
    im[g + 1] = (b1i + wi + 2) >> 2;
    re[g + 3] = (b1r - wr + 2) >> 2;
    im[g + 3] = (b1i - wi + 2) >> 2;
  }
  // Radix-2 levels.
  for (int span = 4; span < N; span *= 2) {
    const int step = 32 / span;  // twiddle index step in 64ths of a turn
    for (int g = 0; g < N; g += 2 * span) {
      for (int k = 0; k < span; ++k) {
        const int t = k * step;
        const int32_t c = cos64(t);
        const int32_t s = Inverse ? sin64(t) : -sin64(t);
        int32_t pr, pi;
        twiddle(re[g + k + span], im[g + k + span], c, s, pr, pi);
        const int32_t ar = re[g + k], ai = im[g + k];
        re[g + k] = (ar + pr + 1) >> 1;
        im[g + k] = (ai + pi + 1) >> 1;
        re[g + k + span] = (ar - pr + 1) >> 1;
        im[g + k + span] = (ai - pi + 1) >> 1;
      }
    }
  }
}

// The 2-D transforms are also built for AVX2 and picked at run time where
// the processor has it: integer arithmetic, so both builds give the same
// bits, the wider one in fewer instructions (four 64-bit products at once).
#if QX_SIMD_HAVE_AVX2
#define LUMETRA_INLINE inline __attribute__((always_inline))
#define LUMETRA_HAVE_AVX2 1
#else
#define LUMETRA_INLINE inline
#define LUMETRA_HAVE_AVX2 0
#endif

// The lane loops of transform_lanes.  Two rows of one level never overlap
// (lanes <= stride), which the restrict qualifiers tell the compiler, so
// that it vectorises them without run-time overlap checks.
template <int L>
LUMETRA_INLINE void swap_lanes(int32_t *__restrict a, int32_t *__restrict b, int lanes_in) {
  const int lanes = L > 0 ? L : lanes_in;
  for (int l = 0; l < lanes; ++l) {
    const int32_t t = a[l];
    a[l] = b[l];
    b[l] = t;
  }
}

// Radix-2 butterfly with twiddle 1: the rounded Q10 product is the value
// itself.
template <int L>
LUMETRA_INLINE void butterfly_unit(int32_t *__restrict ar, int32_t *__restrict ai, int32_t *__restrict br,
                                   int32_t *__restrict bi, int lanes_in) {
  const int lanes = L > 0 ? L : lanes_in;
  for (int l = 0; l < lanes; ++l) {
    const int32_t pr = br[l], pi = bi[l], xr = ar[l], xi = ai[l];
    ar[l] = (xr + pr + 1) >> 1;
    ai[l] = (xi + pi + 1) >> 1;
    br[l] = (xr - pr + 1) >> 1;
    bi[l] = (xi - pi + 1) >> 1;
  }
}

template <int L, bool Narrow>
LUMETRA_INLINE void butterfly(int32_t *__restrict ar, int32_t *__restrict ai, int32_t *__restrict br,
                              int32_t *__restrict bi, int32_t c32, int32_t s32, int lanes_in) {
  const int lanes = L > 0 ? L : lanes_in;
  if constexpr (Narrow) {
    const uint32_t c = static_cast<uint32_t>(c32), s = static_cast<uint32_t>(s32);
    for (int l = 0; l < lanes; ++l) {
      const uint32_t a = static_cast<uint32_t>(br[l]), b = static_cast<uint32_t>(bi[l]);
      const int32_t pr = static_cast<int32_t>(a * c - b * s + 512u) >> 10;
      const int32_t pi = static_cast<int32_t>(b * c + a * s + 512u) >> 10;
      const int32_t xr = ar[l], xi = ai[l];
      ar[l] = (xr + pr + 1) >> 1;
      ai[l] = (xi + pi + 1) >> 1;
      br[l] = (xr - pr + 1) >> 1;
      bi[l] = (xi - pi + 1) >> 1;
    }
  } else {
    const int64_t c = c32, s = s32;
    for (int l = 0; l < lanes; ++l) {
      const int64_t a = br[l], b = bi[l];
      const int32_t pr = static_cast<int32_t>((a * c - b * s + 512) >> 10);
      const int32_t pi = static_cast<int32_t>((b * c + a * s + 512) >> 10);
      const int32_t xr = ar[l], xi = ai[l];
      ar[l] = (xr + pr + 1) >> 1;
      ai[l] = (xi + pi + 1) >> 1;
      br[l] = (xr - pr + 1) >> 1;
      bi[l] = (xi - pi + 1) >> 1;
    }
  }
}

// Radix-4 first level on one group of four rows.
template <int L, bool Inverse>
LUMETRA_INLINE void radix4_lanes(int32_t *__restrict r0, int32_t *__restrict r1, int32_t *__restrict r2,
                                 int32_t *__restrict r3, int32_t *__restrict i0, int32_t *__restrict i1,
                                 int32_t *__restrict i2, int32_t *__restrict i3, int lanes_in) {
  const int lanes = L > 0 ? L : lanes_in;
  for (int l = 0; l < lanes; ++l) {
    const int32_t b0r = r0[l] + r1[l], b0i = i0[l] + i1[l];
    const int32_t b1r = r0[l] - r1[l], b1i = i0[l] - i1[l];
    const int32_t b2r = r2[l] + r3[l], b2i = i2[l] + i3[l];
    const int32_t b3r = r2[l] - r3[l], b3i = i2[l] - i3[l];
    const int32_t wr = Inverse ? -b3i : b3i;
    const int32_t wi = Inverse ? b3r : -b3r;
    r0[l] = (b0r + b2r + 2) >> 2;
    i0[l] = (b0i + b2i + 2) >> 2;
    r2[l] = (b0r - b2r + 2) >> 2;
    i2[l] = (b0i - b2i + 2) >> 2;
    r1[l] = (b1r + wr + 2) >> 2;
    i1[l] = (b1i + wi + 2) >> 2;
    r3[l] = (b1r - wr + 2) >> 2;
    i3[l] = (b1i - wi + 2) >> 2;
  }
}

// Butterfly k of every group of one radix-2 level (span Span), with its
// twiddle as a constant: the same arithmetic as the loop of
// transform_lanes.
template <int N, bool Inverse, int L, bool Narrow, int Span, int K>
LUMETRA_INLINE void radix2_butterfly(int32_t *gr, int32_t *gi, int stride, int lanes_in) {
  constexpr int t = K * (32 / Span);
  int32_t *ar = gr + K * stride, *ai = gi + K * stride;
  int32_t *br = gr + (K + Span) * stride, *bi = gi + (K + Span) * stride;
  if constexpr (t == 0)
    butterfly_unit<L>(ar, ai, br, bi, lanes_in);
  else
    butterfly<L, Narrow>(ar, ai, br, bi, cos64(t), Inverse ? sin64(t) : -sin64(t), lanes_in);
}

template <int N, bool Inverse, int L, bool Narrow, int Span, int... K>
LUMETRA_INLINE void radix2_level(int32_t *re, int32_t *im, int stride, int lanes_in, std::integer_sequence<int, K...>) {
  for (int g = 0; g < N; g += 2 * Span)
    (radix2_butterfly<N, Inverse, L, Narrow, Span, K>(re + g * stride, im + g * stride, stride, lanes_in), ...);
}

// Every radix-2 level, spans 4, 8, ... N / 2.  (Plain inline functions
// rather than a lambda: they take on the vector target of the transform
// they are inlined into.)
template <int N, bool Inverse, int L, bool Narrow, int... S>
LUMETRA_INLINE void radix2_levels(int32_t *re, int32_t *im, int stride, int lanes_in, std::integer_sequence<int, S...>) {
  (radix2_level<N, Inverse, L, Narrow, (4 << S)>(re, im, stride, lanes_in, std::make_integer_sequence<int, (4 << S)>{}),
   ...);
}

// The same transform on several sequences at once: element n of sequence
// l sits at re[n * stride + l], l < lanes.  Every butterfly runs across
// the lanes in the innermost loop, which keeps the data in place (no
// gather into a scratch line and back) and lets the compiler vectorise
// the additions and shifts.  Per value the arithmetic is exactly that of
// transform<N, Inverse>.
// L > 0 fixes the number of lanes at compile time (fully unrolled inner
// loops); L == 0 takes it from `lanes_in`.
// Narrow: the caller guarantees that every twiddle numerator
// a * c - b * s + 512 fits in 32 bits; the products are then formed in
// wrapping 32-bit arithmetic (twice the lanes per vector), whose result is
// the exact value whenever the exact value fits.
// Permuted: the caller has already stored the sequences in bit-reversed
// order of n.
template <int N, bool Inverse, int L = 0, bool Narrow = false, bool Permuted = false>
LUMETRA_INLINE void transform_lanes(int32_t *re, int32_t *im, int stride, int lanes_in) {
  if constexpr (!Permuted) {
    for (int i = 0; i < N; ++i) {
      const int j = kBitReverse<N>.index[i];
      if (j > i) {
        swap_lanes<L>(re + i * stride, re + j * stride, lanes_in);
        swap_lanes<L>(im + i * stride, im + j * stride, lanes_in);
      }
    }
  }
  for (int g = 0; g < N; g += 4) {
    int32_t *r0 = re + g * stride, *i0 = im + g * stride;
    radix4_lanes<L, Inverse>(r0, r0 + stride, r0 + 2 * stride, r0 + 3 * stride, i0, i0 + stride, i0 + 2 * stride,
                             i0 + 3 * stride, lanes_in);
  }
  if constexpr (L > 0) {
    // With the lanes fixed, the butterflies of a group are unrolled: their
    // twiddles become constants and the loop over k goes.
    radix2_levels<N, Inverse, L, Narrow>(re, im, stride, lanes_in, std::make_integer_sequence<int, log2_of(N) - 2>{});
  } else {
    for (int span = 4; span < N; span *= 2) {
      const int step = 32 / span;
      for (int g = 0; g < N; g += 2 * span) {
        for (int k = 0; k < span; ++k) {
          int32_t *ar = re + (g + k) * stride, *ai = im + (g + k) * stride;
          int32_t *br = re + (g + k + span) * stride, *bi = im + (g + k + span) * stride;
          const int t = k * step;
          if (t == 0)
            butterfly_unit<L>(ar, ai, br, bi, lanes_in);
          else
            butterfly<L, Narrow>(ar, ai, br, bi, cos64(t), Inverse ? sin64(t) : -sin64(t), lanes_in);
        }
      }
    }
  }
}

// Column transforms of the first `ucount` columns of a half spectrum.  The
// count is rounded up to a size with fully unrolled lanes where the extra
// columns hold valid data (all H columns, or 11 for the wavelength field);
// transforming a column whose result is then ignored or overwritten
// changes nothing else.
template <int N, bool Inverse, bool Narrow = false>
LUMETRA_INLINE void columns(int32_t *re, int32_t *im, int ucount) {
  constexpr int H = N / 2 + 1;
  if (ucount == H)
    transform_lanes<N, Inverse, H, Narrow>(re, im, H, H);
  else if (ucount == 16)
    transform_lanes<N, Inverse, 16, Narrow>(re, im, H, 16);
  else if (ucount == 8)
    transform_lanes<N, Inverse, 8, Narrow>(re, im, H, 8);
  else if (ucount == 11)
    transform_lanes<N, Inverse, 11, Narrow>(re, im, H, 11);
  else if (ucount > 0)
    transform_lanes<N, Inverse, 0, Narrow>(re, im, H, ucount);
}

// Real N x N block -> half spectrum, columns 0 .. ucount - 1 only (the
// others are left as they are).  Rows go two at a time through one complex
// transform (row 2k as real part, row 2k + 1 as imaginary part) and are
// separated by conjugate symmetry; then the wanted columns are transformed
// over the rows.  All row pairs go through the transform together, laid
// out pair-minor; a pair of all-zero rows (the padding of a window at the
// image border) has an all-zero transform and is not transformed.
//
// Narrow may be set only for blocks whose values all lie within
// +-2^20: a complex value of modulus at most sqrt(2) 2^20 ~ 1.483e6 enters
// the row transforms, no butterfly level grows the modulus by more than
// 0.03 % plus 2 units (|twiddle| <= 1024.5 / 1024, rounding), the
// separation averages two values, so ten levels leave it below 1.49e6;
// a twiddle numerator is then at most 1.49e6 * 1024.5 + 512 < 1.53e9, in
// 32 bits with room to spare.
template <int N, bool Narrow = false>
LUMETRA_INLINE void forward_2d(const int32_t *block, int32_t *re, int32_t *im, int ucount) {
  constexpr int H = N / 2 + 1, P = N / 2;
  // The wavelength field's 11 columns are filled as 16: the column levels
  // then run on two whole vectors of lanes instead of one and three single
  // lanes, fewer instructions for five more columns.
  if (N == 32 && ucount == 11) ucount = 16;
  int32_t zr[N * P], zi[N * P];
  int first = 0, last = P;  // pairs outside [first, last) are zero
  auto zero_pair = [&](int p) {
    const int32_t *row = block + 2 * p * N;
    int32_t any = 0;
    for (int c = 0; c < 2 * N; ++c) any |= row[c];
    return any == 0;
  };
  while (first < last && zero_pair(first)) ++first;
  while (last > first && zero_pair(last - 1)) --last;
  const int lanes = last - first;
  for (int c = 0; c < N; ++c)
    for (int p = first; p < last; ++p) {
      zr[c * P + p - first] = block[2 * p * N + c];
      zi[c * P + p - first] = block[(2 * p + 1) * N + c];
    }
  if (lanes == P)
    transform_lanes<N, false, P, Narrow>(zr, zi, P, P);
  else if (lanes > 0)
    transform_lanes<N, false, 0, Narrow>(zr, zi, P, lanes);
  for (int p = 0; p < P; ++p) {
    const int r = 2 * p;
    if (p < first || p >= last) {
      for (int u = 0; u < ucount; ++u) re[r * H + u] = im[r * H + u] = re[(r + 1) * H + u] = im[(r + 1) * H + u] = 0;
      continue;
    }
    const int q = p - first;
    for (int u = 0; u < ucount; ++u) {
      const int m = (N - u) & (N - 1);
      const int32_t a = zr[u * P + q], b = zr[m * P + q], d = zi[u * P + q], e = zi[m * P + q];
      // X[u] = (Z[u] + conj Z[N-u]) / 2, Y[u] = (Z[u] - conj Z[N-u]) / 2i.
      re[r * H + u] = (a + b) / 2;
      im[r * H + u] = (d - e) / 2;
      re[(r + 1) * H + u] = (d + e) / 2;
      im[(r + 1) * H + u] = (b - a) / 2;
    }
  }
  columns<N, false, Narrow>(re, im, ucount);
}

// Half spectrum -> rows r0 .. r1 - 1 of the real N x N block (r0, r1
// even): the columns first, then pairs of rows rebuilt to full length from
// conjugate symmetry and run through one complex inverse transform (real
// part row 2k, imaginary part row 2k + 1).  The inverse transform of an
// all-zero column is all zero, so trailing zero columns (what a band-pass
// leaves of the high frequencies) are not transformed.
//
// NarrowColumns may be set only for a spectrum of a block within +-2^20
// (as the forward transform left it) whose values were then multiplied
// by factors of magnitude at most 1: the column levels see the same
// bounded moduli as the forward ones.  The row levels combine two rows
// (Z = X + iY), which may double the modulus, and keep 64-bit products.
// The columns the inverse column pass has to transform: up to the last one
// holding a non-zero value, rounded up to whole vectors of lanes (the
// columns added are zero, and so is their transform).
template <int N>
LUMETRA_INLINE int live_columns(const int32_t *re, const int32_t *im) {
  constexpr int H = N / 2 + 1;
  int ucount = H;
  auto zero_column = [&](int u) {
    int32_t any = 0;
    for (int v = 0; v < N; ++v) any |= re[v * H + u] | im[v * H + u];
    return any == 0;
  };
  while (ucount > 0 && zero_column(ucount - 1)) --ucount;
  if (ucount > 0 && ucount <= 8 && H > 8)
    ucount = 8;
  else if (ucount > 8 && ucount <= 16 && H > 16)
    ucount = 16;
  return ucount;
}

template <int N, bool NarrowColumns = false>
LUMETRA_INLINE void inverse_columns(int32_t *re, int32_t *im) {
  columns<N, true, NarrowColumns>(re, im, live_columns<N>(re, im));
}

template <int N, bool NarrowColumns = false>
LUMETRA_INLINE void inverse_2d(int32_t *re, int32_t *im, int32_t *block, int r0, int r1) {
  constexpr int H = N / 2 + 1, P = N / 2;
  columns<N, true, NarrowColumns>(re, im, live_columns<N>(re, im));
  const int p0 = r0 / 2, lanes = r1 / 2 - p0;
  if (lanes <= 0) return;
  int32_t zr[N * P], zi[N * P];
  for (int q = 0; q < lanes; ++q) {
    const int r = 2 * (p0 + q);
    const int32_t *xr = re + r * H, *xi = im + r * H;
    const int32_t *yr = re + (r + 1) * H, *yi = im + (r + 1) * H;
    // The DC and Nyquist terms of a real row are real: their imaginary
    // parts (rounding residue only) are dropped.
    zr[q] = xr[0];
    zi[q] = yr[0];
    zr[P * P + q] = xr[P];
    zi[P * P + q] = yr[P];
    for (int u = 1; u < P; ++u) {
      // Z[u] = X[u] + i Y[u]; Z[N-u] = conj X[u] + i conj Y[u].
      zr[u * P + q] = xr[u] - yi[u];
      zi[u * P + q] = xi[u] + yr[u];
      zr[(N - u) * P + q] = xr[u] + yi[u];
      zi[(N - u) * P + q] = yr[u] - xi[u];
    }
  }
  if (lanes == P / 2)
    transform_lanes<N, true, P / 2>(zr, zi, P, P / 2);
  else if (lanes == P)
    transform_lanes<N, true, P>(zr, zi, P, P);
  else
    transform_lanes<N, true>(zr, zi, P, lanes);
  for (int q = 0; q < lanes; ++q) {
    const int r = 2 * (p0 + q);
    for (int c = 0; c < N; ++c) {
      block[r * N + c] = zr[c * P + q];
      block[(r + 1) * N + c] = zi[c * P + q];
    }
  }
}

#if LUMETRA_HAVE_AVX2
template <int N, bool Narrow>
__attribute__((target("avx2"))) void forward_2d_avx2(const int32_t *block, int32_t *re, int32_t *im, int ucount) {
  forward_2d<N, Narrow>(block, re, im, ucount);
}
QX_SIMD_AVX2_TARGET void inverse_32_rows8_avx2(int32_t *re, int32_t *im, int32_t *block, int p0);
template <int N, bool Narrow>
__attribute__((target("avx2"))) void inverse_2d_avx2(int32_t *re, int32_t *im, int32_t *block, int r0, int r1) {
  if constexpr (N == 32) {
    // Sixteen rows (the ridge filter's tile): the row pass with register
    // transposes.
    if (r1 - r0 == 16) {
      inverse_columns<N, Narrow>(re, im);
      inverse_32_rows8_avx2(re, im, block, r0 / 2);
      return;
    }
  }
  inverse_2d<N, Narrow>(re, im, block, r0, r1);
}
// Eight rows of eight values at src (row stride ss) written as eight
// columns at dst (row stride ds), output row j going to row rows[j]:
// dst[rows[j] * ds + i] = src[i * ss + j].
QX_SIMD_AVX2_TARGET inline void transpose8x8(const int32_t *src, int ss, int32_t *dst, int ds, const uint8_t *rows) {
#define LUMETRA_ROW(i) _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + (i) * ss))
  const __m256i r0 = LUMETRA_ROW(0), r1 = LUMETRA_ROW(1), r2 = LUMETRA_ROW(2), r3 = LUMETRA_ROW(3),
                r4 = LUMETRA_ROW(4), r5 = LUMETRA_ROW(5), r6 = LUMETRA_ROW(6), r7 = LUMETRA_ROW(7);
#undef LUMETRA_ROW
  const __m256i t0 = _mm256_unpacklo_epi32(r0, r1), t1 = _mm256_unpackhi_epi32(r0, r1);
  const __m256i t2 = _mm256_unpacklo_epi32(r2, r3), t3 = _mm256_unpackhi_epi32(r2, r3);
  const __m256i t4 = _mm256_unpacklo_epi32(r4, r5), t5 = _mm256_unpackhi_epi32(r4, r5);
  const __m256i t6 = _mm256_unpacklo_epi32(r6, r7), t7 = _mm256_unpackhi_epi32(r6, r7);
  // u0 .. u3: columns 0 .. 3 of rows 0 .. 3 (low half) and columns 4 .. 7
  // (high half); u4 .. u7 the same for rows 4 .. 7.
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
#define LUMETRA_PUT(j, v) _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + rows[j] * ds), v)
  LUMETRA_PUT(0, _mm256_permute2x128_si256(u0, u4, 0x20));
  LUMETRA_PUT(1, _mm256_permute2x128_si256(u1, u5, 0x20));
  LUMETRA_PUT(2, _mm256_permute2x128_si256(u2, u6, 0x20));
  LUMETRA_PUT(3, _mm256_permute2x128_si256(u3, u7, 0x20));
  LUMETRA_PUT(4, _mm256_permute2x128_si256(u0, u4, 0x31));
  LUMETRA_PUT(5, _mm256_permute2x128_si256(u1, u5, 0x31));
  LUMETRA_PUT(6, _mm256_permute2x128_si256(u2, u6, 0x31));
  LUMETRA_PUT(7, _mm256_permute2x128_si256(u3, u7, 0x31));
#undef LUMETRA_PUT
}

// v / 2 rounded toward zero, as C's division.
QX_SIMD_AVX2_TARGET inline __m256i half_toward_zero(__m256i v) {
  return _mm256_srai_epi32(_mm256_add_epi32(v, _mm256_srli_epi32(v, 31)), 1);
}

// The row pass of inverse_2d<32> for the eight row pairs p0 .. p0 + 7
// (rows 2 p0 .. 2 p0 + 15), after its column pass: the pairs are rebuilt to
// full length (Z[u] = X[u] + i Y[u], Z[N-u] = conj X[u] + i conj Y[u], the
// DC and Nyquist terms real) eight values of u at a time and transposed in
// registers into lane order, placed in bit-reversed order so that the
// transform skips its permutation; the transformed pairs go back into the
// block through transposes as well.  The same values as inverse_2d.
QX_SIMD_AVX2_TARGET void inverse_32_rows8_avx2(int32_t *re, int32_t *im, int32_t *block, int p0) {
  constexpr int N = 32, H = N / 2 + 1, P = N / 2, L = 8;
  // Element n of pair q at z[n * L + q]; one spare row takes the unused
  // mirror of u = 0.
  alignas(32) int32_t zr[(N + 1) * L], zi[(N + 1) * L];
  alignas(32) int32_t ta[L * L], tb[L * L], tc[L * L], td[L * L];
  const uint8_t *rev = kBitReverse<N>.index.data();
  for (int ub = 0; ub < P; ub += L) {
    for (int q = 0; q < L; ++q) {
      const int r = 2 * (p0 + q);
      const int32_t *xr = re + r * H + ub, *xi = im + r * H + ub;
      const int32_t *yr = re + (r + 1) * H + ub, *yi = im + (r + 1) * H + ub;
      const __m256i vxr = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(xr));
      const __m256i vxi = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(xi));
      const __m256i vyr = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(yr));
      const __m256i vyi = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(yi));
      __m256i a = _mm256_sub_epi32(vxr, vyi), b = _mm256_add_epi32(vxi, vyr);
      if (ub == 0) {
        // DC: the real parts alone.
        a = _mm256_blend_epi32(a, vxr, 1);
        b = _mm256_blend_epi32(b, vyr, 1);
      }
      _mm256_store_si256(reinterpret_cast<__m256i *>(ta + q * L), a);
      _mm256_store_si256(reinterpret_cast<__m256i *>(tb + q * L), b);
      _mm256_store_si256(reinterpret_cast<__m256i *>(tc + q * L), _mm256_add_epi32(vxr, vyi));
      _mm256_store_si256(reinterpret_cast<__m256i *>(td + q * L), _mm256_sub_epi32(vyr, vxi));
    }
    uint8_t rows_u[L], rows_m[L];
    for (int k = 0; k < L; ++k) {
      const int u = ub + k;
      rows_u[k] = rev[u];
      rows_m[k] = u == 0 ? N : rev[N - u];
    }
    transpose8x8(ta, L, zr, L, rows_u);
    transpose8x8(tb, L, zi, L, rows_u);
    transpose8x8(tc, L, zr, L, rows_m);
    transpose8x8(td, L, zi, L, rows_m);
  }
  // Nyquist: real parts alone.
  for (int q = 0; q < L; ++q) {
    const int r = 2 * (p0 + q);
    zr[rev[P] * L + q] = re[r * H + P];
    zi[rev[P] * L + q] = re[(r + 1) * H + P];
  }
  transform_lanes<N, true, L, false, true>(zr, zi, L, L);
  static constexpr uint8_t kIdentity[L] = {0, 1, 2, 3, 4, 5, 6, 7};
  for (int cb = 0; cb < N; cb += L) {
    transpose8x8(zr + cb * L, L, block + 2 * p0 * N + cb, 2 * N, kIdentity);
    transpose8x8(zi + cb * L, L, block + (2 * p0 + 1) * N + cb, 2 * N, kIdentity);
  }
}

// forward_2d<32, true> for the wavelength field's 16 columns, with the two
// transpositions (rows into pair-minor order, the separated rows back into
// the half spectrum) done eight by eight in registers; both place their
// rows in bit-reversed order, so that the transforms skip their own
// permutation.  All sixteen row pairs are transformed: a pair of zero rows
// has a zero transform and separates into zeros, which is what forward_2d
// writes for it.  With `nyquist`, column 16 is filled as well (the ridge
// filter's 17 columns), through one more lane.
QX_SIMD_AVX2_TARGET void forward_32x16_avx2(const int32_t *block, int32_t *re, int32_t *im, bool nyquist) {
  constexpr int N = 32, H = N / 2 + 1, P = N / 2, U = 16;
  alignas(32) int32_t zr[N * P], zi[N * P];
  for (int pb = 0; pb < P; pb += 8)
    for (int cb = 0; cb < N; cb += 8) {
      transpose8x8(block + 2 * pb * N + cb, 2 * N, zr + pb, P, kBitReverse<N>.index.data() + cb);
      transpose8x8(block + (2 * pb + 1) * N + cb, 2 * N, zi + pb, P, kBitReverse<N>.index.data() + cb);
    }
  transform_lanes<N, false, P, true, true>(zr, zi, P, P);
  // Separated rows by column: sr[u * N + r] is re[r * H + u].
  alignas(32) int32_t sr[U * N], si[U * N];
  for (int u = 0; u < U; ++u) {
    const int m = (N - u) & (N - 1);
    for (int h = 0; h < P; h += 8) {
      const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i *>(zr + u * P + h));
      const __m256i b = _mm256_load_si256(reinterpret_cast<const __m256i *>(zr + m * P + h));
      const __m256i d = _mm256_load_si256(reinterpret_cast<const __m256i *>(zi + u * P + h));
      const __m256i e = _mm256_load_si256(reinterpret_cast<const __m256i *>(zi + m * P + h));
      const __m256i xr = half_toward_zero(_mm256_add_epi32(a, b)), xi = half_toward_zero(_mm256_sub_epi32(d, e));
      const __m256i yr = half_toward_zero(_mm256_add_epi32(d, e)), yi = half_toward_zero(_mm256_sub_epi32(b, a));
      // Rows 2q (X) and 2q + 1 (Y) interleaved.
      const __m256i rlo = _mm256_unpacklo_epi32(xr, yr), rhi = _mm256_unpackhi_epi32(xr, yr);
      const __m256i ilo = _mm256_unpacklo_epi32(xi, yi), ihi = _mm256_unpackhi_epi32(xi, yi);
      int32_t *dr = sr + u * N + 2 * h, *di = si + u * N + 2 * h;
      _mm256_store_si256(reinterpret_cast<__m256i *>(dr), _mm256_permute2x128_si256(rlo, rhi, 0x20));
      _mm256_store_si256(reinterpret_cast<__m256i *>(dr + 8), _mm256_permute2x128_si256(rlo, rhi, 0x31));
      _mm256_store_si256(reinterpret_cast<__m256i *>(di), _mm256_permute2x128_si256(ilo, ihi, 0x20));
      _mm256_store_si256(reinterpret_cast<__m256i *>(di + 8), _mm256_permute2x128_si256(ilo, ihi, 0x31));
    }
  }
  for (int ub = 0; ub < U; ub += 8)
    for (int rb = 0; rb < N; rb += 8) {
      transpose8x8(sr + ub * N + rb, N, re + ub, H, kBitReverse<N>.index.data() + rb);
      transpose8x8(si + ub * N + rb, N, im + ub, H, kBitReverse<N>.index.data() + rb);
    }
  transform_lanes<N, false, U, true, true>(re, im, H, U);
  if (!nyquist) return;
  // Column 16 pairs with itself (m = u): the separation of forward_2d with
  // b = a and e = d.
  for (int q = 0; q < P; ++q) {
    const int32_t a = zr[U * P + q], d = zi[U * P + q];
    re[2 * q * H + U] = (a + a) / 2;
    im[2 * q * H + U] = (d - d) / 2;
    re[(2 * q + 1) * H + U] = (d + d) / 2;
    im[(2 * q + 1) * H + U] = (a - a) / 2;
  }
  transform_lanes<N, false, 1, true>(re + U, im + U, H, 1);
}

template <int N, bool Narrow>
void forward_2d_plain(const int32_t *block, int32_t *re, int32_t *im, int ucount) {
  forward_2d<N, Narrow>(block, re, im, ucount);
}
template <int N, bool Narrow>
void inverse_2d_plain(int32_t *re, int32_t *im, int32_t *block, int r0, int r1) {
  inverse_2d<N, Narrow>(re, im, block, r0, r1);
}
bool use_avx2() { return qx_simd_use_avx2() != 0; }
template <int N, bool Narrow = false>
void forward(const int32_t *block, int32_t *re, int32_t *im, int ucount) {
  if (N == 32 && Narrow && (ucount == 11 || ucount == 17) && use_avx2())
    forward_32x16_avx2(block, re, im, ucount == 17);
  else if (use_avx2())
    forward_2d_avx2<N, Narrow>(block, re, im, ucount);
  else
    forward_2d_plain<N, Narrow>(block, re, im, ucount);
}
template <int N, bool Narrow = false>
void inverse(int32_t *re, int32_t *im, int32_t *block, int r0, int r1) {
  if (use_avx2())
    inverse_2d_avx2<N, Narrow>(re, im, block, r0, r1);
  else
    inverse_2d_plain<N, Narrow>(re, im, block, r0, r1);
}
#else
template <int N, bool Narrow = false>
void forward(const int32_t *block, int32_t *re, int32_t *im, int ucount) {
  forward_2d<N, Narrow>(block, re, im, ucount);
}
template <int N, bool Narrow = false>
void inverse(int32_t *re, int32_t *im, int32_t *block, int r0, int r1) {
  inverse_2d<N, Narrow>(re, im, block, r0, r1);
}
#endif

}  // namespace

extern "C" {

void fftn16(int32_t *re, int32_t *im) { transform<16, false>(re, im); }
void fftn32(int32_t *re, int32_t *im) { transform<32, false>(re, im); }
void fftn64(int32_t *re, int32_t *im) { transform<64, false>(re, im); }
void fftni16(int32_t *re, int32_t *im) { transform<16, true>(re, im); }
void fftni32(int32_t *re, int32_t *im) { transform<32, true>(re, im); }
void fftni64(int32_t *re, int32_t *im) { transform<64, true>(re, im); }

void fftn2d16(const int32_t *block, int32_t *re, int32_t *im, int32_t *scratch) {
  (void)scratch;
  forward<16>(block, re, im, 9);
}
void fftn2d32(const int32_t *block, int32_t *re, int32_t *im, int32_t *scratch) {
  (void)scratch;
  forward<32>(block, re, im, 17);
}
void fftn2d64(const int32_t *block, int32_t *re, int32_t *im, int32_t *scratch) {
  (void)scratch;
  forward<64>(block, re, im, 33);
}

void fftni2d16(int32_t *re, int32_t *im, int32_t *block, int32_t *scratch) {
  (void)scratch;
  inverse<16>(re, im, block, 0, 16);
}
void fftni2d32(int32_t *re, int32_t *im, int32_t *block, int32_t *scratch) {
  (void)scratch;
  inverse<32>(re, im, block, 0, 32);
}
void fftni2d64(int32_t *re, int32_t *im, int32_t *block, int32_t *scratch) {
  (void)scratch;
  inverse<64>(re, im, block, 0, 64);
}

void fftn2d32_columns(const int32_t *block, int32_t *re, int32_t *im, int ucount) {
  forward<32, true>(block, re, im, ucount < 0 ? 0 : (ucount > 17 ? 17 : ucount));
}
void fftn2d16_bounded(const int32_t *block, int32_t *re, int32_t *im) { forward<16, true>(block, re, im, 9); }
void fftn2d32_bounded(const int32_t *block, int32_t *re, int32_t *im) { forward<32, true>(block, re, im, 17); }
void fftni2d16_rows(int32_t *re, int32_t *im, int32_t *block, int r0, int r1) {
  inverse<16, true>(re, im, block, r0 & ~1, (r1 + 1) & ~1);
}
void fftni2d32_rows(int32_t *re, int32_t *im, int32_t *block, int r0, int r1) {
  inverse<32, true>(re, im, block, r0 & ~1, (r1 + 1) & ~1);
}

}  // extern "C"
