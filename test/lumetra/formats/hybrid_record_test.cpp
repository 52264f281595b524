// Hybrid records: spectral layouts, the prefix code, the fusion record and
// the matcher feature-set reader.
#include "engine/formats/hybrid_record.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/formats/compact_card.h"
#include "engine/formats/iso19794_2.h"
#include "engine/formats/tlv.h"
#include "record_fixtures.h"

namespace {

using fmt_test::Bytes;
using fmt_test::take;

Bytes card() {
  minutiastruct m = fmt_test::two_minutiae();
  uint8_t *rec, *c;
  uint32_t rn, cn;
  EXPECT_EQ(qx_minutiastruct_to_iso19794_2_v3(&m, &rec, &rn), 0);
  EXPECT_EQ(qx_convert_iso_standard_to_compactcard(rec, rn, 64, &c, &cn), 0);
  qx_free(rec);
  EXPECT_EQ(qx_iso_compactcard_extend_proprietary_data(&c, &cn, &m), 0);
  return take(c, cn);
}

TEST(SpectralCode, QuantisationAndPrefixCode) {
  EXPECT_EQ(qx_spectral_quantise_delta(10, 10), 0);
  EXPECT_EQ(qx_spectral_quantise_delta(11, 10), 0);
  EXPECT_EQ(qx_spectral_quantise_delta(12, 10), 1);
  EXPECT_EQ(qx_spectral_quantise_delta(15, 10), 1);   // |d| = 5 -> 7 / 4
  EXPECT_EQ(qx_spectral_quantise_delta(16, 10), 2);   // beyond 5 -> 2
  EXPECT_EQ(qx_spectral_quantise_delta(7, 10), -1);
  EXPECT_EQ(qx_spectral_quantise_delta(0, 250), -2);  // no wrap-around

  const int8_t v[] = {0, 1, -1, -2, 2};
  uint8_t s[2];
  ASSERT_EQ(pack5v(v, 5, s), 2u);
  // 00 01 11 100 101 + padding -> 0001 1110 0101 0000
  EXPECT_EQ(s[0], 0x1E);
  EXPECT_EQ(s[1], 0x50);
  int8_t out[8];
  int32_t n = 0;
  EXPECT_EQ(unpack5v(s, 2, 5, out, &n), 0);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(Bytes(out, out + 5), Bytes(v, v + 5));
  EXPECT_EQ(unpack5v(s, 2, 8, out, &n), -1);  // the stream ends first
  EXPECT_EQ(unpack5v(s, 2, 3, out, &n), 1);   // 10 bits left
  EXPECT_EQ(unpack5v(s, 2, 0, out, &n), 1);
  EXPECT_EQ(unpack5v(s, 0, 1, out, &n), -1);
  const uint8_t three[] = {0xE0, 0x00};  // -1 then zeros: 8 + 6 bits left after one value
  EXPECT_EQ(unpack5v(three, 1, 1, out, &n), 0);
  EXPECT_EQ(unpack5v(three, 2, 1, out, &n), 1);
}

// The decoder against a reading of the code one bit at a time, on random
// streams of every short length, for counts that end inside the stream, at
// its end and beyond it (the partial count, the values written and the
// answer all agree).
TEST(SpectralCode, DecoderAgreesWithABitByBitReading) {
  uint32_t seed = 17;
  auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  for (int trial = 0; trial < 400; ++trial) {
    const int32_t len = 1 + static_cast<int32_t>(next() % 40);
    Bytes stream;
    for (int32_t i = 0; i < len; ++i) stream.push_back(static_cast<uint8_t>(next()));
    const int32_t count = static_cast<int32_t>(next() % 200);
    // Reference.
    int8_t want[256] = {};
    int32_t want_n = 0;
    int want_rc;
    {
      const int64_t total = int64_t{len} * 8;
      int64_t bit = 0;
      auto get = [&] { const int b = (stream[static_cast<size_t>(bit / 8)] >> (7 - bit % 8)) & 1; ++bit; return b; };
      want_rc = count <= 0 ? 1 : 2;
      for (int32_t i = 0; i < count && want_rc == 2; ++i) {
        if (bit + 2 > total) { want_rc = -1; break; }
        const int b0 = get(), b1 = get();
        int8_t v;
        if (b0 == 0) v = b1 ? 1 : 0;
        else if (b1) v = -1;
        else {
          if (bit + 1 > total) { want_rc = -1; break; }
          v = get() ? 2 : -2;
        }
        want[i] = v;
        want_n = i + 1;
      }
      if (want_rc == 2) want_rc = total - bit > 7 ? 1 : 0;
    }
    int8_t got[256] = {};
    int32_t got_n = -5;
    EXPECT_EQ(unpack5v(stream.data(), len, count, got, &got_n), want_rc) << trial;
    EXPECT_EQ(got_n, want_n) << trial;
    EXPECT_EQ(0, std::memcmp(got, want, sizeof got)) << trial;
  }
}

TEST(HybridRecord, ShortLayoutAndImageDimensions) {
  const Bytes c = card();
  const uint8_t od[2] = {70, 90}, fd[2] = {20, 0};
  const qx_block_field ori{od, 1, 2, 12, -2, -3, nullptr};
  const qx_block_field frq{fd, 1, 2, 12, -2, -3, nullptr};
  const qx_fusion_image img{88, 300, 61, nullptr, 0, 0};
  uint8_t *p;
  uint32_t n;
  ASSERT_EQ(qx_iso_compactcard_to_iso_fusion(c.data(), c.size(), &ori, &frq, &img, &p, &n), 0);
  const Bytes r = take(p, n);
  const uint16_t spath[] = {0x7F2E, 0xA2, 0xC1};
  tlv_element el;
  ASSERT_EQ(tlv_find_nested_tag(r.data(), r.size(), spath, 3, &el), 1);
  // Code, y offset, rows, x offset, cols, then orientation and frequency per block.
  EXPECT_EQ(Bytes(el.value, el.value + el.length), (Bytes{12, 0xFD, 1, 0xFE, 2, 70, 20, 90, 0}));
  const uint16_t dpath[] = {0x7F2E, 0xA2, 0xC3};
  ASSERT_EQ(tlv_find_nested_tag(r.data(), r.size(), dpath, 3, &el), 1);
  EXPECT_EQ(Bytes(el.value, el.value + 6), (Bytes{1, 88, 0, 0x2C, 0x01, 61}));  // low byte first
  int32_t rows, cols;
  uint8_t q;
  EXPECT_EQ(qx_hybrid_get_dimensions(r.data(), r.size(), &rows, &cols, &q), 0);
  EXPECT_EQ(cols, 300);
  const uint16_t mpath[] = {0x7F2E, 0xA1, 0x81};
  EXPECT_EQ(tlv_find_nested_tag(r.data(), r.size(), mpath, 3, &el), 1);
  const uint16_t ppath[] = {0x7F2E, 0xA2, 0x82};
  EXPECT_EQ(tlv_find_nested_tag(r.data(), r.size(), ppath, 3, &el), 1);

  // Zero dimensions: the record ends after 0xC1.
  ASSERT_EQ(qx_iso_compactcard_to_ehm(c.data(), c.size(), &ori, &frq, &p, &n), 0);
  const Bytes e = take(p, n);
  EXPECT_EQ(e[e.size() - 11], 0xC1);
  EXPECT_EQ(qx_hybrid_get_dimensions(e.data(), e.size(), &rows, &cols, &q), 4);
}

TEST(HybridRecord, LongLayoutCarriesTheFineGrid) {
  const Bytes c = card();
  // 1 x 1 block grid; the 3 x 3 fine grid around the block values 100 / 20.
  const uint8_t od[1] = {100}, fd[1] = {20};
  const uint8_t ofine[9] = {100, 103, 96, 110, 100, 80, 100, 101, 105};
  const uint8_t ffine[9] = {20, 20, 20, 20, 20, 20, 20, 20, 22};
  const qx_block_field ori{od, 1, 1, 12, 0, 0, ofine};
  const qx_block_field frq{fd, 1, 1, 12, 0, 0, ffine};
  uint8_t *p;
  uint32_t n;
  ASSERT_EQ(qx_spectral_part_encode(&ori, &frq, &p, &n), 0);
  const Bytes s = take(p, n);
  // 0 0, L = 7, main part, extension type 2, length 4 + 3 + 2, Lo = 3, Lf = 2.
  ASSERT_EQ(s.size(), 4u + 7u + 3u + 2u + 3u + 2u + 2u);
  // Orientation differences 0, 3, -4, 10, -20, 0, 1, 5 (centre left out)
  // quantise to 0, 1, -1, 2, -2, 0, 0, 1: 00 01 11 101 100 00 00 01.
  EXPECT_EQ(s, (Bytes{0, 0, 0, 7, 12, 0, 1, 0, 1, 100, 20, 2, 0, 9, 0, 3, 0x1E, 0xC0, 0x40,
                      0, 2, 0x00, 0x01}));
  int8_t v[8];
  int32_t k;
  ASSERT_EQ(unpack5v(s.data() + 16, 3, 8, v, &k), 0);
  EXPECT_EQ(Bytes(v, v + 8), (Bytes{0, 1, static_cast<uint8_t>(-1), 2, static_cast<uint8_t>(-2), 0, 0, 1}));

  // Fields of different geometry are refused.
  const qx_block_field other{od, 1, 2, 12, 0, 0, nullptr};
  EXPECT_EQ(qx_iso_compactcard_to_ehm(c.data(), c.size(), &ori, &other, &p, &n), 14);
}

Bytes feature_set(uint8_t cols, uint8_t rows, bool fine, bool quality) {
  const size_t b = size_t{cols} * rows;
  Bytes s = {0x5B, 0xDA, 2, 12, 0x01, 0xF4, cols, rows, 0, 0};
  s.resize(10 + (fine ? 20 : 2) * b, 7);
  if (quality) s.push_back(55);
  return s;
}

TEST(MatcherFeatureSet, VerifyUnpackTemplate) {
  int32_t cols, rows, code, res;
  const uint8_t *blocks, *hr;
  uint8_t q;
  Bytes s = feature_set(3, 2, false, true);
  ASSERT_EQ(verify_unpack_template(s.data(), s.size(), &cols, &rows, &code, &res, &blocks, &hr, &q), 0);
  EXPECT_EQ(cols, 3);
  EXPECT_EQ(rows, 2);
  EXPECT_EQ(res, 500);
  EXPECT_EQ(blocks, s.data() + 10);
  EXPECT_EQ(hr, nullptr);
  EXPECT_EQ(q, 55);
  s = feature_set(3, 2, true, false);
  ASSERT_EQ(verify_unpack_template(s.data(), s.size(), &cols, &rows, &code, &res, &blocks, &hr, &q), 0);
  EXPECT_EQ(hr, s.data() + 22);
  EXPECT_EQ(q, 0);
  EXPECT_EQ(verify_unpack_template(s.data(), s.size() - 1, &cols, &rows, &code, &res, &blocks, &hr, &q), 1);
  EXPECT_EQ(verify_unpack_template(s.data(), 9, &cols, &rows, &code, &res, &blocks, &hr, &q), 1);

  // With a check byte the exclusive-or of all bytes must be 0.
  s = feature_set(2, 2, false, false);
  s[9] = 0x5B ^ 0xDA ^ 2 ^ 12 ^ 0x01 ^ 0xF4 ^ 2 ^ 2;  // the block bytes (7) cancel out in pairs
  EXPECT_EQ(verify_unpack_template(s.data(), s.size(), &cols, &rows, &code, &res, &blocks, &hr, &q), 0);
  s[10] ^= 1;
  EXPECT_EQ(verify_unpack_template(s.data(), s.size(), &cols, &rows, &code, &res, &blocks, &hr, &q), 1);
  s = feature_set(2, 2, false, false);
  s[3] = 0;
  EXPECT_EQ(verify_unpack_template(s.data(), s.size(), &cols, &rows, &code, &res, &blocks, &hr, &q), 1);
  s = feature_set(2, 2, false, false);
  s[2] = 1;
  EXPECT_EQ(verify_unpack_template(s.data(), s.size(), &cols, &rows, &code, &res, &blocks, &hr, &q), 1);
}

}  // namespace
