// The score model of the hybrid verifiers and the decision from a score:
// a vector of feature scores becomes one similarity score through a
// verification model, and a threshold table row pair turns the score into
// an accept or reject at a false-accept index.
#include <cstdlib>

#include "engine/match/ehm_verifier.h"
#include "engine/match/ehm_verifier_internal.h"
#include "engine/objects/qx_mt_verify.h"
#include "engine/qx_rc.h"

namespace {

constexpr int64_t kCentre = 4096;
constexpr int64_t kMaxScore = 65535;
constexpr uint16_t kMissingThreshold = 65535;
constexpr int32_t kMaxFarIndex = QX_THRESHOLD_COLUMNS - 1;

// Subtemplate counts the threshold rows stand for (row 2 covers 3..4 and
// is counted as 4, and so on up to row 6 for 33..64).
constexpr int32_t kRowCount[QX_THRESHOLD_ROWS] = {1, 2, 4, 8, 16, 32, 64};

int64_t clamp_score(int64_t v) { return v < 0 ? 0 : (v > kMaxScore ? kMaxScore : v); }

// Upper and lower table rows for n compared subtemplates.
void rows_for(int32_t n, int32_t *upper, int32_t *lower) {
  if (n <= 1) {
    *upper = *lower = 0;
    return;
  }
  int32_t h = 1;
  while (h < QX_THRESHOLD_ROWS - 1 && kRowCount[h] < n) ++h;
  *upper = h;
  *lower = h - 1;
}

}  // namespace

extern "C" {

uint16_t qx_ml_predict_linear_score(const uint16_t *scores,
                                    const qx_vermodel_coefficient *linear,
                                    const qx_vermodel_coefficient *quadratic, int32_t count,
                                    int32_t normalisation) {
  if ((linear == nullptr) == (quadratic == nullptr) || scores == nullptr) return 0;
  const qx_vermodel_coefficient *model = linear != nullptr ? linear : quadratic;
  // The products of a 16.16 difference with a weight need 64 bits; the
  // square of a difference needs 64 unsigned bits and its product with a
  // weight more, so the quadratic term is formed in 128 bits.
  __int128 sum = 0;
  int64_t total = 0;
  for (int32_t i = 0; i < count; ++i) {
    const qx_vermodel_coefficient &r = model[i];
    uint16_t x = scores[i];
    if (x < r.lower) x = r.lower;
    if (x > r.upper) x = r.upper;
    const int64_t v = static_cast<int64_t>(x) << 16;
    const int64_t m = r.mean;
    const uint64_t d = static_cast<uint64_t>(v > m ? v - m : m - v);
    const int64_t t = r.scale != 0 ? r.weight * static_cast<int64_t>(d) / r.scale : 0;
    sum += m > v ? -t : t;
    total += normalisation != 0 ? std::abs(r.weight) : r.weight;
    if (quadratic != nullptr) {
      if (r.scale != 0) {
        const __int128 d2 = static_cast<__int128>(d * d / r.scale);
        sum += d2 * r.quadratic_weight / r.scale;
      }
      total += normalisation != 0 ? std::abs(r.quadratic_weight) : r.quadratic_weight;
    }
  }
  if (normalisation != 0) {
    total /= 8;
    if (normalisation == 2) total = -total;
  }
  // A model whose weights cancel out has no scale at all: no similarity.
  if (total == 0) return 0;
  const __int128 q = sum * kCentre / total + kCentre;
  if (q < 0) return 0;
  if (q > kMaxScore) return static_cast<uint16_t>(kMaxScore);
  return static_cast<uint16_t>(q);
}

int32_t qx_verifier_decision_from_score(const qx_verifier_interface *verifier,
                                        qx_session *session, uint16_t score,
                                        int32_t nbr_subtemplates, int32_t far_index,
                                        int32_t *decision, uint16_t *threshold,
                                        const qx_vermodel *models) {
  if (decision != nullptr) *decision = 0;
  if (threshold != nullptr) *threshold = kMissingThreshold;
  const int32_t sensor_type = qx_session_get_sensor_type(session);
  const int32_t sensor_size = qx_session_get_sensor_size(session);
  if (sensor_type == 0 || sensor_size == 0) return QX_RC_BAD_ARGUMENT;
  if (verifier == nullptr || verifier->threshold_table == nullptr) return QX_RC_UNSUPPORTED;

  const uint16_t *table = nullptr;
  const int32_t rc = verifier->threshold_table(session, sensor_type, sensor_size, &table, models);
  if (rc != QX_RC_OK) return rc;
  if (table == nullptr || table[QX_THRESHOLD_ROWS * QX_THRESHOLD_COLUMNS - 1] == 0)
    return QX_RC_FAILED;
  if (decision == nullptr || far_index < 0 || far_index > kMaxFarIndex)
    return QX_RC_BAD_ARGUMENT;

  int32_t upper = 0, lower = 0;
  rows_for(nbr_subtemplates, &upper, &lower);
  const int64_t u = table[upper * QX_THRESHOLD_COLUMNS + far_index];
  const int64_t l = table[lower * QX_THRESHOLD_COLUMNS + far_index];
  if (u == kMissingThreshold || l == kMissingThreshold) return QX_RC_UNSUPPORTED;

  const int64_t upper_count = kRowCount[upper], lower_count = kRowCount[lower];
  // Beyond 64 subtemplates the line through rows 5 and 6 is extended.
  const int64_t t = upper_count != lower_count
                        ? l + (u - l) * (nbr_subtemplates - lower_count) /
                                  (upper_count - lower_count)
                        : u;
  *decision = t < score ? 1 : 0;
  if (threshold != nullptr) *threshold = static_cast<uint16_t>(clamp_score(t));
  return QX_RC_OK;
}

}  // extern "C"

namespace lumetra::ehm {

int32_t find_model(qx_session *session, const qx_vermodel *given,
                   const qx_verifier_interface *verifier, const qx_vermodel **model) {
  *model = nullptr;
  const qx_vermodel *models = nullptr;
  const int32_t rc = qx_verifier_models_of_call(session, given, &models);
  if (rc != QX_RC_OK) return rc;
  *model = qx_verifierI_get_vermodel(models, verifier, QX_EHM_NBR_FEATURE_SCORES, 0);
  return *model != nullptr ? QX_RC_OK : QX_RC_CONTEXT_NOT_FOUND;
}

int32_t verify_feature_scores(const qx_verifier_interface *verifier, qx_session *session,
                              const uint16_t *scores, uint8_t count, int32_t far_index,
                              uint16_t *score, int32_t *decision, const qx_vermodel *models) {
  if (score != nullptr) *score = 0;
  if (decision != nullptr) *decision = 0;
  if (count != QX_EHM_NBR_FEATURE_SCORES) return QX_RC_FAILED;
  if (scores == nullptr || score == nullptr) return QX_RC_BAD_ARGUMENT;
  const qx_vermodel *model = nullptr;
  const int32_t rc = find_model(session, models, verifier, &model);
  if (rc != QX_RC_OK) return rc;
  if (model->linear == nullptr && model->quadratic == nullptr) return QX_RC_CONTEXT_NOT_FOUND;

  // Neither matcher found anything: no evidence for the model to weigh.
  if (scores[QX_EHM_SCORE_MINUTIAE] == 0 && scores[QX_EHM_SCORE_SPECTRAL] == 0) {
    *score = 0;
  } else {
    *score = qx_ml_predict_linear_score(scores, model->linear, model->quadratic, count,
                                        model->normalisation);
  }
  if (decision == nullptr) return QX_RC_OK;
  return qx_verifier_decision_from_score(verifier, session, *score, 1, far_index, decision,
                                         nullptr, models);
}

int32_t decision_from_score(const qx_verifier_interface *verifier, qx_session *session,
                            qx_template *tpl, uint16_t score, int32_t far_index,
                            int32_t *decision, const qx_vermodel *models) {
  if (decision != nullptr) *decision = 0;
  if (tpl != nullptr && qx_template_get_type(tpl) == QX_TEMPLATE_MULTITEMPLATE)
    return multitemplate_decision(verifier, session, tpl, score, far_index, decision);
  return qx_verifier_decision_from_score(verifier, session, score, 1, far_index, decision,
                                         nullptr, models);
}

int32_t threshold_table(const qx_verifier_interface *verifier, qx_session *session,
                        const uint16_t **table, const qx_vermodel *models) {
  if (table != nullptr) *table = nullptr;
  if (table == nullptr) return QX_RC_BAD_ARGUMENT;
  const qx_vermodel *model = nullptr;
  const int32_t rc = find_model(session, models, verifier, &model);
  if (rc != QX_RC_OK) return rc;
  if (model->thresholds == nullptr) return QX_RC_CONTEXT_NOT_FOUND;
  *table = model->thresholds;
  return QX_RC_OK;
}

// A multi-template is compared and decided instance by instance by the
// multi-template layer, with this verifier for each instance.
int32_t multitemplate_similarity(const qx_verifier_interface *verifier, qx_session *session,
                                 qx_template *multitemplate, qx_template *probe,
                                 int32_t far_index, uint16_t *score, int32_t *decision,
                                 qx_alignment **alignment, qx_template **updated) {
  return qx_multitemplate_verify_template(multitemplate, verifier, session, probe, far_index,
                                          score, decision, alignment, nullptr, updated, nullptr);
}

int32_t multitemplate_decision(const qx_verifier_interface *verifier, qx_session *session,
                               qx_template *multitemplate, uint16_t score, int32_t far_index,
                               int32_t *decision) {
  return qx_multitemplate_decision_from_score(multitemplate, verifier, session, nullptr, score,
                                              far_index, decision, nullptr, nullptr);
}

}  // namespace lumetra::ehm
