// Enrolment into the compact neighbourhood structure, verification of a
// probe card against it, and the two entries that do both in memory.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "engine/match/linked_cluster_stages.h"
#include "engine/qx_buffer.hpp"

namespace {

// Below this score a match between cards of different origin (one with
// quality bytes, one without) is tried again with re-estimated directions.
constexpr int kRetryBelow = 403;

int memory_write(uint8_t *destination, const uint8_t *source, uint32_t length) {
  std::memmove(destination, source, length);
  return 0;
}

// The match state sits in the work object, aligned for its 32-bit fields.
lc_match_state *state_in(uint8_t *work, uint32_t work_size) {
  static_assert(sizeof(lc_match_state) + alignof(lc_match_state) <= LC_VERIFY_WORK_SIZE,
                "the match state must fit into the smallest work object");
  void *p = work;
  std::size_t space = work_size;
  if (std::align(alignof(lc_match_state), sizeof(lc_match_state), p, space) == nullptr)
    return nullptr;
  return new (p) lc_match_state;
}

// The record of one minutia: neighbour count, relative directions in
// increasing neighbour index, neighbour set.
void build_record(const lc_minutia *m, int n, int c, uint8_t *rec) {
  std::memset(rec, 0, LC_RECORD_SIZE);
  uint8_t idx[LC_MAX_NEIGHBOURS];
  const int k = lc_select_neighbours(m, n, c, idx);
  rec[0] = static_cast<uint8_t>(k);
  for (int t = 0; t < k; ++t) {
    const lc_minutia &o = m[idx[t]];
    rec[1 + t] = static_cast<uint8_t>(m[c].angle - lc_direction(&m[c], &o));
    rec[1 + LC_MAX_NEIGHBOURS + idx[t] / 8] |= static_cast<uint8_t>(1u << (idx[t] % 8));
  }
}

void write_result(uint16_t *result, const lc_outcome &o, int rotation_mode) {
  if (result == nullptr) return;
  result[0] = o.score;
  if (result[2] != 0) return;
  if ((rotation_mode & LC_ROTATION_AUX) && result[1] == LC_RESULT_COUNT) {
    for (int i = 0; i < 8; ++i) result[3 + i] = o.aux[i];
    result[2] = LC_STATUS_AUX;
  } else {
    result[2] = LC_STATUS_SCORE;
  }
}

}  // namespace

extern "C" int qx_moc_enroll(uint8_t *work, uint32_t work_size, const uint8_t *card,
                             uint32_t card_length, uint8_t *enrolled, uint32_t enrolled_size,
                             uint32_t *used_size, qx_moc_write_fn write) {
  if (used_size != nullptr) *used_size = 0;
  if (work == nullptr || work_size < LC_ENROLL_WORK_SIZE) return LC_ERR_WORK_SIZE;
  if (enrolled == nullptr || enrolled_size < LC_ENROLLED_SIZE) {
    if (used_size != nullptr) *used_size = LC_ENROLLED_SIZE;
    return LC_ERR_ENROLLED_SIZE;
  }
  if (write == nullptr || used_size == nullptr) return LC_ERR_ARGUMENT;
  lc_minutia m[LC_MAX_MINUTIAE];
  int n = 0, quality = 0;
  const int rc = lc_prune(card, card_length, LC_MAX_MINUTIAE, m, &n, &quality);
  if (rc != LC_OK) return rc;

  // Header: count, 64 slots (unused ones zero), quality-present flag.
  uint8_t *stage = work;
  std::memset(stage, 0, LC_HEADER_SIZE);
  stage[0] = static_cast<uint8_t>(n);
  for (int i = 0; i < n; ++i) {
    stage[1 + 4 * i] = m[i].x;
    stage[2 + 4 * i] = m[i].y;
    stage[3 + 4 * i] = m[i].angle;
    stage[4 + 4 * i] = m[i].quality;
  }
  stage[1 + 4 * LC_MAX_MINUTIAE] = static_cast<uint8_t>(quality);
  if (write(enrolled, stage, LC_HEADER_SIZE) != 0) return LC_ERR_WRITE;

  // Records, staged in the work object and written in batches of up to 64.
  const int batch = std::min<int>(LC_MAX_MINUTIAE, static_cast<int>(work_size / LC_RECORD_SIZE));
  for (int first = 0; first < n; first += batch) {
    const int count = std::min(batch, n - first);
    for (int i = 0; i < count; ++i) build_record(m, n, first + i, stage + LC_RECORD_SIZE * i);
    if (write(enrolled + LC_HEADER_SIZE + LC_RECORD_SIZE * first, stage,
              static_cast<uint32_t>(LC_RECORD_SIZE * count)) != 0)
      return LC_ERR_WRITE;
  }
  *used_size = static_cast<uint32_t>(LC_HEADER_SIZE + LC_RECORD_SIZE * n);
  return LC_OK;
}

extern "C" int qx_moc_verify(uint8_t *work, uint32_t work_size, const uint8_t *enrolled,
                             const uint8_t *probe, uint32_t probe_length, uint16_t *result,
                             int far_level, int *decision, lc_alignment *alignment,
                             int rotation_mode) {
  if (decision != nullptr) *decision = 0;
  if (alignment != nullptr) *alignment = lc_alignment{0, 0, 0};
  if (result != nullptr) result[0] = 0;
  if (work == nullptr || work_size < LC_VERIFY_WORK_SIZE) return LC_ERR_WORK_SIZE;
  if (decision != nullptr && (far_level < 1 || far_level > 12)) return LC_ERR_ARGUMENT;
  if (enrolled == nullptr) return LC_ERR_ARGUMENT;
  lc_match_state *state = state_in(work, work_size);
  if (state == nullptr) return LC_ERR_WORK_SIZE;

  lc_side es, ps;  // about 6.5 KiB each
  if (lc_side_from_enrolled(&es, enrolled) != LC_OK) return LC_ERR_STRUCTURE;

  lc_minutia m[LC_MAX_MINUTIAE];
  int n = 0, quality = 0;
  const int rc = lc_prune(probe, probe_length, LC_MAX_MINUTIAE, m, &n, &quality);
  if (rc != LC_OK) return rc;
  lc_side_from_minutiae(&ps, m, n, quality);

  const int tolerance = (rotation_mode & LC_ROTATION_FULL) ? 128 : 32;
  lc_outcome best;
  lc_match(&es, &ps, tolerance, state, &best);
  lc_alignment align;
  lc_alignment_of_pairs(&es, &ps, state, &align);

  if (es.quality_present != ps.quality_present && best.score < kRetryBelow && n > 0) {
    lc_reestimate_directions(m, n);
    lc_side_from_minutiae(&ps, m, n, quality);
    lc_outcome again;
    if (lc_match(&es, &ps, tolerance, state, &again) > best.score) {
      best = again;
      lc_alignment_of_pairs(&es, &ps, state, &align);
    }
  }

  write_result(result, best, rotation_mode);
  if (alignment != nullptr) *alignment = align;
  if (decision != nullptr)
    *decision = best.score >= lc_threshold(far_level, rotation_mode & LC_ROTATION_FULL) ? 1 : 0;
  return LC_OK;
}

extern "C" int linked_cluster_match_iso_compact_card(const uint8_t *card_a, uint32_t length_a,
                                                     const uint8_t *card_b, uint32_t length_b,
                                                     uint16_t *result, int mode, int *decision,
                                                     lc_alignment *alignment,
                                                     int rotation_mode) {
  if (decision != nullptr) *decision = 0;
  if (alignment != nullptr) *alignment = lc_alignment{0, 0, 0};
  if (result != nullptr) result[0] = 0;
  qx::Buffer<uint8_t> work, enrolled;
  if (!work.alloc(LC_WORK_OBJECT_SIZE) || !enrolled.alloc(LC_ENROLLED_SIZE))
    return LC_ERR_NO_MEMORY;
  uint32_t used = 0;
  const int rc = qx_moc_enroll(work.get(), LC_WORK_OBJECT_SIZE, card_a, length_a, enrolled.get(),
                               LC_ENROLLED_SIZE, &used, memory_write);
  if (rc != LC_OK) return rc;
  return qx_moc_verify(work.get(), LC_WORK_OBJECT_SIZE, enrolled.get(), card_b, length_b, result,
                       mode, decision, alignment, rotation_mode);
}

extern "C" int linked_cluster_match_iso_compact_card_score(const uint8_t *card_a,
                                                           uint32_t length_a,
                                                           const uint8_t *card_b,
                                                           uint32_t length_b, uint16_t *result,
                                                           int mode, int rotation_mode) {
  return linked_cluster_match_iso_compact_card(card_a, length_a, card_b, length_b, result, mode,
                                               nullptr, nullptr, rotation_mode);
}
