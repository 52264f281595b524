// The algorithm's multi-template operations: building one from templates
// and updating an encoded one, through a manager with the configuration's
// parameters.
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/qx_rc.h"

namespace {

// Configuration values used here (enrollment parameters 1 to 3).
int32_t keep_update_switch(qx_algorithm *alg) { return qx_algorithm_get_config(alg)->enroll_param[0]; }
int32_t island_option(qx_algorithm *alg) { return qx_algorithm_get_config(alg)->enroll_param[1]; }
uint32_t max_template_size(qx_algorithm *alg) {
  return static_cast<uint32_t>(qx_algorithm_get_config(alg)->enroll_param[2]);
}

int32_t create(qx_algorithm *alg, qx_template **templates, int32_t count, bool incremental,
               qx_template **out) {
  if (out != nullptr) *out = nullptr;
  if (alg == nullptr || out == nullptr) return QX_RC_BAD_ARGUMENT;
  qx_multitemplate_manager *m =
      qx_multitemplate_manager_create(qx_algorithm_get_config(alg)->max_nbr_subtemplates);
  if (m == nullptr) return QX_RC_NO_MEMORY;
  qx_multitemplate_manager_set_max_template_size(m, max_template_size(alg));
  if (incremental) qx_multitemplate_manager_set_incremental_mode(m);
  int32_t change = 0;
  int32_t rc = qx_multitemplate_manager_enroll_templates(
      m, templates, count, qx_algorithm_get_session(alg), qx_algorithm_get_verifier(alg),
      island_option(alg), &change, nullptr);
  if (rc == QX_RC_OK) {
    *out = qx_multitemplate_manager_encode(m, keep_update_switch(alg));
    if (*out == nullptr) rc = QX_RC_NO_MEMORY;
  }
  qx_multitemplate_manager_delete(m);
  return rc;
}

}  // namespace

extern "C" {

int32_t qx_algorithm_create_multitemplate(qx_algorithm *alg, qx_template **templates,
                                          int32_t count, qx_template **out) {
  return create(alg, templates, count, false, out);
}

int32_t qx_algorithm_create_incr_multitemplate(qx_algorithm *alg, qx_template **templates,
                                               int32_t count, qx_template **out) {
  return create(alg, templates, count, true, out);
}

int32_t qx_algorithm_update_multitemplate(qx_algorithm *alg, qx_template *multitemplate,
                                          qx_template **templates, int32_t count,
                                          qx_template **out) {
  if (out != nullptr) *out = nullptr;
  if (alg == nullptr || out == nullptr) return QX_RC_BAD_ARGUMENT;
  // Anything that is not a readable multi-template has no manager and so
  // no updated template: the decoder's answer is returned instead.
  qx_multitemplate_manager *m = nullptr;
  int32_t rc = qx_multitemplate_manager_create_from_template(multitemplate, &m);
  if (rc != QX_RC_OK) return rc;
  int32_t change = 0;
  rc = qx_multitemplate_manager_enroll_templates(m, templates, count,
                                                 qx_algorithm_get_session(alg),
                                                 qx_algorithm_get_verifier(alg),
                                                 island_option(alg), &change, nullptr);
  if (rc == QX_RC_OK && change != QX_MTM_NO_CHANGE) {
    *out = qx_multitemplate_manager_encode(m, 0);
    if (*out == nullptr) rc = QX_RC_NO_MEMORY;
  }
  qx_multitemplate_manager_delete(m);
  return rc;
}

}  // extern "C"
