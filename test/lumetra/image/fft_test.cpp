// Integer Fourier transforms: scaling, exact constant blocks, agreement
// with a floating-point reference and the forward/inverse round trip.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/image/fft.h"

namespace {

using Fn1 = void (*)(int32_t *, int32_t *);
using Fwd2 = void (*)(const int32_t *, int32_t *, int32_t *, int32_t *);
using Inv2 = void (*)(int32_t *, int32_t *, int32_t *, int32_t *);

struct Sizes {
  int n;
  Fn1 fwd1, inv1;
  Fwd2 fwd2;
  Inv2 inv2;
};

const Sizes kSizes[] = {{16, fftn16, fftni16, fftn2d16, fftni2d16},
                        {32, fftn32, fftni32, fftn2d32, fftni2d32},
                        {64, fftn64, fftni64, fftn2d64, fftni2d64}};

std::vector<std::complex<double>> dft(const std::vector<std::complex<double>> &x, int sign) {
  const int n = static_cast<int>(x.size());
  std::vector<std::complex<double>> y(n);
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j) y[k] += x[j] * std::polar(1.0, sign * 2 * M_PI * k * j / n);
  return y;
}

// Random block of 8-bit pixels loaded with 12 fraction bits.
std::vector<int32_t> pixel_block(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<int32_t> b(n * n);
  for (auto &v : b) v = (static_cast<int32_t>(rng() % 256) - 128) * 4096;
  return b;
}

TEST(Fft1d, IsTheDftDividedByNForEverySize) {
  for (const Sizes &s : kSizes) {
    std::mt19937 rng(s.n);
    std::vector<int32_t> re(s.n), im(s.n);
    std::vector<std::complex<double>> x(s.n);
    for (int i = 0; i < s.n; ++i) {
      re[i] = static_cast<int32_t>(rng() % 1048576) - 524288;
      im[i] = static_cast<int32_t>(rng() % 1048576) - 524288;
      x[i] = {double(re[i]), double(im[i])};
    }
    std::vector<int32_t> r2 = re, i2 = im;
    s.fwd1(re.data(), im.data());
    const auto ref = dft(x, -1);
    for (int k = 0; k < s.n; ++k) {
      // Q10 twiddles and the per-level truncation: a few hundredths of a
      // percent of the input range.
      EXPECT_NEAR(re[k], ref[k].real() / s.n, 600) << "n " << s.n << " bin " << k;
      EXPECT_NEAR(im[k], ref[k].imag() / s.n, 600) << "n " << s.n << " bin " << k;
    }
    s.inv1(r2.data(), i2.data());
    const auto iref = dft(x, +1);
    for (int k = 0; k < s.n; ++k) {
      EXPECT_NEAR(r2[k], iref[k].real() / s.n, 600) << "n " << s.n << " bin " << k;
      EXPECT_NEAR(i2[k], iref[k].imag() / s.n, 600) << "n " << s.n << " bin " << k;
    }
  }
}

TEST(Fft1d, ImpulseSpreadsEvenlyAndConstantCollapsesToDc) {
  for (const Sizes &s : kSizes) {
    std::vector<int32_t> re(s.n, 0), im(s.n, 0);
    re[0] = 1024 * s.n;
    s.fwd1(re.data(), im.data());
    for (int k = 0; k < s.n; ++k) {
      EXPECT_EQ(re[k], 1024) << s.n;
      EXPECT_EQ(im[k], 0) << s.n;
    }
    std::vector<int32_t> cr(s.n, -300000), ci(s.n, 77);
    s.fwd1(cr.data(), ci.data());
    EXPECT_EQ(cr[0], -300000);
    EXPECT_EQ(ci[0], 77);
    for (int k = 1; k < s.n; ++k) EXPECT_TRUE(cr[k] == 0 && ci[k] == 0) << s.n << " bin " << k;
  }
}

TEST(Fft2d, ConstantBlockGivesOnlyItsValueAtDc) {
  for (const Sizes &s : kSizes) {
    for (int32_t c : {-128 * 4096, 57 * 4096, 127 * 8192}) {
      std::vector<int32_t> block(s.n * s.n, c), re(FFT_HALF_SPECTRUM_WORDS(s.n)),
          im(FFT_HALF_SPECTRUM_WORDS(s.n)), scratch(FFT_SCRATCH_WORDS(s.n));
      s.fwd2(block.data(), re.data(), im.data(), scratch.data());
      EXPECT_EQ(re[0], c);
      EXPECT_EQ(im[0], 0);
      for (int i = 1; i < FFT_HALF_SPECTRUM_WORDS(s.n); ++i)
        ASSERT_TRUE(re[i] == 0 && im[i] == 0) << "n " << s.n << " index " << i;
    }
  }
}

TEST(Fft2d, HalfSpectrumMatchesTheReference) {
  for (const Sizes &s : kSizes) {
    const int n = s.n, h = n / 2 + 1;
    const auto block = pixel_block(n, 7u + n);
    std::vector<int32_t> re(FFT_HALF_SPECTRUM_WORDS(n)), im(FFT_HALF_SPECTRUM_WORDS(n)),
        scratch(FFT_SCRATCH_WORDS(n));
    s.fwd2(block.data(), re.data(), im.data(), scratch.data());
    double worst = 0;
    for (int v = 0; v < n; ++v)
      for (int u = 0; u < h; ++u) {
        std::complex<double> sum;
        for (int y = 0; y < n; ++y)
          for (int x = 0; x < n; ++x)
            sum += double(block[y * n + x]) * std::polar(1.0, -2 * M_PI * (double(u) * x + double(v) * y) / n);
        sum /= double(n) * n;
        worst = std::max({worst, std::abs(re[v * h + u] - sum.real()), std::abs(im[v * h + u] - sum.imag())});
      }
    // Spectral values reach 2^19; errors stay in the low hundreds.
    EXPECT_LT(worst, 400) << "n " << n;
  }
}

TEST(Fft2d, PureCosineLandsOnItsFrequency) {
  const int n = 32, h = 17;
  std::vector<int32_t> block(n * n), re(n * h), im(n * h), scratch(2 * n);
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x)
      block[y * n + x] = static_cast<int32_t>(std::lround(400000 * std::cos(2 * M_PI * (3 * x + 5 * y) / n)));
  fftn2d32(block.data(), re.data(), im.data(), scratch.data());
  // Half the amplitude at (v 5, u 3); its mirror (v -5, u -3) is not part
  // of the half spectrum.
  EXPECT_NEAR(re[5 * h + 3], 200000, 300);
  EXPECT_NEAR(im[5 * h + 3], 0, 300);
  for (int i = 0; i < n * h; ++i)
    if (i != 5 * h + 3) {
      EXPECT_LT(std::abs(re[i]) + std::abs(im[i]), 400) << i;
    }
}

TEST(Fft2d, ForwardThenInverseDividesByNSquared) {
  for (const Sizes &s : kSizes) {
    const int n = s.n;
    const auto block = pixel_block(n, 99u + n);
    std::vector<int32_t> re(FFT_HALF_SPECTRUM_WORDS(n)), im(FFT_HALF_SPECTRUM_WORDS(n)),
        scratch(FFT_SCRATCH_WORDS(n)), back(n * n);
    s.fwd2(block.data(), re.data(), im.data(), scratch.data());
    s.inv2(re.data(), im.data(), back.data(), scratch.data());
    int worst = 0;
    for (int i = 0; i < n * n; ++i) worst = std::max(worst, std::abs(back[i] - block[i] / (n * n)));
    // For n = 32 that is 4 * (p - 128); the shifts lose at most a couple
    // of units.
    EXPECT_LE(worst, 3) << "n " << n;
  }
}

}  // namespace
