// The verifier-chain walk over several enrolled templates.
#include "engine/objects/chain_walk.h"

#include <algorithm>
#include <cstring>

#include "engine/match/mt_coherence.h"
#include "engine/objects/mt_score.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace {

struct Candidate {
  const qx_walk_candidate *source;
  uint16_t *scores;       // the feature scores gathered so far (qx_malloc)
  uint8_t nbr_scores;
  uint16_t link_score;
  qx_alignment *found;    // the alignment the link's extraction found (owned)
};

struct Template {
  int32_t index;          // position in the caller's list
  qx_template *enrolled;
  Candidate *candidates;  // slice of the shared candidate buffer
  int32_t nbr_candidates; // still in play
  int32_t n;              // main-island subtemplates, for the combination
  bool open;
  qx_mtcoher *coherence;
  qx_mt_running_score running;
  int32_t accept_far;
};

void release_candidate(Candidate &c) {
  qx_free(c.scores);
  c.scores = nullptr;
  c.nbr_scores = 0;
  qx_alignment_delete(c.found);
  c.found = nullptr;
}

// Owns everything the walk allocates and frees it on every path.
struct WalkState {
  qx::Buffer<Candidate> candidates;
  qx::Buffer<Template> templates;
  qx::Buffer<int32_t> order;  // open templates, in walking order
  int32_t nbr_templates = 0;
  int32_t nbr_candidates = 0;
  ~WalkState() {
    for (int32_t i = 0; i < nbr_candidates; ++i) release_candidate(candidates[i]);
    for (int32_t t = 0; t < nbr_templates; ++t) qx_mtcoher_delete(templates[t].coherence);
  }
};

// Stable insertion sort, highest key first (lists are short, and this
// needs no memory).
template <typename T, typename Key>
void sort_descending(T *items, int32_t count, Key key) {
  for (int32_t i = 1; i < count; ++i) {
    T item = items[i];
    int32_t j = i;
    while (j > 0 && key(items[j - 1]) < key(item)) {
      items[j] = items[j - 1];
      --j;
    }
    items[j] = item;
  }
}

// Appends the link's scores to what the candidate carries over.
bool append_scores(Candidate &c, const uint16_t *scores, uint8_t count) {
  const int32_t total = std::min<int32_t>(255, c.nbr_scores + count);
  auto *joined = static_cast<uint16_t *>(qx_malloc(sizeof(uint16_t) * std::max(total, 1)));
  if (joined == nullptr) return false;
  if (c.nbr_scores > 0) std::memcpy(joined, c.scores, sizeof(uint16_t) * c.nbr_scores);
  const int32_t added = total - c.nbr_scores;
  if (added > 0) std::memcpy(joined + c.nbr_scores, scores, sizeof(uint16_t) * added);
  qx_free(c.scores);
  c.scores = joined;
  c.nbr_scores = static_cast<uint8_t>(total);
  return true;
}

// The combined verifier's decision on the enrolled template: 1 accept,
// 0 reject, -1 when it answers an error (no acceptance, no rejection).
int32_t decide(const qx_verifier_interface *v, qx_session *session, qx_template *enrolled,
               uint16_t score, int32_t far_index, const qx_vermodel *models) {
  if (v == nullptr || v->decision_from_score == nullptr) return -1;
  int32_t decision = 0;
  const int32_t rc =
      v->decision_from_score(session, enrolled, nullptr, score, far_index, &decision, models);
  if (rc != QX_RC_OK) return -1;
  return decision == 1 ? 1 : 0;
}

// The probe placed in the island frame of the accepted candidate.
int32_t report(const Template &t, const Candidate &c, qx_walk_result *result) {
  qx_alignment *identity = qx_alignment_create_identity();
  if (identity == nullptr) return QX_RC_NO_MEMORY;
  const qx_alignment *isl =
      c.source->island_alignment != nullptr ? c.source->island_alignment : identity;
  const qx_alignment *found = c.found != nullptr ? c.found : identity;
  qx_alignment *placement = qx_alignment_combine(isl, found);
  qx_alignment_delete(identity);
  if (placement == nullptr) return QX_RC_NO_MEMORY;
  result->decision = 1;
  result->alignment = placement;
  result->template_index = t.index;
  result->subtemplate_index = c.source->subtemplate_index;
  result->score = t.running.combined;
  return QX_RC_OK;
}

}  // namespace

extern "C" int32_t qx_verifier_chain_walk(const qx_walk_enrolled *enrolled, int32_t count,
                                          const qx_verifier_chain *chain, qx_session *session,
                                          qx_template *probe, int32_t far_index,
                                          const qx_vermodel *models, qx_walk_result *result) {
  if (result == nullptr) return QX_RC_BAD_ARGUMENT;
  result->decision = 0;
  result->alignment = nullptr;
  result->template_index = -1;
  result->subtemplate_index = -1;
  result->score = 0;
  if ((enrolled == nullptr && count > 0) || count < 0 || chain == nullptr || probe == nullptr ||
      far_index < 0 || far_index > QX_FAR_INDEX_SCORE_ONLY)
    return QX_RC_BAD_ARGUMENT;

  // Candidate lists, one slice per enrolled template.
  WalkState w;
  int32_t total = 0;
  for (int32_t t = 0; t < count; ++t) {
    if (enrolled[t].enrolled != nullptr && enrolled[t].candidates != nullptr)
      total += std::max(0, enrolled[t].nbr_candidates);
  }
  if (!w.candidates.alloc(static_cast<size_t>(std::max(total, 1))) ||
      !w.templates.alloc(static_cast<size_t>(std::max(count, 1))) ||
      !w.order.alloc(static_cast<size_t>(std::max(count, 1))))
    return QX_RC_NO_MEMORY;
  int32_t nbr_open = 0;
  for (int32_t t = 0; t < count; ++t) {
    const qx_walk_enrolled &e = enrolled[t];
    Template &tp = w.templates[t];
    tp.index = t;
    tp.enrolled = e.enrolled;
    tp.candidates = w.candidates.get() + w.nbr_candidates;
    tp.nbr_candidates = 0;
    qx_mt_running_score_reset(&tp.running);
    if (e.enrolled == nullptr || e.candidates == nullptr) continue;
    for (int32_t j = 0; j < e.nbr_candidates; ++j) {
      tp.candidates[j] = Candidate{&e.candidates[j], nullptr, 0, 0, nullptr};
    }
    tp.nbr_candidates = std::max(0, e.nbr_candidates);
    tp.n = tp.nbr_candidates;
    w.nbr_candidates += tp.nbr_candidates;
    tp.open = true;
    w.order[nbr_open++] = t;
  }
  w.nbr_templates = count;

  const bool score_only = far_index == QX_FAR_INDEX_SCORE_ONLY;
  for (const qx_verifier_link *link = qx_verifier_chain_get_first_link(chain);
       link != nullptr && nbr_open > 0; link = qx_verifier_link_get_next(link)) {
    const qx_verifier_interface *extractor = qx_verifier_link_get_feature_score_extractor(link);
    const qx_verifier_interface *judge =
        qx_verifier_link_get_combined_feature_score_verifier(link);
    if (extractor == nullptr || extractor->extract_feature_scores == nullptr ||
        judge == nullptr || judge->verify_feature_scores == nullptr)
      return QX_RC_UNSUPPORTED;
    const int32_t shift = qx_verifier_link_get_accept_far_shift(link);

    // Fresh start for every open template at this link.
    for (int32_t o = 0; o < nbr_open; ++o) {
      Template &tp = w.templates[w.order[o]];
      qx_mt_running_score_reset(&tp.running);
      for (int32_t j = 0; j < tp.nbr_candidates; ++j) tp.candidates[j].link_score = 0;
      // A coherence state belongs to the link that fills it.
      qx_mtcoher_delete(tp.coherence);
      tp.coherence = nullptr;
      if (tp.nbr_candidates >= QX_MTCOHER_MIN_CANDIDATES &&
          qx_mtcoher_supported(session, judge, models, tp.candidates[0].source->island)) {
        // Without memory for it the walk goes on without coherence.
        tp.coherence = qx_mtcoher_create(session, tp.nbr_candidates, judge, models);
      }
      tp.accept_far = score_only ? QX_FAR_INDEX_SCORE_ONLY
                                 : std::min(27, shift + far_index + (tp.coherence ? 1 : 0));
    }

    // Every candidate of every open template, until one accepts.
    for (int32_t o = 0; o < nbr_open; ++o) {
      Template &tp = w.templates[w.order[o]];
      for (int32_t j = 0; j < tp.nbr_candidates; ++j) {
        Candidate &c = tp.candidates[j];
        uint16_t *scores = nullptr;
        uint8_t nbr = 0;
        qx_alignment_delete(c.found);
        c.found = nullptr;
        int32_t rc = extractor->extract_feature_scores(session, c.source->subtemplate, probe,
                                                       &scores, &nbr, &c.found);
        if (rc != QX_RC_OK) {
          qx_feature_scores_free(scores);
          return rc;
        }
        const bool appended = append_scores(c, scores, nbr);
        qx_feature_scores_free(scores);
        if (!appended) return QX_RC_NO_MEMORY;
        rc = judge->verify_feature_scores(session, c.source->subtemplate, probe, c.scores,
                                          c.nbr_scores, tp.accept_far, &c.link_score, nullptr,
                                          models);
        if (rc != QX_RC_OK) return rc;
        if (tp.coherence != nullptr) {
          qx_mtcoher_fill_data(tp.coherence, j, c.source->island_alignment, c.found,
                               c.link_score, c.source->island);
        }
        qx_mt_running_score_add(&tp.running, c.link_score, j, tp.n);
        if (decide(judge, session, tp.enrolled, tp.running.combined, tp.accept_far, models) == 1)
          return report(tp, c, result);
      }
    }

    // No single candidate accepted: coherence, rejection or trimming.
    int32_t still_open = 0;
    for (int32_t o = 0; o < nbr_open; ++o) {
      Template &tp = w.templates[w.order[o]];
      const int32_t best = tp.running.best_index;
      if (tp.coherence != nullptr && best >= 0 && !score_only) {
        int32_t decision = 0;
        const int32_t rc = qx_mtcoher_verify_template(session, tp.coherence, probe, best,
                                                      tp.accept_far - 1, &decision);
        if (rc == QX_RC_OK && decision == 1) return report(tp, tp.candidates[best], result);
      }
      if (decide(judge, session, tp.enrolled, tp.running.combined,
                 qx_verifier_link_get_reject_far(link), models) == 0) {
        tp.open = false;
        continue;
      }
      sort_descending(tp.candidates, tp.nbr_candidates,
                      [](const Candidate &c) { return c.link_score; });
      const int32_t keep = std::clamp(
          qx_verifier_link_get_max_nbr_of_subtemplates_to_pass_on(link), 0, tp.nbr_candidates);
      for (int32_t j = keep; j < tp.nbr_candidates; ++j) release_candidate(tp.candidates[j]);
      tp.nbr_candidates = keep;
      w.order[still_open++] = w.order[o];
    }
    nbr_open = still_open;

    // Scores travel to the next link only when this link passes them on.
    if (!qx_verifier_link_pass_on_feature_scores(link)) {
      for (int32_t o = 0; o < nbr_open; ++o) {
        Template &tp = w.templates[w.order[o]];
        for (int32_t j = 0; j < tp.nbr_candidates; ++j) {
          qx_free(tp.candidates[j].scores);
          tp.candidates[j].scores = nullptr;
          tp.candidates[j].nbr_scores = 0;
        }
      }
    }
    sort_descending(w.order.get(), nbr_open,
                    [&w](int32_t t) { return w.templates[t].running.best; });
  }

  if (score_only && count == 1) result->decision = w.templates[0].running.combined;
  return QX_RC_OK;
}
