// Coherence state and its 24 feature scores, measured from footprints
// placed by hand-chosen alignments (quarter turns keep the Q14 factors
// exact, so every area below is computed by hand).
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "engine/match/mt_coherence.h"
#include "engine/qx_alloc.h"

namespace {

const qx_verifier_interface kVerifier = {};
const qx_verifier_interface kOtherVerifier = {};

std::array<qx_vermodel_coefficient, 24> kCoefficients{};
std::array<uint16_t, QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS> kTable{};

const qx_vermodel kModels[] = {
    {&kVerifier, 0, 30, nullptr, kCoefficients.data(), 0, kTable.data()},
    {&kVerifier, QX_MTCOHER_MODEL_KEY, 24, nullptr, kCoefficients.data(), 1, kTable.data()},
    {nullptr, 0, 0, nullptr, nullptr, 0, nullptr},
};

// A hybrid record holding only an image-dimension block.
qx_template *probe_of(int rows, int cols) {
  const uint8_t bytes[] = {0x7F, 0x2E, 10, 0xA2, 8, 0xC3, 6, 1,
                           static_cast<uint8_t>(rows), static_cast<uint8_t>(rows >> 8),
                           static_cast<uint8_t>(cols), static_cast<uint8_t>(cols >> 8), 77};
  return qx_template_create(QX_TEMPLATE_EHMHR, bytes, sizeof bytes);
}

struct Entry {
  int16_t isl_dx, isl_dy;
  uint8_t isl_r;
  int16_t match_dx, match_dy;
  uint8_t match_r;
  uint16_t link_score;
  int island;
};

class Coherence : public ::testing::Test {
 protected:
  void TearDown() override {
    qx_mtcoher_delete(state_);
    qx_template_delete(probe_);
    qx_free(scores_);
  }
  void build(int rows, int cols, const std::vector<Entry> &entries, int extra_empty = 0) {
    probe_ = rows > 0 ? probe_of(rows, cols)
                      : qx_template_create(QX_TEMPLATE_EHMHR, reinterpret_cast<const uint8_t *>("x"), 1);
    state_ = qx_mtcoher_create(nullptr, static_cast<int32_t>(entries.size()) + extra_empty,
                               &kVerifier, kModels);
    ASSERT_NE(state_, nullptr);
    for (size_t i = 0; i < entries.size(); ++i) {
      const Entry &e = entries[i];
      qx_alignment *isl = qx_alignment_create(e.isl_dx, e.isl_dy, e.isl_r);
      qx_alignment *mat = qx_alignment_create(e.match_dx, e.match_dy, e.match_r);
      ASSERT_EQ(qx_mtcoher_fill_data(state_, static_cast<int32_t>(i), isl, mat, e.link_score,
                                     e.island),
                0);
      qx_alignment_delete(isl);
      qx_alignment_delete(mat);
    }
  }
  std::vector<uint16_t> scores(int entry) {
    qx_free(scores_);
    scores_ = nullptr;
    EXPECT_EQ(qx_mtcoher_get_feature_scores(state_, probe_, &scores_, entry), 0);
    if (scores_ == nullptr) return {};
    return std::vector<uint16_t>(scores_, scores_ + QX_MTCOHER_NBR_SCORES);
  }
  qx_mtcoher *state_ = nullptr;
  qx_template *probe_ = nullptr;
  uint16_t *scores_ = nullptr;
};

TEST(CoherenceSupport, NeedsTheCoherenceRecordWithQuadraticModelAndTable) {
  EXPECT_EQ(qx_mtcoher_supported(nullptr, &kVerifier, kModels, 0), 1);
  EXPECT_EQ(qx_mtcoher_supported(nullptr, &kVerifier, kModels, 255), 0);
  EXPECT_EQ(qx_mtcoher_supported(nullptr, &kOtherVerifier, kModels, 0), 0);
  const qx_vermodel linear_only[] = {
      {&kVerifier, QX_MTCOHER_MODEL_KEY, 24, kCoefficients.data(), nullptr, 1, kTable.data()},
      {nullptr, 0, 0, nullptr, nullptr, 0, nullptr}};
  const qx_vermodel no_table[] = {
      {&kVerifier, QX_MTCOHER_MODEL_KEY, 24, nullptr, kCoefficients.data(), 1, nullptr},
      {nullptr, 0, 0, nullptr, nullptr, 0, nullptr}};
  EXPECT_EQ(qx_mtcoher_supported(nullptr, &kVerifier, linear_only, 0), 0);
  EXPECT_EQ(qx_mtcoher_supported(nullptr, &kVerifier, no_table, 0), 0);
  EXPECT_EQ(qx_mtcoher_create(nullptr, 20, &kVerifier, no_table), nullptr);
  // No list and no algorithm in the session.
  qx_session *s = qx_session_create();
  EXPECT_EQ(qx_mtcoher_supported(s, &kVerifier, nullptr, 0), 0);
  qx_session_delete(s);

  const uint16_t *table = nullptr;
  EXPECT_EQ(qx_mtcoher_threshold_table(nullptr, 0, 0, &table, kModels), 0);
  EXPECT_EQ(table, kTable.data());
  EXPECT_EQ(qx_mtcoher_threshold_table(nullptr, 0, 0, &table, nullptr), 18);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(qx_mtcoher_threshold_table(nullptr, 0, 0, &table, no_table), 18);
}

TEST_F(Coherence, FeatureScoresOfTheBestEntryAgainstItsIslandNeighbours) {
  // Probe 100 x 100, one percent = 100 square pixels.  Entry 0 lies at the
  // island top: Sn = Pn = In = [0,100]^2.
  build(100, 100,
        {{0, 0, 0, 0, 0, 0, 6000, 1},
         // S1 = [-30,70]x[0,100]: O 70; placed at the top again: G 100; T 70.
         {30, 0, 0, -30, 0, 0, 5000, 1},
         // S2 = [0,100]x[-50,50]: O 50; P2 = [-10,90]x[-50,50]: G 45; T 50.
         {0, 50, 0, 10, 0, 0, 3000, 1},
         // Another island: only the highest score of all others.
         {0, 0, 0, 0, 0, 0, 9000, 2},
         // S4 = [-85,15]x[0,100]: O 15, not coherent: G 0, T 333.
         {85, 0, 0, 0, 0, 0, 7000, 1}},
        1);  // entry 5 never filled
  const std::vector<uint16_t> expected = {
      600, 1, 2, (70 + 50) / 2, (100 + 45) / 2, (500 + 300) / 2,
      (100 * 500 / 100 + 45 * 300 / 100) / 2, 900,
      700, 15, 0, 333,   // highest score among the island: entry 4
      500, 70, 100, 70,  // highest O: entry 1
      500, 70, 100, 70,  // highest G: entry 1
      300, 50, 45, 50};  // lowest T: entry 2
  EXPECT_EQ(scores(0), expected);
  uint16_t *none = reinterpret_cast<uint16_t *>(1);
  EXPECT_EQ(qx_mtcoher_get_feature_scores(state_, probe_, &none, 5), 2);  // empty entry
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(qx_mtcoher_get_feature_scores(state_, probe_, &none, 6), 2);
}

TEST_F(Coherence, ExactlyTwentyPercentIsNotCoherent) {
  build(100, 100, {{0, 0, 0, 0, 0, 0, 1000, 0},
                   {80, 0, 0, 0, 0, 0, 1000, 0},    // O = 2000 / 100 = 20
                   {79, 0, 0, 0, 0, 0, 1000, 0}});  // O = 21
  const std::vector<uint16_t> s = scores(0);
  EXPECT_EQ(s[2], 1);
  EXPECT_EQ(s[3], 21);
  EXPECT_EQ(s[13], 21);  // the highest O is the coherent one
  EXPECT_EQ(s[20 + 1], 21);
}

TEST_F(Coherence, OthersOfOtherIslandsOnlyFeedTheHighestScore) {
  build(100, 100, {{0, 0, 0, 0, 0, 0, 2000, 3},
                   {0, 0, 0, 0, 0, 0, 4440, 4},
                   {0, 0, 0, 0, 0, 0, 8000, 5}});
  std::vector<uint16_t> expected(24, 0);
  expected[0] = 200;
  expected[7] = 800;
  EXPECT_EQ(scores(0), expected);
}

TEST_F(Coherence, ProbeWithoutDimensionBlockIs192Square) {
  // Shift by 96: overlap 96 x 192 = 18432 square pixels; one percent of
  // 192 x 192 is 368, so O = 50.
  build(0, 0, {{0, 0, 0, 0, 0, 0, 1000, 0}, {96, 0, 0, 0, 0, 0, 1000, 0}});
  int32_t rows = 0, cols = 0;
  qx_mtcoher_probe_size(probe_, &rows, &cols);
  EXPECT_EQ(rows, 192);
  EXPECT_EQ(cols, 192);
  EXPECT_EQ(scores(0)[3], 50);
}

TEST_F(Coherence, PlacementIsTheIslandAlignmentFollowedByTheMatch) {
  // Probe 100 wide, 40 high (one percent = 40).  Entry 0: island alignment
  // a quarter turn, match identity: Pn = [0,40]x[-100,0].  Entry 1: the
  // same island alignment, match (30, 10): its placement (30, 10, 64)
  // puts the probe at [-10,30]x[-70,30], overlap [0,30]x[-70,0] = 2100,
  // G = 52.  Combining the other way round, (-10, 30, 64), would give
  // [-30,10]x[-110,-10] and G = 22.
  build(40, 100, {{0, 0, 64, 0, 0, 0, 1000, 0}, {0, 0, 64, 30, 10, 0, 1000, 0}});
  const std::vector<uint16_t> s = scores(0);
  EXPECT_EQ(s[3], 100);
  EXPECT_EQ(s[4], 52);
}

TEST_F(Coherence, FillIgnoresIndexesOutsideTheStateAndRefills) {
  build(100, 100, {{0, 0, 0, 0, 0, 0, 1000, 0}, {50, 0, 0, 0, 0, 0, 1000, 0}});
  qx_alignment *id = qx_alignment_create_identity();
  EXPECT_EQ(qx_mtcoher_fill_data(state_, 2, id, id, 5000, 0), 0);
  EXPECT_EQ(qx_mtcoher_fill_data(state_, -1, id, id, 5000, 0), 0);
  EXPECT_EQ(scores(0)[2], 1);
  // Entering candidate 1 again replaces what it had, absent alignments
  // count as the identity.
  EXPECT_EQ(qx_mtcoher_fill_data(state_, 1, nullptr, nullptr, 4321, 0), 0);
  EXPECT_EQ(scores(0)[3], 100);
  EXPECT_EQ(scores(0)[5], 432);
  qx_alignment_delete(id);
}

TEST(CoherenceVerification, ScoresWithTheQuadraticModelAndDecidesWithItsOwnTable) {
  // Feature 2 (number of coherent others) carries all the weight: one
  // coherent other drives the score to the top, none leaves 4096.
  std::array<qx_vermodel_coefficient, 24> c{};
  for (auto &r : c) {
    r.upper = 65535;
    r.scale = 65536;
  }
  c[2].weight = 10;
  std::array<uint16_t, QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS> table{};
  table.fill(5000);
  const qx_vermodel models[] = {
      {&kVerifier, QX_MTCOHER_MODEL_KEY, 24, nullptr, c.data(), 1, table.data()},
      {nullptr, 0, 0, nullptr, nullptr, 0, nullptr}};
  qx_session *session = qx_session_create();
  qx_session_set_sensor_type_(session, 1);
  qx_session_set_sensor_size_(session, 6);
  qx_template *probe = probe_of(100, 100);
  qx_mtcoher *st = qx_mtcoher_create(session, 3, &kVerifier, models);
  ASSERT_NE(st, nullptr);
  qx_alignment *id = qx_alignment_create_identity();
  qx_alignment *far_away = qx_alignment_create(150, 0, 0);
  qx_mtcoher_fill_data(st, 0, id, id, 3000, 0);
  qx_mtcoher_fill_data(st, 1, far_away, id, 3000, 0);  // no overlap with entry 0
  int32_t decision = 7;
  EXPECT_EQ(qx_mtcoher_verify_template(session, st, probe, 0, 12, &decision), 0);
  EXPECT_EQ(decision, 0);
  qx_mtcoher_fill_data(st, 2, id, id, 3000, 0);  // lies on entry 0
  EXPECT_EQ(qx_mtcoher_verify_template(session, st, probe, 0, 12, &decision), 0);
  EXPECT_EQ(decision, 1);
  EXPECT_EQ(qx_mtcoher_verify_template(session, st, probe, 0, 28, &decision), 2);
  EXPECT_EQ(decision, 0);
  EXPECT_EQ(qx_mtcoher_verify_template(session, st, probe, 5, 12, &decision), 2);
  qx_session_set_sensor_size_(session, 0);
  EXPECT_EQ(qx_mtcoher_verify_template(session, st, probe, 0, 12, &decision), 2);
  qx_alignment_delete(id);
  qx_alignment_delete(far_away);
  qx_mtcoher_delete(st);
  qx_template_delete(probe);
  qx_session_delete(session);
}

TEST(CoherenceMemory, AllocationFailuresAnswerNoStateOrNineAndLeakNothing) {
  qx_template *probe = probe_of(100, 100);
  qx_alignment *id = qx_alignment_create_identity();
  const long live = qx_alloc_live();
  for (long n = 0; n < 12; ++n) {
    qx_alloc_fail_after(n);
    qx_mtcoher *st = qx_mtcoher_create(nullptr, 3, &kVerifier, kModels);
    int32_t rc = st == nullptr ? 9 : 0;
    for (int i = 0; rc == 0 && i < 3; ++i) rc = qx_mtcoher_fill_data(st, i, id, id, 1000, 0);
    uint16_t *scores = nullptr;
    if (rc == 0) rc = qx_mtcoher_get_feature_scores(st, probe, &scores, 0);
    EXPECT_TRUE(rc == 0 || rc == 9) << n;
    EXPECT_EQ(rc == 0, scores != nullptr);
    const bool fired = !qx_alloc_fail_pending();
    qx_alloc_fail_after(-1);
    if (!fired) {
      EXPECT_EQ(rc, 0);
    }
    qx_free(scores);
    qx_mtcoher_delete(st);
    EXPECT_EQ(qx_alloc_live(), live) << n;
  }
  qx_alignment_delete(id);
  qx_template_delete(probe);
}

}  // namespace
