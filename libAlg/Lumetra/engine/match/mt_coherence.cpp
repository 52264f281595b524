// Coherence state of one enrolled multi-template during a chain walk, and
// the 24 feature scores measured from the probe's placed footprints.
#include "engine/match/mt_coherence.h"

#include <algorithm>

#include "engine/formats/hybrid_record.h"
#include "engine/match/qx_polygon.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

struct qx_mtcoher_entry {
  qx_alignment *placement;        // the probe in the island frame (owned)
  qx_alignment *island_alignment; // the candidate to its island top (retained)
  uint16_t score;                 // link score / 10
  int16_t island;
  int32_t filled;
};

struct qx_mtcoher {
  int32_t count;
  qx_mtcoher_entry *entries;
  // The coherence model and a one-record list around it, the list the
  // decision reads its threshold table from.
  qx_vermodel model_list[2];
};

namespace {

const qx_vermodel *coherence_model(const qx_session *session,
                                   const qx_verifier_interface *verifier,
                                   const qx_vermodel *models) {
  const qx_vermodel *list = nullptr;
  if (qx_verifier_models_of_call(session, models, &list) != QX_RC_OK) return nullptr;
  const qx_vermodel *m =
      qx_verifierI_get_vermodel(list, verifier, QX_MTCOHER_NBR_SCORES, QX_MTCOHER_MODEL_KEY);
  if (m == nullptr || m->quadratic == nullptr || m->thresholds == nullptr) return nullptr;
  return m;
}

void clear_entry(qx_mtcoher_entry &e) {
  qx_alignment_delete(e.placement);
  qx_alignment_delete(e.island_alignment);
  e = qx_mtcoher_entry{};
}

uint16_t clamp16(int64_t v) {
  return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 65535));
}

// Measurements of one same-island other against the best entry.
struct OtherMeasure {
  uint16_t score, overlap, agreement, triple;
  bool coherent;
};

struct Extreme {
  bool set = false;
  int64_t key = 0;
  OtherMeasure m{};
  // Strict comparison: the first entry reaching an extreme stays.
  void offer_high(int64_t k, const OtherMeasure &v) {
    if (!set || k > key) { set = true; key = k; m = v; }
  }
  void offer_low(int64_t k, const OtherMeasure &v) {
    if (!set || k < key) { set = true; key = k; m = v; }
  }
  void write(uint16_t *out) const {
    if (!set) return;
    out[0] = m.score;
    out[1] = m.overlap;
    out[2] = m.agreement;
    out[3] = m.triple;
  }
};

}  // namespace

extern "C" {

int32_t qx_mtcoher_supported(const qx_session *session, const qx_verifier_interface *verifier,
                             const qx_vermodel *models, int32_t island) {
  if (island == 255) return 0;
  return coherence_model(session, verifier, models) != nullptr ? 1 : 0;
}

qx_mtcoher *qx_mtcoher_create(const qx_session *session, int32_t nbr_entries,
                              const qx_verifier_interface *verifier, const qx_vermodel *models) {
  const qx_vermodel *m = coherence_model(session, verifier, models);
  if (m == nullptr || nbr_entries < 0) return nullptr;
  auto *state = static_cast<qx_mtcoher *>(qx_calloc(1, sizeof(qx_mtcoher)));
  if (state == nullptr) return nullptr;
  state->entries = static_cast<qx_mtcoher_entry *>(
      qx_calloc(static_cast<size_t>(std::max(nbr_entries, 1)), sizeof(qx_mtcoher_entry)));
  if (state->entries == nullptr) {
    qx_free(state);
    return nullptr;
  }
  state->count = nbr_entries;
  state->model_list[0] = *m;
  state->model_list[1] = qx_vermodel{};
  return state;
}

void qx_mtcoher_delete(qx_mtcoher *state) {
  if (state == nullptr) return;
  for (int32_t i = 0; i < state->count; ++i) clear_entry(state->entries[i]);
  qx_free(state->entries);
  qx_free(state);
}

int32_t qx_mtcoher_get_nbr_of_entries(const qx_mtcoher *state) {
  return state != nullptr ? state->count : 0;
}

const qx_vermodel *qx_mtcoher_get_model_list(const qx_mtcoher *state) {
  return state != nullptr ? state->model_list : nullptr;
}

int32_t qx_mtcoher_fill_data(qx_mtcoher *state, int32_t index,
                             const qx_alignment *island_alignment,
                             const qx_alignment *match_alignment, uint16_t link_score,
                             int32_t island) {
  if (state == nullptr || index < 0 || index >= state->count) return QX_RC_OK;
  qx_mtcoher_entry &e = state->entries[index];
  clear_entry(e);
  qx_alignment *identity = nullptr;
  if (island_alignment == nullptr || match_alignment == nullptr) {
    identity = qx_alignment_create_identity();
    if (identity == nullptr) return QX_RC_NO_MEMORY;
  }
  const qx_alignment *isl = island_alignment != nullptr ? island_alignment : identity;
  const qx_alignment *mat = match_alignment != nullptr ? match_alignment : identity;
  // The island alignment first, then the match: a probe point goes back
  // through the match into the candidate, then through the candidate's
  // alignment into the island's top.
  e.placement = qx_alignment_combine(isl, mat);
  e.island_alignment = island_alignment != nullptr
                           ? qx_alignment_retain(const_cast<qx_alignment *>(island_alignment))
                           : qx_alignment_retain(identity);
  qx_alignment_delete(identity);
  if (e.placement == nullptr || e.island_alignment == nullptr) {
    clear_entry(e);
    return QX_RC_NO_MEMORY;
  }
  e.score = static_cast<uint16_t>(link_score / 10);
  e.island = static_cast<int16_t>(island);
  e.filled = 1;
  return QX_RC_OK;
}

void qx_mtcoher_probe_size(const qx_template *probe, int32_t *rows, int32_t *cols) {
  int32_t r = QX_MTCOHER_DEFAULT_SIZE, c = QX_MTCOHER_DEFAULT_SIZE;
  const uint8_t *d = qx_template_get_data(probe);
  const uint32_t n = qx_template_get_data_size(probe);
  if (d != nullptr && qx_template_get_type(probe) == QX_TEMPLATE_SPECTRAL) {
    // Short layout: block size, row offset, rows, column offset, columns;
    // the long layout puts four bytes (0, 0, length) in front of it.
    const uint32_t at = (n >= 9 && d[0] == 0 && d[1] == 0) ? 4u : 0u;
    if (n >= at + 5 && (d[at] & 0x0F) != 0 && d[at + 2] != 0 && d[at + 4] != 0) {
      r = (d[at] & 0x0F) * d[at + 2];
      c = (d[at] & 0x0F) * d[at + 4];
    }
  } else if (d != nullptr) {
    int32_t br = 0, bc = 0;
    if (qx_hybrid_get_dimensions(d, n, &br, &bc, nullptr) == QX_RC_OK && br > 0 && bc > 0) {
      r = br;
      c = bc;
    }
  }
  if (rows != nullptr) *rows = r;
  if (cols != nullptr) *cols = c;
}

int32_t qx_mtcoher_get_feature_scores(const qx_mtcoher *state, const qx_template *probe,
                                      uint16_t **scores, int32_t entry) {
  if (scores != nullptr) *scores = nullptr;
  if (state == nullptr || scores == nullptr || entry < 0 || entry >= state->count ||
      !state->entries[entry].filled)
    return QX_RC_BAD_ARGUMENT;
  auto *out = static_cast<uint16_t *>(qx_calloc(QX_MTCOHER_NBR_SCORES, sizeof(uint16_t)));
  if (out == nullptr) return QX_RC_NO_MEMORY;

  int32_t rows = 0, cols = 0;
  qx_mtcoher_probe_size(probe, &rows, &cols);
  const int64_t unit = std::max<int64_t>(1, static_cast<int64_t>(rows) * cols / 100);
  auto percent = [unit](const qx_polygon &p) { return qx_polygon_area_floor(&p) / unit; };

  const qx_mtcoher_entry &en = state->entries[entry];
  qx_polygon sn, pn, in;
  qx_polygon_place_rectangle(en.island_alignment, cols, rows, &sn);
  qx_polygon_place_rectangle(en.placement, cols, rows, &pn);
  qx_polygon_intersect_convex(&sn, &pn, &in);

  int64_t k = 0, sum_o = 0, sum_g = 0, sum_s = 0, sum_gs = 0;
  uint16_t highest_any = 0;
  Extreme by_score, by_overlap, by_agreement, by_triple;
  for (int32_t i = 0; i < state->count; ++i) {
    const qx_mtcoher_entry &e = state->entries[i];
    if (i == entry || !e.filled) continue;
    highest_any = std::max(highest_any, e.score);
    if (e.island != en.island) continue;

    qx_polygon si, pi, si_pn;
    qx_polygon_place_rectangle(e.island_alignment, cols, rows, &si);
    qx_polygon_intersect_convex(&si, &pn, &si_pn);
    OtherMeasure m{};
    m.score = e.score;
    m.overlap = clamp16(percent(si_pn));
    m.coherent = m.overlap > QX_MTCOHER_COHERENT_OVERLAP;
    m.agreement = 0;
    m.triple = QX_MTCOHER_NO_OVERLAP;
    if (m.coherent) {
      qx_polygon_place_rectangle(e.placement, cols, rows, &pi);
      qx_polygon pi_pn;
      qx_polygon_intersect_convex(&pi, &pn, &pi_pn);
      m.agreement = clamp16(percent(pi_pn));
      if (in.count > 2) {
        qx_polygon t;
        qx_polygon_intersect_convex(&si_pn, &in, &t);
        m.triple = clamp16(percent(t));
      }
      ++k;
      sum_o += m.overlap;
      sum_g += m.agreement;
      sum_s += m.score;
      sum_gs += static_cast<int64_t>(m.agreement) * m.score / 100;
    }
    by_score.offer_high(m.score, m);
    by_overlap.offer_high(m.overlap, m);
    by_agreement.offer_high(m.agreement, m);
    by_triple.offer_low(m.triple, m);
  }

  out[0] = en.score;
  out[1] = k > 0 ? 1 : 0;
  out[2] = clamp16(k);
  if (k > 0) {
    out[3] = clamp16(sum_o / k);
    out[4] = clamp16(sum_g / k);
    out[5] = clamp16(sum_s / k);
    out[6] = clamp16(sum_gs / k);
  }
  out[7] = highest_any;
  by_score.write(out + 8);
  by_overlap.write(out + 12);
  by_agreement.write(out + 16);
  by_triple.write(out + 20);
  *scores = out;
  return QX_RC_OK;
}

int32_t qx_mtcoher_threshold_table(qx_session *, int32_t, int32_t, const uint16_t **table,
                                   const qx_vermodel *models) {
  if (table != nullptr) *table = nullptr;
  if (table == nullptr || models == nullptr || models->verifier == nullptr ||
      models->thresholds == nullptr)
    return QX_RC_CONTEXT_NOT_FOUND;
  *table = models->thresholds;
  return QX_RC_OK;
}

const qx_verifier_interface qx_mtcoher_verifier = {
    nullptr, nullptr, qx_mtcoher_threshold_table, nullptr, nullptr, nullptr,
};

}  // extern "C"
