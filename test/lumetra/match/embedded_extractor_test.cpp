// Embedded extractors: preferred geometry, order codes, the requested-type
// table, and extraction through the algorithm of each "ehm" configuration.
#include "engine/match/embedded_extractor.h"

#include <gtest/gtest.h>

#include <fpsynth/fpsynth.h>

#include <string>

#include "engine/formats/compact_card.h"
#include "engine/formats/hybrid_record.h"
#include "engine/formats/qx_template_convert.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/qx_alloc.h"

namespace {

struct Geometry {
  int32_t vres, hres, rows, cols;
};

Geometry pref(void (*fn)(qx_session *, int32_t, int32_t, int32_t, int32_t, int32_t *, int32_t *,
                         int32_t *, int32_t *),
              qx_session *s, int32_t res, int32_t rows, int32_t cols) {
  Geometry g{};
  fn(s, res, res, rows, cols, &g.vres, &g.hres, &g.rows, &g.cols);
  return g;
}

class EmbeddedExtractor : public ::testing::Test {
 protected:
  void SetUp() override { session_ = qx_session_create(); }
  void TearDown() override { qx_session_delete(session_); }
  qx_session *session_ = nullptr;
};

TEST_F(EmbeddedExtractor, PreferredGeometryExamples) {
  qx_session_set_sensor_size_(session_, 6);
  Geometry g = pref(embedded_pref_idim, session_, 500, 88, 88);
  EXPECT_EQ(g.rows, 120);
  EXPECT_EQ(g.cols, 120);
  EXPECT_EQ(g.vres, 682);
  EXPECT_EQ(g.hres, 682);
  g = pref(embedded_pref_idim_speedmem, session_, 500, 88, 88);
  EXPECT_EQ(g.rows, 60);
  EXPECT_EQ(g.vres, 341);
  g = pref(embedded_pref_idim_speed, session_, 500, 88, 88);
  EXPECT_EQ(g.rows, 120);

  qx_session_set_sensor_size_(session_, 2);
  g = pref(embedded_pref_idim, session_, 500, 88, 88);
  EXPECT_EQ(g.rows, 88);  // 96 would be the multiple, but 500 dpi is on target
  EXPECT_EQ(g.vres, 500);

  qx_session_set_sensor_size_(session_, 6);
  qx_session_set_int(session_, "qx.embedded_extractor.ignore_scaling", 1);
  g = pref(embedded_pref_idim, session_, 500, 88, 88);
  EXPECT_EQ(g.rows, 88);
  EXPECT_EQ(g.vres, 500);

  // Oblong: the shorter side is raised to the multiple, the other follows.
  qx_session_set_sensor_size_(session_, 2);
  g = pref(embedded_pref_idim, session_, 400, 80, 200);
  EXPECT_EQ(g.rows, 108);  // (80*500+200)/400 = 100 -> 108
  EXPECT_EQ(g.cols, 270);  // (200*108+40)/80
  EXPECT_EQ(g.vres, 540);
  g = pref(embedded_pref_idim, session_, 0, 80, 200);  // no resolution: unchanged
  EXPECT_EQ(g.rows, 80);
}

TEST_F(EmbeddedExtractor, OrderCodesAndRequestedTypes) {
  EXPECT_EQ(embedded_order_code(0), 21);
  EXPECT_EQ(embedded_order_code(6), 17);
  EXPECT_EQ(embedded_order_code(5), 1);
  EXPECT_EQ(embedded_order_code(32), 21);
  EXPECT_EQ(embedded_order_code(18), 20);  // key 4 descending
  EXPECT_EQ(embedded_order_code(13), 3);
  EXPECT_EQ(embedded_order_code(7), 1);    // bits 0-1 = 3 is not descending

  int32_t type;
  uint32_t flags;
  int format;
  ASSERT_EQ(embedded_requested_type(74, &type, &flags, &format), 0);
  EXPECT_EQ(type, 67);
  EXPECT_EQ(flags, 0x04F2u);
  EXPECT_EQ(format, 2);
  ASSERT_EQ(embedded_requested_type(73, &type, &flags, &format), 0);
  EXPECT_EQ(type, 67);
  EXPECT_EQ(format, 4);
  ASSERT_EQ(embedded_requested_type(75, &type, &flags, &format), 0);
  EXPECT_EQ(type, 72);
  EXPECT_EQ(flags, 0x06F2u);
  EXPECT_EQ(embedded_requested_type(66, &type, &flags, &format), 1);
  qx_image *img = qx_image_create(88, 88, 500, 500, nullptr, 0);
  qx_template *tpl = reinterpret_cast<qx_template *>(1);
  EXPECT_EQ(embedded_extract_template(session_, img, nullptr, 80, &tpl), 1);
  EXPECT_EQ(tpl, nullptr);
  qx_image_delete(img);
}

int card_minutiae(const qx_template *tpl) {
  uint8_t *card;
  uint32_t n;
  if (qx_template_convert(tpl, 2, &card, &n) != 0) return -1;
  minutiastruct m;
  const int rc = qx_convert_iso_compactcard_to_minutiastruct(card, n, &m, nullptr);
  qx_free(card);
  return rc == 0 ? m.count : -1;
}

// Options are read at every extraction; a weak image that is not constant
// hands its buffer to the extraction when no rescaling is needed.
TEST_F(EmbeddedExtractor, OptionsPerExtractionAndBufferHandOver) {
  const fpsynth::Master master = fpsynth::make_master(9);
  fpsynth::ImpressionParams ip;
  ip.rows = ip.cols = 160;
  ip.skin = fpsynth::Skin::Normal;
  const fpsynth::Impression imp = fpsynth::make_impression(master, 3, ip);
  qx_session_set_sensor_size_(session_, 2);
  qx_image *img = qx_image_create(160, 160, 500, 500, imp.image.pixels.data(), 0);
  qx_template *tpl = nullptr;
  ASSERT_EQ(embedded_extract_template(session_, img, nullptr, 67, &tpl), 0);
  const int all = card_minutiae(tpl);
  qx_template_delete(tpl);
  ASSERT_GT(all, 5);
  qx_session_set_int(session_, "qx.max_minutiae", 0x103);  // low 8 bits: 3
  ASSERT_EQ(embedded_extract_template(session_, img, nullptr, 67, &tpl), 0);
  EXPECT_EQ(card_minutiae(tpl), 3);
  qx_template_delete(tpl);
  EXPECT_NE(qx_image_get_pixels(img), nullptr);  // a constant image keeps its pixels

  qx_image_set_mr_const(img, 0);
  qx_image_mr_weak(img);
  const long live = qx_alloc_live();
  ASSERT_EQ(embedded_extract_template(session_, img, nullptr, 2, &tpl), 0);
  EXPECT_EQ(qx_template_get_type(tpl), 2);
  EXPECT_EQ(qx_image_get_pixels(img), nullptr);  // handed over and freed
  qx_template_delete(tpl);
  EXPECT_LT(qx_alloc_live(), live);
  qx_image_delete(img);
}

// Every "ehm" configuration extracts a template from an 88 x 88 capture.
TEST_F(EmbeddedExtractor, EveryConfigurationExtractsItsTemplate) {
  const fpsynth::Master master = fpsynth::make_master(7);
  fpsynth::ImpressionParams ip;
  ip.skin = fpsynth::Skin::Normal;
  const fpsynth::Impression imp = fpsynth::make_impression(master, 11, ip);
  const long live = qx_alloc_live();
  for (int i = 0; i < QX_CONFIG_REGISTRY_ROWS; ++i) {
    const qx_config_row *row = qx_config_registry() + i;
    if (std::string(row->family) != "ehm") continue;
    qx_session *s = qx_session_create();
    qx_algorithm *alg = row->builder(s);
    ASSERT_NE(alg, nullptr) << row->name;
    qx_image *img = qx_image_create(88, 88, 500, 500, imp.image.pixels.data(), 0);
    qx_template *tpl = nullptr;
    ASSERT_EQ(qx_algorithm_extract_template(alg, img, nullptr, &tpl), 0) << row->name;
    EXPECT_EQ(qx_template_get_type(tpl), 67) << row->name;
    uint8_t *card;
    uint32_t n;
    ASSERT_EQ(qx_template_convert(tpl, 2, &card, &n), 0) << row->name;
    minutiastruct m;
    EXPECT_EQ(qx_convert_iso_compactcard_to_minutiastruct(card, n, &m, nullptr), 0);
    EXPECT_GT(m.count, 0) << row->name;
    qx_free(card);
    int32_t rows, cols;
    uint8_t q;
    EXPECT_EQ(qx_hybrid_get_dimensions(qx_template_get_data(tpl), qx_template_get_data_size(tpl),
                                       &rows, &cols, &q), 0);
    EXPECT_GT(rows, 0);
    ASSERT_EQ(qx_template_convert(tpl, 66, &card, &n), 0);
    // Type 74 configurations carry the fine grid (long layout with the
    // compressed extension); type 67 ones the short layout.
    const bool hr = qx_algorithm_get_template_type(alg) == 74;
    EXPECT_EQ(card[0] == 0 && card[1] == 0, hr) << row->name;
    if (hr) {
      ASSERT_GT(n, 9u);
      const uint32_t main_len = static_cast<uint32_t>(card[2] << 8 | card[3]);
      ASSERT_LT(4 + main_len, n);
      EXPECT_EQ(card[4 + main_len], 2) << row->name;  // extension type 2
      // Both streams decode to exactly eight values per block.
      const int32_t values = 8 * card[6] * card[8];
      const uint8_t *e = card + 4 + main_len + 3;
      const uint32_t lo = static_cast<uint32_t>(e[0] << 8 | e[1]);
      ASSERT_LE(4 + main_len + 3 + 2 + lo + 2, n);
      const uint32_t lf = static_cast<uint32_t>(e[2 + lo] << 8 | e[3 + lo]);
      EXPECT_EQ(4 + main_len + 3 + 4 + lo + lf, n);
      int32_t decoded;
      EXPECT_EQ(unpack5v(e + 2, static_cast<int32_t>(lo), values, nullptr, &decoded), 0);
      EXPECT_EQ(unpack5v(e + 4 + lo, static_cast<int32_t>(lf), values, nullptr, &decoded), 0);
    }
    qx_free(card);
    qx_template_delete(tpl);
    qx_image_delete(img);
    qx_algorithm_delete(alg);
    qx_session_delete(s);
  }
  EXPECT_EQ(qx_alloc_live(), live);
}

}  // namespace
