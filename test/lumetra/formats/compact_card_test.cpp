// Compact cards: coordinates, direction packing, structure by source
// version, the proprietary block, normalisation and the read-back.
#include "engine/formats/compact_card.h"

#include <gtest/gtest.h>

#include "engine/formats/iso19794_2.h"
#include "engine/formats/tlv.h"
#include "record_fixtures.h"

namespace {

using fmt_test::Bytes;
using fmt_test::take;

Bytes card_of(const minutiastruct &m, int version, int max = 128) {
  uint8_t *rec, *card;
  uint32_t rn, cn;
  EXPECT_EQ(version == 2 ? qx_minutiastruct_to_iso19794_2_v2(&m, &rec, &rn)
                         : qx_minutiastruct_to_iso19794_2_v3(&m, &rec, &rn), 0);
  EXPECT_EQ(qx_convert_iso_standard_to_compactcard(rec, rn, max, &card, &cn), 0);
  qx_free(rec);
  return take(card, cn);
}

TEST(CompactCard, LayoutByVersion) {
  const minutiastruct m = fmt_test::two_minutiae();
  // (300, 10) dir 64 ending -> 152, 5, 0x50; (5, 70) dir 255 bifurcation -> 3, 36, 0x80.
  EXPECT_EQ(card_of(m, 3), (Bytes{0x7F, 0x2E, 0x08, 0x81, 0x06, 152, 5, 0x50, 3, 36, 0x80}));
  EXPECT_EQ(card_of(m, 2),
            (Bytes{0x7F, 0x2E, 0x0A, 0xA1, 0x08, 0x90, 0x06, 152, 5, 0x50, 3, 36, 0x80}));
  EXPECT_EQ(card_of(m, 3, 1).size(), 8u);  // capped to the maximum
}

TEST(CompactCard, DirectionsAndOffsets) {
  minutiastruct m = fmt_test::two_minutiae();
  m.cols = 520;
  m.minutiae[0] = bal_minutia{10, 500, 2, 1, 60, 0};
  m.minutiae[1] = bal_minutia{50, 100, 254, 1, 60, 0};
  const Bytes c = card_of(m, 3);
  // Column offset 500 - 492 = 8: 500 -> 250, 100 -> 47; rows unchanged.
  EXPECT_EQ(Bytes(c.begin() + 5, c.end()), (Bytes{250, 5, 0x41, 47, 25, 0x40}));
  // An extent of 493 or more keeps offset 0; beyond the card's range the
  // unit saturates instead of wrapping.
  m.minutiae[1].col = 7;
  const Bytes d = card_of(m, 3);
  EXPECT_EQ(d[5], 254);
  EXPECT_EQ(d[8], qx_cc_to_card_unit(7, 0));
  EXPECT_EQ(qx_cc_to_card_unit(600, 0), 255);
  EXPECT_EQ(qx_cc_to_card_unit(3, 8), 0);
}

TEST(CompactCard, ProprietaryBlockAndRegrouping) {
  const minutiastruct m = fmt_test::two_minutiae();
  for (int version : {2, 3}) {
    Bytes c = card_of(m, version);
    uint8_t *p = static_cast<uint8_t *>(qx_malloc(c.size()));
    std::copy(c.begin(), c.end(), p);
    uint32_t n = static_cast<uint32_t>(c.size());
    ASSERT_EQ(qx_iso_compactcard_extend_proprietary_data(&p, &n, &m), 0);
    const Bytes e = take(p, n);
    const uint8_t mtag = version == 2 ? 0x90 : 0x81;
    // A single minutiae element sits directly in 0x7F2E; the proprietary
    // element is last: header, then quality 80 -> 12 | spacing 4, quality 50 -> 8 | 21 & 15.
    EXPECT_EQ(e, (Bytes{0x7F, 0x2E, 0x10, mtag, 0x06, 152, 5, 0x50, 3, 36, 0x80, 0x82, 0x06,
                        0x4C, 0x4D, 0x01, 0x01, 0xC4, 0x85}));
  }
  // Quality 100 -> nibble 15; two elements (minutiae and cores) go into 0xA1.
  minutiastruct q = m;
  q.minutiae[0].quality = 100;
  uint8_t *rec, *card;
  uint32_t rn, cn;
  ASSERT_EQ(qx_minutiastruct_to_iso19794_2_v3(&q, &rec, &rn), 0);
  qx_ref_points pts{};
  pts.num_cores = 1;
  pts.cores[0] = qx_ref_point{40, 50, 30, 1};
  ASSERT_EQ(qx_iso19794_2_extend_ref_points(&rec, &rn, &pts), 0);
  ASSERT_EQ(qx_convert_iso_standard_to_compactcard(rec, rn, 64, &card, &cn), 0);
  qx_free(rec);
  ASSERT_EQ(qx_iso_compactcard_extend_proprietary_data(&card, &cn, &q), 0);
  const Bytes g = take(card, cn);
  const uint16_t path[] = {0x7F2E, 0xA1, 0x92};
  tlv_element el;
  ASSERT_EQ(tlv_find_nested_tag(g.data(), g.size(), path, 3, &el), 1);
  EXPECT_EQ(Bytes(el.value, el.value + 3), (Bytes{qx_cc_to_card_unit(50, 0), qx_cc_to_card_unit(40, 0), 8}));
  const uint16_t prop[] = {0x7F2E, 0x82};
  ASSERT_EQ(tlv_find_nested_tag(g.data(), g.size(), prop, 2, &el), 1);
  EXPECT_EQ(el.value[4] >> 4, 15);
}

TEST(CompactCard, ReadBackRestoresPixelsWithinOneCardUnit) {
  minutiastruct m = fmt_test::two_minutiae();
  m.count = 3;
  m.minutiae[2] = bal_minutia{131, 77, 130, 2, 40, 3};
  const Bytes c = card_of(m, 2);
  minutiastruct back;
  ASSERT_EQ(qx_convert_iso_compactcard_to_minutiastruct(c.data(), c.size(), &back, nullptr), 0);
  ASSERT_EQ(back.count, 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(back.minutiae[i].col, m.minutiae[i].col, 2);
    EXPECT_NEAR(back.minutiae[i].row, m.minutiae[i].row, 2);
    EXPECT_EQ(back.minutiae[i].type, m.minutiae[i].type);
    EXPECT_EQ(back.minutiae[i].quality, 0);
  }
  EXPECT_EQ(back.minutiae[0].direction, 64);
  EXPECT_EQ(back.minutiae[2].direction, 4 * ((130 + 2) / 4));
  // 152 units -> (2395 + 4) >> 3 = 299; width = largest x + 2, even.
  EXPECT_EQ(back.minutiae[0].col, 299);
  EXPECT_EQ(back.cols, 300);
  EXPECT_EQ(qx_iso19794_2_compact_card_get_length(c.data(), c.size()), c.size());
  EXPECT_EQ(qx_iso19794_2_compact_card_get_length(c.data(), c.size() - 1), 0u);

  const Bytes bad_len = {0x7F, 0x2E, 0x04, 0x81, 0x02, 1, 2};
  EXPECT_EQ(qx_convert_iso_compactcard_to_minutiastruct(bad_len.data(), bad_len.size(), &back, nullptr), 4);
  const Bytes none = {0x7F, 0x2E, 0x03, 0x92, 0x01, 1};
  EXPECT_EQ(qx_convert_iso_compactcard_to_minutiastruct(none.data(), none.size(), &back, nullptr), 4);
}

TEST(CompactCard, NormalisationShiftsByWholeBlocks) {
  minutiastruct m = fmt_test::two_minutiae();
  m.rows = 600;
  m.cols = 300;
  m.minutiae[0] = bal_minutia{530, 100, 0, 1, 50, 0};
  m.minutiae[1] = bal_minutia{200, 20, 0, 1, 50, 0};
  uint8_t od[1] = {0};
  qx_block_field ori{od, 1, 1, 12, -2, -3, nullptr};
  qx_block_field frq = ori;
  qx_ref_points pts{};
  pts.num_cores = 1;
  pts.cores[0] = qx_ref_point{300, 50, 0, 1};
  qx_normalize_for_isocc(&m, &pts, &ori, &frq);
  // Row shift 12 * ((530 - 492) / 12 + 1) = 48; column shift 12 * ((100 - 492) / 12 + 1) < 0 -> 0.
  EXPECT_EQ(m.minutiae[0].row, 482);
  EXPECT_EQ(m.minutiae[1].row, 152);
  EXPECT_EQ(m.minutiae[0].col, 100);
  EXPECT_EQ(pts.cores[0].row, 252);
  EXPECT_EQ(ori.row_offset, -51);
  EXPECT_EQ(frq.col_offset, -2);

  // An extent beyond 492 is left alone.
  minutiastruct wide = fmt_test::two_minutiae();
  wide.rows = 700;
  wide.minutiae[0].row = 600;
  wide.minutiae[1].row = 20;
  qx_normalize_for_isocc(&wide, nullptr, nullptr, nullptr);
  EXPECT_EQ(wide.minutiae[0].row, 600);
}

}  // namespace
