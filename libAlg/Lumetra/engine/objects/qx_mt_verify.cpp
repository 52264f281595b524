// Verification of a probe against one multi-template, and against several
// enrolled templates through the verifier chain.
#include "engine/objects/qx_mt_verify.h"

#include <new>

#include "engine/objects/chain_walk.h"
#include "engine/objects/mt_score.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace {

// The main-island subtemplates of one enrolled template, read through a
// manager; released with the reader.
struct CandidateReader {
  qx_multitemplate_manager *manager = nullptr;
  qx::Buffer<qx_walk_candidate> candidates;
  int32_t count = 0;

  ~CandidateReader() {
    for (int32_t j = 0; j < count; ++j) {
      qx_template_delete(candidates[j].subtemplate);
      qx_alignment_delete(const_cast<qx_alignment *>(candidates[j].island_alignment));
    }
    qx_multitemplate_manager_delete(manager);
  }

  // 0, 3 when the template cannot be read, 9 without memory.
  int32_t read(qx_template *tpl) {
    const int32_t rc = qx_multitemplate_manager_create_from_template(tpl, &manager);
    if (rc == QX_RC_NO_MEMORY) return rc;
    if (rc != QX_RC_OK || manager == nullptr) return QX_RC_BAD_DATA;
    const int32_t n = qx_multitemplate_manager_get_nbr_of_templates(manager);
    if (!candidates.alloc(static_cast<size_t>(n > 0 ? n : 1))) return QX_RC_NO_MEMORY;
    for (int32_t j = 0; j < n; ++j) {
      qx_alignment *alignment = nullptr;
      int32_t island = 0;
      qx_template *sub = qx_multitemplate_manager_get_template(manager, j, &alignment, &island);
      if (sub == nullptr) return QX_RC_NO_MEMORY;
      candidates[j] = qx_walk_candidate{sub, alignment, island, j};
      count = j + 1;
    }
    return QX_RC_OK;
  }
};

int32_t verify_chain(qx_template **enrolled, int32_t count, const qx_verifier_chain *chain,
                     qx_session *session, qx_template *probe, int32_t far_index,
                     const qx_vermodel *models, qx_walk_result *result) {
  result->decision = 0;
  result->alignment = nullptr;
  result->template_index = -1;
  result->subtemplate_index = -1;
  result->score = 0;
  if ((enrolled == nullptr && count > 0) || count < 0) return QX_RC_BAD_ARGUMENT;
  qx::Buffer<qx_walk_enrolled> list;
  if (!list.alloc(static_cast<size_t>(count > 0 ? count : 1))) return QX_RC_NO_MEMORY;
  // Readers hold owning pointers: construct them in place and destroy
  // them explicitly (qx::Buffer only frees the bytes).
  auto *raw = static_cast<CandidateReader *>(
      qx_malloc(sizeof(CandidateReader) * static_cast<size_t>(count > 0 ? count : 1)));
  if (raw == nullptr) return QX_RC_NO_MEMORY;
  int32_t constructed = 0;
  struct Cleanup {
    CandidateReader *r;
    int32_t *n;
    ~Cleanup() {
      for (int32_t i = 0; i < *n; ++i) r[i].~CandidateReader();
      qx_free(r);
    }
  } cleanup{raw, &constructed};

  int32_t unreadable = 0;
  for (int32_t t = 0; t < count; ++t) {
    new (&raw[t]) CandidateReader();
    constructed = t + 1;
    list[t] = qx_walk_enrolled{nullptr, nullptr, 0};
    if (enrolled[t] == nullptr) continue;
    const int32_t rc = raw[t].read(enrolled[t]);
    if (rc == QX_RC_NO_MEMORY) return rc;
    if (rc != QX_RC_OK) {
      unreadable = 1;
      continue;
    }
    list[t] = qx_walk_enrolled{enrolled[t], raw[t].candidates.get(), raw[t].count};
  }
  const int32_t rc =
      qx_verifier_chain_walk(list.get(), count, chain, session, probe, far_index, models, result);
  if (rc != QX_RC_OK) return rc;
  return unreadable ? QX_RC_BAD_DATA : QX_RC_OK;
}

}  // namespace

extern "C" {

int32_t qx_mtm_verify_template(qx_multitemplate_manager *manager,
                               const qx_verifier_interface *verifier, qx_session *session,
                               qx_template *probe, int32_t far_index, uint16_t *score,
                               int32_t *decision, qx_alignment **alignment, const void *,
                               int32_t *change, qx_finger *finger) {
  if (score != nullptr) *score = 0;
  if (decision != nullptr) *decision = 0;
  if (alignment != nullptr) *alignment = nullptr;
  if (change != nullptr) *change = 0;
  if (manager == nullptr || verifier == nullptr || verifier->get_similarity_score == nullptr ||
      probe == nullptr)
    return QX_RC_BAD_ARGUMENT;

  const int32_t n = qx_multitemplate_manager_get_nbr_of_templates(manager);
  qx_mt_running_score running;
  qx_mt_running_score_reset(&running);
  qx_alignment *best_alignment = nullptr;  // the probe in the best instance's island frame
  bool accepted = false;
  for (int32_t j = 0; j < n; ++j) {
    qx_alignment *island_alignment = nullptr;
    qx_template *instance =
        qx_multitemplate_manager_get_template(manager, j, &island_alignment, nullptr);
    if (instance == nullptr) {
      qx_alignment_delete(best_alignment);
      return QX_RC_NO_MEMORY;
    }
    uint16_t s = 0;
    qx_alignment *found = nullptr;
    const int32_t rc = verifier->get_similarity_score(session, instance, probe, far_index, &s,
                                                      nullptr, &found, nullptr, nullptr);
    qx_template_delete(instance);
    if (rc != QX_RC_OK) {
      qx_alignment_delete(found);
      qx_alignment_delete(island_alignment);
      qx_alignment_delete(best_alignment);
      return rc;
    }
    if (qx_mt_running_score_add(&running, s, j, n)) {
      qx_alignment *identity = found == nullptr ? qx_alignment_create_identity() : nullptr;
      qx_alignment *placed =
          qx_alignment_combine(island_alignment, found != nullptr ? found : identity);
      qx_alignment_delete(identity);
      qx_alignment_delete(best_alignment);
      best_alignment = placed;
      if (placed == nullptr) {
        qx_alignment_delete(found);
        qx_alignment_delete(island_alignment);
        return QX_RC_NO_MEMORY;
      }
    }
    qx_alignment_delete(found);
    qx_alignment_delete(island_alignment);
    if (!accepted) {
      int32_t d = 0;
      if (qx_multitemplate_manager_decision_from_score(manager, verifier, session, nullptr,
                                                       running.combined, far_index, &d,
                                                       nullptr, nullptr) == QX_RC_OK &&
          d == 1)
        accepted = true;
    }
  }

  int32_t rc = QX_RC_OK;
  if (accepted && change != nullptr) {
    const int32_t island_option =
        qx_multitemplate_manager_get_nbr_of_unenrolled_templates(manager) > 0 ? 1 : 0;
    qx_template *probes[1] = {probe};
    rc = qx_multitemplate_manager_enroll_templates(manager, probes, 1, session, verifier,
                                                   island_option, change, finger);
  }
  if (score != nullptr) *score = running.combined;
  if (decision != nullptr) *decision = accepted ? 1 : 0;
  if (alignment != nullptr) *alignment = best_alignment;
  else qx_alignment_delete(best_alignment);
  return rc;
}

int32_t qx_multitemplate_verify_template(qx_template *multitemplate,
                                         const qx_verifier_interface *verifier,
                                         qx_session *session, qx_template *probe,
                                         int32_t far_index, uint16_t *score, int32_t *decision,
                                         qx_alignment **alignment, const void *reserved,
                                         qx_template **updated, qx_finger *finger) {
  if (score != nullptr) *score = 0;
  if (decision != nullptr) *decision = 0;
  if (alignment != nullptr) *alignment = nullptr;
  if (updated != nullptr) *updated = nullptr;
  qx_multitemplate_manager *manager = nullptr;
  const int32_t made = qx_multitemplate_manager_create_from_template(multitemplate, &manager);
  if (made == QX_RC_NO_MEMORY) return made;
  if (made != QX_RC_OK || manager == nullptr) return QX_RC_BAD_DATA;
  int32_t change = 0;
  int32_t rc = qx_mtm_verify_template(manager, verifier, session, probe, far_index, score,
                                      decision, alignment, reserved,
                                      updated != nullptr ? &change : nullptr, finger);
  if (rc == QX_RC_OK && updated != nullptr && change != 0) {
    *updated = qx_multitemplate_manager_encode(manager, 0);
    if (*updated == nullptr) rc = QX_RC_NO_MEMORY;
  }
  qx_multitemplate_manager_delete(manager);
  return rc;
}

int32_t qx_multitemplate_decision_from_score(qx_template *multitemplate,
                                             const qx_verifier_interface *verifier,
                                             qx_session *session, const void *reserved,
                                             uint16_t score, int32_t far_index,
                                             int32_t *decision, uint16_t *threshold,
                                             qx_finger *) {
  if (decision != nullptr) *decision = 0;
  if (threshold != nullptr) *threshold = 65535;
  if (multitemplate == nullptr) return QX_RC_BAD_ARGUMENT;
  if (qx_template_get_type(multitemplate) != QX_TEMPLATE_MULTITEMPLATE) return QX_RC_UNSUPPORTED;
  qx_multitemplate_manager *manager = nullptr;
  const int32_t made = qx_multitemplate_manager_create_from_template(multitemplate, &manager);
  if (made == QX_RC_NO_MEMORY) return made;
  if (made != QX_RC_OK || manager == nullptr) return QX_RC_BAD_DATA;
  const int32_t rc = qx_multitemplate_manager_decision_from_score(
      manager, verifier, session, reserved, score, far_index, decision, threshold, nullptr);
  qx_multitemplate_manager_delete(manager);
  return rc;
}

int32_t qx_multitemplate_verify_chain(qx_template **enrolled, int32_t count,
                                      const qx_verifier_chain *chain, qx_session *session,
                                      qx_template *probe, int32_t far_index, int32_t *decision,
                                      qx_alignment **alignment, int32_t *template_index,
                                      int32_t *subtemplate_index, qx_finger *) {
  if (decision != nullptr) *decision = 0;
  if (alignment != nullptr) *alignment = nullptr;
  if (template_index != nullptr) *template_index = -1;
  if (subtemplate_index != nullptr) *subtemplate_index = -1;
  if (decision == nullptr) return QX_RC_BAD_ARGUMENT;
  qx_walk_result result{};
  const int32_t rc =
      verify_chain(enrolled, count, chain, session, probe, far_index, nullptr, &result);
  *decision = result.decision;
  if (template_index != nullptr) *template_index = result.template_index;
  if (subtemplate_index != nullptr) *subtemplate_index = result.subtemplate_index;
  if (alignment != nullptr) *alignment = result.alignment;
  else qx_alignment_delete(result.alignment);
  return rc;
}

int32_t qx_mt_verify_templates_slot(const qx_verifier_interface *self, qx_session *session,
                                    qx_template **enrolled, int32_t count, qx_template *probe,
                                    int32_t far_index, int32_t *decision, qx_match **match,
                                    int32_t *index, const qx_vermodel *models) {
  if (decision != nullptr) *decision = 0;
  if (match != nullptr) *match = nullptr;
  if (index != nullptr) *index = -1;
  const qx_algorithm *alg = qx_session_get_algorithm(session);
  if (alg == nullptr) return QX_RC_OBJECT_NOT_FOUND;
  if (qx_algorithm_get_verifier(alg) != self || decision == nullptr) return QX_RC_BAD_ARGUMENT;
  qx_walk_result result{};
  int32_t rc = verify_chain(enrolled, count, qx_algorithm_get_verifier_chain(alg), session,
                            probe, far_index, models, &result);
  *decision = result.decision;
  if (result.template_index >= 0) {
    if (index != nullptr) *index = result.template_index;
    if (match != nullptr) {
      *match = qx_match_create(enrolled[result.template_index], probe, result.score, 1,
                               result.alignment);
      if (*match == nullptr && rc == QX_RC_OK) rc = QX_RC_NO_MEMORY;
    }
  }
  qx_alignment_delete(result.alignment);
  return rc;
}

}  // extern "C"
