// The cheetah stage of the hybrid chains: two cheap values from the
// orientation and frequency histograms of the two templates (the spectral
// quick match), used to pre-select subtemplates before the full hybrid
// comparison.  It never decides by itself.
#include <cstdint>

#include "engine/formats/qx_template_convert.h"
#include "engine/match/ehm_verifier.h"
#include "engine/match/ehm_verifier_internal.h"
#include "engine/match/probe_parts.h"
#include "engine/match/spectral_match.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace {

// Quick-match features of one template: a spectral template's own bytes,
// or its spectral part converted without the fine field.
class QuickFeatures {
 public:
  QuickFeatures() = default;
  QuickFeatures(const QuickFeatures &) = delete;
  QuickFeatures &operator=(const QuickFeatures &) = delete;
  ~QuickFeatures() { qx_free(owned_); }

  void use(const qx_template *tpl) {
    data_ = qx_template_get_data(tpl);
    size_ = qx_template_get_data_size(tpl);
  }
  // 0; 3 when the template has no spectral part that converts; 9.  The
  // set the session's probe scope keeps for the template, if any, is
  // taken as it is.
  int32_t convert(qx_session *session, const qx_template *tpl) {
    qx::KeptPart kept;
    switch (qx::kept_features(session, tpl, true, &kept)) {
      case qx::Kept::kYes:
        data_ = kept.data;
        size_ = kept.size;
        return QX_RC_OK;
      case qx::Kept::kNoMemory:
        return QX_RC_NO_MEMORY;
      case qx::Kept::kNo:
        break;
    }
    uint8_t *part = nullptr;
    uint32_t part_size = 0;
    int rc = qx_template_convert(tpl, QX_TEMPLATE_SPECTRAL, &part, &part_size);
    if (rc == QX_RC_OK) {
      rc = qx_fusion_spectral_to_matcher(part, part_size, &owned_, &size_, nullptr, nullptr,
                                         nullptr, nullptr, 1);
      qx_free(part);
    }
    // Out of memory stays out of memory; anything else is a template
    // without a usable spectral part.
    if (rc != QX_RC_OK) return rc == QX_RC_NO_MEMORY ? QX_RC_NO_MEMORY : QX_RC_BAD_DATA;
    data_ = owned_;
    return QX_RC_OK;
  }
  const uint8_t *data() const { return data_; }
  uint32_t size() const { return size_; }

 private:
  uint8_t *owned_ = nullptr;
  const uint8_t *data_ = nullptr;
  uint32_t size_ = 0;
};

// The two quick-match values of a against b.
int32_t quick_match(qx_session *session, qx_template *a, qx_template *b, uint16_t values[2]) {
  values[0] = values[1] = 0;
  if (a == nullptr || b == nullptr) return QX_RC_BAD_ARGUMENT;
  QuickFeatures fa, fb;
  if (qx_template_get_type(a) == QX_TEMPLATE_SPECTRAL &&
      qx_template_get_type(b) == QX_TEMPLATE_SPECTRAL) {
    fa.use(a);
    fb.use(b);
  } else {
    int32_t rc = fa.convert(session, a);
    if (rc == QX_RC_OK) rc = fb.convert(session, b);
    if (rc != QX_RC_OK) return rc;
  }
  if (qx_spectral_quick_match(fa.data(), fa.size(), fb.data(), fb.size(), values) != QX_RC_OK)
    return QX_RC_FAILED;
  return QX_RC_OK;
}

}  // namespace

extern "C" {

int32_t qx_cheetah_extract_feature_scores(qx_session *session, qx_template *a, qx_template *b,
                                          uint16_t **scores, uint8_t *count,
                                          qx_alignment **alignment) {
  if (scores != nullptr) *scores = nullptr;
  if (count != nullptr) *count = 0;
  if (alignment != nullptr) *alignment = nullptr;
  if (scores == nullptr || count == nullptr) return QX_RC_BAD_ARGUMENT;
  uint16_t values[2];
  const int32_t rc = quick_match(session, a, b, values);
  if (rc != QX_RC_OK) return rc;
  qx::Buffer<uint16_t> vector;
  if (!vector.alloc(QX_CHEETAH_NBR_FEATURE_SCORES)) return QX_RC_NO_MEMORY;
  vector[0] = values[0];
  vector[1] = values[1];
  *scores = vector.release();
  *count = QX_CHEETAH_NBR_FEATURE_SCORES;
  return QX_RC_OK;
}

int32_t qx_cheetah_get_similarity_score(qx_session *session, qx_template *a, qx_template *b,
                                        int32_t far_index, uint16_t *score, int32_t *decision,
                                        qx_alignment **alignment, qx_template **updated,
                                        const qx_vermodel *) {
  if (score != nullptr) *score = 0;
  if (decision != nullptr) *decision = 0;
  if (alignment != nullptr) *alignment = nullptr;
  if (updated != nullptr) *updated = nullptr;
  if (a != nullptr && qx_template_get_type(a) == QX_TEMPLATE_MULTITEMPLATE)
    return lumetra::ehm::multitemplate_similarity(&cheetah_verifier, session, a, b, far_index,
                                                  score, decision, alignment, updated);
  if (score == nullptr) return QX_RC_BAD_ARGUMENT;
  uint16_t values[2];
  const int32_t rc = quick_match(session, a, b, values);
  if (rc == QX_RC_OK) *score = values[0];
  return rc;
}

int32_t qx_cheetah_verify_feature_scores(qx_session *, qx_template *, qx_template *,
                                         const uint16_t *scores, uint8_t count, int32_t,
                                         uint16_t *score, int32_t *decision,
                                         const qx_vermodel *) {
  if (score != nullptr) *score = 0;
  if (decision != nullptr) *decision = 0;
  if (count != QX_CHEETAH_NBR_FEATURE_SCORES) return QX_RC_FAILED;
  if (score == nullptr) return QX_RC_OK;
  if (scores == nullptr) return QX_RC_BAD_ARGUMENT;
  *score = static_cast<uint16_t>(scores[0] + 2 * scores[1]);
  return QX_RC_OK;
}

}  // extern "C"
