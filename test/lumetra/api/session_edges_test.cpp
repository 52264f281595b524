// Enrollment and verification at their edges, on the real engine with
// generated touches: a session fed only duplicates, an oblong sensor whose
// enrollment would not fit a slot without the size limit, and images or
// templates the configuration does not serve.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "api/lumetra_tools.h"
#include "api/slots.h"
#include "api/state.h"
#include "engine/match/probe_parts.h"
#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_multitemplate_enroll.h"
#include "engine/objects/qx_template.h"
#include "enroll_touches.h"
#include "lumetra.h"
#include "lumetra/api/api_fixture.h"
#include "lumetra/support/bmp_builder.h"

namespace {

using apitest::make_record;
using lumetra::api::g_state;

const std::vector<fpsynth::Image> &touches88() {
  static const std::vector<fpsynth::Image> t =
      enroll_eval::make_touches(fpsynth::derive_seed(57, 2));
  return t;
}

// Touches of one finger on a 100 x 500 sensor (cols x rows): 40 windows,
// 8 impressions at 5 places along the finger.
std::vector<fpsynth::Image> oblong_touches(uint64_t seed) {
  const fpsynth::Master master = fpsynth::make_master(seed);
  fpsynth::Rng rng(fpsynth::derive_seed(seed, 1000));
  std::vector<fpsynth::Image> out;
  for (int k = 0; k < 5; ++k) {
    for (int j = 0; j < 8; ++j) {
      fpsynth::ImpressionParams p;
      p.rows = 500;
      p.cols = 100;
      p.centre_row = master.centre_row + rng.uniform(-40.0, 40.0);
      p.centre_col = master.centre_col + rng.uniform(-45.0, 45.0);
      out.push_back(fpsynth::make_impression(master, fpsynth::derive_seed(seed, j), p).image);
    }
  }
  return out;
}

class SessionEdges : public apitest::ApiState {
 protected:
  static qx_multitemplate_enroll *session() { return g_state.engine.enroll_session; }
};

// Every duplicate used to stay in the session with its template (about
// 1.4 KB a call, without end).
TEST_F(SessionEdges, ASessionFedOnlyDuplicatesStaysBounded) {
  ASSERT_EQ(init_nerio_algorithm(), 0);
  const unsigned char *same = touches88()[0].pixels.data();
  unsigned char progress = 0;
  for (int i = 0; i < 150; ++i) ASSERT_EQ(nerio_qx_enroll_Image(same, 0, i > 0, &progress), 0);
  const int capacity = qx_multitemplate_enroll_get_capacity(session());
  ASSERT_GT(capacity, 0);
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_captures(session()), 1);
  // Every capture was recorded; the session holds the accepted one and
  // the most recent `capacity` duplicates.
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_records(session()), 150);
  EXPECT_EQ(qx_multitemplate_enroll_get_nbr_of_kept_records(session()), 1 + capacity);
  lumetra_tools_enroll_counts counts;
  ASSERT_EQ(lumetra_tools_get_enroll_counts(&counts), 0);
  EXPECT_EQ(counts.records, 150);
  // The session still saves its one capture.
  auto record = make_record(0, {});
  EXPECT_EQ(nerio_qx_save_tpl(0, record.get()), 0);
  EXPECT_GT(record->length, 0u);
}

// 40 captures of 100 x 500 make subtemplates of several kilobytes: the
// configuration's 32 would not fit a slot, and the enrollment, having
// reached its progress, could not be saved.
TEST_F(SessionEdges, AnOblongEnrollmentReachingItsProgressIsSavedWithinTheSlot) {
  set_fp_sensor_col_row(100, 500);
  ASSERT_EQ(init_nerio_algorithm(), 0);
  const std::vector<fpsynth::Image> t = oblong_touches(fpsynth::derive_seed(91, 4));
  unsigned char progress = 0;
  for (size_t i = 0; i < t.size(); ++i)
    ASSERT_EQ(nerio_qx_enroll_Image(t[i].pixels.data(), 0, i > 0, &progress), 0);
  const int accepted = qx_multitemplate_enroll_get_nbr_of_captures(session());
  EXPECT_GE(accepted, 20);
  auto record = make_record(0, {});
  ASSERT_EQ(nerio_qx_save_tpl(3, record.get()), 0);
  EXPECT_EQ(record->type, QX_TEMPLATE_MULTITEMPLATE);
  EXPECT_LE(record->length, lumetra::api::kSlotCapacity);
  // Fewer subtemplates than the captures the maximum would have kept.
  qx_multitemplate *mt = nullptr;
  ASSERT_EQ(qx_multitemplate_decode(g_state.engine.slot_template[3], &mt), QX_RC_OK);
  const int kept = qx_multitemplate_get_nbr_of_instances(mt);
  qx_multitemplate_delete(mt);
  EXPECT_LT(kept, std::min(accepted, 32));
  EXPECT_GT(kept, 0);
  std::printf("100 x 500: %d accepted captures, %d subtemplates in %u bytes, progress %d\n",
              accepted, kept, record->length, progress);

  // The host stores it and loads it again after a restart; it verifies.
  uninit_nerio_algorithm();
  ASSERT_EQ(init_nerio_algorithm(), 0);
  set_fp_dyn_update_flg(0);
  ASSERT_EQ(init_alg_tpl_data(3, record.get()), 0);
  int matched = -1, updated = 0;
  EXPECT_EQ(nerio_qx_verify(t[5].pixels.data(), &matched, &updated, 0), 0);
  EXPECT_EQ(matched, 3);
}

TEST_F(SessionEdges, AGeometryTheConfigurationDoesNotServeIsAWrongArgument) {
  ASSERT_EQ(init_nerio_algorithm(), 0);
  const std::string a = lumetra::test::temp_path("served_a.bmp");
  lumetra::test::write_file(a, lumetra::test::make_bmp({88, 88}, touches88()[1].pixels));
  EXPECT_GT(nerio_get_score_from_two_image_compare(a.c_str(), a.c_str()), 1);
  // After init the host sets a sensor of another configuration (200 x 200:
  // the largest square), or one beyond the ceiling.
  std::vector<uint8_t> big(200 * 200, 255);
  for (const auto &[cols, rows] : {std::pair{200, 200}, std::pair{4000, 4000}}) {
    set_fp_sensor_col_row(cols, rows);
    int matched = -7, updated = -7;
    EXPECT_EQ(nerio_qx_verify(big.data(), &matched, &updated, 0), -1);
    EXPECT_EQ(matched, -7);
    EXPECT_EQ(updated, -7);
    EXPECT_EQ(nerio_get_score_from_two_image_compare(a.c_str(), a.c_str()), -1);
  }
  // A size of the same configuration is served (96 x 96 is square xs too).
  set_fp_sensor_col_row(96, 96);
  std::vector<uint8_t> blank(96 * 96, 255);
  EXPECT_EQ(nerio_qx_verify(blank.data(), nullptr, nullptr, 0), 1);
  std::remove(a.c_str());
}

// A template enrolled on the 88 x 88 sensor against a probe of a 100 x 100
// sensor (the same configuration): its subtemplates record 120 x 120
// working images, the probe 132 x 132.  Comparing them answered "no
// match", which looks like an impostor.
TEST_F(SessionEdges, ATemplateOfAnotherSensorSizeIsAWrongArgument) {
  ASSERT_EQ(init_nerio_algorithm(), 0);
  unsigned char progress = 0;
  for (int i = 0; i < 10; ++i)
    ASSERT_EQ(nerio_qx_enroll_Image(touches88()[i].pixels.data(), 0, i > 0, &progress), 0);
  auto record = make_record(0, {});
  ASSERT_EQ(nerio_qx_save_tpl(0, record.get()), 0);

  set_fp_sensor_col_row(100, 100);
  ASSERT_EQ(init_nerio_algorithm(), 0);
  ASSERT_EQ(init_alg_tpl_data(1, record.get()), 0);
  const std::vector<fpsynth::Image> probes =
      enroll_eval::make_touches(fpsynth::derive_seed(57, 2), 100);
  int matched = -7, updated = -7;
  EXPECT_EQ(nerio_qx_verify(probes[3].pixels.data(), &matched, &updated, 0), -1);
  EXPECT_EQ(nerio_qx_verify(probes[3].pixels.data(), &matched, &updated, 1), -1);
  EXPECT_EQ(matched, -7);
  EXPECT_EQ(updated, -7);
  lumetra_tools_verify_report report;
  EXPECT_EQ(lumetra_tools_verify(probes[3].pixels.data(), &matched, &updated, 0, &report), -1);
  EXPECT_EQ(report.other_sensor[1], 1);
  EXPECT_EQ(report.other_sensor[0], 0);
  EXPECT_EQ(report.scored[1], 0);

  // On its own sensor the same record verifies the finger.
  set_fp_sensor_col_row(88, 88);
  ASSERT_EQ(init_nerio_algorithm(), 0);
  ASSERT_EQ(init_alg_tpl_data(1, record.get()), 0);
  EXPECT_EQ(nerio_qx_verify(touches88()[3].pixels.data(), &matched, &updated, 0), 0);
  EXPECT_EQ(matched, 1);
}

// Enrolls the first ten touches and saves the template into the slot.
std::unique_ptr<tpl_record> enroll_into(int slot, const std::vector<fpsynth::Image> &touches) {
  unsigned char progress = 0;
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(nerio_qx_enroll_Image(touches[i].pixels.data(), 0, i > 0, &progress), 0);
  auto record = make_record(0, {});
  EXPECT_EQ(nerio_qx_save_tpl(slot, record.get()), 0);
  return record;
}

// A slot keeps the sizes of its template from when it was loaded: every
// template that replaces it (a record loaded again, an enrollment saved
// into it, the template an update writes back) is checked by its own
// sizes, not by what the slot held before.  The replacing template is
// often made at the very address of the one it replaces.
TEST_F(SessionEdges, AReplacedOrUpdatedSlotIsCheckedAgainstItsOwnSize) {
  const std::vector<fpsynth::Image> t100 =
      enroll_eval::make_touches(fpsynth::derive_seed(57, 2), 100);
  ASSERT_EQ(init_nerio_algorithm(), 0);
  const auto record88 = enroll_into(0, touches88());
  set_fp_sensor_col_row(100, 100);
  ASSERT_EQ(init_nerio_algorithm(), 0);
  const auto record100 = enroll_into(2, t100);
  const unsigned char *probe100 = t100[3].pixels.data();
  int matched = -7, updated = 0;
  set_fp_dyn_update_flg(0);

  // Loaded, replaced, replaced back, deleted.
  ASSERT_EQ(init_alg_tpl_data(1, record88.get()), 0);
  EXPECT_EQ(nerio_qx_verify(probe100, &matched, &updated, 0), -1);
  ASSERT_EQ(init_alg_tpl_data(1, record100.get()), 0);
  EXPECT_EQ(nerio_qx_verify(probe100, &matched, &updated, 0), 0);
  EXPECT_EQ(matched, 1);
  ASSERT_EQ(init_alg_tpl_data(1, record88.get()), 0);
  EXPECT_EQ(nerio_qx_verify(probe100, &matched, &updated, 1), -1);
  nerio_DelFinger(1);
  matched = -7;
  EXPECT_EQ(nerio_qx_verify(probe100, &matched, &updated, 0), 0);
  EXPECT_EQ(matched, 2);

  // An enrollment of the 100 x 100 sensor saved over an 88 x 88 template.
  ASSERT_EQ(init_alg_tpl_data(2, record88.get()), 0);
  EXPECT_EQ(nerio_qx_verify(probe100, &matched, &updated, 0), -1);
  enroll_into(2, t100);
  EXPECT_EQ(nerio_qx_verify(probe100, &matched, &updated, 0), 0);
  EXPECT_EQ(matched, 2);

  // The update writes the slot back and parses it again: the new template
  // is still told from an 88 x 88 probe, and still verifies its finger.
  set_fp_dyn_update_flg(1);
  EXPECT_EQ(nerio_qx_verify(probe100, &matched, &updated, 1), 0);
  ASSERT_EQ(updated, 1);
  EXPECT_NE(g_state.engine.slot_template[2], nullptr);
  EXPECT_EQ(lumetra::api::slot_sizes(2).of, g_state.engine.slot_template[2]);
  set_fp_sensor_col_row(88, 88);
  EXPECT_EQ(nerio_qx_verify(touches88()[3].pixels.data(), &matched, &updated, 0), -1);
  set_fp_sensor_col_row(100, 100);
  EXPECT_EQ(nerio_qx_verify(t100[5].pixels.data(), &matched, &updated, 0), 0);
  EXPECT_EQ(matched, 2);
}

// A slot keeps its template's parts (the subtemplates' cards and feature
// sets) from one verification to the next, and drops them whenever the
// template is released: a template loaded over it (made at the address of
// the one it replaces), deleted, an enrollment saved into the slot, an
// update written back.  Each template is scored as when it was loaded
// first, and the slot keeps the parts of that template only.  (The
// replacing template is usually made at the address of the one it
// replaces, where only the drop at release tells them apart; an allocator
// that does not reuse addresses, as the sanitizer's, leaves the rest of
// the test.)
TEST_F(SessionEdges, ASlotKeepsThePartsOfTheTemplateItHoldsOnly) {
  using lumetra::api::slot_parts;
  ASSERT_EQ(init_nerio_algorithm(), 0);
  const auto record_a = enroll_into(0, touches88());
  const auto record_b = enroll_into(0, enroll_eval::make_touches(fpsynth::derive_seed(57, 3)));
  nerio_DelFinger(0);
  set_fp_dyn_update_flg(0);
  const unsigned char *probe = touches88()[3].pixels.data();
  auto score1 = [probe] {
    lumetra_tools_verify_report report{};
    int matched = -7, updated = 0;
    lumetra_tools_verify(probe, &matched, &updated, 0, &report);
    EXPECT_EQ(report.scored[1], 1);
    return report.score[1];
  };
  const long live = qx_alloc_live();
  EXPECT_EQ(slot_parts(1), nullptr);

  ASSERT_EQ(init_alg_tpl_data(1, record_b.get()), 0);
  const uint16_t score_b = score1();
  ASSERT_NE(slot_parts(1), nullptr);
  const uint32_t entries_b = slot_parts(1)->entries();
  EXPECT_GT(entries_b, 0u);
  EXPECT_EQ(score1(), score_b);  // from the kept parts
  EXPECT_EQ(slot_parts(1)->entries(), entries_b);

  ASSERT_EQ(init_alg_tpl_data(1, record_a.get()), 0);
  EXPECT_EQ(slot_parts(1)->entries(), 0u);
  const uint16_t score_a = score1();
  const uint32_t entries_a = slot_parts(1)->entries();
  EXPECT_GT(score_a, score_b);
  EXPECT_GT(entries_a, 0u);
  ASSERT_EQ(init_alg_tpl_data(1, record_b.get()), 0);
  EXPECT_EQ(score1(), score_b);
  EXPECT_EQ(slot_parts(1)->entries(), entries_b);

  nerio_DelFinger(1);
  EXPECT_EQ(slot_parts(1), nullptr);
  EXPECT_EQ(qx_alloc_live(), live);

  // An enrollment saved over a loaded template, then an update.
  ASSERT_EQ(init_alg_tpl_data(1, record_b.get()), 0);
  EXPECT_EQ(score1(), score_b);
  enroll_into(1, touches88());
  EXPECT_EQ(slot_parts(1)->entries(), 0u);
  EXPECT_EQ(score1(), score_a);
  EXPECT_EQ(slot_parts(1)->entries(), entries_a);
  set_fp_dyn_update_flg(1);
  int matched = -7, updated = 0;
  EXPECT_EQ(nerio_qx_verify(probe, &matched, &updated, 0), 0);
  ASSERT_EQ(updated, 1);
  EXPECT_EQ(slot_parts(1)->entries(), 0u);
  set_fp_dyn_update_flg(0);
  score1();
  EXPECT_GT(slot_parts(1)->entries(), 0u);
}

}  // namespace
