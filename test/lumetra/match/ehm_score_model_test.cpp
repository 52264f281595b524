// The score model of the hybrid verifiers (hand-computed records), the
// decision from a score with its row interpolation, the threshold-table
// and combining slots with their model lookup.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "engine/match/ehm_verifier.h"
#include "engine/match/qx_config.h"
#include "engine/match/vermodel_data.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_session.h"
#include "engine/objects/qx_template.h"

namespace {

constexpr uint32_t kOne = 1u << 16;  // 1.0 in 16.16

qx_vermodel_coefficient coef(uint16_t lower, uint16_t upper, uint32_t mean, uint32_t scale,
                             int16_t weight, int16_t quadratic = 0) {
  return {lower, upper, mean, scale, weight, quadratic};
}

// Three records whose terms are worked out by hand:
//  R0: clamp to 10..100 around mean 50, weight 16 / scale 8: 2 per unit;
//  R1: mean 1.5, weight -24 / scale 16: -1.5 per unit, so 1.5 below the
//      mean gives t = trunc(-2.25) = -2 (not the floor -3);
//  R2: clamp below at 20, mean 30, weight 64 / scale 32: 2 per unit.
std::array<qx_vermodel_coefficient, 3> three_records() {
  return {coef(10, 100, 50 * kOne, 8 * kOne, 16, 99),  // quadratic weight never read
          coef(0, 65535, kOne + kOne / 2, 16 * kOne, -24),
          coef(20, 65535, 30 * kOne, 32 * kOne, 64)};
}

TEST(ScoreModel, LinearRecordsWithClampsAndSignedTruncation) {
  const auto r = three_records();
  // x0 = 200 clamps to 100: +100; x1 = 0: m > v, t = -2, adds +2;
  // x2 = 5 clamps to 20: m > v, t = 20, adds -20.  Sum 82.
  const uint16_t high[3] = {200, 0, 5};
  // Weight total 16 - 24 + 64 = 56: 82 x 4096 / 56 = 5997 (truncated) + 4096.
  EXPECT_EQ(qx_ml_predict_linear_score(high, r.data(), nullptr, 3, 0), 10093);
  // Mode 1: (16 + 24 + 64) / 8 = 13: 335872 / 13 = 25836 + 4096.
  EXPECT_EQ(qx_ml_predict_linear_score(high, r.data(), nullptr, 3, 1), 29932);
  // Mode 2: total -13, the result falls below 0 and is clamped.
  EXPECT_EQ(qx_ml_predict_linear_score(high, r.data(), nullptr, 3, 2), 0);

  // x0 = 0 clamps to 10: m > v, t = 80, adds -80.  Sum -80 + 2 - 20 = -98.
  const uint16_t low[3] = {0, 0, 5};
  // Mode 0: -401408 / 56 = -7168, + 4096 < 0: clamped to 0.
  EXPECT_EQ(qx_ml_predict_linear_score(low, r.data(), nullptr, 3, 0), 0);
  // Mode 2: -401408 / -13 = 30877 + 4096.
  EXPECT_EQ(qx_ml_predict_linear_score(low, r.data(), nullptr, 3, 2), 34973);
  // Only the first `count` records are read.
  EXPECT_EQ(qx_ml_predict_linear_score(high, r.data(), nullptr, 1, 0), 100 * 4096 / 16 + 4096);
}

TEST(ScoreModel, ClampsToSixteenBitsAndIgnoresAZeroScale) {
  const qx_vermodel_coefficient big[2] = {coef(0, 65535, 0, kOne, 1),
                                          coef(0, 65535, 0, 0, 1)};  // scale 0: t = 0
  const uint16_t v[2] = {1000, 65535};
  // 1000 x 4096 / 2 + 4096 is far above 65535.
  EXPECT_EQ(qx_ml_predict_linear_score(v, big, nullptr, 2, 0), 65535);
  const uint16_t none[2] = {0, 65535};
  EXPECT_EQ(qx_ml_predict_linear_score(none, big, nullptr, 2, 0), 4096);
}

TEST(ScoreModel, QuadraticTermAddsOnBothSidesOfTheMean) {
  // d = 4.0: t = 4 x 4 = 16; quadratic (d x d / scale) x 3 / scale = 48.
  const qx_vermodel_coefficient q[1] = {coef(0, 65535, 10 * kOne, kOne, 4, 3)};
  const uint16_t above[1] = {14}, below[1] = {6};
  // Sum 64, total 4 + 3 = 7: 262144 / 7 = 37449 + 4096.
  EXPECT_EQ(qx_ml_predict_linear_score(above, nullptr, q, 1, 0), 41545);
  // Sum -16 + 48 = 32: 131072 / 7 = 18724 + 4096.
  EXPECT_EQ(qx_ml_predict_linear_score(below, nullptr, q, 1, 0), 22820);

  // Weight 16, quadratic weight -8, d = 1.0: sum 16 - 8 = 8.
  const qx_vermodel_coefficient n[1] = {coef(0, 65535, 10 * kOne, kOne, 16, -8)};
  const uint16_t x[1] = {11};
  EXPECT_EQ(qx_ml_predict_linear_score(x, nullptr, n, 1, 0), 8 * 4096 / 8 + 4096);
  EXPECT_EQ(qx_ml_predict_linear_score(x, nullptr, n, 1, 1), 8 * 4096 / 3 + 4096);  // (16+8)/8
  EXPECT_EQ(qx_ml_predict_linear_score(x, nullptr, n, 1, 2), 0);  // -10922 + 4096
}

TEST(ScoreModel, HugeQuadraticDifferencesDoNotWrap) {
  // d close to 2^32 and scale 1: d x d needs all 64 bits and the product
  // with the quadratic weight more; the score must saturate high, not wrap.
  const qx_vermodel_coefficient q[1] = {coef(0, 65535, 0, 1, 1, 32767)};
  const uint16_t v[1] = {65535};
  EXPECT_EQ(qx_ml_predict_linear_score(v, nullptr, q, 1, 0), 65535);
  const qx_vermodel_coefficient neg[1] = {coef(0, 65535, 0, 1, 1, -32768)};
  // Sum hugely negative: with total (1 + 32768) / 8 the score is 0, with
  // the signed total 1 - 32768 it saturates high.
  EXPECT_EQ(qx_ml_predict_linear_score(v, nullptr, neg, 1, 1), 0);
  EXPECT_EQ(qx_ml_predict_linear_score(v, nullptr, neg, 1, 0), 65535);
}

TEST(ScoreModel, RefusesBothModelsNeitherModelAndAZeroTotal) {
  const auto r = three_records();
  const uint16_t v[3] = {200, 0, 5};
  EXPECT_EQ(qx_ml_predict_linear_score(v, r.data(), r.data(), 3, 0), 0);
  EXPECT_EQ(qx_ml_predict_linear_score(v, nullptr, nullptr, 3, 0), 0);
  const qx_vermodel_coefficient cancel[2] = {coef(0, 65535, 0, kOne, 5),
                                             coef(0, 65535, 0, kOne, -5)};
  EXPECT_EQ(qx_ml_predict_linear_score(v, cancel, nullptr, 2, 0), 0);
}

// ---- Decision and thresholds ---------------------------------------------

// T[r][i] = 1000 + 100 r + 10 i, column 0 at 0.
struct Table {
  std::array<uint16_t, QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS> t{};
  Table() {
    for (int r = 0; r < QX_THRESHOLD_ROWS; ++r)
      for (int i = 0; i < QX_THRESHOLD_COLUMNS; ++i)
        at(r, i) = static_cast<uint16_t>(i == 0 ? 0 : 1000 + 100 * r + 10 * i);
  }
  uint16_t &at(int r, int i) { return t[static_cast<size_t>(r * QX_THRESHOLD_COLUMNS + i)]; }
};

class Decision : public ::testing::Test {
 protected:
  void SetUp() override {
    session = qx_session_create();
    ASSERT_NE(session, nullptr);
    qx_session_set_sensor_type_(session, 1);
    qx_session_set_sensor_size_(session, 6);
    models[0] = {&ehm_verifier, 0, 30, linear.data(), nullptr, 0, table.t.data()};
    models[1] = {nullptr, 0, 0, nullptr, nullptr, 0, nullptr};
  }
  void TearDown() override { qx_session_delete(session); }

  // Threshold for n subtemplates at FAR index i (and checks the decision
  // at the threshold and just above it).
  int threshold(int32_t n, int32_t i) {
    int32_t d = 7;
    uint16_t th = 0;
    EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session, 0, n, i, &d, &th, models),
              0);
    EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session, th, n, i, &d, nullptr,
                                              models),
              0);
    EXPECT_EQ(d, 0) << "a score equal to the threshold is rejected";
    EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session,
                                              static_cast<uint16_t>(th + 1), n, i, &d,
                                              nullptr, models),
              0);
    EXPECT_EQ(d, 1);
    return th;
  }

  // The ehm_verifier combining slot on v at FAR index 12.
  int32_t combine(const std::array<uint16_t, 30> &v, uint8_t count, uint16_t *score,
                  int32_t *decision, const qx_vermodel *list) {
    return qx_ehm_verify_feature_scores(session, nullptr, nullptr, v.data(), count, 12, score,
                                        decision, list);
  }

  qx_session *session = nullptr;
  Table table;
  std::array<qx_vermodel_coefficient, 30> linear{};
  qx_vermodel models[2];
};

TEST_F(Decision, RowsAndInterpolationBySubtemplateCount) {
  EXPECT_EQ(threshold(1, 12), 1120);
  EXPECT_EQ(threshold(0, 12), 1120);
  EXPECT_EQ(threshold(2, 12), 1220);          // rows 1 and 0 with counts 2 and 1
  EXPECT_EQ(threshold(3, 12), 1220 + 50);     // rows 2 and 1: halfway
  EXPECT_EQ(threshold(12, 12), 1420 + 100 * (12 - 8) / 8);  // rows 4 and 3
  EXPECT_EQ(threshold(64, 12), 1720);
  EXPECT_EQ(threshold(100, 12), 1620 + 100 * (100 - 32) / 32);  // line beyond row 6
  EXPECT_EQ(threshold(1, 27), 1270);
}

TEST_F(Decision, InterpolationTruncatesTowardZero) {
  table.at(4, 12) = 1419;  // one below row 3
  // 1420 + (-1 x 4) / 8: truncation gives 1420, flooring would give 1419.
  EXPECT_EQ(threshold(12, 12), 1420);
}

TEST_F(Decision, RefusedArguments) {
  int32_t d = 7;
  uint16_t th = 0;
  EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session, 9000, 1, 28, &d, &th, models),
            2);
  EXPECT_EQ(d, 0);
  EXPECT_EQ(th, 65535);
  EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session, 9000, 1, -1, &d, &th, models),
            2);
  EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session, 9000, 1, 12, nullptr, &th,
                                            models),
            2);
  qx_session_set_sensor_type_(session, 0);
  EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session, 9000, 1, 12, &d, &th, models),
            2);
  qx_session_set_sensor_type_(session, 1);
  qx_session_set_sensor_size_(session, 0);
  EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session, 9000, 1, 12, &d, &th, models),
            2);
}

TEST_F(Decision, MissingThresholdAndRefusedTable) {
  int32_t d = 7;
  table.at(3, 12) = 65535;
  // n = 12 needs rows 3 and 4; n = 1 only row 0.
  EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session, 9000, 12, 12, &d, nullptr,
                                            models),
            1);
  EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session, 9000, 1, 12, &d, nullptr,
                                            models),
            0);
  EXPECT_EQ(d, 1);
  table.at(QX_THRESHOLD_ROWS - 1, QX_THRESHOLD_COLUMNS - 1) = 0;
  EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session, 9000, 1, 12, &d, nullptr,
                                            models),
            17);
  EXPECT_EQ(d, 0);
}

TEST_F(Decision, ModelLookupErrors) {
  int32_t d = 7;
  // No model of ehmhr_verifier in the list: 18 through its table slot.
  EXPECT_EQ(qx_verifier_decision_from_score(&ehmhr_verifier, session, 9000, 1, 12, &d, nullptr,
                                            models),
            18);
  // No list and no algorithm in the session: 20.
  EXPECT_EQ(qx_verifier_decision_from_score(&ehm_verifier, session, 9000, 1, 12, &d, nullptr,
                                            nullptr),
            20);
  const uint16_t *t = reinterpret_cast<const uint16_t *>(1);
  EXPECT_EQ(qx_ehm_threshold_table(session, 0, 0, &t, nullptr), 20);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(qx_ehmhr_threshold_table(session, 0, 0, &t, models), 18);
  EXPECT_EQ(qx_ehm_threshold_table(session, 0, 0, &t, models), 0);
  EXPECT_EQ(t, table.t.data());
  models[0].thresholds = nullptr;
  EXPECT_EQ(qx_ehm_threshold_table(session, 0, 0, &t, models), 18);
}

TEST_F(Decision, DecisionSlotsDecideOneSubtemplate) {
  int32_t d = 7;
  EXPECT_EQ(ehm_verifier.decision_from_score(session, nullptr, nullptr, 1121, 12, &d, models), 0);
  EXPECT_EQ(d, 1);
  EXPECT_EQ(ehm_verifier.decision_from_score(session, nullptr, nullptr, 1120, 12, &d, models), 0);
  EXPECT_EQ(d, 0);
  EXPECT_EQ(ehmhr_verifier.decision_from_score(session, nullptr, nullptr, 1121, 12, &d, models),
            18);
}

TEST_F(Decision, MultitemplateIsDecidedByTheMultitemplateLayer) {
  // The layer reads the multi-template first: these bytes are none (3),
  // which the single-template decision would never answer.
  const uint8_t bytes[4] = {1, 2, 3, 4};
  qx_template *mt = qx_template_create(QX_TEMPLATE_MULTITEMPLATE, bytes, sizeof bytes);
  ASSERT_NE(mt, nullptr);
  int32_t d = 7;
  EXPECT_EQ(ehm_verifier.decision_from_score(session, mt, nullptr, 9000, 12, &d, models), 3);
  EXPECT_EQ(d, 0);
  qx_template_delete(mt);
}

// ---- Combining a score vector ---------------------------------------------

TEST_F(Decision, VerifyFeatureScoresCombinesAndDecides) {
  linear[5] = coef(0, 65535, 0, kOne, 1);  // only score 5 counts
  std::array<uint16_t, 30> v{};
  v[5] = 2;
  uint16_t score = 1;
  int32_t d = 7;
  // Minutiae and spectral scores both 0: score 0 whatever the model says.
  EXPECT_EQ(combine(v, 30, &score, &d, models), 0);
  EXPECT_EQ(score, 0);
  EXPECT_EQ(d, 0);
  v[9] = 1;  // model: 2 x 4096 / 1 + 4096 = 12288
  EXPECT_EQ(combine(v, 30, &score, &d, models), 0);
  EXPECT_EQ(score, 12288);
  EXPECT_EQ(d, 1);
  // Without a decision output no table is needed.
  models[0].thresholds = nullptr;
  EXPECT_EQ(combine(v, 30, &score, nullptr, models), 0);
  EXPECT_EQ(score, 12288);
}

TEST_F(Decision, VerifyFeatureScoresRefusals) {
  std::array<uint16_t, 30> v{};
  v[0] = 10;
  uint16_t score = 1;
  int32_t d = 7;
  EXPECT_EQ(combine(v, 29, &score, &d, models), 17);
  EXPECT_EQ(score, 0);
  EXPECT_EQ(d, 0);
  EXPECT_EQ(combine(v, 30, &score, &d, nullptr), 20);
  EXPECT_EQ(qx_ehmhr_verify_feature_scores(session, nullptr, nullptr, v.data(), 30, 12, &score,
                                           &d, models),
            18);
  models[0].linear = nullptr;
  EXPECT_EQ(combine(v, 30, &score, &d, models), 18);
  EXPECT_EQ(ehm_verifier.verify_feature_scores, &qx_ehm_verify_feature_scores);
  EXPECT_EQ(ehmhr_verifier.verify_feature_scores, &qx_ehmhr_verify_feature_scores);
}

// The algorithm's own list serves when none is given; the generated
// tables respect the layout the decision relies on.
TEST(DecisionWithAlgorithm, SessionAlgorithmSuppliesModelAndSensor) {
  qx_algorithm *alg = square_xs_create(nullptr);
  ASSERT_NE(alg, nullptr);
  qx_session *s = qx_algorithm_get_session(alg);
  int32_t d = 7;
  EXPECT_EQ(qx_ehmhr_decision_from_score(s, nullptr, nullptr, 65534, 12, &d, nullptr), 0);
  EXPECT_EQ(d, 1);
  EXPECT_EQ(qx_ehmhr_decision_from_score(s, nullptr, nullptr, 0, 0, &d, nullptr), 0);
  EXPECT_EQ(d, 0) << "column 0 is 0 and 0 is not above it";
  EXPECT_EQ(qx_ehm_decision_from_score(s, nullptr, nullptr, 65534, 12, &d, nullptr), 18);
  qx_algorithm_delete(alg);
}

TEST(ProvisionalModels, TablesKeepTheLayout) {
  for (const qx_vermodel *list : {qx_vermodels_ehmsq_xl, qx_vermodels_ehmsq_l, qx_vermodels_ehmsq_m,
                                  qx_vermodels_ehmsq_s, qx_vermodels_ehmsq_xs, qx_vermodels_ehmre_m,
                                  qx_vermodels_ehmre_s}) {
    for (const qx_vermodel *m = list; m->verifier != nullptr; ++m) {
      const uint16_t *t = m->thresholds;
      ASSERT_NE(t, nullptr);
      EXPECT_NE(t[QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS - 1], 0);
      EXPECT_NE(m->linear == nullptr, m->quadratic == nullptr);
      for (int r = 0; r < QX_THRESHOLD_ROWS; ++r) {
        EXPECT_EQ(t[r * QX_THRESHOLD_COLUMNS], 0);
        for (int i = 1; i < QX_THRESHOLD_COLUMNS; ++i) {
          EXPECT_GE(t[r * QX_THRESHOLD_COLUMNS + i], t[r * QX_THRESHOLD_COLUMNS + i - 1]);
          if (r > 0) {
            EXPECT_GE(t[r * QX_THRESHOLD_COLUMNS + i], t[(r - 1) * QX_THRESHOLD_COLUMNS + i]);
          }
        }
      }
    }
  }
}

}  // namespace
