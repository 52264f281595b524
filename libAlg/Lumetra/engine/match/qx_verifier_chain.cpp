// Verifier chains, their links, and the lookup of verification models.
#include "engine/match/qx_verifier.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

struct qx_verifier_link {
  qx_verifier_link *next;
  qx_verifier_link *prev;
  const qx_verifier_interface *feature_score_extractor;
  const qx_verifier_interface *combined_verifier;
  int32_t max_subtemplates_to_pass_on;
  int32_t pass_on_feature_scores;
  int32_t accept_far_shift;
  int32_t reject_far;
  qx_verifier_chain *owner;  // the chain holding the link, or none
};

struct qx_verifier_chain {
  qx_verifier_link *first;
  qx_verifier_link *last;
  int32_t count;
};

extern "C" {

void qx_feature_scores_free(uint16_t *scores) { qx_free(scores); }

qx_verifier_link *qx_verifier_link_create(
    const qx_verifier_interface *feature_score_extractor,
    const qx_verifier_interface *combined_verifier, int32_t max_subtemplates_to_pass_on,
    int32_t pass_on_feature_scores, int32_t accept_far_shift, int32_t reject_far) {
  auto *link = static_cast<qx_verifier_link *>(qx_calloc(1, sizeof(qx_verifier_link)));
  if (link == nullptr) return nullptr;
  link->feature_score_extractor = feature_score_extractor;
  link->combined_verifier = combined_verifier;
  link->max_subtemplates_to_pass_on = max_subtemplates_to_pass_on;
  link->pass_on_feature_scores = pass_on_feature_scores;
  link->accept_far_shift = accept_far_shift;
  link->reject_far = reject_far;
  return link;
}

void qx_verifier_link_delete(qx_verifier_link *link) {
  // A link inside a chain belongs to the chain.
  if (link != nullptr && link->owner == nullptr) qx_free(link);
}

qx_verifier_link *qx_verifier_link_get_next(const qx_verifier_link *link) {
  return link != nullptr ? link->next : nullptr;
}
qx_verifier_link *qx_verifier_link_get_prev(const qx_verifier_link *link) {
  return link != nullptr ? link->prev : nullptr;
}
const qx_verifier_interface *qx_verifier_link_get_feature_score_extractor(
    const qx_verifier_link *link) {
  return link != nullptr ? link->feature_score_extractor : nullptr;
}
const qx_verifier_interface *qx_verifier_link_get_combined_feature_score_verifier(
    const qx_verifier_link *link) {
  return link != nullptr ? link->combined_verifier : nullptr;
}
int32_t qx_verifier_link_get_max_nbr_of_subtemplates_to_pass_on(const qx_verifier_link *link) {
  return link != nullptr ? link->max_subtemplates_to_pass_on : 0;
}
int32_t qx_verifier_link_pass_on_feature_scores(const qx_verifier_link *link) {
  return link != nullptr ? link->pass_on_feature_scores : 0;
}
int32_t qx_verifier_link_get_accept_far_shift(const qx_verifier_link *link) {
  return link != nullptr ? link->accept_far_shift : 0;
}
int32_t qx_verifier_link_get_reject_far(const qx_verifier_link *link) {
  return link != nullptr ? link->reject_far : 0;
}

qx_verifier_chain *qx_verifier_chain_create(void) {
  return static_cast<qx_verifier_chain *>(qx_calloc(1, sizeof(qx_verifier_chain)));
}

void qx_verifier_chain_append_link(qx_verifier_chain *chain, qx_verifier_link *link) {
  if (chain == nullptr || link == nullptr || link->owner != nullptr) return;
  link->owner = chain;
  link->next = nullptr;
  link->prev = chain->last;
  if (chain->last != nullptr) chain->last->next = link; else chain->first = link;
  chain->last = link;
  ++chain->count;
}

qx_verifier_link *qx_verifier_chain_get_first_link(const qx_verifier_chain *chain) {
  return chain != nullptr ? chain->first : nullptr;
}
qx_verifier_link *qx_verifier_chain_get_last_link(const qx_verifier_chain *chain) {
  return chain != nullptr ? chain->last : nullptr;
}
int32_t qx_verifier_chain_get_nbr_of_links(const qx_verifier_chain *chain) {
  return chain != nullptr ? chain->count : 0;
}
const qx_verifier_interface *qx_verifier_chain_get_main_verifier(
    const qx_verifier_chain *chain) {
  return qx_verifier_link_get_combined_feature_score_verifier(
      qx_verifier_chain_get_last_link(chain));
}

void qx_verifier_chain_delete(qx_verifier_chain *chain) {
  if (chain == nullptr) return;
  qx_verifier_link *link = chain->first;
  while (link != nullptr) {
    qx_verifier_link *next = link->next;
    qx_free(link);
    link = next;
  }
  qx_free(chain);
}

const qx_vermodel *qx_verifierI_get_vermodel(const qx_vermodel *models,
                                            const qx_verifier_interface *verifier,
                                            uint16_t key1, uint16_t key2) {
  if (models == nullptr) return nullptr;
  for (const qx_vermodel *m = models; m->verifier != nullptr; ++m) {
    if (m->verifier == verifier && m->key1 == key1 && m->key2 == key2) return m;
  }
  return nullptr;
}

int32_t qx_verifier_models_of_call(const qx_session *session, const qx_vermodel *given,
                                   const qx_vermodel **models) {
  *models = given;
  if (given != nullptr) return QX_RC_OK;
  const qx_algorithm *alg = qx_session_get_algorithm(session);
  if (alg == nullptr) return QX_RC_OBJECT_NOT_FOUND;
  *models = qx_algorithm_get_vermodels(alg);
  return QX_RC_OK;
}

}  // extern "C"
