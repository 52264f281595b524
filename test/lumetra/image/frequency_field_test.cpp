// Ridge wavelength estimation and the frequency-field cleanup.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/image/frequency_field.h"
#include "engine/qx_simd.h"
#include "image_gen.hpp"

namespace {

// Vertical ridges: a cosine along the columns only.
std::vector<uint8_t> vertical(int rows, int cols, double period) { return imggen::ridges(rows, cols, period, 0); }

TEST(RidgeWavelengths, VerticalRidgesEightApartGiveTheDesignExample) {
  const int rows = 36, cols = 36, B = 12;
  auto px = vertical(rows, cols, 8);
  std::vector<uint16_t> w(9);
  std::vector<uint8_t> freq(9), orient(9, 77);
  ASSERT_EQ(0, ridge_wavelengths_fft(px.data(), rows, cols, B, 18, 5, 3, 3, w.data(), freq.data(), orient.data()));
  // The centre block's window lies wholly inside the image; a sampled
  // cosine leaves the neighbours of the peak almost (not exactly) equal.
  EXPECT_NEAR(2048, w[4], 2);
  EXPECT_EQ(128, freq[4]);
  EXPECT_EQ(0, orient[4]);
}

TEST(RidgeWavelengths, PeakWithEqualNeighboursRefinesToTheBinItself) {
  // Peak at (u, v) = (4, 0) with equal neighbours on both sides.
  std::vector<uint32_t> p(32 * 17, 0);
  p[4] = 1000;
  p[3] = p[5] = 400;
  p[17 + 4] = p[31 * 17 + 4] = 300;
  p[17 + 3] = p[17 + 5] = p[31 * 17 + 3] = p[31 * 17 + 5] = 100;
  int64_t U, V, S9;
  ASSERT_EQ(0, ridge_peak_position32(p.data(), 4, 0, &U, &V, &S9));
  EXPECT_EQ(16384, U);
  EXPECT_EQ(0, V);
  EXPECT_EQ(268435456, U * U + V * V);
  int angle = -1;
  EXPECT_EQ(2048, ridge_peak_wavelength32(U, V, &angle));
  EXPECT_EQ(0, angle);
  // A peak at (1, 1) lies inside the DC region: no wavelength.
  EXPECT_EQ(0, ridge_peak_wavelength32(4096, 4096, &angle));
}

TEST(RidgeWavelengths, HorizontalRidgesGiveTheOppositeDoubledAngle) {
  auto px = imggen::ridges(36, 36, 10, 90);
  std::vector<uint16_t> w(9);
  std::vector<uint8_t> freq(9), orient(9);
  ASSERT_EQ(0, ridge_wavelengths_fft(px.data(), 36, 36, 12, 18, 5, 3, 3, w.data(), freq.data(), orient.data()));
  EXPECT_NEAR(2560, w[4], 40);
  EXPECT_EQ(128, orient[4]);
}

TEST(RidgeWavelengths, FlatWindowIsUntexturedAndKeepsItsOrientationEntry) {
  auto px = imggen::flat(36, 36, 120);
  std::vector<uint16_t> w(9, 1);
  std::vector<uint8_t> freq(9, 1), orient(9, 77);
  ASSERT_EQ(0, ridge_wavelengths_fft(px.data(), 36, 36, 12, 18, 5, 3, 3, w.data(), freq.data(), orient.data()));
  for (int k = 0; k < 9; ++k) {
    EXPECT_EQ(0, w[k]);
    EXPECT_EQ(0, freq[k]);
    EXPECT_EQ(77, orient[k]);
  }
}

TEST(RidgeWavelengths, TooShortWavelengthIsRejectedButTheAngleIsKept) {
  // A 4-pixel period lies below the 5-pixel limit.
  auto px = vertical(36, 36, 4);
  std::vector<uint16_t> w(9);
  std::vector<uint8_t> freq(9), orient(9, 77);
  ASSERT_EQ(0, ridge_wavelengths_fft(px.data(), 36, 36, 12, 18, 5, 3, 3, w.data(), freq.data(), orient.data()));
  EXPECT_EQ(0, w[4]);
  EXPECT_EQ(0, freq[4]);
  EXPECT_EQ(0, orient[4]);
}

TEST(RidgeWavelengths, SixteenPointEstimatorAgreesInFullResolutionUnits) {
  // 8-pixel ridges at full resolution are 4-sample ridges at half size.
  auto px = vertical(24, 24, 4);
  std::vector<uint16_t> w(16);
  std::vector<uint8_t> freq(16), orient(16);
  ASSERT_EQ(0, ridge_wavelengths_fft16(px.data(), 24, 24, 6, 18, 5, 4, 4, w.data(), freq.data(), orient.data()));
  EXPECT_EQ(128, freq[5]);
  EXPECT_EQ(2048, w[5]);
  EXPECT_EQ(0, orient[5]);
}

// The window search has a vector path (the power around DC, the energy,
// the sharpening and the local maxima four bins at a time) and a plain one;
// both must decide every block alike.  The pictures give windows of every
// kind: clean ridges from too short to too long a wavelength, two crossed
// patterns (several peaks of similar strength, so the list order decides),
// noise, ridges under noise, black and white stripes (the largest powers)
// and prints that end inside the windows, on the block grid and on the
// fine grid with a patchy mask, and a grid reaching past the picture.
TEST(RidgeWavelengths, VectorAndPlainWindowSearchesAgree) {
  struct Picture {
    std::string name;
    int rows, cols;
    std::vector<uint8_t> px;
  };
  std::vector<Picture> pictures;
  for (double period : {4.0, 5.5, 8.0, 11.0, 16.0, 21.0})
    for (double degrees : {0.0, 33.0, 90.0, 145.0})
      pictures.push_back({"finger " + std::to_string(period) + " " + std::to_string(degrees), 72, 84,
                          imggen::finger(72, 84, period, degrees, 0.8)});
  {
    auto a = imggen::ridges(96, 96, 7, 20), b = imggen::ridges(96, 96, 10, 100), n = imggen::noise(96, 96, 7);
    std::vector<uint8_t> crossed(a.size()), noisy(a.size()), stripes(a.size());
    for (size_t i = 0; i < a.size(); ++i) {
      crossed[i] = static_cast<uint8_t>((a[i] + b[i]) / 2);
      noisy[i] = static_cast<uint8_t>((a[i] + n[i]) / 2);
      stripes[i] = a[i] < 128 ? 0 : 255;
    }
    pictures.push_back({"crossed", 96, 96, crossed});
    pictures.push_back({"noisy", 96, 96, noisy});
    pictures.push_back({"stripes", 96, 96, stripes});
    pictures.push_back({"noise", 96, 96, n});
    // Untextured windows: flat, and flat with ridges on one side.
    auto half = imggen::flat(96, 96, 140);
    for (size_t i = 0; i < half.size(); ++i)
      if (i % 96 >= 60) half[i] = a[i];
    pictures.push_back({"flat", 96, 96, imggen::flat(96, 96, 128)});
    pictures.push_back({"half flat", 96, 96, half});
  }
  int accepted = 0, rejected = 0, untextured = 0;
  for (const Picture &p : pictures)
    for (int B : {12, 4}) {
      // The grid of the picture, and once one reaching two blocks past it.
      const int extra = p.name == "noisy" ? 2 : 0;
      const int brows = p.rows / B + extra, bcols = p.cols / B + extra;
      const size_t nb = static_cast<size_t>(brows) * bcols;
      // On the fine grid, every third coarse block is left out.
      const int coarse_cols = p.cols / 12 + extra;
      std::vector<uint8_t> mask(static_cast<size_t>(p.rows / 12 + extra) * coarse_cols);
      for (size_t i = 0; i < mask.size(); ++i) mask[i] = i % 3 != 1;
      std::vector<uint16_t> w[2];
      std::vector<uint8_t> f[2], o[2];
      for (int plain = 0; plain < 2; ++plain) {
        w[plain].assign(nb, 1);
        f[plain].assign(nb, 1);
        o[plain].assign(nb, 77);
        const int previous = qx_simd_force_plain(plain);
        EXPECT_EQ(0, ridge_wavelengths_fft_in_mask(p.px.data(), p.rows, p.cols, B, 18, 5, brows, bcols,
                                                   w[plain].data(), f[plain].data(), o[plain].data(),
                                                   B == 4 ? mask.data() : nullptr, coarse_cols, 3));
        qx_simd_force_plain(previous);
      }
      const std::string what = p.name + ", blocks of " + std::to_string(B);
      ASSERT_EQ(w[0], w[1]) << what;
      ASSERT_EQ(f[0], f[1]) << what;
      ASSERT_EQ(o[0], o[1]) << what;
      for (size_t k = 0; k < nb; ++k) {
        if (w[0][k] != 0)
          ++accepted;
        else if (o[0][k] == 77)
          ++untextured;
        else
          ++rejected;
      }
    }
  // Every outcome of a window was compared.
  EXPECT_GT(accepted, 1000);
  EXPECT_GT(rejected, 100);
  EXPECT_GT(untextured, 100);
}

TEST(FrequencyCleanup, FilterRulesForOneTwoAndManyKnownCells) {
  // Alone -> 0; a pair -> mean; three or more -> trimmed mean.
  std::vector<uint16_t> a = {1000, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(0, filter_wavelengths(a.data(), 3, 3));
  EXPECT_EQ(0, a[0]);
  std::vector<uint16_t> b = {1000, 2000, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(0, filter_wavelengths(b.data(), 3, 3));
  EXPECT_EQ(1500, b[0]);
  EXPECT_EQ(1500, b[1]);
  std::vector<uint16_t> c = {0, 3000, 0, 1000, 2000, 9000, 0, 2200, 0};
  ASSERT_EQ(0, filter_wavelengths(c.data(), 3, 3));
  // Centre: {2000, 3000, 1000, 9000, 2200} minus 1000 and 9000 -> 7200 / 3.
  EXPECT_EQ(2400, c[4]);
}

TEST(FrequencyCleanup, GridWithoutAnyWavelengthEndsAtTenPixelsEverywhere) {
  std::vector<uint16_t> w(20, 0);
  std::vector<uint8_t> out(20);
  ASSERT_EQ(0, postprocess_frequency_field(w.data(), 4, 5, out.data()));
  for (uint8_t v : out) EXPECT_EQ(10, v);
}

TEST(FrequencyCleanup, RejectedBlockIsRefilledFromItsNeighbours) {
  std::vector<uint16_t> w(25, 2304);  // 9 pixels
  w[12] = 0;                          // a rejected block
  std::vector<uint8_t> out(25);
  ASSERT_EQ(0, postprocess_frequency_field(w.data(), 5, 5, out.data()));
  for (uint8_t v : out) EXPECT_EQ(9, v);
}

}  // namespace
