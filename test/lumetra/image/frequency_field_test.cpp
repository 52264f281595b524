// Ridge wavelength estimation and the frequency-field cleanup.
#include <gtest/gtest.h>

#include <vector>

#include "engine/image/frequency_field.h"
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
