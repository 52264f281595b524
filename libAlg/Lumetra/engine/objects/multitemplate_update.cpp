// Updating a managed multi-template with new templates: the incremental
// path, the rebuild through a match matrix and a new choice of
// subtemplates, and the verifications that work on the manager.
#include <cstring>

#include "engine/match/qx_verifier.h"
#include "engine/objects/multitemplate_internal.hpp"
#include "engine/objects/multitemplate_manager_internal.hpp"
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/objects/qx_mt_verify.h"
#include "engine/objects/qx_subtemplate_choice.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace {

// FAR indexes at which a new template is compared with the others.
constexpr int32_t kFarWithIslandOption = 12;
constexpr int32_t kFarDefault = 9;
constexpr uint16_t kSameIslandScore = 65535;
constexpr uint8_t kNoIsland = 255;

bool over_size_limit(const qx_multitemplate_manager *m) {
  return m->max_size != 0 && qx_multitemplate_encode_size(m->mt) > m->max_size;
}

// Incremental update: new templates become new instances while the
// maximum and the size limit allow.
int32_t enroll_incremental(qx_multitemplate_manager *m, qx_template **templates, int32_t count,
                           int32_t *change) {
  for (int32_t i = 0; i < count && m->mt->count < m->max_templates; ++i) {
    int32_t tag = 0;
    const int32_t rc = qx_multitemplate_add_instance_no_tag(m->mt, templates[i], &tag);
    if (rc == QX_RC_NO_MEMORY) return rc;
    if (rc != QX_RC_OK) break;  // no tag left or full: nothing more fits
    if (over_size_limit(m)) {
      qx_multitemplate_remove_instance(m->mt, tag);
      break;
    }
    *change = QX_MTM_CHANGE_MAIN;
  }
  if (m->mt->count == 0 || over_size_limit(m)) return QX_RC_CAPACITY_FULL;
  return QX_RC_OK;
}

// One candidate of a rebuild: an existing instance (with its stored
// alignment to its island's top and its island number) or a new template.
struct Candidate {
  qx_template *tpl;          // not retained: the manager or the caller holds it
  qx_alignment *to_top;      // owned; none for new templates
  int32_t island;            // kNoIsland for new templates or unknown islands
  bool existing;
};

class Candidates {
 public:
  ~Candidates() {
    for (int32_t i = 0; i < n_; ++i) qx_alignment_delete(list_[i].to_top);
    for (int32_t i = 0; i < n_ * n_ && matrix_.get() != nullptr; ++i) qx_match_delete(matrix_[i]);
  }

  // Main-island instances, then secondary ones, then the new templates.
  int32_t collect(const qx_multitemplate *mt, qx_template **templates, int32_t count) {
    const int32_t total = mt->count + count;
    if (!list_.alloc(static_cast<size_t>(total)) ||
        !matrix_.alloc(static_cast<size_t>(total) * static_cast<size_t>(total)) ||
        !pointers_.alloc(static_cast<size_t>(total))) {
      return QX_RC_NO_MEMORY;
    }
    for (int pass = 0; pass < 2; ++pass) {
      for (const qx_mt_instance *in = mt->first; in != nullptr; in = in->next) {
        if ((qx_multitemplate_instance_is_main(mt, in->tag) != 0) != (pass == 0)) continue;
        qx_alignment *to_top = qx_multitemplate_get_instance_alignment(mt, in->tag);
        if (to_top == nullptr) return QX_RC_NO_MEMORY;
        list_[n_++] = {in->tpl, to_top, qx_multitemplate_get_instance_island(mt, in->tag), true};
      }
    }
    existing_ = n_;
    for (int32_t i = 0; i < count; ++i) list_[n_++] = {templates[i], nullptr, kNoIsland, false};
    for (int32_t i = 0; i < n_; ++i) pointers_[i] = list_[i].tpl;
    return QX_RC_OK;
  }

  // Cell (i, j) = the match of candidate i against candidate j, with its
  // inverse in (j, i).
  int32_t fill_matrix(qx_session *session, const qx_verifier_interface *verifier,
                      int32_t option) {
    const int32_t far = option ? kFarWithIslandOption : kFarDefault;
    for (int32_t i = 1; i < n_; ++i) {
      for (int32_t j = 0; j < i; ++j) {
        qx_match *match = nullptr;
        const int32_t rc = match_pair(list_[i], list_[j], session, verifier, far, &match);
        if (rc != QX_RC_OK) return rc;
        matrix_[static_cast<size_t>(i) * n_ + j] = match;
        qx_match *inverse = qx_match_create_inverse(match);
        if (inverse == nullptr) return QX_RC_NO_MEMORY;
        matrix_[static_cast<size_t>(j) * n_ + i] = inverse;
      }
    }
    return QX_RC_OK;
  }

  int32_t size() const { return n_; }
  int32_t existing() const { return existing_; }
  qx_template **templates() const { return pointers_.get(); }
  qx_match **matrix() const { return matrix_.get(); }

 private:
  static int32_t match_pair(const Candidate &a, const Candidate &b, qx_session *session,
                            const qx_verifier_interface *verifier, int32_t far,
                            qx_match **out) {
    if (a.existing && b.existing) {
      // Stored geometry: instances of one island are tied by their
      // alignments to its top, instances of different islands by nothing.
      const bool same_island = a.island != kNoIsland && a.island == b.island;
      qx_alignment *rel = same_island ? qx_alignment_difference(b.to_top, a.to_top)
                                      : qx_alignment_create_identity();
      if (rel == nullptr) return QX_RC_NO_MEMORY;
      *out = qx_match_create(a.tpl, b.tpl, same_island ? kSameIslandScore : 0,
                             same_island ? 1 : 0, rel);
      qx_alignment_delete(rel);
      return *out != nullptr ? QX_RC_OK : QX_RC_NO_MEMORY;
    }
    uint16_t score = 0;
    int32_t decision = 0;
    qx_alignment *alignment = nullptr;
    const int32_t rc = verifier->get_similarity_score(session, a.tpl, b.tpl, far, &score,
                                                      &decision, &alignment, nullptr, nullptr);
    if (rc != QX_RC_OK) {
      qx_alignment_delete(alignment);
      return rc;
    }
    if (alignment == nullptr) alignment = qx_alignment_create_identity();
    *out = alignment != nullptr
               ? qx_match_create(a.tpl, b.tpl, score, decision == 1 ? 1 : 0, alignment)
               : nullptr;
    qx_alignment_delete(alignment);
    return *out != nullptr ? QX_RC_OK : QX_RC_NO_MEMORY;
  }

  qx::Buffer<Candidate> list_;
  qx::Buffer<qx_match *> matrix_;
  qx::Buffer<qx_template *> pointers_;
  int32_t n_ = 0;
  int32_t existing_ = 0;
};

// Change code of a rebuild, from what the new multi-template holds.
int32_t change_of_rebuild(const qx_multitemplate *mt, const Candidates &c) {
  bool new_main = false;
  bool new_secondary = false;
  int32_t existing_kept = 0;
  for (const qx_mt_instance *in = mt->first; in != nullptr; in = in->next) {
    bool is_new = false;
    for (int32_t i = c.existing(); i < c.size(); ++i) is_new = is_new || c.templates()[i] == in->tpl;
    if (!is_new) {
      ++existing_kept;
    } else if (qx_multitemplate_instance_is_main(mt, in->tag)) {
      new_main = true;
    } else {
      new_secondary = true;
    }
  }
  if (new_main) return QX_MTM_CHANGE_MAIN;
  if (new_secondary) return QX_MTM_CHANGE_SECONDARY;
  if (existing_kept < c.existing()) return QX_MTM_CHANGE_REDUCED;
  return QX_MTM_NO_CHANGE;
}

int32_t enroll_rebuild(qx_multitemplate_manager *m, qx_template **templates, int32_t count,
                       qx_session *session, const qx_verifier_interface *verifier,
                       int32_t option, int32_t *change) {
  if (verifier == nullptr || verifier->get_similarity_score == nullptr) {
    return QX_RC_BAD_ARGUMENT;
  }
  Candidates c;
  int32_t rc = c.collect(m->mt, templates, count);
  if (rc == QX_RC_OK) rc = c.fill_matrix(session, verifier, option);
  if (rc != QX_RC_OK) return rc;
  // The manager's multi-template is replaced below; its instances' templates
  // stay alive through the matches that hold them.
  const uint8_t max_before = m->max_templates;
  rc = qx_mtm_enroll_templates_from_match_matrix(m, c.templates(), c.size(), c.matrix(), option);
  if (rc != QX_RC_OK) return rc;
  *change = m->max_templates != max_before ? QX_MTM_CHANGE_REDUCED : change_of_rebuild(m->mt, c);
  return QX_RC_OK;
}

// A multi-template holding the picks, with the global records of `old`.
int32_t build_from_picks(const qx_multitemplate *old, qx_template **templates, const qx_subtemplate_pick *picks,
                         int32_t nbr_picks, int32_t island_option, qx_multitemplate **out) {
  *out = nullptr;
  qx_multitemplate *mt = qx_multitemplate_create();
  if (mt == nullptr) return QX_RC_NO_MEMORY;
  int32_t rc = QX_RC_OK;
  for (const qx_mt_record *rec = old->global; rc == QX_RC_OK && rec != nullptr; rec = rec->next) {
    qx_mt_record *copy = qx_mt::new_record(rec->key, rec->data, rec->length);
    if (copy == nullptr) rc = QX_RC_NO_MEMORY; else qx_mt::put_record(&mt->global, copy, false);
  }
  for (int32_t i = 0; rc == QX_RC_OK && i < nbr_picks; ++i) {
    int32_t tag = 0;
    rc = qx_multitemplate_add_instance_no_tag(mt, templates[picks[i].index], &tag);
    if (rc == QX_RC_OK) {
      const bool secondary = island_option && picks[i].island != 0;
      rc = qx_multitemplate_set_instance_alignment(mt, tag, picks[i].alignment, secondary);
    }
    if (rc == QX_RC_OK) {
      rc = qx_multitemplate_set_instance_island(mt, tag, static_cast<uint8_t>(picks[i].island));
    }
  }
  if (rc != QX_RC_OK) {
    qx_multitemplate_delete(mt);
    return rc;
  }
  *out = mt;
  return QX_RC_OK;
}

}  // namespace

extern "C" {

int32_t qx_mtm_enroll_templates_from_match_matrix(qx_multitemplate_manager *manager,
                                                  qx_template **templates, int32_t count,
                                                  qx_match **matrix, int32_t island_option) {
  if (manager == nullptr || count < 0 || (count > 0 && (templates == nullptr || matrix == nullptr))) {
    return QX_RC_BAD_ARGUMENT;
  }
  uint8_t max = manager->max_templates;
  for (;;) {
    if (max == 0) return QX_RC_CAPACITY_FULL;
    qx_subtemplate_pick *picks = nullptr;
    int32_t nbr_picks = 0;
    int32_t rc = qx_subtemplate_choose(templates, count, matrix, max, &picks, &nbr_picks);
    qx_multitemplate *mt = nullptr;
    if (rc == QX_RC_OK) {
      rc = build_from_picks(manager->mt, templates, picks, nbr_picks, island_option, &mt);
    }
    qx_subtemplate_picks_free(picks, nbr_picks);
    if (rc != QX_RC_OK) return rc;
    if (manager->max_size != 0 && qx_multitemplate_encode_size(mt) > manager->max_size) {
      // Too large: one subtemplate fewer, and the manager keeps that maximum.
      qx_multitemplate_delete(mt);
      --max;
      continue;
    }
    manager->max_templates = max;
    qx_mtm::replace_multitemplate(manager, mt);
    return QX_RC_OK;
  }
}

int32_t qx_multitemplate_manager_enroll_templates(qx_multitemplate_manager *manager,
                                                  qx_template **templates, int32_t count,
                                                  qx_session *session,
                                                  const qx_verifier_interface *verifier,
                                                  int32_t option, int32_t *change,
                                                  qx_finger *finger) {
  (void)finger;  // the choice does not depend on whose finger it is
  if (change != nullptr) *change = QX_MTM_NO_CHANGE;
  if (manager == nullptr || change == nullptr || count < 0 ||
      (count > 0 && templates == nullptr)) {
    return QX_RC_BAD_ARGUMENT;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (templates[i] == nullptr) return QX_RC_BAD_ARGUMENT;
  }
  if (!manager->update_allowed) return QX_RC_OK;
  if (manager->incremental) {
    // Undo a partial addition when memory runs out, so that a failure
    // leaves the multi-template as it was.
    const int32_t before = manager->mt->count;
    const int32_t rc = enroll_incremental(manager, templates, count, change);
    if (rc == QX_RC_NO_MEMORY) {
      while (manager->mt->count > before) {
        qx_multitemplate_remove_instance(manager->mt, manager->mt->last->tag);
      }
      *change = QX_MTM_NO_CHANGE;
    }
    return rc;
  }
  return enroll_rebuild(manager, templates, count, session, verifier, option, change);
}

int32_t qx_multitemplate_manager_decision_from_score(
    const qx_multitemplate_manager *manager, const qx_verifier_interface *verifier,
    qx_session *session, const void *reserved, uint16_t score, int32_t far_index,
    int32_t *decision, uint16_t *threshold, const qx_vermodel *models) {
  (void)reserved;
  if (decision != nullptr) *decision = 0;
  if (threshold != nullptr) *threshold = 65535;
  if (manager == nullptr || verifier == nullptr) return QX_RC_BAD_ARGUMENT;
  return qx_verifier_decision_from_score(verifier, session, score,
                                         qx_multitemplate_manager_get_nbr_of_templates(manager),
                                         far_index, decision, threshold, models);
}

int32_t qx_multitemplate_manager_verify_template(
    qx_multitemplate_manager *manager, const qx_verifier_interface *verifier,
    qx_session *session, qx_template *probe, int32_t far_index, uint16_t *score,
    int32_t *decision, qx_alignment **alignment, const void *reserved, int32_t *change,
    qx_finger *finger) {
  return qx_mtm_verify_template(manager, verifier, session, probe, far_index, score, decision,
                                alignment, reserved, change, finger);
}

}  // extern "C"
