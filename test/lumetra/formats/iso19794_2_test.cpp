// ISO/IEC 19794-2 records: byte layouts, extended blocks and the readers.
#include "engine/formats/iso19794_2.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "engine/formats/format_ids.h"
#include "record_fixtures.h"

namespace {

using fmt_test::Bytes;
using fmt_test::take;

Bytes v2(const minutiastruct &m) {
  uint8_t *p;
  uint32_t n;
  EXPECT_EQ(qx_minutiastruct_to_iso19794_2_v2(&m, &p, &n), 0);
  return take(p, n);
}
Bytes v3(const minutiastruct &m) {
  uint8_t *p;
  uint32_t n;
  EXPECT_EQ(qx_minutiastruct_to_iso19794_2_v3(&m, &p, &n), 0);
  return take(p, n);
}

TEST(IsoRecord, EmptyRecordsAre30And54Bytes) {
  minutiastruct m = fmt_test::two_minutiae();
  m.count = 0;
  const Bytes a = v2(m), b = v3(m);
  EXPECT_EQ(a.size(), 30u);
  EXPECT_EQ(b.size(), 54u);
  EXPECT_EQ(qx_is_iso19794_2(a.data(), 30), 0);
  EXPECT_EQ(qx_is_iso19794_2(b.data(), 54), 0);
}

TEST(IsoRecord, Version2LayoutByteForByte) {
  const Bytes r = v2(fmt_test::two_minutiae());
  const Bytes want = {'F', 'M', 'R', 0, ' ', '2', '0', 0,  // format and version
                      0, 0, 0, 42,                        // record length 30 + 12
                      0, 0, 0, 96, 0, 88, 0, 197, 0, 197,  // equipment, width, height, resolutions
                      1, 0, 2, 0x00, 61, 2,                // views, reserved, finger, impression, quality, n
                      0x41, 0x2C, 0x00, 0x0A, 64, 80,      // ending at (300, 10)
                      0x80, 0x05, 0x00, 0x46, 255, 50,     // bifurcation at (5, 70)
                      0, 0};
  EXPECT_EQ(r, want);
}

TEST(IsoRecord, Version3LayoutByteForByte) {
  const Bytes r = v3(fmt_test::two_minutiae());
  ASSERT_EQ(r.size(), 66u);
  const Bytes head = {'F', 'M', 'R', 0, '0', '3', '0', 0, 0, 0, 0, 66, 0, 1, 0, 0, 0, 0, 51};
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 19), head);
  for (int i = 19; i < 28; ++i) EXPECT_EQ(r[i], 0xFF);
  const Bytes rest = {0,    0x4C, 0x4D, 0x00, 0x58,  // technology, device vendor and type
                      1,    61,   0x4C, 0x4D, 0x00, 0x01,  // one quality block
                      2,    0,    0, 197, 0, 197, 0,       // finger, representation, resolutions, impression
                      0, 96, 0, 88, 0x60, 2};
  EXPECT_EQ(Bytes(r.begin() + 28, r.begin() + 52), rest);
  EXPECT_EQ(qx_is_iso19794_2(r.data(), 66), 0);
}

TEST(IsoRecord, ExtendedBlocksRaiseEveryLength) {
  minutiastruct m = fmt_test::two_minutiae();
  for (int version : {2, 3}) {
    uint8_t *p;
    uint32_t n;
    ASSERT_EQ(version == 2 ? qx_minutiastruct_to_iso19794_2_v2(&m, &p, &n)
                           : qx_minutiastruct_to_iso19794_2_v3(&m, &p, &n), 0);
    const uint32_t base = n;
    const uint8_t ori_data[6] = {0, 64, 100, 191, 120, 0};
    const uint8_t frq_data[6] = {0, 10, 32, 33, 200, 5};
    const qx_block_field ori{ori_data, 2, 3, 12, -2, 14, nullptr};
    const qx_block_field frq{frq_data, 2, 3, 12, -2, 14, nullptr};
    const uint8_t q_data[6] = {0, 20, 40, 60, 80, 100};
    const qx_block_field qual{q_data, 2, 3, 12, 0, 0, nullptr};
    qx_ref_points pts{};
    pts.num_cores = 1;
    pts.cores[0] = qx_ref_point{40, 50, 30, 1};
    pts.num_deltas = 1;
    pts.deltas[0] = qx_ref_point{60, 20, 10, 1};
    ASSERT_EQ(qx_iso19794_2_extend_ref_points(&p, &n, &pts), 0);
    ASSERT_EQ(qx_iso19794_2_extend_zonal_quality(&p, &n, &qual), 0);
    ASSERT_EQ(qx_iso19794_2_extend_orientation_field(&p, &n, &ori, nullptr), 0);
    ASSERT_EQ(qx_iso19794_2_extend_frequency_field(&p, &n, &frq), 0);
    const Bytes r = take(p, n);
    const uint32_t ref_len = 4 + 1 + 5 + 1 + 7;
    const uint32_t zq_len = 4 + (version == 3 ? 4 : 0) + 5 + 6;
    const uint32_t field_len = 4 + 7 + 6;
    ASSERT_EQ(r.size(), base + ref_len + zq_len + 2 * field_len);
    EXPECT_EQ(qx_is_iso19794_2(r.data(), static_cast<uint32_t>(r.size())), 0);
    const uint32_t ext_pos = (version == 2 ? 28 : 52) + 12;
    EXPECT_EQ(r[ext_pos] << 8 | r[ext_pos + 1], static_cast<int>(r.size() - base));
    if (version == 3) {
      EXPECT_EQ(r[18], r.size() - 15);
    }

    const uint8_t *d;
    uint32_t dl;
    ASSERT_TRUE(qx_iso19794_2_find_extended_block(r.data(), r.size(), QX_ISO_EXT_ORIENTATION, &d, &dl));
    // Header: block size, x offset (negative written as 0), y offset, cols, rows;
    // then 191 - value, or 128 where the block has none.
    EXPECT_EQ(Bytes(d, d + dl), (Bytes{12, 0, 0, 0, 14, 3, 2, 128, 127, 91, 0, 71, 128}));
    ASSERT_TRUE(qx_iso19794_2_find_extended_block(r.data(), r.size(), QX_ISO_EXT_FREQUENCY, &d, &dl));
    // Wavelength in pixels, (1024 + f / 2) / f capped at 32, 0 kept.
    EXPECT_EQ(Bytes(d + 7, d + dl), (Bytes{0, 32, 32, 31, 5, 32}));
    ASSERT_TRUE(qx_iso19794_2_find_extended_block(r.data(), r.size(), QX_ISO_EXT_ZONAL_QUALITY, &d, &dl));
    if (version == 3) {
      EXPECT_EQ(Bytes(d, d + 4), (Bytes{0x4C, 0x4D, 0x00, 0x01}));
    }
    ASSERT_TRUE(qx_iso19794_2_find_extended_block(r.data(), r.size(), QX_ISO_EXT_REF_POINTS, &d, &dl));
    EXPECT_EQ(Bytes(d, d + dl), (Bytes{0x41, 0, 50, 0, 40, 30, 0x41, 0, 20, 0, 60, 10, 95, 180}));

    minutiastruct back;
    qx_ref_points bp;
    ASSERT_EQ(qx_iso19794_2_to_minutiastruct(r.data(), r.size(), &back, &bp), 0);
    EXPECT_EQ(back.count, 2);
    EXPECT_EQ(back.minutiae[0].col, 300);
    EXPECT_EQ(back.minutiae[1].direction, 255);
    EXPECT_EQ(back.rows, 88);
    EXPECT_EQ(back.cols, 96);
    EXPECT_EQ(back.finger_quality, 61);
    EXPECT_EQ(back.finger_position, 2);
    EXPECT_EQ(bp.num_cores, 1);
    EXPECT_EQ(bp.cores[0].row, 40);
    EXPECT_EQ(bp.deltas[0].direction, 10);
  }
}

TEST(IsoRecord, ConsistencyCheckRules) {
  Bytes r = v2(fmt_test::two_minutiae());
  const uint32_t n = static_cast<uint32_t>(r.size());
  EXPECT_EQ(qx_is_iso19794_2(r.data(), n - 1), 4);  // length field differs
  r[4] = '0';
  EXPECT_EQ(qx_is_iso19794_2(r.data(), n), 0);  // "020" is accepted as well
  r[4] = 'x';
  EXPECT_EQ(qx_is_iso19794_2(r.data(), n), 4);
  r[4] = ' ';
  r[6] = '1';
  EXPECT_EQ(qx_is_iso19794_2(r.data(), n), 4);
  EXPECT_EQ(qx_is_iso19794_2(r.data(), 11), 4);

  Bytes s = v3(fmt_test::two_minutiae());
  const uint32_t m = static_cast<uint32_t>(s.size());
  s[18] += 1;  // representation length no longer reaches the end exactly
  EXPECT_EQ(qx_is_iso19794_2(s.data(), m), 4);
  s[18] -= 1;
  s[13] = 0;  // zero representations
  EXPECT_EQ(qx_is_iso19794_2(s.data(), m), 4);

  // A minutia count that runs past the record is refused by the reader.
  Bytes t = v2(fmt_test::two_minutiae());
  t[27] = 40;
  minutiastruct back;
  EXPECT_EQ(qx_iso19794_2_to_minutiastruct(t.data(), t.size(), &back, nullptr), 4);
  EXPECT_EQ(qx_iso19794_2_get_length(t.data(), 12), 42u);
}

TEST(IsoRecord, OutOfMemoryLeavesTheRecordUntouched) {
  minutiastruct m = fmt_test::two_minutiae();
  uint8_t *p;
  uint32_t n;
  ASSERT_EQ(qx_minutiastruct_to_iso19794_2_v2(&m, &p, &n), 0);
  const long live = qx_alloc_live();
  qx_alloc_fail_after(0);
  qx_ref_points pts{};
  EXPECT_EQ(qx_iso19794_2_extend_ref_points(&p, &n, &pts), 9);
  qx_alloc_fail_after(-1);
  EXPECT_EQ(n, 42u);
  EXPECT_EQ(qx_alloc_live(), live);
  qx_free(p);
}

}  // namespace

TEST(IsoRecord, FrequencyBlockCarriesTheRidgeWavelength) {
  // Real ridges: frequency values 57 to 205 (wavelengths of 18 down to 5
  // pixels) stay apart in the block instead of all becoming 32.
  EXPECT_EQ(qx_iso_wavelength_of_frequency(57), 18);
  EXPECT_EQ(qx_iso_wavelength_of_frequency(205), 5);
  EXPECT_EQ(qx_iso_wavelength_of_frequency(93), 11);  // 11.01
  EXPECT_EQ(qx_iso_wavelength_of_frequency(98), 10);  // 10.45 rounds down
  EXPECT_EQ(qx_iso_wavelength_of_frequency(97), 11);  // 10.56 rounds up
  EXPECT_EQ(qx_iso_wavelength_of_frequency(0), 0);    // no ridge data
  EXPECT_EQ(qx_iso_wavelength_of_frequency(1), 32);   // capped
  EXPECT_EQ(qx_iso_wavelength_of_frequency(255), 4);
  int distinct = 0;
  for (int f = 58; f <= 205; ++f)
    distinct += qx_iso_wavelength_of_frequency(static_cast<uint8_t>(f)) !=
                qx_iso_wavelength_of_frequency(static_cast<uint8_t>(f - 1));
  EXPECT_EQ(distinct, 13);  // every whole wavelength from 18 down to 5
  // Read back: the frequency of the stored wavelength, within one
  // wavelength step of what was written.
  EXPECT_EQ(qx_iso_frequency_of_wavelength(0), 0);
  EXPECT_EQ(qx_iso_frequency_of_wavelength(1), 255);
  EXPECT_EQ(qx_iso_frequency_of_wavelength(18), 57);
  EXPECT_EQ(qx_iso_frequency_of_wavelength(5), 205);
  for (int f = 57; f <= 205; ++f) {
    const int w = qx_iso_wavelength_of_frequency(static_cast<uint8_t>(f));
    const int back = qx_iso_frequency_of_wavelength(static_cast<uint8_t>(w));
    EXPECT_LE(std::abs(back - f), 1024 / (w * w) + 1) << "f " << f;
  }
}

TEST(IsoRecord, FrequencyBlockReadsBack) {
  minutiastruct m = fmt_test::two_minutiae();
  uint8_t *p;
  uint32_t n;
  ASSERT_EQ(qx_minutiastruct_to_iso19794_2_v3(&m, &p, &n), QX_RC_OK);
  const uint8_t frq_data[6] = {0, 57, 102, 205, 128, 80};
  const qx_block_field frq{frq_data, 2, 3, 12, 5, 14, nullptr};
  ASSERT_EQ(qx_iso19794_2_extend_frequency_field(&p, &n, &frq), QX_RC_OK);
  const Bytes r = take(p, n);
  const uint8_t *d;
  uint32_t dl;
  ASSERT_TRUE(qx_iso19794_2_find_extended_block(r.data(), r.size(), QX_ISO_EXT_FREQUENCY, &d, &dl));
  EXPECT_EQ(Bytes(d + 7, d + dl), (Bytes{0, 18, 10, 5, 8, 13}));

  uint8_t values[6];
  qx_block_field back;
  ASSERT_EQ(qx_iso19794_2_read_frequency_field(d, dl, &back, values, sizeof values), QX_RC_OK);
  EXPECT_EQ(back.rows, 2);
  EXPECT_EQ(back.cols, 3);
  EXPECT_EQ(back.block_size, 12);
  EXPECT_EQ(back.col_offset, 5);
  EXPECT_EQ(back.row_offset, 14);
  EXPECT_EQ(back.data, values);
  EXPECT_EQ(Bytes(values, values + 6), (Bytes{0, 57, 102, 205, 128, 79}));

  // A block whose length does not match its grid, or too small a buffer.
  EXPECT_EQ(qx_iso19794_2_read_frequency_field(d, dl - 1, &back, values, sizeof values),
            QX_RC_NOT_A_RECORD);
  EXPECT_EQ(back.data, nullptr);
  EXPECT_EQ(qx_iso19794_2_read_frequency_field(d, 6, &back, values, sizeof values), QX_RC_NOT_A_RECORD);
  EXPECT_EQ(qx_iso19794_2_read_frequency_field(d, dl, &back, values, 5), QX_RC_INVALID_ARGUMENT);
  EXPECT_EQ(qx_iso19794_2_read_frequency_field(d, dl, nullptr, values, 6), QX_RC_INVALID_ARGUMENT);
}
