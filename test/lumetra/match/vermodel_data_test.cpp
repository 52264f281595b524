// The trained model data as the verifiers read it: every configuration has
// a plain model of its own verifier whose threshold table keeps the shape
// the decision relies on, and whose weights give a usable score; the two
// configurations of the smallest sensors also have the coherence model the
// chain walk consults, in the form it expects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/match/ehm_verifier.h"
#include "engine/match/mt_coherence.h"
#include "engine/match/vermodel_data.h"

namespace {

struct ConfigModels {
  const char *name;
  const qx_vermodel *models;
  const qx_verifier_interface *verifier;
  bool quadratic;
  bool coherence;
};

const ConfigModels kConfigs[] = {
    {"ehmsq-xl", qx_vermodels_ehmsq_xl, &ehm_verifier, false, false},
    {"ehmsq-l", qx_vermodels_ehmsq_l, &ehm_verifier, false, false},
    {"ehmsq-m", qx_vermodels_ehmsq_m, &ehmhr_verifier, true, false},
    {"ehmsq-s", qx_vermodels_ehmsq_s, &ehmhr_verifier, true, false},
    {"ehmsq-xs", qx_vermodels_ehmsq_xs, &ehmhr_verifier, true, true},
    {"ehmre-m", qx_vermodels_ehmre_m, &ehmhr_verifier, true, false},
    {"ehmre-s", qx_vermodels_ehmre_s, &ehmhr_verifier, true, true},
};

// Column 0 is 0, thresholds rise strictly along a row and never fall down
// a column, none is the "missing" mark, and the last entry is non-zero.
void expect_decision_shape(const uint16_t *t, const std::string &what) {
  for (int r = 0; r < QX_THRESHOLD_ROWS; ++r) {
    EXPECT_EQ(t[r * QX_THRESHOLD_COLUMNS], 0) << what << " row " << r;
    for (int i = 1; i < QX_THRESHOLD_COLUMNS; ++i) {
      const uint16_t v = t[r * QX_THRESHOLD_COLUMNS + i];
      EXPECT_NE(v, 65535) << what << " row " << r << " index " << i;
      EXPECT_GT(v, t[r * QX_THRESHOLD_COLUMNS + i - 1]) << what << " row " << r << " index " << i;
      if (r > 0) {
        EXPECT_GE(v, t[(r - 1) * QX_THRESHOLD_COLUMNS + i]) << what << " index " << i;
      }
    }
  }
  EXPECT_NE(t[QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS - 1], 0) << what;
}

// The score the model gives to a vector of every record's mean, which is
// where a typical impostor comparison sits (the records are standardised
// by the impostors).
uint16_t typical_score(const qx_vermodel *m, int count, std::vector<uint16_t> *v) {
  const qx_vermodel_coefficient *rec = m->quadratic != nullptr ? m->quadratic : m->linear;
  v->assign(count, 0);
  for (int i = 0; i < count; ++i) (*v)[i] = static_cast<uint16_t>((rec[i].mean + 32768) >> 16);
  return qx_ml_predict_linear_score(v->data(), m->linear, m->quadratic, count, m->normalisation);
}

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
  expect_decision_shape(m->thresholds, c.name);
}

// The weights must give a usable score: a non-zero total, a vector of
// typical impostor values away from both ends of the range, and more
// minutiae evidence (score 0, the strongest sign of a match) never lowering it.
TEST_P(TrainedModels, ScoreRespondsToEvidence) {
  const ConfigModels &c = GetParam();
  const qx_vermodel *m = qx_verifierI_get_vermodel(c.models, c.verifier, 30, 0);
  ASSERT_NE(m, nullptr);
  const qx_vermodel_coefficient *rec = c.quadratic ? m->quadratic : m->linear;
  int64_t total = 0;
  for (int i = 0; i < 30; ++i) total += rec[i].weight + (c.quadratic ? rec[i].quadratic_weight : 0);
  ASSERT_NE(total, 0) << c.name << ": the weight total must not vanish";
  std::vector<uint16_t> v;
  const uint16_t typical = typical_score(m, 30, &v);
  EXPECT_GT(typical, 0) << c.name;
  EXPECT_LT(typical, 65535) << c.name;
  std::vector<uint16_t> strong = v;
  strong[0] = rec[0].upper;
  const uint16_t high = qx_ml_predict_linear_score(strong.data(), m->linear, m->quadratic, 30,
                                                   m->normalisation);
  EXPECT_GT(high, typical) << c.name;
}

// The coherence model is looked up by the main verifier with keys
// (24, 65000); only "ehmsq-xs" and "ehmre-s" have one, quadratic with
// normalisation mode 1, and the coherence verifier accepts it.
TEST_P(TrainedModels, CoherenceModelOnlyWhereTheConfigurationHasOne) {
  const ConfigModels &c = GetParam();
  const qx_vermodel *m =
      qx_verifierI_get_vermodel(c.models, c.verifier, QX_MTCOHER_NBR_SCORES, QX_MTCOHER_MODEL_KEY);
  EXPECT_EQ(qx_mtcoher_supported(nullptr, c.verifier, c.models, 0), c.coherence ? 1 : 0) << c.name;
  if (!c.coherence) {
    EXPECT_EQ(m, nullptr) << c.name;
    return;
  }
  ASSERT_NE(m, nullptr) << c.name;
  EXPECT_EQ(m->linear, nullptr) << c.name;
  ASSERT_NE(m->quadratic, nullptr) << c.name;
  EXPECT_EQ(m->normalisation, 1) << c.name;
  ASSERT_NE(m->thresholds, nullptr) << c.name;
  expect_decision_shape(m->thresholds, std::string(c.name) + " coherence");
  // Each configuration has its own model, trained on its own captures.
  const qx_vermodel *other = qx_verifierI_get_vermodel(
      c.models == qx_vermodels_ehmsq_xs ? qx_vermodels_ehmre_s : qx_vermodels_ehmsq_xs, c.verifier,
      QX_MTCOHER_NBR_SCORES, QX_MTCOHER_MODEL_KEY);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other->quadratic, m->quadratic) << c.name;

  // The coherence verifier decides with the number of entries as the number
  // of subtemplates, and the walk only makes a state for more than 15
  // candidates: rows 4 to 6 are the ones in use.  An impostor at the
  // records' means must be rejected there at the library's default level,
  // and mode 1 divides by the absolute weight total / 8, which must not be 0.
  int64_t total = 0;
  for (int i = 0; i < QX_MTCOHER_NBR_SCORES; ++i)
    total += std::abs(m->quadratic[i].weight) + std::abs(m->quadratic[i].quadratic_weight);
  ASSERT_GE(total, 8) << c.name;
  std::vector<uint16_t> v;
  const uint16_t typical = typical_score(m, QX_MTCOHER_NBR_SCORES, &v);
  for (int row = 4; row < QX_THRESHOLD_ROWS; ++row)
    EXPECT_LT(typical, m->thresholds[row * QX_THRESHOLD_COLUMNS + 12]) << c.name << " row " << row;
}

// Moves score i of a vector at the model's means across its clamped range
// and counts the steps up and down (a step of 1 either way is the integer
// arithmetic's truncation).
void count_turns(const qx_vermodel *m, const qx_vermodel_coefficient *rec, int count, int i,
                 const std::vector<uint16_t> &means, int *rises, int *falls) {
  const qx_vermodel_coefficient &r = rec[i];
  std::vector<uint16_t> x = means;
  int previous = -1;
  *rises = *falls = 0;
  const int step = std::max(1, (r.upper - r.lower) / 512);
  for (int value = r.lower; value <= r.upper; value += step) {
    x[i] = static_cast<uint16_t>(value);
    const int score =
        qx_ml_predict_linear_score(x.data(), m->linear, m->quadratic, count, m->normalisation);
    if (previous >= 0 && score > previous + 1) ++*rises;
    if (previous >= 0 && score < previous - 1) ++*falls;
    previous = score;
  }
}

// Every model is monotone in every score: moving one score across its
// clamped range, the others at their means, the score only rises or only
// falls.  A square term that rises and then falls turns very strong
// evidence against the match: an identical capture, whose spectral
// disagreements and entropies are all 0, would score below an ordinary
// genuine comparison.  The same holds for the coherence models.
TEST_P(TrainedModels, EveryScoreMovesTheResultOneWayOnly) {
  const ConfigModels &c = GetParam();
  const qx_vermodel *m = qx_verifierI_get_vermodel(c.models, c.verifier, 30, 0);
  ASSERT_NE(m, nullptr);
  const qx_vermodel_coefficient *rec = c.quadratic ? m->quadratic : m->linear;
  ASSERT_NE(rec, nullptr) << c.name;
  std::vector<uint16_t> v;
  typical_score(m, 30, &v);
  int used = 0;
  for (int i = 0; i < 30; ++i) {
    if (rec[i].weight == 0 && (!c.quadratic || rec[i].quadratic_weight == 0)) continue;
    ++used;
    int rises, falls;
    count_turns(m, rec, 30, i, v, &rises, &falls);
    EXPECT_TRUE(rises == 0 || falls == 0)
        << c.name << ": score " << i << " rises " << rises << " and falls " << falls << " times";
    // The matchers' own similarities (minutiae score, paired minutiae,
    // spectral score) only ever raise it.
    if (i == 0 || i == 2 || i == 9) {
      EXPECT_EQ(falls, 0) << c.name << ": more of similarity " << i << " lowers the score";
    }
  }
  EXPECT_GE(used, 10) << c.name;
  if (!c.coherence) return;
  const qx_vermodel *coh =
      qx_verifierI_get_vermodel(c.models, c.verifier, QX_MTCOHER_NBR_SCORES, QX_MTCOHER_MODEL_KEY);
  ASSERT_NE(coh, nullptr) << c.name;
  typical_score(coh, QX_MTCOHER_NBR_SCORES, &v);
  for (int i = 0; i < QX_MTCOHER_NBR_SCORES; ++i) {
    int rises, falls;
    count_turns(coh, coh->quadratic, QX_MTCOHER_NBR_SCORES, i, v, &rises, &falls);
    EXPECT_TRUE(rises == 0 || falls == 0) << c.name << " coherence: score " << i << " rises "
                                          << rises << " and falls " << falls << " times";
  }
}

INSTANTIATE_TEST_SUITE_P(AllConfigurations, TrainedModels, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<ConfigModels> &i) {
                           std::string n = i.param.name;
                           for (char &ch : n)
                             if (ch == '-') ch = '_';
                           return n;
                         });

}  // namespace
