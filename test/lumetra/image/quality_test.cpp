// The quality measure: crop, presence, condition, coherence, quality and
// area, and the engine entry points with their resolution rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/image/quality.h"
#include "engine/image/resample.h"
#include "engine/qx_alloc.h"
#include "engine/qx_simd.h"
#include "image_gen.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Quality, GradientMomentsAreTheSameOnBothPaths) {
  // Blocks of 12 and 6 at both scales, patchy masks (so windows lose edge
  // lines on every side), pictures reaching past the last whole block and
  // ones that end exactly at it (the last blocks' rows cannot be read 16
  // wide there), noise and prints.
  const int sizes[][3] = {{12, 120, 120}, {12, 96, 197}, {12, 36, 36}, {6, 60, 66}, {6, 18, 20}, {12, 49, 61}};
  int seed = 21;
  for (const auto &z : sizes)
    for (int scale = 1; scale <= 2; ++scale) {
      const int B = z[0], rows = z[1], cols = z[2], brows = rows / B, bcols = cols / B, nb = brows * bcols;
      Bytes mask = imggen::noise(brows, bcols, ++seed);
      for (uint8_t &m : mask) m = m % 4 != 0;
      for (const Bytes &px : {imggen::noise(rows, cols, ++seed), imggen::finger(rows, cols, 8, 120, 0.9)}) {
        std::vector<int32_t> gxy[2];
        std::vector<uint32_t> gxx[2], gyy[2];
        std::vector<int16_t> counts[2];
        for (int plain = 0; plain < 2; ++plain) {
          gxy[plain].assign(nb, -1);
          gxx[plain].assign(nb, 1);
          gyy[plain].assign(nb, 1);
          counts[plain].assign(nb, -1);
          const int previous = qx_simd_force_plain(plain);
          ASSERT_EQ(0, bal_compute_gradients(px.data(), rows, cols, mask.data(), brows, bcols, B, gxy[plain].data(),
                                             gxx[plain].data(), gyy[plain].data(), counts[plain].data(), scale));
          qx_simd_force_plain(previous);
        }
        const std::string what = "B " + std::to_string(B) + ", " + std::to_string(rows) + " x " +
                                 std::to_string(cols) + ", scale " + std::to_string(scale);
        EXPECT_EQ(gxy[0], gxy[1]) << what;
        EXPECT_EQ(gxx[0], gxx[1]) << what;
        EXPECT_EQ(gyy[0], gyy[1]) << what;
        EXPECT_EQ(counts[0], counts[1]) << what;
        // The prints have gradients to count: the comparison is not of
        // empty fields.
        int counted = 0;
        for (int16_t c : counts[1]) counted += c > 0;
        EXPECT_GT(counted, nb / 2) << what;
      }
    }
}

TEST(Quality, CropKeepsCentredWholeBlocks) {
  struct Case {
    int rows, cols, B, out_rows, out_cols, roff, coff;
  };
  const Case cases[] = {
      {365, 200, 12, 360, 192, 2, 4},  // 5 rows: 2 above, 3 below
      {88, 88, 12, 84, 84, 2, 2},
      {96, 96, 12, 96, 96, 0, 0},
      {13, 12, 12, 12, 12, 0, 0},  // odd remainder: the extra line goes at the bottom
      {50, 50, 6, 48, 48, 1, 1},
  };
  for (const Case &c : cases) {
    Bytes px(static_cast<size_t>(c.rows) * c.cols);
    for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 7);
    uint8_t *out = nullptr;
    int r, k, ro, co;
    ASSERT_EQ(bal_crop_block_size(px.data(), c.rows, c.cols, c.B, &out, &r, &k, &ro, &co), 0);
    EXPECT_EQ(r, c.out_rows);
    EXPECT_EQ(k, c.out_cols);
    EXPECT_EQ(ro, c.roff);
    EXPECT_EQ(co, c.coff);
    EXPECT_EQ(out[0], px[static_cast<size_t>(c.roff) * c.cols + c.coff]);
    EXPECT_EQ(out[static_cast<size_t>(r) * k - 1],
              px[static_cast<size_t>(c.roff + r - 1) * c.cols + c.coff + k - 1]);
    qx_free(out);
  }
  uint8_t *out = reinterpret_cast<uint8_t *>(1);
  int r, k, ro, co;
  const Bytes tiny(11 * 200, 0);
  EXPECT_EQ(bal_crop_block_size(tiny.data(), 11, 200, 12, &out, &r, &k, &ro, &co), QXI_OUT_OF_RANGE);
  EXPECT_EQ(out, nullptr);
}

TEST(Quality, AreaAndQualityFromCoherence) {
  // 88 x 88 cropped to 7 x 7 blocks, all fingerprint: 7744 pixels.
  const Bytes mask(49, 1);
  const Bytes coherent(49, 255);
  uint8_t q;
  uint32_t area;
  ASSERT_EQ(bal_image_quality_qual(nullptr, 84, 84, 7, 7, 12, mask.data(), coherent.data(), 88, 88, &q, &area, 1),
            0);
  EXPECT_EQ(area, 7744u);
  EXPECT_EQ(q, 100);  // term 99 per block: ((99 - 30) * 100 / 60) = 115 -> 100
  // No direction at all still gives 1 as long as a block is fingerprint.
  Bytes one(49, 0);
  one[24] = 1;
  const Bytes flat(49, 0);
  ASSERT_EQ(bal_image_quality_qual(nullptr, 84, 84, 7, 7, 12, one.data(), flat.data(), 88, 88, &q, &area, 1), 0);
  EXPECT_EQ(q, 1);
  EXPECT_EQ(area, 157u);  // ((144 * 88 * 1) / 84 = 150) * 88 / 84
  // A mean term of 60 maps to 50: coherence c with (c * 99) >> 8 = 59.
  const Bytes mid(49, 153);
  ASSERT_EQ(bal_image_quality_qual(nullptr, 84, 84, 7, 7, 12, mask.data(), mid.data(), 88, 88, &q, &area, 1), 0);
  EXPECT_EQ(q, 50);
  const Bytes none(49, 0);
  ASSERT_EQ(bal_image_quality_qual(nullptr, 84, 84, 7, 7, 12, none.data(), coherent.data(), 88, 88, &q, &area, 1),
            0);
  EXPECT_EQ(q, 0);
  EXPECT_EQ(area, 0u);
}

TEST(Quality, CoherenceSeparatesRidgesFromNoise) {
  const Bytes mask(64, 1);
  Bytes coh(64);
  Bytes ridges = imggen::ridges(96, 96, 9, 20);
  ASSERT_EQ(bal_ridge_orientation_coherence(ridges.data(), 96, 96, coh.data(), mask.data(), 8, 8, 12), 0);
  for (int b = 0; b < 64; ++b) EXPECT_GT(coh[b], 200) << b;
  Bytes noise = imggen::noise(96, 96);
  ASSERT_EQ(bal_ridge_orientation_coherence(noise.data(), 96, 96, coh.data(), mask.data(), 8, 8, 12), 0);
  for (int b = 0; b < 64; ++b) EXPECT_LT(coh[b], 100) << b;
}

TEST(Quality, GradientWindowsAreTrimmedAtBackground) {
  // A vertical step exactly on the block boundary between a fingerprint
  // block and a background block: trimming removes the step from the
  // fingerprint block's window only where it faces background.
  Bytes px(12 * 24, 0);
  for (int r = 0; r < 12; ++r)
    for (int c = 12; c < 24; ++c) px[r * 24 + c] = 255;
  int32_t gxy[2];
  uint32_t gxx[2], gyy[2];
  int16_t n[2];
  const Bytes both = {1, 1};
  ASSERT_EQ(bal_compute_gradients(px.data(), 12, 24, both.data(), 1, 2, 12, gxy, gxx, gyy, n, 2), 0);
  EXPECT_EQ(n[0], 10);  // column 11, rows 1..10 (image border rows are 0)
  EXPECT_EQ(gxx[0], 127u * 127u);
  EXPECT_EQ(gyy[0], 0u);
  const Bytes left_only = {1, 0};
  ASSERT_EQ(bal_compute_gradients(px.data(), 12, 24, left_only.data(), 1, 2, 12, gxy, gxx, gyy, n, 2), 0);
  EXPECT_EQ(n[0], 0);  // its last column faces background
  EXPECT_EQ(n[1], 10); // moments exist for background blocks too
  EXPECT_EQ(gxx[0], 0u);
}

TEST(Quality, PresenceAndCondition) {
  const Bytes grey = imggen::flat(120, 120, 128);
  EXPECT_EQ(bal_finger_is_present_scale(grey.data(), 120, 120, 1), 0);
  const Bytes print = imggen::ridges(120, 120, 9, 45);
  EXPECT_EQ(bal_finger_is_present_scale(print.data(), 120, 120, 1), 1);
  EXPECT_EQ(bal_finger_is_present_scale(print.data(), 120, 120, 2), 1);
  EXPECT_EQ(bal_finger_is_present_scale(print.data(), 15, 120, 1), 0);  // no whole block

  // Condition: half bright, half dark in the counted blocks -> about 50.
  const Bytes mask(100, 1);
  uint8_t cond = 99;
  ASSERT_EQ(bal_image_quality_cond(print.data(), 120, 120, 10, 10, 12, mask.data(), &cond), 0);
  EXPECT_GE(cond, 40);
  EXPECT_LE(cond, 60);
  ASSERT_EQ(bal_image_quality_cond(print.data(), 120, 120, 2, 10, 12, mask.data(), &cond), 0);
  EXPECT_EQ(cond, 0);  // fewer than 3 block rows
}

TEST(Quality, CoreOnSmallAndEmptyImages) {
  uint8_t q = 9, c = 9;
  uint32_t a = 9;
  const Bytes tiny = imggen::ridges(11, 200, 9, 0);
  ASSERT_EQ(bal_image_quality_scale(tiny.data(), 11, 200, &q, &a, &c, 1), 0);
  EXPECT_EQ(q + a + c, 0u);
  const Bytes grey = imggen::flat(200, 200, 128);
  q = c = 9, a = 9;
  ASSERT_EQ(bal_image_quality_scale(grey.data(), 200, 200, &q, &a, &c, 1), 0);
  EXPECT_EQ(q + a + c, 0u);
}

TEST(Quality, FullSensorPrintOf88) {
  const Bytes px = imggen::ridges(88, 88, 9, 30);
  qx_image *img = qx_image_create(88, 88, 500, 500, px.data(), 0);
  qx_quality *rec = nullptr;
  ASSERT_EQ(qx_compute_quality_500(nullptr, img, &rec), 0);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(qx_image_get_quality_values(img), rec);
  EXPECT_EQ(qx_quality_get_area(rec), 19);  // 7744 pixels / 388
  EXPECT_GE(qx_quality_get_image_quality(rec), 60);
  EXPECT_GT(qx_quality_get_condition(rec), 0);
  qx_image_delete(img);  // the caller's reference outlives the image
  EXPECT_EQ(qx_quality_get_area(rec), 19);
  qx_quality_delete(rec);
}

TEST(Quality, NoiseScoresBelowRidges) {
  const Bytes ridges = imggen::finger(300, 300);
  const Bytes noise = imggen::noise(300, 300);
  uint8_t qr, qn, c;
  uint32_t a;
  ASSERT_EQ(bal_image_quality_scale(ridges.data(), 300, 300, &qr, &a, &c, 1), 0);
  EXPECT_GT(a, 0u);
  EXPECT_LT(a, 300u * 300u / 2);
  ASSERT_EQ(bal_image_quality_scale(noise.data(), 300, 300, &qn, &a, &c, 1), 0);
  EXPECT_GT(qr, qn);
}

TEST(Quality, UniformImageGetsARecordOfZeros) {
  const Bytes grey = imggen::flat(100, 100, 128);
  qx_image *img = qx_image_create(100, 100, 500, 500, grey.data(), 0);
  qx_quality *rec = nullptr;
  ASSERT_EQ(qx_compute_quality_500(nullptr, img, &rec), 0);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(qx_image_get_quality_values(img), rec);
  EXPECT_EQ(qx_quality_get_image_quality(rec) + qx_quality_get_area(rec) + qx_quality_get_condition(rec), 0);
  qx_quality_delete(rec);
  qx_image_delete(img);
}

TEST(Quality, ResolutionRule) {
  struct Case {
    int res;
    int rc;
  };
  const Bytes px = imggen::ridges(120, 120, 9, 30);
  for (const Case &c : {Case{0, 1}, Case{1000, 0}, Case{254, 0}, Case{400, 0}, Case{495, 0}, Case{508, 0}}) {
    qx_image *img = qx_image_create(120, 120, c.res, c.res, px.data(), 0);
    qx_quality *rec = reinterpret_cast<qx_quality *>(1);
    EXPECT_EQ(qx_compute_quality_500(nullptr, img, &rec), c.rc) << c.res;
    if (c.rc == 0) {
      EXPECT_EQ(qx_image_get_quality_values(img), rec);  // attached to the input, not a copy
    } else {
      EXPECT_EQ(rec, nullptr);
    }
    qx_quality_delete(rec);
    qx_image_delete(img);
  }
  qx_image *uneven = qx_image_create(120, 120, 500, 250, px.data(), 0);
  qx_quality *rec = nullptr;
  EXPECT_EQ(qx_compute_quality_500(nullptr, uneven, &rec), 1);
  EXPECT_EQ(qx_compute_quality_500(nullptr, uneven, nullptr), 2);
  qx_image_delete(uneven);

  EXPECT_EQ(qx_quality_working_resolution(1000, 500, 8), 500);
  EXPECT_EQ(qx_quality_working_resolution(254, 500, 8), 508);
  EXPECT_EQ(qx_quality_working_resolution(400, 500, 8), 500);
  EXPECT_EQ(qx_quality_working_resolution(495, 500, 8), 495);
  EXPECT_EQ(qx_quality_working_resolution(508, 500, 8), 508);
  EXPECT_EQ(qx_quality_working_resolution(500, 250, 4), 250);
  EXPECT_EQ(qx_quality_working_resolution(126, 250, 4), 252);
}

TEST(Quality, AreaInSquareMillimetres) {
  EXPECT_EQ(qx_quality_area_mm2(7744, 500, 500), 19);
  EXPECT_EQ(qx_quality_area_mm2(388 * 100, 500, 500), 100);
  EXPECT_EQ(qx_quality_area_mm2(97 * 30, 250, 250), 30);
  EXPECT_EQ(qx_quality_area_mm2(7744, 508, 500), ((((250000 / 508) * 7744) >> 2) / 97) / 508);
  EXPECT_EQ(qx_quality_area_mm2(4000000000u, 500, 500), 0xFFFF);  // saturates instead of wrapping
}

TEST(Quality, At250Dpi) {
  const Bytes px = imggen::ridges(60, 60, 4.5, 30);
  qx_image *img = qx_image_create(60, 60, 250, 250, px.data(), 0);
  qx_quality *rec = nullptr;
  ASSERT_EQ(qx_compute_quality_250(nullptr, img, &rec), 0);
  // 60 x 60 at 250 dpi, 10 x 10 blocks of 6: 3600 pixels / 97.
  EXPECT_EQ(qx_quality_get_area(rec), 3600 / 97);
  EXPECT_GT(qx_quality_get_image_quality(rec), 0);
  qx_quality_delete(rec);
  qx_image_delete(img);
}

TEST(Quality, EveryAllocationFailureAnswers9AndLeaksNothing) {
  const Bytes px = imggen::finger(150, 140);
  qx_image *img = qx_image_create(150, 140, 1000, 1000, px.data(), 0);  // resampled on the way
  const long live = qx_alloc_live();
  long failures = 0;
  for (long n = 0;; ++n) {
    qx_quality *rec = nullptr;
    qx_alloc_fail_after(n);
    const qx_rc rc = qx_compute_quality_500(nullptr, img, &rec);
    const bool fired = !qx_alloc_fail_pending();
    qx_alloc_fail_after(-1);
    if (!fired) {
      EXPECT_EQ(rc, 0);
      qx_quality_delete(rec);
      break;
    }
    ++failures;
    EXPECT_EQ(rc, 9) << "allocation " << n;
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(qx_image_get_quality_values(img), nullptr);
    EXPECT_EQ(qx_alloc_live(), live);
  }
  EXPECT_GT(failures, 10);
  qx_image_delete(img);
}

}  // namespace

namespace {

// Every size from a single pixel up, odd resolutions and strange targets:
// the measure and the resampler must answer without touching memory
// outside their buffers (the sanitizer build checks that).
TEST(Quality, OddSizesAndResolutionsAreSafe) {
  const int sizes[] = {1, 2, 5, 11, 12, 13, 17, 23, 24, 25, 31, 37, 48, 61};
  for (int rows : sizes)
    for (int cols : sizes) {
      const Bytes px = imggen::finger(rows, cols, 5, 60, 0.8);
      for (int res : {500, 250, 1000, 333, 2000}) {
        qx_image *img = qx_image_create(rows, cols, res, res, px.data(), 0);
        ASSERT_NE(img, nullptr);
        qx_quality *rec = nullptr;
        ASSERT_EQ(qx_compute_quality_500(nullptr, img, &rec), 0) << rows << "x" << cols << "@" << res;
        EXPECT_LE(qx_quality_get_image_quality(rec), 100);
        EXPECT_LE(qx_quality_get_condition(rec), 100);
        qx_quality_delete(rec);
        ASSERT_EQ(qx_compute_quality_250(nullptr, img, &rec), 0) << rows << "x" << cols << "@" << res;
        qx_quality_delete(rec);
        qx_image_delete(img);
      }
      Bytes out(static_cast<size_t>(61) * 61);
      for (int tr : {1, 3, rows / 2 + 1, rows * 2})
        for (int tc : {1, 4, cols / 3 + 1, cols + 1})
          ASSERT_EQ(bal_scale_bilinear(px.data(), rows, cols, out.data(), tr < 61 ? tr : 61, tc < 61 ? tc : 61), 0);
    }
}

}  // namespace
