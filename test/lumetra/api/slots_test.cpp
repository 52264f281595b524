// The slot store: sector layout, the program rule with its erase
// decision, and the slot exports init_alg_tpl_data, nerio_qx_get_tpl and
// nerio_DelFinger.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/slots.h"
#include "api/state.h"
#include "engine/objects/qx_template.h"
#include "lumetra.h"
#include "lumetra/api/api_fixture.h"

namespace {

using apitest::make_record;
using lumetra::api::erase_tpl_slot;
using lumetra::api::g_state;
using lumetra::api::kSlotCapacity;
using lumetra::api::program_tpl_slot;

constexpr int kData = lumetra::api::kSlotDataOffset;
// Types the load does not decode: the sector tests' made-up bytes load as
// they are (records of decoded types are tested in record_decoding_test).
constexpr int32_t kOpaque = QX_TEMPLATE_SPECTRAL;
constexpr int32_t kOtherOpaque = QX_TEMPLATE_EHM_FUSION;

class Slots : public apitest::ApiState {
 protected:
  // Programs a template made of `bytes` (type `type`) into the slot.
  static int program(int slot, int32_t type, const std::vector<uint8_t> &bytes,
                     tpl_record *record = nullptr) {
    qx_template *t = qx_template_create(type, bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_NE(t, nullptr);
    const int rc = program_tpl_slot(t, slot, record);
    qx_template_delete(t);
    return rc;
  }
  static uint32_t length_field(int slot) { return lumetra::api::slot_length_field(slot); }
  // A marker written straight into the data area past a template's end:
  // it survives exactly when the sector was not erased.
  static void put_marker(int slot, int at) { g_state.slots.sector[slot][kData + at] = 0x5A; }
  static bool marker_there(int slot, int at) { return sector(slot)[kData + at] == 0x5A; }
};

TEST_F(Slots, FirstWriteErasesTheZeroSectorAndWritesTheHeader) {
  for (int i = 0; i < lumetra::api::kSectorBytes; ++i) ASSERT_EQ(sector(1)[i], 0) << i;
  ASSERT_EQ(program(1, 80, {0x12, 0x34, 0x56}), 0);
  const uint8_t *s = sector(1);
  EXPECT_EQ(s[0], 0xFF);
  EXPECT_EQ(s[1], 0xFF);
  EXPECT_EQ(s[2], 0xFF);
  EXPECT_EQ(s[3], 80);
  // 32760 = 0x7FF8, little-endian.
  EXPECT_EQ(s[4], 0xF8);
  EXPECT_EQ(s[5], 0x7F);
  EXPECT_EQ(s[6], 0x00);
  EXPECT_EQ(s[7], 0x00);
  EXPECT_EQ(s[kData + 0], 0x12);
  EXPECT_EQ(s[kData + 1], 0x34);
  EXPECT_EQ(s[kData + 2], 0x56);
  for (int i = kData + 3; i < lumetra::api::kSectorBytes; ++i) ASSERT_EQ(s[i], 0xFF) << i;
  // The other sectors are untouched.
  EXPECT_EQ(sector(0)[3], 0);
  EXPECT_EQ(sector(2)[3], 0);
}

TEST_F(Slots, RewritingNeedsAnEraseOnlyWhenABitWouldRise) {
  ASSERT_EQ(program(0, 80, {0xF0, 0x0F, 0xFF}), 0);
  put_marker(0, 100);
  // The same template again: every byte passes, nothing is erased and the
  // sector is unchanged.
  std::vector<uint8_t> before(sector(0), sector(0) + lumetra::api::kSectorBytes);
  ASSERT_EQ(program(0, 80, {0xF0, 0x0F, 0xFF}), 0);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), sector(0)));

  // Only bits falling to 0, and a shorter template: no erase, and the tail
  // of the longer earlier template stays.
  ASSERT_EQ(program(0, 80, {0x30, 0x01}), 0);
  EXPECT_TRUE(marker_there(0, 100));
  EXPECT_EQ(sector(0)[kData + 0], 0x30);
  EXPECT_EQ(sector(0)[kData + 1], 0x01);
  EXPECT_EQ(sector(0)[kData + 2], 0xFF);

  // One 0 bit that would become 1 (0x01 -> 0x03): erased first.
  ASSERT_EQ(program(0, 80, {0x30, 0x03}), 0);
  EXPECT_FALSE(marker_there(0, 100));
  EXPECT_EQ(sector(0)[kData + 1], 0x03);
  EXPECT_EQ(sector(0)[kData + 2], 0xFF);
  EXPECT_EQ(length_field(0), kSlotCapacity);
}

TEST_F(Slots, AnotherTypeOrABrokenHeaderForcesAnErase) {
  ASSERT_EQ(program(3, 80, {0xFF, 0xFF}), 0);
  put_marker(3, 50);
  ASSERT_EQ(program(3, 67, {0x0F}), 0);
  EXPECT_FALSE(marker_there(3, 50));
  EXPECT_EQ(sector(3)[3], 67);

  // A length field outside 1..32760 (here 0) forces an erase.
  put_marker(3, 50);
  std::memset(g_state.slots.sector[3] + 4, 0, 4);
  ASSERT_EQ(program(3, 67, {0x0F}), 0);
  EXPECT_FALSE(marker_there(3, 50));

  // An erased length field with a written type byte forces an erase; the
  // header is written afresh.
  put_marker(3, 50);
  std::memset(g_state.slots.sector[3] + 4, 0xFF, 4);
  ASSERT_EQ(program(3, 67, {0x0F}), 0);
  EXPECT_FALSE(marker_there(3, 50));
  EXPECT_EQ(length_field(3), kSlotCapacity);

  // Erased header (type 0xFF too) over matching data: no erase.
  put_marker(3, 50);
  std::memset(g_state.slots.sector[3], 0xFF, 8);
  ASSERT_EQ(program(3, 67, {0x0F}), 0);
  EXPECT_TRUE(marker_there(3, 50));
  EXPECT_EQ(sector(3)[3], 67);
  EXPECT_EQ(length_field(3), kSlotCapacity);
}

TEST_F(Slots, CapacityIsExactlyTheDataArea) {
  std::vector<uint8_t> full(kSlotCapacity, 0xA5);
  auto record = make_record(0, {});
  ASSERT_EQ(program(4, 80, full, record.get()), 0);
  EXPECT_EQ(record->type, 80);
  EXPECT_EQ(record->length, kSlotCapacity);
  EXPECT_EQ(record->data[kSlotCapacity - 1], 0xA5);
  EXPECT_EQ(sector(4)[lumetra::api::kSectorBytes - 1], 0xA5);

  // One byte more is refused and changes nothing, neither the sector nor
  // the record.
  std::vector<uint8_t> before(sector(4), sector(4) + lumetra::api::kSectorBytes);
  full.push_back(0x00);
  record->length = 7;
  EXPECT_EQ(program(4, 67, full, record.get()), -1);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), sector(4)));
  EXPECT_EQ(record->length, 7u);
}

TEST_F(Slots, OutOfRangeSlotsAndAbsentTemplatesAreRefused) {
  EXPECT_EQ(erase_tpl_slot(-1), -1);
  EXPECT_EQ(erase_tpl_slot(5), -1);
  EXPECT_EQ(program(5, 80, {1}), -1);
  EXPECT_EQ(program(-1, 80, {1}), -1);
  EXPECT_EQ(program_tpl_slot(nullptr, 0, nullptr), -1);
  auto record = make_record(80, {1, 2});
  EXPECT_EQ(init_alg_tpl_data(-1, record.get()), -1);
  EXPECT_EQ(init_alg_tpl_data(5, record.get()), -1);
  EXPECT_EQ(nerio_qx_get_tpl(-1, record.get()), -1);
  EXPECT_EQ(nerio_qx_get_tpl(5, record.get()), -1);
  for (int s = 0; s < lumetra::api::kSlotCount; ++s) EXPECT_EQ(sector(s)[3], 0);
}

TEST_F(Slots, LoadingARecordRefersToTheSector) {
  auto record = make_record(kOpaque, {9, 8, 7, 6});
  record->reserved[0] = 0x77;  // never read
  ASSERT_EQ(init_alg_tpl_data(2, record.get()), 0);
  qx_template *t = slot_template(2);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(qx_template_get_data(t), sector(2) + kData);
  EXPECT_EQ(qx_template_get_data_size(t), kSlotCapacity);
  EXPECT_EQ(qx_template_get_type(t), kOpaque);
  EXPECT_EQ(sector(2)[3], kOpaque);
  EXPECT_EQ(length_field(2), kSlotCapacity);
  EXPECT_EQ(sector(2)[kData + 3], 6);
  EXPECT_EQ(sector(2)[kData + 4], 0xFF);

  // Read back: the whole data area, not the length the host passed in.
  auto out = make_record(0, {});
  ASSERT_EQ(nerio_qx_get_tpl(2, out.get()), 0);
  EXPECT_EQ(out->type, kOpaque);
  EXPECT_EQ(out->length, kSlotCapacity);
  EXPECT_EQ(out->data[0], 9);
  EXPECT_EQ(out->data[4], 0xFF);
  EXPECT_EQ(out->reserved[0], 0);
  EXPECT_EQ(nerio_qx_get_tpl(2, nullptr), 0);

  // Loading again replaces the template (the old one is released first).
  auto second = make_record(kOtherOpaque, {1});
  ASSERT_EQ(init_alg_tpl_data(2, second.get()), 0);
  EXPECT_EQ(qx_template_get_type(slot_template(2)), kOtherOpaque);
  EXPECT_EQ(sector(2)[kData + 1], 0xFF);
}

TEST_F(Slots, RecordLengthsAtTheEdges) {
  auto record = make_record(kOpaque, {1, 2, 3});
  ASSERT_EQ(init_alg_tpl_data(1, record.get()), 0);
  qx_template *loaded = slot_template(1);
  std::vector<uint8_t> before(sector(1), sector(1) + lumetra::api::kSectorBytes);

  // Length 0: nothing to load, nothing changes.
  auto empty = make_record(67, {});
  EXPECT_EQ(init_alg_tpl_data(1, empty.get()), 0);
  EXPECT_EQ(slot_template(1), loaded);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), sector(1)));

  // 32761 is refused and changes nothing.
  auto big = make_record(kOpaque, {});
  big->length = kSlotCapacity + 1;
  EXPECT_EQ(init_alg_tpl_data(1, big.get()), -1);
  EXPECT_EQ(slot_template(1), loaded);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), sector(1)));

  // 32760 fits exactly.
  big->length = kSlotCapacity;
  std::memset(big->data, 0x3C, kSlotCapacity);
  EXPECT_EQ(init_alg_tpl_data(1, big.get()), 0);
  EXPECT_EQ(sector(1)[lumetra::api::kSectorBytes - 1], 0x3C);
}

TEST_F(Slots, AnEmptySlotReadsAsAnEmptyRecord) {
  auto out = make_record(kOpaque, {1, 2, 3});
  ASSERT_EQ(nerio_qx_get_tpl(0, out.get()), 0);
  EXPECT_EQ(out->type, 0);
  EXPECT_EQ(out->length, 0u);
  // Which loads as "nothing to load".
  EXPECT_EQ(init_alg_tpl_data(0, out.get()), 0);
  EXPECT_EQ(slot_template(0), nullptr);
}

TEST_F(Slots, ATemplateLargerThanARecordIsNotCopiedIntoOne) {
  std::vector<uint8_t> bytes(kSlotCapacity + 8, 1);
  g_state.engine.slot_template[0] =
      qx_template_create(80, bytes.data(), static_cast<uint32_t>(bytes.size()));
  auto out = make_record(0, {});
  out->length = 5;
  EXPECT_EQ(nerio_qx_get_tpl(0, out.get()), -1);
  EXPECT_EQ(out->length, 5u);
}

TEST_F(Slots, DelFingerUsesTheLowEightBits) {
  auto record = make_record(kOpaque, {1, 2, 3});
  for (int s = 0; s < lumetra::api::kSlotCount; ++s) ASSERT_EQ(init_alg_tpl_data(s, record.get()), 0);
  std::vector<uint8_t> before(&g_state.slots.sector[0][0],
                              &g_state.slots.sector[0][0] + sizeof g_state.slots);
  // 261 cuts to 5: no such slot.
  EXPECT_EQ(nerio_DelFinger(261), 0);
  EXPECT_EQ(nerio_DelFinger(-1), 0);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), &g_state.slots.sector[0][0]));
  for (int s = 0; s < lumetra::api::kSlotCount; ++s) EXPECT_NE(slot_template(s), nullptr);

  // 258 cuts to 2.
  EXPECT_EQ(nerio_DelFinger(258), 0);
  EXPECT_EQ(slot_template(2), nullptr);
  for (int i = 0; i < lumetra::api::kSectorBytes; ++i) ASSERT_EQ(sector(2)[i], 0xFF) << i;
  EXPECT_NE(slot_template(1), nullptr);
  EXPECT_NE(slot_template(3), nullptr);
}

TEST_F(Slots, ASlotsOwnTemplateCanBeWrittenBackIntoItsSector) {
  auto record = make_record(kOpaque, {0x0F, 0x33});
  ASSERT_EQ(init_alg_tpl_data(0, record.get()), 0);
  // The template's bytes live in sector 0.  Writing it back when the
  // sector must be erased first (another type byte) must not lose them.
  g_state.slots.sector[0][3] = 67;
  ASSERT_EQ(program_tpl_slot(slot_template(0), 0, nullptr), 0);
  EXPECT_EQ(sector(0)[3], kOpaque);
  EXPECT_EQ(sector(0)[kData], 0x0F);
  EXPECT_EQ(sector(0)[kData + 1], 0x33);
  EXPECT_EQ(sector(0)[kData + 2], 0xFF);
}

TEST_F(Slots, InitEmptiesTheSlotsButKeepsTheStore) {
  auto record = make_record(kOpaque, {4, 5, 6});
  ASSERT_EQ(init_alg_tpl_data(4, record.get()), 0);
  ASSERT_EQ(init_nerio_algorithm(), 0);
  EXPECT_EQ(slot_template(4), nullptr);
  EXPECT_EQ(sector(4)[kData + 2], 6);
  uninit_nerio_algorithm();
  EXPECT_EQ(sector(4)[kData + 2], 6);
}

}  // namespace
