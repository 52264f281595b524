// Extraction followed by encoding: requests, the dummy image, and
// extract -> encode -> read back on generated prints.
#include "engine/formats/extract_template.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <utility>
#include <fpsynth/fpsynth.h>

#include "engine/formats/compact_card.h"
#include "engine/formats/iso19794_2.h"
#include "engine/formats/tlv.h"
#include "engine/qx_alloc.h"
#include "record_fixtures.h"

namespace {

using fmt_test::Bytes;

fpsynth::Image print(uint64_t seed, int rows, int cols) {
  const fpsynth::Master master = fpsynth::make_master(seed);
  fpsynth::ImpressionParams ip;
  ip.rows = rows;
  ip.cols = cols;
  ip.skin = fpsynth::Skin::Normal;
  return fpsynth::make_impression(master, seed + 100, ip).image;
}

TEST(ExtractTemplate, RefusedRequestsFreeAnOwnedBuffer) {
  const long live = qx_alloc_live();
  uint8_t *out;
  uint32_t n;
  struct Case {
    int finger, impression, ordering;
  } cases[] = {{0, 0, 0}, {0, 0, 6}, {0, 0, 22}, {11, 0, 21}, {0, 4, 21}, {0, 30, 21}};
  for (const Case &c : cases) {
    auto *px = static_cast<uint8_t *>(qx_malloc(64 * 64));
    EXPECT_EQ(bal_extract_template(px, 64, 64, c.finger, c.impression, 0, 64, c.ordering,
                                   QX_CONTENT_OWN_BUFFER, QX_FORMAT_COMPACT_CARD, &out, &n), 14);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(qx_alloc_live(), live);
}

TEST(ExtractTemplate, DummyImageGivesTheFixedTemplate) {
  uint8_t img[256];
  bal_origin_get_dummy_image(img);
  ASSERT_TRUE(bal_origin_is_dummy(img, 16, 16));
  EXPECT_FALSE(bal_origin_is_dummy(img, 16, 15));
  uint8_t *out;
  uint32_t n;
  ASSERT_EQ(bal_extract_template(img, 16, 16, 0, 0, 0, 64, 21, 0x42, 2, &out, &n), 5);
  const Bytes t(out, out + n);
  bal_free_template(out);
  const uint16_t path[] = {0x7F2E, 0xA1, 0x90};
  tlv_element el;
  ASSERT_EQ(tlv_find_nested_tag(t.data(), t.size(), path, 3, &el), 1);
  EXPECT_EQ(el.length, 96u);
  EXPECT_EQ(tlv_get_buffer_length(t.data(), t.size()), t.size());
  img[7] ^= 1;
  EXPECT_FALSE(bal_origin_is_dummy(img, 16, 16));
}

TEST(ExtractTemplate, TooFewMinutiaeAndMocCard) {
  fpsynth::Image im = print(3, 200, 200);
  uint8_t *out;
  uint32_t n;
  EXPECT_EQ(bal_extract_template(im.pixels.data(), 200, 200, 0, 0, 255, 64, 21, 0x42, 2, &out, &n), 24);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(BAL_EXTRACT_TEMPLATE_MOC(im.pixels.data(), 200, 200, &out, &n), 0);
  const Bytes card(out, out + n);
  bal_free_template(out);
  // Minutiae directly in 0x7F2E (a single element), then the proprietary block.
  minutiastruct m;
  ASSERT_EQ(qx_convert_iso_compactcard_to_minutiastruct(card.data(), card.size(), &m, nullptr), 0);
  EXPECT_GT(m.count, 5);
  EXPECT_LE(m.count, 64);
  const uint16_t prop[] = {0x7F2E, 0x82};
  tlv_element el;
  ASSERT_EQ(tlv_find_nested_tag(card.data(), card.size(), prop, 2, &el), 1);
  EXPECT_EQ(el.length, 4u + m.count);
}

// The standard record keeps the extraction exactly; the card keeps it within
// its 0.1 mm grid and 64 directions.
TEST(ExtractTemplate, ExtractEncodeReadBackOnGeneratedPrints) {
  for (uint64_t seed : {21u, 22u, 23u}) {
    fpsynth::Image im = print(seed, 0, 0);  // the whole finger
    bal_extract_result res{};
    res.minutiae.ordering = 21;
    res.flags = BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS;
    res.cores.request = 1;
    res.deltas.request = 1;
    std::vector<uint8_t> px = im.pixels;
    ASSERT_EQ(bal_extract(px.data(), im.rows, im.cols, &res), 0);
    const minutiastruct &want = res.minutiae;
    ASSERT_GT(want.count, 10);
    for (uint32_t version_flag : {0u, QX_CONTENT_V3}) {
      uint8_t *rec;
      uint32_t rn;
      ASSERT_EQ(qx_encode_extraction(&res, nullptr, im.rows, im.cols, 0x02 | version_flag, 1, 255,
                                     &rec, &rn), 0);
      minutiastruct got;
      qx_ref_points pts;
      ASSERT_EQ(qx_iso19794_2_to_minutiastruct(rec, rn, &got, &pts), 0);
      qx_free(rec);
      ASSERT_EQ(got.count, want.count);
      for (int i = 0; i < want.count; ++i) {
        EXPECT_EQ(got.minutiae[i].row, want.minutiae[i].row);
        EXPECT_EQ(got.minutiae[i].col, want.minutiae[i].col);
        EXPECT_EQ(got.minutiae[i].direction, want.minutiae[i].direction);
        EXPECT_EQ(got.minutiae[i].type, want.minutiae[i].type);
        EXPECT_EQ(got.minutiae[i].quality, want.minutiae[i].quality);
      }
      EXPECT_EQ(pts.num_cores, res.cores.count);
      EXPECT_EQ(pts.num_deltas, res.deltas.count);
    }
    uint8_t *card;
    uint32_t cn;
    ASSERT_EQ(qx_encode_extraction(&res, nullptr, im.rows, im.cols, 0x42, 2, 40, &card, &cn), 0);
    minutiastruct got;
    ASSERT_EQ(qx_convert_iso_compactcard_to_minutiastruct(card, cn, &got, nullptr), 0);
    qx_free(card);
    ASSERT_EQ(got.count, std::min<int>(want.count, 40));
    for (int i = 0; i < got.count; ++i) {
      EXPECT_LE(std::abs(got.minutiae[i].row - want.minutiae[i].row), 2);
      EXPECT_LE(std::abs(got.minutiae[i].col - want.minutiae[i].col), 2);
      EXPECT_LE(std::abs(static_cast<int8_t>(got.minutiae[i].direction - want.minutiae[i].direction)), 2);
      EXPECT_EQ(got.minutiae[i].type, want.minutiae[i].type);
    }
    bal_extract_release(&res);
  }
}

}  // namespace

namespace {

// Every allocation of the encoder may fail: the answer is then 9 and
// nothing is left allocated.
TEST(ExtractTemplate, EveryAllocationFailureOfTheEncoderAnswers9) {
  fpsynth::Image im = print(5, 160, 160);
  bal_extract_result res{};
  res.flags = BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS | BAL_EXTRACT_ORIENTATION_FIELD |
              BAL_EXTRACT_FREQUENCY_FIELD | BAL_EXTRACT_QUALITY_FIELD;
  res.cores.request = res.deltas.request = res.quality_field.request = 1;
  res.orientation_field.request = res.frequency_field.request = 1;
  ASSERT_EQ(bal_extract(im.pixels.data(), 160, 160, &res), 0);
  struct Request {
    int format;
    uint32_t flags;
  } requests[] = {{1, 0x043A}, {2, 0x0472}, {2, 0x0672}, {4, 0x0042}, {3, 0x0400}};
  for (const Request &rq : requests) {
    const long live = qx_alloc_live();
    int k = 0;
    for (;; ++k) {
      uint8_t *out = nullptr;
      uint32_t n = 0;
      qx_alloc_fail_after(k);
      const int status = qx_encode_extraction(&res, im.pixels.data(), 160, 160, rq.flags,
                                              rq.format, 64, &out, &n);
      const bool fired = !qx_alloc_fail_pending();
      qx_alloc_fail_after(-1);
      if (!fired) {
        ASSERT_EQ(status, 0) << rq.format;
        bal_free_template(out);
        break;
      }
      EXPECT_EQ(status, 9) << "format " << rq.format << " allocation " << k;
      EXPECT_EQ(out, nullptr);
      ASSERT_EQ(qx_alloc_live(), live) << "format " << rq.format << " allocation " << k;
    }
    EXPECT_GT(k, 0);
  }
  bal_extract_release(&res);
}

}  // namespace

TEST(ExtractTemplate, EachContentFlagAsksTheExtractionForItsOwnWorkOnly) {
  // Content flag -> request bits, written out independently of the map.
  const std::pair<uint32_t, uint32_t> expected[] = {
      {QX_CONTENT_REF_POINTS, BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS},
      {QX_CONTENT_ZONAL_QUALITY, BAL_EXTRACT_QUALITY_FIELD},
      {QX_CONTENT_ORIENTATION, BAL_EXTRACT_ORIENTATION_FIELD},
      {QX_CONTENT_FREQUENCY, BAL_EXTRACT_FREQUENCY_FIELD},
      {QX_CONTENT_FINE_FIELDS, BAL_EXTRACT_FINE_FIELDS},
      {QX_CONTENT_SPEED, BAL_EXTRACT_HALF_FREQUENCY},
      {QX_CONTENT_HALF_RESOLUTION, BAL_EXTRACT_250DPI},
  };
  for (int bit = 0; bit < 32; ++bit) {
    const uint32_t flag = 1u << bit;
    uint32_t want = 0;
    for (const auto &[content, request] : expected)
      if (content == flag) want = request;
    for (int format : {QX_FORMAT_ISO_RECORD, QX_FORMAT_COMPACT_CARD, QX_FORMAT_ANSI378})
      EXPECT_EQ(qx_extraction_request_of_content(flag, format), want) << "content flag 0x" << std::hex << flag;
  }
  // Encoding-only flags ask for nothing, not even the buffer hand-over.
  EXPECT_EQ(qx_extraction_request_of_content(QX_CONTENT_ENCODING_ONLY, QX_FORMAT_COMPACT_CARD), 0u);
  // The card-to-hybrid format always needs both fields.
  EXPECT_EQ(qx_extraction_request_of_content(0, QX_FORMAT_CARD_TO_EHM),
            BAL_EXTRACT_ORIENTATION_FIELD | BAL_EXTRACT_FREQUENCY_FIELD);
  // The hybrid type with fine fields and the image (type 75's row).
  EXPECT_EQ(qx_extraction_request_of_content(0x06F2, QX_FORMAT_COMPACT_CARD),
            BAL_EXTRACT_CORES | BAL_EXTRACT_DELTAS | BAL_EXTRACT_ORIENTATION_FIELD | BAL_EXTRACT_FREQUENCY_FIELD |
                BAL_EXTRACT_FINE_FIELDS);
}
