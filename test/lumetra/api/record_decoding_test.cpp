// Records are decoded when they are loaded: a stored template whose bytes
// do not hold together is refused by init_alg_tpl_data instead of being
// found "no match" by every later verification.  The records are real
// ones, enrolled through the exports from generated touches.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "api/slots.h"
#include "api/state.h"
#include "engine/formats/be_bytes.h"
#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_template.h"
#include "engine/objects/qx_template_check.h"
#include "enroll_touches.h"
#include "lumetra.h"
#include "lumetra/api/api_fixture.h"

namespace {

using apitest::make_record;
using lumetra::api::g_state;

const std::vector<fpsynth::Image> &touches() {
  static const std::vector<fpsynth::Image> t =
      enroll_eval::make_touches(fpsynth::derive_seed(41, 3));
  return t;
}

// The bytes of a finger enrolled from 6 touches, as nerio_qx_save_tpl
// hands them to the host.
const std::vector<uint8_t> &enrolled_bytes() {
  static const std::vector<uint8_t> bytes = [] {
    apitest::reset_library_state();
    std::vector<uint8_t> out;
    if (init_nerio_algorithm() != 0) return out;
    unsigned char progress = 0;
    for (int i = 0; i < 6; ++i) nerio_qx_enroll_Image(touches()[i].pixels.data(), 0, i > 0, &progress);
    auto record = make_record(0, {});
    if (nerio_qx_save_tpl(0, record.get()) == 0)
      out.assign(record->data, record->data + record->length);
    apitest::reset_library_state();
    return out;
  }();
  return bytes;
}

// Where the parts of a version 3 encoding lie.
struct Layout {
  size_t header_end = 8;
  std::vector<std::pair<size_t, size_t>> heads;      // instance heads [from, to)
  std::vector<std::pair<size_t, size_t>> templates;  // instance template bytes
  std::vector<std::pair<size_t, size_t>> records;    // metadata records
};

Layout layout_of(const std::vector<uint8_t> &b) {
  Layout l;
  size_t at = 8;
  auto records = [&](unsigned count) {
    for (unsigned r = 0; r < count; ++r) {
      const size_t n = qx_fmt::get16(&b[at + 1]);
      l.records.push_back({at, at + 3 + n});
      at += 3 + n;
    }
  };
  records(b[7]);
  while (at + 10 <= b.size()) {
    const uint32_t size = qx_fmt::get32(&b[at + 6]);
    const unsigned nrec = b[at + 4];
    l.heads.push_back({at, at + 10});
    l.templates.push_back({at + 10, at + 10 + size});
    at += 10 + size;
    records(nrec);
  }
  return l;
}

class RecordDecoding : public apitest::ApiState {
 protected:
  void SetUp() override {
    ASSERT_FALSE(enrolled_bytes().empty());
    ApiState::SetUp();
    ASSERT_EQ(init_nerio_algorithm(), 0);
  }
  // Loads the bytes as a type-80 record into slot 1.
  static int load(const std::vector<uint8_t> &bytes, uint8_t type = QX_TEMPLATE_MULTITEMPLATE) {
    auto record = make_record(type, bytes);
    return init_alg_tpl_data(1, record.get());
  }
  static bool loaded() { return slot_template(1) != nullptr; }
};

TEST_F(RecordDecoding, AnEnrolledRecordLoadsAgainAsItWasStoredAndAsTheSlotGivesItBack) {
  ASSERT_EQ(load(enrolled_bytes()), 0);
  EXPECT_TRUE(loaded());
  // The slot hands back its whole data area: the template and 0xFF padding.
  auto whole = make_record(0, {});
  ASSERT_EQ(nerio_qx_get_tpl(1, whole.get()), 0);
  ASSERT_EQ(whole->length, lumetra::api::kSlotCapacity);
  EXPECT_EQ(init_alg_tpl_data(2, whole.get()), 0);
  EXPECT_NE(slot_template(2), nullptr);
  // Padding the host adds itself is the same erased flash.
  std::vector<uint8_t> padded = enrolled_bytes();
  padded.resize(padded.size() + 100, 0xFF);
  EXPECT_EQ(load(padded), 0);
}

TEST_F(RecordDecoding, ADamagedHeaderIsRefusedAndTheSlotStaysEmpty) {
  ASSERT_EQ(load(enrolled_bytes()), 0);
  for (int i = 0; i < 4; ++i) {
    std::vector<uint8_t> b = enrolled_bytes();
    b[i] ^= 0x20;  // "QXMT" with one letter changed
    EXPECT_EQ(load(b), -1) << "magic byte " << i;
    EXPECT_FALSE(loaded());
    // The sector keeps what the host handed in, as for any refused record.
    EXPECT_EQ(sector(1)[lumetra::api::kSlotDataOffset + i], b[i]);
  }
  for (uint8_t version : {0, 4, 0xFF}) {
    std::vector<uint8_t> b = enrolled_bytes();
    b[5] = version;
    EXPECT_EQ(load(b), -1) << "version " << int(version);
  }
  std::vector<uint8_t> b = enrolled_bytes();
  b[4] = 1;  // written 0
  EXPECT_EQ(load(b), -1);
}

TEST_F(RecordDecoding, AnythingButErasedFlashAfterTheEncodingIsRefused) {
  for (uint8_t extra : {0x00, 0x01, 0xFE}) {
    std::vector<uint8_t> b = enrolled_bytes();
    b.push_back(extra);
    EXPECT_EQ(load(b), -1) << int(extra);
  }
  std::vector<uint8_t> b = enrolled_bytes();
  b.resize(b.size() + 40, 0xFF);
  b.back() = 0x7F;  // a stray byte far into the padding
  EXPECT_EQ(load(b), -1);
}

TEST_F(RecordDecoding, BadInstanceDataIsRefused) {
  const Layout l = layout_of(enrolled_bytes());
  ASSERT_GE(l.heads.size(), 2u);
  // An instance that says it is longer than the data.
  std::vector<uint8_t> b = enrolled_bytes();
  qx_fmt::put32(&b[l.heads[0].first + 6], 0x10000);
  EXPECT_EQ(load(b), -1);
  // A subtemplate whose hybrid record is cut short inside its own bytes.
  b = enrolled_bytes();
  b[l.templates[1].first + 2] ^= 0x40;  // the 0x7F2E element's length
  EXPECT_EQ(load(b), -1);
  // An encoding without any subtemplate, and one whose subtemplate holds
  // no capture.
  b.assign(enrolled_bytes().begin(), enrolled_bytes().begin() + l.heads[0].first);
  EXPECT_EQ(load(b), -1);
  qx_multitemplate *mt = qx_multitemplate_create();
  qx_template *empty_part = qx_template_create(QX_TEMPLATE_EHM, nullptr, 0);
  ASSERT_EQ(qx_multitemplate_add_instance(mt, 1, empty_part), QX_RC_OK);
  qx_template *encoded = nullptr;
  ASSERT_EQ(qx_multitemplate_encode(mt, &encoded), QX_RC_OK);
  b.assign(qx_template_get_data(encoded),
           qx_template_get_data(encoded) + qx_template_get_data_size(encoded));
  qx_template_delete(encoded);
  qx_template_delete(empty_part);
  qx_multitemplate_delete(mt);
  EXPECT_EQ(load(b), -1);
}

TEST_F(RecordDecoding, AHybridTemplateOfItsOwnIsDecodedToo) {
  const Layout l = layout_of(enrolled_bytes());
  const std::vector<uint8_t> part(enrolled_bytes().begin() + l.templates[0].first,
                                  enrolled_bytes().begin() + l.templates[0].second);
  ASSERT_EQ(load(part, QX_TEMPLATE_EHM), 0);
  std::vector<uint8_t> b = part;
  b.push_back(0x00);
  EXPECT_EQ(load(b, QX_TEMPLATE_EHM), -1);
  b = part;
  b[0] = 0x7E;  // no 0x7F2E element
  EXPECT_EQ(load(b, QX_TEMPLATE_EHM), -1);
  // Types without a decoder keep loading as they are.
  EXPECT_EQ(load({1, 2, 3}, QX_TEMPLATE_SPECTRAL), 0);
  EXPECT_TRUE(loaded());
}

// Every byte of the record flipped in turn (all 8 bits): flips in the
// structure (header, instance heads, the TLV tags and lengths of the
// subtemplates, metadata heads) are refused; a flip inside a value that
// still reads leaves a record that loads, since the stored format holds no
// checksum.
TEST_F(RecordDecoding, FlippedBytesThatBreakTheStructureAreRefused) {
  const std::vector<uint8_t> &original = enrolled_bytes();
  const Layout l = layout_of(original);
  std::vector<bool> refused(original.size());
  auto record = make_record(QX_TEMPLATE_MULTITEMPLATE, original);
  for (size_t i = 0; i < original.size(); ++i) {
    record->data[i] ^= 0xFF;
    refused[i] = init_alg_tpl_data(1, record.get()) == -1;
    record->data[i] ^= 0xFF;
  }
  auto all_refused = [&](size_t from, size_t to) {
    bool all = true;
    for (size_t i = from; i < to; ++i)
      if (!refused[i]) {
        std::printf("loads with byte %zu flipped (%zu into its part)\n", i, i - from);
        all = false;
      }
    return all;
  };
  EXPECT_TRUE(all_refused(0, 8));  // magic, 0, version, count, global count
  size_t in_templates = 0, refused_in_templates = 0;
  for (size_t k = 0; k < l.heads.size(); ++k) {
    // Record count, type and size of every instance head (its tag may be
    // any number that is not in use yet).
    EXPECT_TRUE(all_refused(l.heads[k].first + 4, l.heads[k].second)) << "instance " << k;
    // The hybrid record's outer tag and length.
    EXPECT_TRUE(all_refused(l.templates[k].first, l.templates[k].first + 2)) << "instance " << k;
    for (size_t i = l.templates[k].first; i < l.templates[k].second; ++i) {
      ++in_templates;
      refused_in_templates += refused[i];
    }
  }
  // Metadata record lengths (a changed key is a record of an unknown key,
  // which the decoder keeps).
  for (const auto &r : l.records) EXPECT_TRUE(all_refused(r.first + 1, r.first + 3));
  size_t total_refused = 0;
  for (bool r : refused) total_refused += r;
  RecordProperty("bytes", static_cast<int>(original.size()));
  RecordProperty("refused", static_cast<int>(total_refused));
  RecordProperty("template_bytes", static_cast<int>(in_templates));
  RecordProperty("template_bytes_refused", static_cast<int>(refused_in_templates));
  std::printf("flips refused: %zu of %zu bytes; inside subtemplates %zu of %zu\n", total_refused,
              original.size(), refused_in_templates, in_templates);
  // Values inside the subtemplates (minutiae, field blocks) read whatever
  // they hold: most of those flips cannot be seen.
  EXPECT_LT(total_refused, original.size());
}

}  // namespace
