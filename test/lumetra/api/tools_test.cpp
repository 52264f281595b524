// The library's internal exports for its own tools (api/lumetra_tools.h),
// on the real engine and generated captures: each gives what the engine
// function behind it gives, clears its outputs, and refuses what it
// cannot take.
#include <gtest/gtest.h>

#include <fpsynth/fpsynth.h>

#include <cstring>
#include <vector>

#include "api/lumetra_tools.h"
#include "engine/formats/extract_template.h"
#include "engine/formats/qx_template_convert.h"
#include "engine/image/extract.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_rc.h"
#include "imageio.h"
#include "lumetra.h"
#include "lumetra/api/api_fixture.h"

namespace {

fpsynth::Image capture(uint64_t finger, uint64_t impression) {
  const fpsynth::Master m = fpsynth::make_master(fpsynth::derive_seed(31, finger));
  return fpsynth::make_impression(m, fpsynth::derive_seed(77, impression)).image;  // 88 x 88
}

class Tools : public apitest::ApiState {};

TEST_F(Tools, ConfigurationIsThatOfTheBuiltAlgorithm) {
  lumetra_tools_config config;
  EXPECT_EQ(lumetra_tools_get_config(&config), -1);
  EXPECT_EQ(config.template_type, -1);
  EXPECT_EQ(config.sensor_size, -1);
  ASSERT_EQ(init_nerio_algorithm(), 0);
  ASSERT_EQ(lumetra_tools_get_config(&config), 0);
  EXPECT_GT(config.template_type, 0);
  EXPECT_GE(config.sensor_type, 0);
  EXPECT_GE(config.sensor_size, 0);
  EXPECT_EQ(lumetra_tools_get_config(nullptr), -1);
  uninit_nerio_algorithm();
  EXPECT_EQ(lumetra_tools_get_config(&config), -1);
}

TEST_F(Tools, EnrollmentCountsAndSlotsFollowTheExports) {
  lumetra_tools_enroll_counts counts;
  EXPECT_EQ(lumetra_tools_get_enroll_counts(&counts), -1);
  EXPECT_EQ(counts.capacity, 0);
  ASSERT_EQ(init_nerio_algorithm(), 0);
  unsigned char progress = 0;
  const fpsynth::Image first = capture(1, 1);
  ASSERT_EQ(nerio_qx_enroll_Image(first.pixels.data(), 0, 0, &progress), 0);
  ASSERT_EQ(lumetra_tools_get_enroll_counts(&counts), 0);
  EXPECT_EQ(counts.records, 1);
  EXPECT_EQ(counts.captures, 1);
  EXPECT_GT(counts.capacity, 1);
  // The same capture again is recorded, but not accepted.
  ASSERT_EQ(nerio_qx_enroll_Image(first.pixels.data(), 0, 1, &progress), 0);
  ASSERT_EQ(lumetra_tools_get_enroll_counts(&counts), 0);
  EXPECT_EQ(counts.records, 2);
  EXPECT_EQ(counts.captures, 1);
  for (int i = 2; i <= 8; ++i) {
    const fpsynth::Image im = capture(1, i);
    nerio_qx_enroll_Image(im.pixels.data(), 0, 1, &progress);
  }
  for (int slot = 0; slot < LUMETRA_TOOLS_SLOTS; ++slot) EXPECT_EQ(lumetra_tools_slot_loaded(slot), 0);
  auto record = std::make_unique<tpl_record>();
  ASSERT_EQ(nerio_qx_save_tpl(0, record.get()), 0);
  EXPECT_EQ(lumetra_tools_slot_loaded(0), 1);
  EXPECT_EQ(lumetra_tools_slot_loaded(-1), 0);
  EXPECT_EQ(lumetra_tools_slot_loaded(LUMETRA_TOOLS_SLOTS), 0);
  EXPECT_EQ(lumetra_tools_get_enroll_counts(&counts), -1);  // saved: the session is closed

  // The report's score of slot 0 is the comparison of the tools' own
  // extraction of the probe with the slot's template.
  const fpsynth::Image probe = capture(1, 9);
  lumetra_tools_verify_report report;
  int matched = -1, updated = 0;
  set_fp_dyn_update_flg(0);
  const int verified = lumetra_tools_verify(probe.pixels.data(), &matched, &updated, 0, &report);
  ASSERT_EQ(report.extract_rc, QX_RC_OK);
  ASSERT_EQ(report.scored[0], 1);
  EXPECT_EQ(verified == 0, matched == 0);
  EXPECT_EQ(nerio_qx_verify(probe.pixels.data(), &matched, &updated, 0), verified);
}

TEST_F(Tools, TemplatesInMemoryCompareAsTheAlgorithmDoes) {
  const fpsynth::Image a = capture(2, 1), b = capture(2, 2), other = capture(3, 1);
  lumetra_tools_template *t = reinterpret_cast<lumetra_tools_template *>(1);
  EXPECT_EQ(lumetra_tools_extract(a.pixels.data(), a.rows, a.cols, &t), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(t, nullptr);  // no algorithm yet
  ASSERT_EQ(init_nerio_algorithm(), 0);
  lumetra_tools_template *ta = nullptr, *tb = nullptr, *tc = nullptr;
  ASSERT_EQ(lumetra_tools_extract(a.pixels.data(), a.rows, a.cols, &ta), QX_RC_OK);
  ASSERT_EQ(lumetra_tools_extract(b.pixels.data(), b.rows, b.cols, &tb), QX_RC_OK);
  ASSERT_EQ(lumetra_tools_extract(other.pixels.data(), other.rows, other.cols, &tc), QX_RC_OK);
  lumetra_tools_comparison same, different;
  ASSERT_EQ(lumetra_tools_compare(ta, tb, 12, &same), QX_RC_OK);
  ASSERT_EQ(lumetra_tools_compare(ta, tc, 12, &different), QX_RC_OK);
  EXPECT_GT(same.score, different.score);
  EXPECT_EQ(different.decision, 0);
  // At the loosest level the same finger is accepted.
  ASSERT_EQ(lumetra_tools_compare(ta, tb, 0, &same), QX_RC_OK);
  EXPECT_EQ(same.decision, 1);
  EXPECT_EQ(lumetra_tools_compare(ta, nullptr, 12, &same), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(same.score, 0);
  EXPECT_EQ(lumetra_tools_extract(nullptr, 88, 88, &t), QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(lumetra_tools_extract(a.pixels.data(), 0, 88, &t), QX_RC_BAD_ARGUMENT);
  lumetra_tools_template_delete(ta);
  lumetra_tools_template_delete(tb);
  lumetra_tools_template_delete(tc);
  lumetra_tools_template_delete(nullptr);
}

TEST_F(Tools, BitmapsAndResamplingAreTheEnginesOwn) {
  const fpsynth::Image im = capture(4, 1);
  const std::vector<uint8_t> bmp = imageio::encode_bmp(im);
  unsigned char *pixels = reinterpret_cast<unsigned char *>(1);
  unsigned int cols = 7, rows = 7;
  ASSERT_EQ(lumetra_tools_decode_bitmap(bmp.data(), bmp.size(), &pixels, &cols, &rows), QX_RC_OK);
  ASSERT_EQ(cols, 88u);
  ASSERT_EQ(rows, 88u);
  EXPECT_EQ(std::vector<uint8_t>(pixels, pixels + 88 * 88), im.pixels);
  lumetra_tools_free(pixels);
  EXPECT_NE(lumetra_tools_decode_bitmap(bmp.data(), 100, &pixels, &cols, &rows), QX_RC_OK);
  EXPECT_EQ(pixels, nullptr);
  EXPECT_EQ(cols, 0u);

  // 1000 dpi to 500: half the size each way.
  unsigned char *scaled = nullptr;
  int srows = 0, scols = 0;
  ASSERT_EQ(lumetra_tools_resample_to_500(im.pixels.data(), 88, 88, 1000, 1000, &scaled, &srows,
                                          &scols),
            QX_RC_OK);
  EXPECT_EQ(srows, 44);
  EXPECT_EQ(scols, 44);
  lumetra_tools_free(scaled);
  EXPECT_EQ(lumetra_tools_resample_to_500(im.pixels.data(), 88, 88, 0, 500, &scaled, &srows, &scols),
            QX_RC_BAD_ARGUMENT);
  EXPECT_EQ(scaled, nullptr);
  lumetra_tools_free(nullptr);
}

TEST_F(Tools, RecordsTheirTypesAndTheirParts) {
  const fpsynth::Image im = capture(5, 1);
  uint8_t *iso = nullptr, *hybrid = nullptr;
  uint32_t iso_size = 0, hybrid_size = 0;
  ASSERT_EQ(lumetra_tools_extract_record(im.pixels.data(), im.rows, im.cols, 255, 21, 0,
                                         QX_FORMAT_ISO_RECORD, &iso, &iso_size),
            QXI_OK);
  ASSERT_EQ(lumetra_tools_extract_record(im.pixels.data(), im.rows, im.cols, 255, 21, 0,
                                         QX_FORMAT_CARD_TO_EHM, &hybrid, &hybrid_size),
            QXI_OK);
  // The same bytes as the extractor's own call (which may use its buffer).
  std::vector<uint8_t> work = im.pixels;
  uint8_t *direct = nullptr;
  uint32_t direct_size = 0;
  ASSERT_EQ(bal_extract_template(work.data(), im.rows, im.cols, 0, 0, 0, 255, 21, 0,
                                 QX_FORMAT_ISO_RECORD, &direct, &direct_size),
            QXI_OK);
  EXPECT_EQ(std::vector<uint8_t>(iso, iso + iso_size), std::vector<uint8_t>(direct, direct + direct_size));
  bal_free_template(direct);

  EXPECT_EQ(lumetra_tools_record_type(iso, iso_size), QX_TEMPLATE_ISO19794_2);
  EXPECT_EQ(lumetra_tools_record_type(hybrid, hybrid_size), QX_TEMPLATE_EHM);
  EXPECT_EQ(lumetra_tools_record_type(iso, 3), 0);
  EXPECT_EQ(lumetra_tools_record_type(nullptr, 10), 0);

  uint8_t *card = nullptr;
  uint32_t card_size = 0;
  ASSERT_EQ(lumetra_tools_convert_template(QX_TEMPLATE_EHM, hybrid, hybrid_size,
                                           QX_TEMPLATE_ISO_COMPACT_CARD, &card, &card_size),
            QX_RC_OK);
  EXPECT_EQ(lumetra_tools_record_type(card, card_size), QX_TEMPLATE_ISO_COMPACT_CARD);
  lumetra_tools_free(card);
  EXPECT_NE(lumetra_tools_convert_template(QX_TEMPLATE_ISO19794_2, iso, iso_size,
                                           QX_TEMPLATE_SPECTRAL, &card, &card_size),
            QX_RC_OK);
  lumetra_tools_free(card);
  lumetra_tools_free(iso);
  lumetra_tools_free(hybrid);

  uint8_t *none = reinterpret_cast<uint8_t *>(1);
  uint32_t none_size = 9;
  EXPECT_NE(lumetra_tools_extract_record(nullptr, 88, 88, 255, 21, 0, QX_FORMAT_ISO_RECORD, &none,
                                         &none_size),
            QXI_OK);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(none_size, 0u);
}

TEST_F(Tools, FeaturesAreTheExtractorsAndLeaveTheImageAlone) {
  const fpsynth::Image im = capture(6, 1);
  const std::vector<uint8_t> before = im.pixels;
  bal_extract_result r;
  std::memset(&r, 0x33, sizeof r);
  r.flags = BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS;
  ASSERT_EQ(lumetra_tools_find_features(im.pixels.data(), im.rows, im.cols, &r), QXI_OK);
  EXPECT_EQ(im.pixels, before);
  bal_extract_result direct;
  std::memset(&direct, 0, sizeof direct);
  direct.flags = BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS;
  std::vector<uint8_t> work = im.pixels;
  ASSERT_EQ(bal_extract(work.data(), im.rows, im.cols, &direct), QXI_OK);
  EXPECT_GT(r.minutiae.count, 0);
  EXPECT_EQ(r.minutiae.count, direct.minutiae.count);
  EXPECT_EQ(r.cores.count, direct.cores.count);
  EXPECT_EQ(r.deltas.count, direct.deltas.count);
  bal_extract_release(&direct);
  lumetra_tools_release_features(&r);
  lumetra_tools_release_features(nullptr);
  EXPECT_NE(lumetra_tools_find_features(nullptr, 88, 88, &r), QXI_OK);
}

}  // namespace
