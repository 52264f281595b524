// The trained model data as the verifiers read it: every configuration has
// a plain model of its own verifier whose threshold table keeps the shape
// the decision relies on, and whose weights give a usable score.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/match/ehm_verifier.h"
#include "engine/match/vermodel_data.h"

namespace {

struct ConfigModels {
  const char *name;
  const qx_vermodel *models;
  const qx_verifier_interface *verifier;
  bool quadratic;
};

const ConfigModels kConfigs[] = {
    {"ehmsq-xl", qx_vermodels_ehmsq_xl, &ehm_verifier, false},
    {"ehmsq-l", qx_vermodels_ehmsq_l, &ehm_verifier, false},
    {"ehmsq-m", qx_vermodels_ehmsq_m, &ehmhr_verifier, true},
    {"ehmsq-s", qx_vermodels_ehmsq_s, &ehmhr_verifier, true},
    {"ehmsq-xs", qx_vermodels_ehmsq_xs, &ehmhr_verifier, true},
    {"ehmre-m", qx_vermodels_ehmre_m, &ehmhr_verifier, true},
    {"ehmre-s", qx_vermodels_ehmre_s, &ehmhr_verifier, true},
};

class TrainedModels : public ::testing::TestWithParam<ConfigModels> {};

TEST_P(TrainedModels, PlainModelIsTheVerifiersOwnOfTheRightKind) {
  const ConfigModels &c = GetParam();
  const qx_vermodel *m = qx_verifierI_get_vermodel(c.models, c.verifier, 30, 0);
  ASSERT_NE(m, nullptr) << c.name;
  EXPECT_EQ(m->linear != nullptr, !c.quadratic) << c.name;
  EXPECT_EQ(m->quadratic != nullptr, c.quadratic) << c.name;
  ASSERT_NE(m->thresholds, nullptr);
}

TEST_P(TrainedModels, ThresholdTableHasTheDecisionShape) {
  const ConfigModels &c = GetParam();
  const qx_vermodel *m = qx_verifierI_get_vermodel(c.models, c.verifier, 30, 0);
  ASSERT_NE(m, nullptr);
  const uint16_t *t = m->thresholds;
  for (int r = 0; r < QX_THRESHOLD_ROWS; ++r) {
    EXPECT_EQ(t[r * QX_THRESHOLD_COLUMNS], 0) << c.name << " row " << r;
    for (int i = 1; i < QX_THRESHOLD_COLUMNS; ++i) {
      const uint16_t v = t[r * QX_THRESHOLD_COLUMNS + i];
      EXPECT_NE(v, 65535) << c.name << " row " << r << " index " << i;
      EXPECT_GT(v, t[r * QX_THRESHOLD_COLUMNS + i - 1]) << c.name << " row " << r << " index " << i;
      if (r > 0) EXPECT_GE(v, t[(r - 1) * QX_THRESHOLD_COLUMNS + i]) << c.name << " index " << i;
    }
  }
  EXPECT_NE(t[QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS - 1], 0);
}

// The weights must give a usable score: a non-zero total, a vector of
// typical impostor values away from both ends of the range, and more
// minutiae evidence (score 0, the strongest sign of a match) never lowering it.
TEST_P(TrainedModels, ScoreRespondsToEvidence) {
  const ConfigModels &c = GetParam();
  const qx_vermodel *m = qx_verifierI_get_vermodel(c.models, c.verifier, 30, 0);
  ASSERT_NE(m, nullptr);
  const qx_vermodel_coefficient *rec = c.quadratic ? m->quadratic : m->linear;
  std::vector<uint16_t> v(30);
  int64_t total = 0;
  for (int i = 0; i < 30; ++i) {
    v[i] = static_cast<uint16_t>((rec[i].mean + 32768) >> 16);
    total += rec[i].weight + (c.quadratic ? rec[i].quadratic_weight : 0);
  }
  ASSERT_NE(total, 0) << c.name << ": the weight total must not vanish";
  const uint16_t typical = qx_ml_predict_linear_score(v.data(), m->linear, m->quadratic, 30,
                                                      m->normalisation);
  EXPECT_GT(typical, 0) << c.name;
  EXPECT_LT(typical, 65535) << c.name;
  std::vector<uint16_t> strong = v;
  strong[0] = rec[0].upper;
  const uint16_t high = qx_ml_predict_linear_score(strong.data(), m->linear, m->quadratic, 30,
                                                   m->normalisation);
  EXPECT_GT(high, typical) << c.name;
}

INSTANTIATE_TEST_SUITE_P(AllConfigurations, TrainedModels, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<ConfigModels> &i) {
                           std::string n = i.param.name;
                           for (char &ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

}  // namespace
