// The enrollment session through the exports, on the real engine with
// generated touches of one finger: opening, cancelling and saving a
// session, and a saved record that loads again and verifies.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/slots.h"
#include "api/state.h"
#include "engine/objects/qx_multitemplate_enroll.h"
#include "engine/objects/qx_template.h"
#include "enroll_touches.h"
#include "lumetra.h"
#include "lumetra/api/api_fixture.h"

namespace {

using apitest::make_record;
using lumetra::api::g_state;

const std::vector<fpsynth::Image> &touches() {
  static const std::vector<fpsynth::Image> t = enroll_eval::make_touches(fpsynth::derive_seed(23, 1));
  return t;
}

class Enrollment : public apitest::ApiState {
 protected:
  void SetUp() override {
    ApiState::SetUp();
    ASSERT_EQ(init_nerio_algorithm(), 0);
  }
  static int enroll(int index, int continue_only = 0, unsigned char *progress = nullptr) {
    unsigned char ignored = 0;
    return nerio_qx_enroll_Image(touches()[index].pixels.data(), 0, continue_only,
                                 progress != nullptr ? progress : &ignored);
  }
  static bool session_open() { return g_state.engine.enroll_session != nullptr; }
  static unsigned short info() {
    unsigned short v = 0;
    get_nerio_alg_info(&v);
    return v;
  }
};

TEST_F(Enrollment, ContinueOnlyOpensNoSession) {
  unsigned char progress = 0xEE;
  EXPECT_EQ(enroll(0, 1, &progress), 1);
  EXPECT_FALSE(session_open());
  EXPECT_EQ(progress, 0xEE);

  EXPECT_EQ(enroll(0, 0, &progress), 0);
  EXPECT_TRUE(session_open());
  EXPECT_LE(progress, 100);
  // The engine reported the extraction; its low 8 bits are kept.
  EXPECT_EQ(g_state.params.enroll_event, 0x0B);
  EXPECT_EQ(enroll(1, 1, &progress), 0);
}

TEST_F(Enrollment, WithoutTheAlgorithmNothingIsTaken) {
  ASSERT_EQ(enroll(0), 0);
  // Releasing the algorithm ends the session opened with it.
  uninit_nerio_algorithm();
  EXPECT_FALSE(session_open());
  EXPECT_EQ(enroll(1), 1);
  auto record = make_record(0, {});
  EXPECT_EQ(nerio_qx_save_tpl(0, record.get()), 1);
  ASSERT_EQ(init_nerio_algorithm(), 0);
  EXPECT_EQ(enroll(1, 1), 1);
}

TEST_F(Enrollment, CancelResetsTheProgressButKeepsTheLastEvent) {
  for (int i = 0; i < 6; ++i) ASSERT_EQ(enroll(i), 0);
  const uint8_t event = g_state.params.enroll_event;
  EXPECT_NE(event, 0);
  EXPECT_EQ(nerio_qx_cancel_enroll(), 0);
  EXPECT_FALSE(session_open());
  EXPECT_EQ(info(), event * 256);
  EXPECT_EQ(nerio_qx_cancel_enroll(), 0);

  // Save right after a cancel: nothing to save, no slot touched.
  auto record = make_record(0x33, {});
  EXPECT_EQ(nerio_qx_save_tpl(0, record.get()), 1);
  EXPECT_EQ(record->type, 0x33);
  EXPECT_EQ(slot_template(0), nullptr);
  EXPECT_EQ(sector(0)[3], 0);

  // The next image opens a new session with one capture.
  ASSERT_EQ(enroll(7), 0);
  EXPECT_TRUE(session_open());
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_records(g_state.engine.enroll_session), 1);
}

TEST_F(Enrollment, SaveIntoNoSuchSlotKeepsTheSession) {
  ASSERT_EQ(enroll(0), 0);
  EXPECT_EQ(nerio_qx_save_tpl(5, nullptr), -1);
  EXPECT_EQ(nerio_qx_save_tpl(-1, nullptr), -1);
  EXPECT_TRUE(session_open());
}

TEST_F(Enrollment, NoUsableCaptureBuildsNothing) {
  // A geometry no image can have (set after init): the session opens, the
  // image is dropped, the result is still 0 and the progress not written.
  set_fp_sensor_col_row(0, 88);
  unsigned char progress = 0xEE;
  ASSERT_EQ(enroll(0, 0, &progress), 0);
  EXPECT_EQ(progress, 0xEE);
  EXPECT_TRUE(session_open());
  set_fp_sensor_col_row(88, 88);
  // Any record that loads (a type the load takes as it is).
  auto earlier = make_record(QX_TEMPLATE_SPECTRAL, {1, 2, 3});
  ASSERT_EQ(init_alg_tpl_data(1, earlier.get()), 0);
  const std::vector<uint8_t> before(sector(1), sector(1) + lumetra::api::kSectorBytes);
  EXPECT_EQ(nerio_qx_save_tpl(1, nullptr), 1);
  EXPECT_FALSE(session_open());
  EXPECT_EQ(info() & 0xFF, 0);
  // The slot is empty in memory; its sector is not touched.
  EXPECT_EQ(slot_template(1), nullptr);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), sector(1)));
}

TEST_F(Enrollment, TipsAndDuplicateCheckChangeNothing) {
  ASSERT_EQ(enroll(0), 0);
  const lumetra::api::Parameters params = g_state.params;
  qx_multitemplate_enroll *session = g_state.engine.enroll_session;
  int dummy = 0;
  nerio_SetEnrollmentTipsEn(&dummy);
  nerio_enrollment_duplicatecheck_en(nullptr);
  EXPECT_EQ(std::memcmp(&params, &g_state.params, sizeof params), 0);
  EXPECT_EQ(g_state.engine.enroll_session, session);
  EXPECT_EQ(dummy, 0);
}

// A whole enrollment, with a maximum of subtemplates (256) that keeps no
// bit and therefore means the default: the template can be saved.
TEST_F(Enrollment, SavedRecordLoadsAgainAndVerifiesTheFinger) {
  set_fp_max_nbr_subtemplate(256);
  ASSERT_EQ(init_nerio_algorithm(), 0);
  unsigned char progress = 0, last = 0;
  for (int i = 0; i < enroll_eval::kTouches; ++i) {
    ASSERT_EQ(enroll(i, i > 0 ? 1 : 0, &progress), 0);
    EXPECT_GE(progress, last);  // never falls for usable touches
    EXPECT_LE(progress, 100);
    last = progress;
  }
  auto record = make_record(0, {});
  ASSERT_EQ(nerio_qx_save_tpl(2, record.get()), 0);
  EXPECT_FALSE(session_open());
  EXPECT_EQ(info() & 0xFF, 0);
  EXPECT_EQ(record->type, QX_TEMPLATE_MULTITEMPLATE);
  ASSERT_GT(record->length, 0u);
  // The slot holds the finished template itself; the sector its bytes.
  qx_template *saved = slot_template(2);
  ASSERT_NE(saved, nullptr);
  EXPECT_EQ(qx_template_get_data_size(saved), record->length);
  EXPECT_EQ(std::memcmp(qx_template_get_data(saved), record->data, record->length), 0);
  EXPECT_EQ(sector(2)[3], QX_TEMPLATE_MULTITEMPLATE);
  EXPECT_EQ(std::memcmp(sector(2) + lumetra::api::kSlotDataOffset, record->data, record->length), 0);
  auto read = make_record(0, {});
  ASSERT_EQ(nerio_qx_get_tpl(2, read.get()), 0);
  EXPECT_EQ(read->length, record->length);

  // A restart: the host loads its record again and verifies the finger.
  uninit_nerio_algorithm();
  ASSERT_EQ(init_nerio_algorithm(), 0);
  set_fp_dyn_update_flg(0);
  ASSERT_EQ(init_alg_tpl_data(2, record.get()), 0);
  int matched = -1, updated = 0;
  EXPECT_EQ(nerio_qx_verify(touches()[5].pixels.data(), &matched, &updated, 0), 0);
  EXPECT_EQ(matched, 2);
  matched = -1;
  EXPECT_EQ(nerio_qx_verify(touches()[5].pixels.data(), &matched, &updated, 1), 0);
  EXPECT_EQ(matched, 2);
  EXPECT_EQ(updated, 0);
}

}  // namespace
