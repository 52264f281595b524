// The algorithm object: creation registers it in its session, destruction
// takes back exactly what creation wrote.
#include "engine/objects/qx_algorithm.h"

#include "engine/match/probe_parts.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"
#include "engine/qx_refcount.hpp"


struct qx_algorithm {
  int32_t refs;
  qx_session *session;  // retained
  const qx_extractor_interface *extractor;
  qx_verifier_chain *chain;  // owned
  int32_t template_type;
  int32_t sensor_type;
  int32_t sensor_size;
  int32_t feature_state[QX_FEATURE_COUNT];
  int32_t feature_mutable[QX_FEATURE_COUNT];
  qx_algorithm_config config;
  const qx_vermodel *vermodels;
  const void *ppmodel;  // always absent in this library
  void (*destroy)(qx_algorithm *);
};

namespace {

// The property each feature state mirrors, by index.
constexpr const char *kFeatureProperty[QX_FEATURE_COUNT] = {
    QX_PROP_360, QX_PROP_SPECTRAL_FULLSEARCH, QX_PROP_SPECTRAL_HR_RANGE};

void destroy_algorithm(qx_algorithm *alg) {
  qx_verifier_chain_delete(alg->chain);
  qx_session *s = alg->session;
  qx_session_clear_property(s, QX_PROP_SENSOR_SIZE);
  qx_session_clear_property(s, QX_PROP_SENSOR_TYPE);
  qx_session_clear_property(s, QX_PROP_SPECTRAL_FULLSEARCH);
  qx_session_clear_property(s, QX_PROP_SPECTRAL_HR_RANGE);
  qx_session_clear_property(s, QX_PROP_360);
  qx_session_remove_context(s, QX_CONTEXT_ALGORITHM);
  qx_session_delete(s);
  qx_free(alg);
}

bool valid_index(int32_t index) { return index >= 0 && index < QX_FEATURE_COUNT; }

const qx_verifier_interface *main_verifier(const qx_algorithm *alg) {
  return alg != nullptr ? qx_verifier_chain_get_main_verifier(alg->chain) : nullptr;
}

}  // namespace

extern "C" {

qx_algorithm *qx_algorithm_create(qx_session *session, const qx_extractor_interface *extractor,
                                  qx_verifier_chain *chain, int32_t template_type,
                                  int32_t sensor_type, int32_t sensor_size,
                                  const int32_t *states_on, int32_t nbr_states_on,
                                  const int32_t *states_mutable, int32_t nbr_states_mutable,
                                  const qx_algorithm_config *config) {
  // Without a session the algorithm makes its own; it is released again
  // below (the algorithm's retain then holds the only reference).
  qx_session *own = nullptr;
  if (session == nullptr) {
    own = qx_session_create();
    if (own == nullptr) return nullptr;
    session = own;
  }
  if (qx_session_get_algorithm(session) != nullptr) {
    qx_session_delete(own);
    return nullptr;
  }
  auto *alg = static_cast<qx_algorithm *>(qx_calloc(1, sizeof(qx_algorithm)));
  if (alg == nullptr || qx_session_set_context(session, alg, QX_CONTEXT_ALGORITHM, nullptr) != 0) {
    qx_free(alg);
    qx_session_delete(own);
    return nullptr;
  }
  alg->refs = 1;
  alg->session = qx_session_retain(session);
  qx_session_delete(own);
  alg->extractor = extractor;
  alg->template_type = template_type;
  alg->sensor_type = sensor_type;
  alg->sensor_size = sensor_size;
  for (int32_t i = 0; states_on != nullptr && i < nbr_states_on; ++i) {
    if (valid_index(states_on[i])) alg->feature_state[states_on[i]] = 1;
  }
  for (int32_t i = 0; states_mutable != nullptr && i < nbr_states_mutable; ++i) {
    if (valid_index(states_mutable[i])) alg->feature_mutable[states_mutable[i]] = 1;
  }
  if (config != nullptr) alg->config = *config;
  alg->destroy = destroy_algorithm;

  int32_t rc = qx_session_set_sensor_type_(session, sensor_type);
  if (rc == QX_RC_OK) rc = qx_session_set_sensor_size_(session, sensor_size);
  if (rc == QX_RC_OK) rc = qx_session_set_int(session, QX_PROP_SPECTRAL_FULLSEARCH, alg->feature_state[1]);
  if (rc == QX_RC_OK) rc = qx_session_set_int(session, QX_PROP_SPECTRAL_HR_RANGE, alg->feature_state[2]);
  if (rc == QX_RC_OK) rc = qx_session_set_int(session, QX_PROP_360, alg->feature_state[0]);
  if (rc != QX_RC_OK) {
    // Out of memory while writing the properties: undo everything, but
    // leave the chain to the caller, who still owns it.
    alg->chain = nullptr;
    destroy_algorithm(alg);
    return nullptr;
  }
  alg->chain = chain;
  return alg;
}

qx_algorithm *qx_algorithm_retain(qx_algorithm *alg) {
  return qx::retain(alg);
}

void qx_algorithm_delete(qx_algorithm *alg) {
  qx::release(alg);
}

int32_t qx_algorithm_get_num_refs(const qx_algorithm *alg) {
  return qx::num_refs(alg);
}

int32_t qx_algorithm_extract_template(qx_algorithm *alg, qx_image *image, qx_finger *finger,
                                      qx_template **out) {
  if (out == nullptr) return QX_RC_BAD_ARGUMENT;
  *out = nullptr;
  if (alg == nullptr) return QX_RC_BAD_ARGUMENT;
  if (alg->extractor == nullptr || alg->extractor->extract_template == nullptr) return QX_RC_UNSUPPORTED;
  qx_finger *temporary = nullptr;
  if (finger == nullptr) {
    temporary = qx_finger_create(0, nullptr);
    if (temporary == nullptr) return QX_RC_NO_MEMORY;
    finger = temporary;
  }
  const int32_t rc =
      alg->extractor->extract_template(alg->session, image, finger, alg->template_type, out);
  qx_finger_delete(temporary);
  return rc;
}

void qx_algorithm_get_pref_idim(const qx_algorithm *alg, int32_t rows, int32_t cols,
                                int32_t vres, int32_t hres, int32_t *out_rows,
                                int32_t *out_cols, int32_t *out_vres, int32_t *out_hres) {
  int32_t r = rows, c = cols, v = vres, h = hres;
  if (alg != nullptr && alg->extractor != nullptr && alg->extractor->pref_idim != nullptr) {
    alg->extractor->pref_idim(alg->session, vres, hres, rows, cols, &v, &h, &r, &c);
  }
  if (out_rows != nullptr) *out_rows = r;
  if (out_cols != nullptr) *out_cols = c;
  if (out_vres != nullptr) *out_vres = v;
  if (out_hres != nullptr) *out_hres = h;
}

int32_t qx_algorithm_get_similarity_score(qx_algorithm *alg, qx_template *a, qx_template *b,
                                          int32_t far_index, uint16_t *score,
                                          int32_t *decision, qx_alignment **alignment,
                                          qx_template **updated) {
  if (alg == nullptr) return QX_RC_BAD_ARGUMENT;
  const qx_verifier_interface *v = main_verifier(alg);
  if (v == nullptr || v->get_similarity_score == nullptr) return QX_RC_UNSUPPORTED;
  // A multi-template compares b with each of its subtemplates.
  const qx::ProbeScope probe_parts(alg->session, b);
  return v->get_similarity_score(alg->session, a, b, far_index, score, decision, alignment,
                                 updated, alg->vermodels);
}

int32_t qx_algorithm_decision_from_score(qx_algorithm *alg, qx_template *tpl, uint16_t score,
                                         int32_t far_index, int32_t *decision) {
  if (alg == nullptr) return QX_RC_BAD_ARGUMENT;
  const qx_verifier_interface *v = main_verifier(alg);
  if (v == nullptr || v->decision_from_score == nullptr) return QX_RC_UNSUPPORTED;
  return v->decision_from_score(alg->session, tpl, nullptr, score, far_index, decision,
                                alg->vermodels);
}

int32_t qx_algorithm_verify_templates(qx_algorithm *alg, qx_template **enrolled,
                                      int32_t count, qx_template *probe, int32_t far_index,
                                      int32_t *decision, qx_match **match, int32_t *index) {
  if (alg == nullptr) return QX_RC_BAD_ARGUMENT;
  const qx_verifier_interface *v = main_verifier(alg);
  if (v == nullptr || v->verify_templates == nullptr) return QX_RC_UNSUPPORTED;
  const qx::ProbeScope probe_parts(alg->session, probe);
  return v->verify_templates(alg->session, enrolled, count, probe, far_index, decision, match,
                             index, alg->vermodels);
}

int32_t qx_algorithm_set_feature_state(qx_algorithm *alg, int32_t index, int32_t value) {
  if (alg == nullptr || !valid_index(index) || !alg->feature_mutable[index]) return QX_RC_UNSUPPORTED;
  const int32_t rc = qx_session_set_int(alg->session, kFeatureProperty[index], value);
  if (rc != QX_RC_OK) return rc;
  alg->feature_state[index] = value;
  return QX_RC_OK;
}

int32_t qx_algorithm_get_feature_state(const qx_algorithm *alg, int32_t index) {
  return alg != nullptr && valid_index(index) ? alg->feature_state[index] : 0;
}

int32_t qx_algorithm_feature_is_mutable(const qx_algorithm *alg, int32_t index) {
  return alg != nullptr && valid_index(index) ? alg->feature_mutable[index] : 0;
}

qx_session *qx_algorithm_get_session(const qx_algorithm *alg) {
  return alg != nullptr ? alg->session : nullptr;
}
const qx_extractor_interface *qx_algorithm_get_extractor(const qx_algorithm *alg) {
  return alg != nullptr ? alg->extractor : nullptr;
}
qx_verifier_chain *qx_algorithm_get_verifier_chain(const qx_algorithm *alg) {
  return alg != nullptr ? alg->chain : nullptr;
}
const qx_verifier_interface *qx_algorithm_get_verifier(const qx_algorithm *alg) {
  return main_verifier(alg);
}
int32_t qx_algorithm_get_template_type(const qx_algorithm *alg) {
  return alg != nullptr ? alg->template_type : 0;
}
int32_t qx_algorithm_get_sensor_size(const qx_algorithm *alg) {
  return alg != nullptr ? alg->sensor_size : 0;
}
int32_t qx_algorithm_get_sensor_type(const qx_algorithm *alg) {
  return alg != nullptr ? alg->sensor_type : 0;
}
qx_algorithm_config *qx_algorithm_get_config(qx_algorithm *alg) {
  return alg != nullptr ? &alg->config : nullptr;
}
const qx_vermodel *qx_algorithm_get_vermodels(const qx_algorithm *alg) {
  return alg != nullptr ? alg->vermodels : nullptr;
}
void qx_algorithm_set_vermodels(qx_algorithm *alg, const qx_vermodel *models) {
  if (alg != nullptr) alg->vermodels = models;
}
const void *qx_algorithm_get_ppmodel(const qx_algorithm *alg) {
  return alg != nullptr ? alg->ppmodel : nullptr;
}
void qx_algorithm_set_ppmodel(qx_algorithm *alg, const void *model) {
  if (alg != nullptr) alg->ppmodel = model;
}
int32_t qx_algorithm_get_slice_rows(const qx_algorithm *alg) {
  return qx_session_get_slice_rows(alg != nullptr ? alg->session : nullptr);
}
int32_t qx_algorithm_set_slice_rows(qx_algorithm *alg, int32_t rows) {
  if (alg == nullptr) return QX_RC_BAD_ARGUMENT;
  return qx_session_set_slice_rows_(alg->session, rows);
}

}  // extern "C"
