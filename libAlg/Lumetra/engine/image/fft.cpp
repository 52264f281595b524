// Integer Fourier transforms: radix-4 first level, radix-2 after it,
// decimation in time, one halving per level.
#include "engine/image/fft.h"

#include <array>
#include <cstddef>

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

// Transforms each of the N/2 + 1 columns of a half spectrum over its N
// rows, through the scratch pair.
template <int N, bool Inverse>
void transform_columns(int32_t *re, int32_t *im, int32_t *scratch) {
  constexpr int H = N / 2 + 1;
  int32_t *zr = scratch;
  int32_t *zi = scratch + N;
  for (int u = 0; u < H; ++u) {
    for (int v = 0; v < N; ++v) {
      zr[v] = re[v * H + u];
      zi[v] = im[v * H + u];
    }
    transform<N, Inverse>(zr, zi);
    for (int v = 0; v < N; ++v) {
      re[v * H + u] = zr[v];
      im[v * H + u] = zi[v];
    }
  }
}

// Real N x N block -> half spectrum.  Rows go two at a time through one
// complex transform (row 2k as real part, row 2k + 1 as imaginary part)
// and are separated by conjugate symmetry; then every one of the N/2 + 1
// columns is transformed over the rows.
template <int N>
void forward_2d(const int32_t *block, int32_t *re, int32_t *im, int32_t *scratch) {
  constexpr int H = N / 2 + 1;
  int32_t *zr = scratch;
  int32_t *zi = scratch + N;
  for (int r = 0; r < N; r += 2) {
    for (int c = 0; c < N; ++c) {
      zr[c] = block[r * N + c];
      zi[c] = block[(r + 1) * N + c];
    }
    transform<N, false>(zr, zi);
    for (int u = 0; u < H; ++u) {
      const int m = (N - u) & (N - 1);
      // X[u] = (Z[u] + conj Z[N-u]) / 2, Y[u] = (Z[u] - conj Z[N-u]) / 2i.
      re[r * H + u] = (zr[u] + zr[m]) / 2;
      im[r * H + u] = (zi[u] - zi[m]) / 2;
      re[(r + 1) * H + u] = (zi[u] + zi[m]) / 2;
      im[(r + 1) * H + u] = (zr[m] - zr[u]) / 2;
    }
  }
  transform_columns<N, false>(re, im, scratch);
}

// Half spectrum -> real N x N block: the columns first, then pairs of
// rows rebuilt to full length from conjugate symmetry and run through one
// complex inverse transform (real part row 2k, imaginary part row 2k + 1).
template <int N>
void inverse_2d(int32_t *re, int32_t *im, int32_t *block, int32_t *scratch) {
  constexpr int H = N / 2 + 1;
  int32_t *zr = scratch;
  int32_t *zi = scratch + N;
  transform_columns<N, true>(re, im, scratch);
  for (int r = 0; r < N; r += 2) {
    const int32_t *xr = re + r * H, *xi = im + r * H;
    const int32_t *yr = re + (r + 1) * H, *yi = im + (r + 1) * H;
    // The DC and Nyquist terms of a real row are real: their imaginary
    // parts (rounding residue only) are dropped.
    zr[0] = xr[0];
    zi[0] = yr[0];
    zr[N / 2] = xr[N / 2];
    zi[N / 2] = yr[N / 2];
    for (int u = 1; u < N / 2; ++u) {
      // Z[u] = X[u] + i Y[u]; Z[N-u] = conj X[u] + i conj Y[u].
      zr[u] = xr[u] - yi[u];
      zi[u] = xi[u] + yr[u];
      zr[N - u] = xr[u] + yi[u];
      zi[N - u] = yr[u] - xi[u];
    }
    transform<N, true>(zr, zi);
    for (int c = 0; c < N; ++c) {
      block[r * N + c] = zr[c];
      block[(r + 1) * N + c] = zi[c];
    }
  }
}

}  // namespace

extern "C" {

void fftn16(int32_t *re, int32_t *im) { transform<16, false>(re, im); }
void fftn32(int32_t *re, int32_t *im) { transform<32, false>(re, im); }
void fftn64(int32_t *re, int32_t *im) { transform<64, false>(re, im); }
void fftni16(int32_t *re, int32_t *im) { transform<16, true>(re, im); }
void fftni32(int32_t *re, int32_t *im) { transform<32, true>(re, im); }
void fftni64(int32_t *re, int32_t *im) { transform<64, true>(re, im); }

void fftn2d16(const int32_t *block, int32_t *re, int32_t *im, int32_t *scratch) {
  forward_2d<16>(block, re, im, scratch);
}
void fftn2d32(const int32_t *block, int32_t *re, int32_t *im, int32_t *scratch) {
  forward_2d<32>(block, re, im, scratch);
}
void fftn2d64(const int32_t *block, int32_t *re, int32_t *im, int32_t *scratch) {
  forward_2d<64>(block, re, im, scratch);
}

void fftni2d16(int32_t *re, int32_t *im, int32_t *block, int32_t *scratch) {
  inverse_2d<16>(re, im, block, scratch);
}
void fftni2d32(int32_t *re, int32_t *im, int32_t *block, int32_t *scratch) {
  inverse_2d<32>(re, im, block, scratch);
}
void fftni2d64(int32_t *re, int32_t *im, int32_t *block, int32_t *scratch) {
  inverse_2d<64>(re, im, block, scratch);
}

}  // extern "C"
