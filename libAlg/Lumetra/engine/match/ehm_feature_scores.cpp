// The 30 feature scores of a hybrid comparison and the similarity score
// built on them.  The minutiae matcher runs first on the two compact
// cards; its alignment either fixes the one position at which the
// spectral matcher scores the two block fields, or only seeds a search;
// both results, the two image qualities and how far the two alignments
// agree make up the vector.
#include <cstdint>

#include "engine/formats/qx_template_convert.h"
#include "engine/image/fixed_math.h"
#include "engine/match/ehm_verifier.h"
#include "engine/match/ehm_verifier_internal.h"
#include "engine/match/linked_cluster.h"
#include "engine/match/probe_parts.h"
#include "engine/match/spectral_match.h"
#include "engine/objects/qx_alignment.h"
#include "engine/objects/qx_session.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace {

// Rotation modes of the minutiae matcher: auxiliary values always, the
// full rotation range when the session's 360 state is on.
constexpr int kMinutiaeModeLimited = LC_ROTATION_AUX;
constexpr int kMinutiaeModeFull = LC_ROTATION_AUX | LC_ROTATION_FULL;
// The minutiae matcher's alignment is in card units of 0.1 mm.
constexpr int32_t kCardToPixelsNum = 197, kCardToPixelsDen = 100;
// The hybrid verifier never lets the spectral search stop early.
constexpr int32_t kSpectralLevel = 0;
constexpr int32_t kMinutiaeAux = 8;
// Vector values 1..8 are the minutiae record's values 3..10 (after score,
// count and status): vector[i] = record[i + kRecordOffset].
constexpr int32_t kRecordOffset = 2;

// Engine bytes released on scope exit.
struct Bytes {
  uint8_t *data = nullptr;
  uint32_t size = 0;
  Bytes() = default;
  Bytes(const Bytes &) = delete;
  Bytes &operator=(const Bytes &) = delete;
  ~Bytes() { qx_free(data); }
};

// The compact card of one template: converted here, or kept for the
// comparisons of a verification by the session's probe scope.
struct Card {
  Bytes own;
  const uint8_t *data = nullptr;
  uint32_t size = 0;
};

int32_t card_of(qx_session *session, const qx_template *tpl, Card *card) {
  qx::KeptPart kept;
  switch (qx::kept_card(session, tpl, &kept)) {
    case qx::Kept::kYes:
      card->data = kept.data;
      card->size = kept.size;
      return QX_RC_OK;
    case qx::Kept::kNoMemory:
      return QX_RC_NO_MEMORY;
    case qx::Kept::kNo:
      break;
  }
  const int32_t rc =
      qx_template_convert(tpl, QX_TEMPLATE_ISO_COMPACT_CARD, &card->own.data, &card->own.size);
  card->data = card->own.data;
  card->size = card->own.size;
  return rc;
}

// The spectral feature set of one template, in two steps where the
// comparison always took them (the spectral part first, its conversion to
// a feature set after the minutiae match), so that a template that fails
// fails with the same code; or kept by the session's probe scope.
struct Features {
  Bytes part, own;
  qx::KeptPart kept;
  bool is_kept = false;
  const uint8_t *data = nullptr;
  uint32_t size = 0;
  int32_t y = 0, x = 0;
};

int32_t spectral_part_of(qx_session *session, const qx_template *tpl, Features *f) {
  switch (qx::kept_features(session, tpl, false, &f->kept)) {
    case qx::Kept::kYes:
      f->is_kept = true;
      return QX_RC_OK;
    case qx::Kept::kNoMemory:
      return QX_RC_NO_MEMORY;
    case qx::Kept::kNo:
      break;
  }
  return qx_template_convert(tpl, QX_TEMPLATE_SPECTRAL, &f->part.data, &f->part.size);
}

qx_rc features_of(Features *f) {
  if (f->is_kept) {
    f->data = f->kept.data;
    f->size = f->kept.size;
    f->y = f->kept.y_offset;
    f->x = f->kept.x_offset;
    return QX_RC_OK;
  }
  const qx_rc rc = qx_fusion_spectral_to_matcher(f->part.data, f->part.size, &f->own.data,
                                                 &f->own.size, &f->y, &f->x, nullptr, nullptr,
                                                 0);
  f->data = f->own.data;
  f->size = f->own.size;
  return rc;
}

// Minutiae alignment after the unit conversion.
struct MinutiaeAlignment {
  uint8_t rotation = 0;
  int32_t dx = 0, dy = 0;
};

// A spectral part that does not convert is bad data; running out of
// memory while converting stays an out-of-memory failure.
int32_t conversion_failure(int rc) {
  return rc == QX_RC_NO_MEMORY ? QX_RC_NO_MEMORY : QX_RC_BAD_DATA;
}

int32_t minutiae_status_ok(uint16_t status) {
  return status == LC_STATUS_SCORE || status == LC_STATUS_AUX;
}
int32_t spectral_status_ok(uint16_t status) {
  return status == QX_SPECTRAL_STATUS_ACCEPTED || status == QX_SPECTRAL_STATUS_WRITTEN;
}

// The alignment reported to the caller: the minutiae alignment when the
// spectral match was scored there, else the spectral matcher's own.
qx_alignment *output_alignment(uint32_t flags, const MinutiaeAlignment &m,
                               const qx_spectral_alignment &s) {
  if ((flags & QX_SPECTRAL_AT_ALIGNMENT) != 0)
    return qx_alignment_create(static_cast<int16_t>(m.dx), static_cast<int16_t>(m.dy),
                               m.rotation);
  if (s.precise != 0)
    return qx_alignment_create_prec(s.dx, s.dy, s.rotation, s.prec_dx, s.prec_dy,
                                    s.prec_rotation);
  return qx_alignment_create(s.dx, s.dy, s.rotation);
}

}  // namespace

extern "C" {

int32_t qx_ehm_extract_feature_scores(qx_session *session, qx_template *a, qx_template *b,
                                      uint16_t **scores, uint8_t *count,
                                      qx_alignment **alignment) {
  if (scores != nullptr) *scores = nullptr;
  if (count != nullptr) *count = 0;
  if (alignment != nullptr) *alignment = nullptr;
  if (scores == nullptr || count == nullptr || a == nullptr || b == nullptr)
    return QX_RC_BAD_ARGUMENT;
  const int32_t sensor_size = qx_session_get_sensor_size(session);
  if (sensor_size == 0) return QX_RC_BAD_ARGUMENT;
  const bool full_rotation = qx_session_get_360_state(session) != 0;

  // The two parts of each template the matchers read.
  Card card_a, card_b;
  Features features_a, features_b;
  int32_t rc = card_of(session, a, &card_a);
  if (rc == QX_RC_OK) rc = card_of(session, b, &card_b);
  if (rc == QX_RC_OK) rc = spectral_part_of(session, a, &features_a);
  if (rc == QX_RC_OK) rc = spectral_part_of(session, b, &features_b);
  if (rc != QX_RC_OK) return rc;

  // Minutiae: A enrolled, B probe.
  uint16_t minutiae[LC_RESULT_VALUES] = {};
  minutiae[1] = LC_RESULT_COUNT;
  lc_alignment lc = {};
  rc = linked_cluster_match_iso_compact_card(card_a.data, card_a.size, card_b.data, card_b.size,
                                             minutiae, 0, nullptr, &lc,
                                             full_rotation ? kMinutiaeModeFull
                                                           : kMinutiaeModeLimited);
  if (rc != LC_OK) return qx_rc_convert_from_qxi(rc);
  MinutiaeAlignment m;
  m.rotation = lc.rotation;
  m.dx = lc.dx * kCardToPixelsNum / kCardToPixelsDen;
  m.dy = lc.dy * kCardToPixelsNum / kCardToPixelsDen;

  // Spectral: both fields as matcher features, with their grid origins.
  rc = features_of(&features_a);
  if (rc == QX_RC_OK) rc = features_of(&features_b);
  if (rc != QX_RC_OK) return conversion_failure(rc);
  const int32_t ya = features_a.y, xa = features_a.x, yb = features_b.y, xb = features_b.x;

  const uint32_t flags =
      qx_ehm_spectral_search_flags(session, minutiae[kRecordOffset + QX_EHM_SCORE_PAIRED_MINUTIAE]);
  const uint32_t work_size = qx_spectral_match_required_mem(
      features_a.data, features_a.size, features_b.data, features_b.size, flags);
  if (work_size == 0) return QX_RC_FAILED;
  qx::Buffer<uint8_t> work;
  if (!work.alloc(work_size)) return QX_RC_NO_MEMORY;

  // Start position: A's grid origin carried through the minutiae
  // alignment, relative to B's grid origin.
  const int32_t cr = cos_(m.rotation), sr = sin_(m.rotation);
  qx_spectral_alignment start = {};
  start.rotation = m.rotation;
  start.dx = static_cast<int16_t>(((cr * xa - sr * ya) >> 14) + m.dx - xb);
  start.dy = static_cast<int16_t>(((sr * xa + cr * ya) >> 14) + m.dy - yb);
  qx_spectral_result spectral = {};
  spectral.count = QX_SPECTRAL_RESULT_COUNT;
  rc = qx_spectral_match(work.get(), work_size, features_a.data, features_a.size,
                         features_b.data, features_b.size, kSpectralLevel, &spectral, nullptr,
                         &start, flags);
  if (rc != QX_RC_OK) return QX_RC_FAILED;

  const int32_t quality_a = qx_ehm_get_image_quality(a, nullptr, nullptr);
  const int32_t quality_b = qx_ehm_get_image_quality(b, nullptr, nullptr);
  if (!minutiae_status_ok(minutiae[2]) || !spectral_status_ok(spectral.status))
    return QX_RC_FAILED;

  qx::Buffer<uint16_t> vector;
  if (!vector.alloc(QX_EHM_NBR_FEATURE_SCORES)) return QX_RC_NO_MEMORY;
  uint16_t *v = vector.get();
  v[QX_EHM_SCORE_MINUTIAE] = minutiae[0];
  for (int32_t i = 1; i <= kMinutiaeAux; ++i) v[i] = minutiae[i + kRecordOffset];
  v[QX_EHM_SCORE_SPECTRAL] =
      qx_ehm_normalise_spectral_score(spectral.score, quality_a, quality_b);
  for (int32_t i = 0; i < QX_SPECTRAL_AUX_COUNT; ++i)
    v[QX_EHM_SCORE_SPECTRAL + 1 + i] = spectral.aux[i];
  qx_ehm_consistency_values(v, m.dx, m.dy, m.rotation, start.dx, start.dy, start.rotation,
                            quality_a, quality_b);

  if (alignment != nullptr) {
    *alignment = output_alignment(flags, m, start);
    if (*alignment == nullptr) return QX_RC_NO_MEMORY;
  }
  *scores = vector.release();
  *count = QX_EHM_NBR_FEATURE_SCORES;
  return QX_RC_OK;
}

int32_t qx_ehm_get_similarity_score(qx_session *session, qx_template *a, qx_template *b,
                                    int32_t far_index, uint16_t *score, int32_t *decision,
                                    qx_alignment **alignment, qx_template **updated,
                                    const qx_vermodel *models) {
  return lumetra::ehm::similarity_score(&ehm_verifier, session, a, b, far_index, score,
                                        decision, alignment, updated, models);
}

int32_t qx_ehmhr_get_similarity_score(qx_session *session, qx_template *a, qx_template *b,
                                      int32_t far_index, uint16_t *score, int32_t *decision,
                                      qx_alignment **alignment, qx_template **updated,
                                      const qx_vermodel *models) {
  return lumetra::ehm::similarity_score(&ehmhr_verifier, session, a, b, far_index, score,
                                        decision, alignment, updated, models);
}

}  // extern "C"

namespace lumetra::ehm {

int32_t similarity_score(const qx_verifier_interface *verifier, qx_session *session,
                         qx_template *a, qx_template *b, int32_t far_index, uint16_t *score,
                         int32_t *decision, qx_alignment **alignment, qx_template **updated,
                         const qx_vermodel *models) {
  if (score != nullptr) *score = 0;
  if (decision != nullptr) *decision = 0;
  if (alignment != nullptr) *alignment = nullptr;
  if (updated != nullptr) *updated = nullptr;
  if (a != nullptr && qx_template_get_type(a) == QX_TEMPLATE_MULTITEMPLATE)
    return multitemplate_similarity(verifier, session, a, b, far_index, score, decision,
                                    alignment, updated);
  if (score == nullptr) return QX_RC_BAD_ARGUMENT;

  uint16_t *vector = nullptr;
  uint8_t count = 0;
  qx_alignment *found = nullptr;
  int32_t rc = qx_ehm_extract_feature_scores(session, a, b, &vector, &count,
                                             alignment != nullptr ? &found : nullptr);
  if (rc == QX_RC_OK)
    rc = verify_feature_scores(verifier, session, vector, count, far_index, score, decision,
                               models);
  qx_feature_scores_free(vector);
  if (rc != QX_RC_OK) {
    // A failed comparison reports nothing.
    qx_alignment_delete(found);
    *score = 0;
    if (decision != nullptr) *decision = 0;
    return rc;
  }
  if (alignment != nullptr) *alignment = found;
  return QX_RC_OK;
}

}  // namespace lumetra::ehm
