// Template conversion table: which parts come out of which template types.
#include "engine/formats/qx_template_convert.h"

#include <gtest/gtest.h>

#include "engine/formats/compact_card.h"
#include "engine/formats/hybrid_record.h"
#include "engine/formats/iso19794_2.h"
#include "record_fixtures.h"

namespace {

using fmt_test::Bytes;
using fmt_test::take;

Bytes hybrid(const minutiastruct &m) {
  uint8_t *rec, *c, *h;
  uint32_t rn, cn, hn;
  EXPECT_EQ(qx_minutiastruct_to_iso19794_2_v2(&m, &rec, &rn), 0);
  EXPECT_EQ(qx_convert_iso_standard_to_compactcard(rec, rn, 64, &c, &cn), 0);
  qx_free(rec);
  EXPECT_EQ(qx_iso_compactcard_extend_proprietary_data(&c, &cn, &m), 0);
  const uint8_t od[2] = {70, 90}, fd[2] = {20, 30};
  const qx_block_field ori{od, 1, 2, 12, 0, 0, nullptr};
  const qx_fusion_image img{88, 96, 50, nullptr, 0, 0};
  const qx_block_field frq{fd, 1, 2, 12, 0, 0, nullptr};
  EXPECT_EQ(qx_iso_compactcard_to_iso_fusion(c, cn, &ori, &frq, &img, &h, &hn), 0);
  qx_free(c);
  return take(h, hn);
}

TEST(TemplateConvert, HybridPartsAndRefusedPairs) {
  const minutiastruct m = fmt_test::two_minutiae();
  const Bytes h = hybrid(m);
  qx_template *tpl = qx_template_create(QX_TEMPLATE_EHMHR, h.data(), h.size());
  ASSERT_NE(tpl, nullptr);
  uint8_t *p;
  uint32_t n;
  ASSERT_EQ(qx_template_convert(tpl, 66, &p, &n), 0);  // 74 counts as 67
  EXPECT_EQ(take(p, n), (Bytes{12, 0, 1, 0, 2, 70, 20, 90, 30}));
  ASSERT_EQ(qx_template_convert(tpl, 2, &p, &n), 0);
  const Bytes card = take(p, n);
  minutiastruct back;
  ASSERT_EQ(qx_convert_iso_compactcard_to_minutiastruct(card.data(), card.size(), &back, nullptr), 0);
  EXPECT_EQ(back.count, 2);
  EXPECT_NEAR(back.minutiae[0].col, 300, 2);
  ASSERT_EQ(qx_template_convert(tpl, 67, &p, &n), 0);
  EXPECT_EQ(take(p, n), h);
  EXPECT_EQ(qx_template_convert(tpl, 77, &p, &n), 1);  // 67 has no such pair
  EXPECT_EQ(p, nullptr);
  qx_template_delete(tpl);

  tpl = qx_template_create(QX_TEMPLATE_EHM_FUSION, h.data(), h.size());
  EXPECT_EQ(qx_template_convert(tpl, 2, &p, &n), 1);  // 72 is not in the table
  qx_template_delete(tpl);
  tpl = qx_template_create(QX_TEMPLATE_ISO_COMPACT_CARD, card.data(), card.size());
  EXPECT_EQ(qx_template_convert(tpl, 66, &p, &n), 1);
  ASSERT_EQ(qx_template_convert(tpl, 2, &p, &n), 0);
  EXPECT_EQ(take(p, n), card);
  qx_template_delete(tpl);

  // A record wrapped in 0xE1 gives the same parts.
  Bytes wrapped = {0xE1, static_cast<uint8_t>(h.size())};
  ASSERT_LT(h.size(), 128u);
  wrapped.insert(wrapped.end(), h.begin(), h.end());
  ASSERT_EQ(qx_template_convert_bytes(67, wrapped.data(), wrapped.size(), 2, &p, &n), 0);
  EXPECT_EQ(take(p, n), card);
  ASSERT_EQ(qx_template_convert_bytes(67, wrapped.data(), wrapped.size(), 66, &p, &n), 0);
  EXPECT_EQ(take(p, n).size(), 9u);

  // A short-layout spectral part is no high-resolution part of a type 78.
  EXPECT_EQ(qx_template_convert_bytes(78, h.data(), h.size(), 77, &p, &n), 4);
  const Bytes junk = {0x7F, 0x2E, 0x01};
  EXPECT_EQ(qx_template_convert_bytes(67, junk.data(), junk.size(), 66, &p, &n), 4);
}

}  // namespace
