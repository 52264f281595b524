// The parts of the hybrid feature scores that need no matcher: quality
// normalisation, image quality of a template, search flags, consistency
// values.
#include <gtest/gtest.h>

#include <array>

#include "engine/match/ehm_verifier.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"

namespace {

TEST(QualityNormalisation, DivisorTable) {
  EXPECT_EQ(qx_ehm_quality_divisor(60), 194);
  EXPECT_EQ(qx_ehm_quality_divisor(86), 232);
  EXPECT_EQ(qx_ehm_quality_divisor(100), 250);
  EXPECT_EQ(qx_ehm_quality_divisor(0), 0);
  EXPECT_EQ(qx_ehm_quality_divisor(2), 35);   // 35.36
  EXPECT_EQ(qx_ehm_quality_divisor(13), 90);  // 90.14
  EXPECT_EQ(qx_ehm_quality_divisor(101), 0);
  for (int q = 1; q <= 100; ++q) EXPECT_GE(qx_ehm_quality_divisor(q), qx_ehm_quality_divisor(q - 1));
}

TEST(QualityNormalisation, BetterQualityRaisedToSixty) {
  EXPECT_EQ(qx_ehm_normalise_spectral_score(1000, 40, 50), 1000 * 232 / 194);
  EXPECT_EQ(qx_ehm_normalise_spectral_score(1000, 86, 10), 1000);
  EXPECT_EQ(qx_ehm_normalise_spectral_score(1000, 10, 86), 1000);
  EXPECT_EQ(qx_ehm_normalise_spectral_score(1000, 100, 0), 928);
  EXPECT_EQ(qx_ehm_normalise_spectral_score(65535, 0, 0), 65535);  // capped, not wrapped
  EXPECT_EQ(qx_ehm_normalise_spectral_score(1000, 150, 0), 1000);
}

// 0x7F2E { 0xA2 { 0xC3: 1, rows 88, cols 96, quality 40 } }
const uint8_t kWithDimensions[] = {0x7F, 0x2E, 0x0A, 0xA2, 0x08, 0xC3, 0x06,
                                   0x01, 0x58, 0x00, 0x60, 0x00, 0x28};
const uint8_t kWithoutDimensions[] = {0x7F, 0x2E, 0x02, 0xA2, 0x00};

TEST(ImageQuality, FromTheImageDimensionBlock) {
  qx_template *t = qx_template_create(QX_TEMPLATE_EHMHR, kWithDimensions, sizeof kWithDimensions);
  ASSERT_NE(t, nullptr);
  uint16_t rows = 0, cols = 0;
  EXPECT_EQ(qx_ehm_get_image_quality(t, &rows, &cols), 40);
  EXPECT_EQ(rows, 88);
  EXPECT_EQ(cols, 96);
  EXPECT_EQ(qx_ehm_get_image_quality(t, nullptr, nullptr), 40);
  qx_template_delete(t);

  t = qx_template_create(QX_TEMPLATE_EHM, kWithoutDimensions, sizeof kWithoutDimensions);
  EXPECT_EQ(qx_ehm_get_image_quality(t, &rows, &cols), 0);
  EXPECT_EQ(rows, 192);
  EXPECT_EQ(cols, 192);
  qx_template_delete(t);

  // Cut short: the block cannot be read.
  t = qx_template_create(QX_TEMPLATE_EHM, kWithDimensions, sizeof kWithDimensions - 1);
  EXPECT_EQ(qx_ehm_get_image_quality(t, &rows, &cols), 0);
  EXPECT_EQ(rows, 192);
  qx_template_delete(t);
  EXPECT_EQ(qx_ehm_get_image_quality(nullptr, &rows, &cols), 0);
}

class SearchFlags : public ::testing::Test {
 protected:
  void SetUp() override { s = qx_session_create(); }
  void TearDown() override { qx_session_delete(s); }
  uint32_t flags(int32_t code, int32_t paired) {
    qx_session_set_sensor_size_(s, code);
    return qx_ehm_spectral_search_flags(s, paired);
  }
  qx_session *s = nullptr;
};

TEST_F(SearchFlags, LargeSensorsScoreAtTheMinutiaeAlignment) {
  // 360 on by default, wide fine search by default, aux + raw always.
  EXPECT_EQ(flags(2, 3), 0x01u | 0x04 | 0x20 | 0x08 | 0x10);
  EXPECT_EQ(flags(2, 0), 0x3Du);
  EXPECT_EQ(flags(3, 3), 0x01u | 0x40 | 0x04 | 0x20 | 0x18);
  // Either full-search property makes them search below 8 pairs.
  qx_session_set_int(s, QX_PROP_SPECTRAL_FULLSEARCH, 1);
  EXPECT_EQ(flags(2, 3), 0x3Cu);
  EXPECT_EQ(flags(2, 8), 0x3Du);
  qx_session_set_int(s, QX_PROP_SPECTRAL_FULLSEARCH, 0);
  qx_session_set_int(s, QX_PROP_EHM_FSEARCH, 1);
  EXPECT_EQ(flags(2, 3), 0x3Cu);
}

TEST_F(SearchFlags, SmallSensorsSearchUnlessMoreThanSevenPairs) {
  EXPECT_EQ(flags(5, 3), 0x40u | 0x04 | 0x20 | 0x18);
  EXPECT_EQ(flags(5, 7), 0x7Cu);
  EXPECT_EQ(flags(5, 8), 0x7Du);
  EXPECT_EQ(flags(6, 8), 0x7Du);
  // Rectangular sensors get the square canvas when they search.
  EXPECT_EQ(flags(7, 3), 0x7Eu);
  EXPECT_EQ(flags(8, 8), 0x7Du);
  qx_session_set_360_state_(s, 0);
  EXPECT_EQ(flags(7, 3), 0x78u);
  qx_session_set_int(s, QX_PROP_SPECTRAL_HR_RANGE, 0);
  EXPECT_EQ(flags(7, 3), 0x58u);
  EXPECT_EQ(flags(1, 3), 0x19u);  // swipe: no small-sensor mode
}

TEST(ConsistencyValues, DifferencesAndQualityGap) {
  std::array<uint16_t, 30> v{};
  v[0] = 5;
  v[9] = 7;
  qx_ehm_consistency_values(v.data(), 10, -3, 250, 7, 1, 4, 40, 100);
  EXPECT_EQ(v[26], 5);   // (3, -4)
  EXPECT_EQ(v[27], 10);  // 250 - 4 as a signed byte is -10
  EXPECT_EQ(v[28], 60);
  EXPECT_EQ(v[29], 0);   // best quality 100
  qx_ehm_consistency_values(v.data(), 0, 0, 128, 0, 0, 0, 60, 20);
  EXPECT_EQ(v[27], 128);
  EXPECT_EQ(v[28], 40);
  EXPECT_EQ(v[29], 50);  // isqrt(64 x 40)
  // Far apart: clamped into 16 bits, never wrapped.
  qx_ehm_consistency_values(v.data(), 32767, 32767, 0, -32768, -32768, 0, 0, 0);
  EXPECT_EQ(v[26], 65535);
  EXPECT_EQ(v[29], 80);  // isqrt(6400)
  // Either matcher without a score: no alignment differences.
  v[9] = 0;
  qx_ehm_consistency_values(v.data(), 10, -3, 250, 7, 1, 4, 40, 100);
  EXPECT_EQ(v[26], 0);
  EXPECT_EQ(v[27], 0);
  EXPECT_EQ(v[28], 60);
}

}  // namespace
