// nerio_qx_verify and nerio_Identify over a scripted engine: an algorithm
// whose extractor copies pixels into the probe and whose verifier answers
// what each test sets, so that the slot order, the second try with its
// counter and the update rule can be checked exactly.  The update itself
// runs through the engine's real multi-template manager.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/lumetra_tools.h"
#include "api/slots.h"
#include "api/state.h"
#include "engine/image/qx_image.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "lumetra.h"
#include "lumetra/api/api_fixture.h"

namespace {

using apitest::make_record;
using lumetra::api::g_state;
using lumetra::api::kSlotCount;

// What the scripted verifier answers.
struct Script {
  // Slot by slot (the verifier's similarity operation with a slot's
  // template).
  uint16_t score[kSlotCount] = {};
  int32_t decision[kSlotCount] = {};
  int32_t rc[kSlotCount] = {};
  // Whole set: accepts at every FAR index up to this one, naming `index`.
  int32_t accept_up_to_far = -1;
  int32_t index = 0;
  // Size of the probes the extractor makes; a first pixel of 0 makes none.
  uint32_t probe_size = 4;
  // Calls seen.
  int similarity_calls = 0;
  std::vector<int32_t> whole_set_fars;
};
Script g_script;

int slot_of(const qx_template *t) {
  for (int i = 0; i < kSlotCount; ++i) {
    if (t != nullptr && g_state.engine.slot_template[i] == t) return i;
  }
  return -1;
}

int32_t scripted_extract(qx_session *, qx_image *image, qx_finger *, int32_t type,
                         qx_template **out) {
  *out = nullptr;
  const uint8_t *px = qx_image_get_pixels(image);
  if (px[0] == 0) return QX_RC_FAILED;
  std::vector<uint8_t> bytes(g_script.probe_size, px[0]);
  if (!bytes.empty()) bytes[0] = px[1];
  *out = qx_template_create(type, bytes.data(), static_cast<uint32_t>(bytes.size()));
  return *out != nullptr ? QX_RC_OK : QX_RC_NO_MEMORY;
}

int32_t scripted_similarity(qx_session *, qx_template *a, qx_template *, int32_t, uint16_t *score,
                            int32_t *decision, qx_alignment **alignment, qx_template **updated,
                            const qx_vermodel *) {
  if (alignment != nullptr) *alignment = nullptr;
  if (updated != nullptr) *updated = nullptr;
  const int slot = slot_of(a);
  if (slot < 0) {
    // The manager comparing subtemplates with the probe: same finger.
    *score = 65535;
    *decision = 1;
    return QX_RC_OK;
  }
  ++g_script.similarity_calls;
  *score = g_script.score[slot];
  *decision = g_script.decision[slot];
  return g_script.rc[slot];
}

int32_t scripted_whole_set(qx_session *, qx_template **, int32_t, qx_template *, int32_t far,
                           int32_t *decision, qx_match **match, int32_t *index,
                           const qx_vermodel *) {
  *match = nullptr;
  g_script.whole_set_fars.push_back(far);
  const bool accept = far <= g_script.accept_up_to_far;
  *decision = accept ? 1 : 0;
  *index = accept ? g_script.index : -1;
  return QX_RC_OK;
}

const qx_extractor_interface kExtractor = {scripted_extract, nullptr};
// Template type of the scripted subtemplates loaded into slots.
constexpr int32_t kScriptedType = QX_TEMPLATE_EHM_FUSION;
const qx_verifier_interface kVerifier = {scripted_similarity, nullptr, nullptr,
                                         scripted_whole_set,  nullptr, nullptr};

class Verification : public apitest::ApiState {
 protected:
  void SetUp() override {
    ApiState::SetUp();
    g_script = Script{};
    qx_verifier_chain *chain = qx_verifier_chain_create();
    qx_verifier_chain_append_link(chain,
                                  qx_verifier_link_create(&kVerifier, &kVerifier, 0, 0, 0, 0));
    qx_algorithm_config config{};
    config.max_nbr_subtemplates = 32;
    config.nbr_enroll_captures = 32;
    g_state.engine.algorithm = qx_algorithm_create(nullptr, &kExtractor, chain, QX_TEMPLATE_EHMHR,
                                                   1, 6, nullptr, 0, nullptr, 0, &config);
    ASSERT_NE(g_state.engine.algorithm, nullptr);
    g_state.params.dyn_update_flg = 1;
    std::memset(image_, 0x42, sizeof image_);
  }

  // Loads a multi-template of `n` subtemplates of `size` bytes into a slot.
  // The scripted subtemplates are of a type the load does not decode
  // (their bytes are no hybrid record), so that the record loads.
  static void load_multitemplate(int slot, int n = 2, uint32_t size = 4) {
    std::vector<qx_template *> parts;
    for (int i = 0; i < n; ++i) {
      std::vector<uint8_t> bytes(size, static_cast<uint8_t>(0x10 + i));
      parts.push_back(qx_template_create(kScriptedType, bytes.data(), size));
    }
    qx_template *mt = nullptr;
    ASSERT_EQ(qx_algorithm_create_multitemplate(g_state.engine.algorithm, parts.data(), n, &mt),
              QX_RC_OK);
    for (qx_template *t : parts) qx_template_delete(t);
    ASSERT_LE(qx_template_get_data_size(mt), lumetra::api::kSlotCapacity);
    std::vector<uint8_t> bytes(qx_template_get_data(mt),
                               qx_template_get_data(mt) + qx_template_get_data_size(mt));
    qx_template_delete(mt);
    auto record = make_record(QX_TEMPLATE_MULTITEMPLATE, bytes);
    ASSERT_EQ(init_alg_tpl_data(slot, record.get()), 0);
  }

  static int instances_in_slot(int slot) {
    qx_multitemplate *mt = nullptr;
    if (qx_multitemplate_decode(g_state.engine.slot_template[slot], &mt) != QX_RC_OK) return -1;
    const int n = qx_multitemplate_get_nbr_of_instances(mt);
    qx_multitemplate_delete(mt);
    return n;
  }

  static std::vector<uint8_t> sector_copy(int slot) {
    return {sector(slot), sector(slot) + lumetra::api::kSectorBytes};
  }

  int verify(int mode) { return nerio_qx_verify(image_, &matched_, &updated_, mode); }

  unsigned char image_[88 * 88];
  int matched_ = -7;
  int updated_ = -7;
};

TEST_F(Verification, NothingLoadedAcceptsNothingInEveryMode) {
  g_script.accept_up_to_far = 27;
  for (int mode : {0, 1, 2, 255}) {
    EXPECT_EQ(verify(mode), 1) << mode;
    EXPECT_EQ(matched_, -7);
    EXPECT_EQ(updated_, -7);
  }
  EXPECT_EQ(g_script.similarity_calls, 0);
  EXPECT_TRUE(g_script.whole_set_fars.empty());
}

TEST_F(Verification, NoAlgorithmOrNoProbeAcceptsNothing) {
  load_multitemplate(0);
  g_script.decision[0] = 1;
  image_[0] = 0;  // the extractor makes no probe
  EXPECT_EQ(verify(0), 1);
  EXPECT_EQ(g_script.similarity_calls, 0);
  image_[0] = 0x42;
  uninit_nerio_algorithm();
  EXPECT_EQ(verify(0), 1);
  EXPECT_EQ(matched_, -7);
  EXPECT_EQ(updated_, -7);
}

TEST_F(Verification, SlotBySlotTheLowestAcceptedSlotWins) {
  g_state.params.dyn_update_flg = 0;
  load_multitemplate(1);
  load_multitemplate(3);
  g_script.decision[1] = g_script.decision[3] = 1;
  g_script.score[1] = g_script.score[3] = 30000;
  EXPECT_EQ(verify(0), 0);
  EXPECT_EQ(matched_, 1);
  EXPECT_EQ(updated_, -7);
  EXPECT_EQ(g_script.similarity_calls, 1);

  // Slot 1 rejects (an engine error counts as a rejection): slot 3 is tried.
  g_script.decision[1] = 0;
  g_script.rc[1] = QX_RC_FAILED;
  EXPECT_EQ(verify(0), 0);
  EXPECT_EQ(matched_, 3);
  // Only the low 8 bits of the mode count: 256 is mode 0.
  EXPECT_EQ(verify(256), 0);
  EXPECT_TRUE(g_script.whole_set_fars.empty());
}

TEST_F(Verification, SecondTryIsBelievedFromTheThirdCallInARow) {
  load_multitemplate(1);
  g_state.params.dyn_update_flg = 0;
  g_script.accept_up_to_far = 11;  // accepted only by the second try
  g_script.index = 1;
  EXPECT_EQ(verify(1), 1);
  EXPECT_EQ(g_state.verify.retry_accept_count, 1);
  EXPECT_EQ(verify(1), 1);
  EXPECT_EQ(g_state.verify.retry_accept_count, 2);
  EXPECT_EQ(matched_, -7);
  EXPECT_EQ(verify(1), 0);
  EXPECT_EQ(matched_, 1);
  EXPECT_EQ(verify(257), 0);  // low 8 bits: mode 1
  EXPECT_EQ(g_state.verify.retry_accept_count, 2);
  EXPECT_EQ(g_script.whole_set_fars, (std::vector<int32_t>{12, 11, 12, 11, 12, 11, 12, 11}));

  // A first try that accepts leaves the counter alone.
  g_script.accept_up_to_far = 12;
  EXPECT_EQ(verify(1), 0);
  EXPECT_EQ(g_state.verify.retry_accept_count, 2);
  // Both tries reject: the count starts again.
  g_script.accept_up_to_far = 10;
  EXPECT_EQ(verify(1), 1);
  EXPECT_EQ(g_state.verify.retry_accept_count, 0);
  g_script.accept_up_to_far = 11;
  EXPECT_EQ(verify(1), 1);
  EXPECT_EQ(g_state.verify.retry_accept_count, 1);
  // The counter survives init and uninit.
  uninit_nerio_algorithm();
  EXPECT_EQ(g_state.verify.retry_accept_count, 1);
}

TEST_F(Verification, OtherModesRepeatTheWholeSetDecisionPerLoadedSlot) {
  load_multitemplate(0);
  load_multitemplate(2);
  load_multitemplate(4);
  EXPECT_EQ(verify(2), 1);
  EXPECT_EQ(g_script.whole_set_fars, (std::vector<int32_t>{12, 11, 12, 11, 12, 11}));
  // Accepting at the second try: the third repetition is believed.
  g_script.whole_set_fars.clear();
  g_script.accept_up_to_far = 11;
  g_script.index = 2;
  g_state.params.dyn_update_flg = 0;
  EXPECT_EQ(verify(7), 0);
  EXPECT_EQ(matched_, 2);
  EXPECT_EQ(g_script.whole_set_fars.size(), 6u);
  // Mode 1 decides once.
  g_script.whole_set_fars.clear();
  g_script.accept_up_to_far = -1;
  EXPECT_EQ(verify(1), 1);
  EXPECT_EQ(g_script.whole_set_fars.size(), 2u);
}

TEST_F(Verification, AnAcceptanceNamingAnEmptySlotIsNotReported) {
  load_multitemplate(0);
  g_script.accept_up_to_far = 12;
  g_script.index = 4;
  EXPECT_EQ(verify(1), 1);
  g_script.index = -1;
  EXPECT_EQ(verify(1), 1);
  EXPECT_EQ(matched_, -7);
  EXPECT_EQ(updated_, -7);
}

TEST_F(Verification, SlotBySlotUpdatesOnlyAboveTheScoreThreshold) {
  load_multitemplate(0);
  ASSERT_EQ(instances_in_slot(0), 2);
  const std::vector<uint8_t> before = sector_copy(0);
  g_script.decision[0] = 1;
  g_script.score[0] = 10000;
  EXPECT_EQ(verify(0), 0);
  EXPECT_EQ(matched_, 0);
  EXPECT_EQ(updated_, -7);
  EXPECT_EQ(sector_copy(0), before);

  g_script.score[0] = 10001;
  EXPECT_EQ(verify(0), 0);
  EXPECT_EQ(updated_, 1);
  EXPECT_NE(sector_copy(0), before);
  // The slot was parsed again from its sector and holds the probe too.
  qx_template *t = slot_template(0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(qx_template_get_data(t), sector(0) + lumetra::api::kSlotDataOffset);
  EXPECT_EQ(qx_template_get_data_size(t), lumetra::api::kSlotCapacity);
  EXPECT_EQ(instances_in_slot(0), 3);
  auto out = make_record(0, {});
  ASSERT_EQ(nerio_qx_get_tpl(0, out.get()), 0);
  EXPECT_EQ(out->length, lumetra::api::kSlotCapacity);
  EXPECT_EQ(out->type, QX_TEMPLATE_MULTITEMPLATE);

  // The rewritten slot verifies and learns again (its template now refers
  // to the very bytes being rewritten).
  updated_ = 0;
  image_[1] = 0x77;
  EXPECT_EQ(verify(0), 0);
  EXPECT_EQ(updated_, 1);
  EXPECT_EQ(instances_in_slot(0), 4);
}

TEST_F(Verification, WholeSetUpdatesWhateverTheScore) {
  load_multitemplate(3);
  g_script.accept_up_to_far = 12;
  g_script.index = 3;
  updated_ = 0;
  EXPECT_EQ(verify(1), 0);
  EXPECT_EQ(matched_, 3);
  EXPECT_EQ(updated_, 1);
  EXPECT_EQ(instances_in_slot(3), 3);
}

TEST_F(Verification, NoUpdateWhenSwitchedOffOnEngineErrorsOrForOtherTemplates) {
  load_multitemplate(0);
  auto single = make_record(kScriptedType, {1, 2, 3, 4});
  ASSERT_EQ(init_alg_tpl_data(1, single.get()), 0);
  const std::vector<uint8_t> before0 = sector_copy(0), before1 = sector_copy(1);
  g_script.score[0] = g_script.score[1] = 40000;
  g_script.decision[0] = g_script.decision[1] = 1;

  g_state.params.dyn_update_flg = 0;
  EXPECT_EQ(verify(0), 0);
  EXPECT_EQ(updated_, -7);

  // An engine error with an acceptance still accepts, but never updates.
  g_state.params.dyn_update_flg = 1;
  g_script.rc[0] = QX_RC_FAILED;
  EXPECT_EQ(verify(0), 0);
  EXPECT_EQ(matched_, 0);
  EXPECT_EQ(updated_, -7);

  // A slot that holds no multi-template is accepted but never updated.
  g_script.decision[0] = 0;
  EXPECT_EQ(verify(0), 0);
  EXPECT_EQ(matched_, 1);
  EXPECT_EQ(updated_, -7);
  EXPECT_EQ(sector_copy(0), before0);
  EXPECT_EQ(sector_copy(1), before1);
}

TEST_F(Verification, AnUpdateTooLargeForTheSlotLeavesTheSlotAlone) {
  load_multitemplate(0, 2, 12000);
  qx_template *loaded = slot_template(0);
  const std::vector<uint8_t> before = sector_copy(0);
  g_script.probe_size = 12000;
  g_script.decision[0] = 1;
  g_script.score[0] = 50000;
  EXPECT_EQ(verify(0), 0);
  EXPECT_EQ(matched_, 0);
  EXPECT_EQ(updated_, -7);
  EXPECT_EQ(slot_template(0), loaded);
  EXPECT_EQ(sector_copy(0), before);
}

TEST_F(Verification, RunningOutOfMemoryAnywhereLosesNothing) {
  g_script.decision[0] = 1;
  g_script.score[0] = 20000;
  const long live_before = qx_alloc_live();
  for (long n = 0;; ++n) {
    load_multitemplate(0);
    const std::vector<uint8_t> before = sector_copy(0);
    updated_ = 0;
    qx_alloc_fail_after(n);
    const int rc = verify(0);
    const bool failed = qx_alloc_fail_pending() == 0;
    qx_alloc_fail_after(-1);
    if (updated_ == 1) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(instances_in_slot(0), 3) << n;
    } else if (slot_template(0) != nullptr) {
      // Not updated: the slot is as it was.
      EXPECT_EQ(sector_copy(0), before) << n;
      EXPECT_EQ(instances_in_slot(0), 2) << n;
    }
    nerio_DelFinger(0);
    EXPECT_EQ(qx_alloc_live(), live_before) << n;
    if (!failed) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(updated_, 1);
      EXPECT_GT(n, 5);  // the loop went through the update's allocations
      break;
    }
  }
}

// The tools' verification is nerio_qx_verify with a report: the same
// decisions and updates, and every loaded slot scored once from the one
// probe, before the accepted slot learns from it.
TEST_F(Verification, ToolsReportScoresEveryLoadedSlotOnceAndDecidesAsTheExport) {
  g_state.params.dyn_update_flg = 0;
  load_multitemplate(1);
  load_multitemplate(3);
  g_script.decision[1] = 1;
  g_script.score[1] = 30000;
  g_script.score[3] = 12000;
  lumetra_tools_verify_report report;
  std::memset(&report, 0x5A, sizeof report);
  EXPECT_EQ(lumetra_tools_verify(image_, &matched_, &updated_, 0, &report), 0);
  EXPECT_EQ(matched_, 1);
  EXPECT_EQ(updated_, -7);
  EXPECT_EQ(report.extract_rc, QX_RC_OK);
  EXPECT_EQ(report.extracted, 1);
  EXPECT_EQ(report.scored[0] + report.scored[2] + report.scored[4], 0);
  EXPECT_EQ(report.scored[1], 1);
  EXPECT_EQ(report.score[1], 30000);
  EXPECT_EQ(report.scored[3], 1);
  EXPECT_EQ(report.score[3], 12000);
  // Slot 1's decision came from its reported score: two comparisons in
  // all, where the export alone stops after the first.
  EXPECT_EQ(g_script.similarity_calls, 2);
  g_script.similarity_calls = 0;
  int matched = -7, updated = -7;
  EXPECT_EQ(nerio_qx_verify(image_, &matched, &updated, 0), 0);
  EXPECT_EQ(matched, 1);
  EXPECT_EQ(g_script.similarity_calls, 1);

  // A slot the verifier cannot score is reported unscored; the decision
  // goes on to the next slot as the export's does.
  g_script.decision[1] = 0;
  g_script.rc[1] = QX_RC_FAILED;
  g_script.decision[3] = 1;
  EXPECT_EQ(lumetra_tools_verify(image_, &matched_, &updated_, 0, &report), 0);
  EXPECT_EQ(matched_, 3);
  EXPECT_EQ(report.scored[1], 0);
  EXPECT_EQ(report.scored[3], 1);
  g_script.decision[3] = 0;
  EXPECT_EQ(lumetra_tools_verify(image_, &matched_, &updated_, 0, &report), 1);
  EXPECT_EQ(nerio_qx_verify(image_, &matched, &updated, 0), 1);
}

TEST_F(Verification, ToolsReportTheUpdateAndTheScoreBeforeIt) {
  load_multitemplate(0);
  g_script.decision[0] = 1;
  g_script.score[0] = 20000;  // above the mode-0 update threshold
  lumetra_tools_verify_report report;
  EXPECT_EQ(lumetra_tools_verify(image_, &matched_, &updated_, 0, &report), 0);
  EXPECT_EQ(updated_, 1);
  EXPECT_EQ(instances_in_slot(0), 3);
  EXPECT_EQ(report.scored[0], 1);
  EXPECT_EQ(report.score[0], 20000);
}

TEST_F(Verification, ToolsReportSaysWhenThereIsNoProbe) {
  load_multitemplate(0);
  g_script.decision[0] = 1;
  lumetra_tools_verify_report report;
  image_[0] = 0;  // the extractor makes no probe
  EXPECT_EQ(lumetra_tools_verify(image_, &matched_, &updated_, 0, &report), 1);
  EXPECT_EQ(report.extracted, 0);
  EXPECT_EQ(report.extract_rc, QX_RC_FAILED);
  EXPECT_EQ(report.scored[0], 0);
  EXPECT_EQ(g_script.similarity_calls, 0);
  uninit_nerio_algorithm();
  image_[0] = 0x42;
  EXPECT_EQ(lumetra_tools_verify(image_, &matched_, &updated_, 0, &report), 1);
  EXPECT_EQ(report.extracted, 0);
  EXPECT_NE(report.extract_rc, QX_RC_OK);
  EXPECT_EQ(matched_, -7);
  // No report wanted: the export's behaviour.
  EXPECT_EQ(lumetra_tools_verify(image_, &matched_, &updated_, 0, nullptr), 1);
}

TEST_F(Verification, IdentifyHasNoCapture) {
  load_multitemplate(0);
  g_script.accept_up_to_far = 27;
  EXPECT_EQ(nerio_Identify(&matched_, &updated_), -1);
  EXPECT_EQ(matched_, -7);
  EXPECT_EQ(updated_, -7);
}

}  // namespace
