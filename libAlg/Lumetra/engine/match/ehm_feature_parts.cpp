// The pieces of the hybrid feature scores that do not run a matcher: the
// templates' image quality, the spectral score's quality normalisation,
// the spectral search flags and the consistency values 26..29.
#include <array>
#include <cstdint>

#include "engine/formats/hybrid_record.h"
#include "engine/image/fixed_math.h"
#include "engine/match/ehm_verifier.h"
#include "engine/match/spectral_match.h"
#include "engine/objects/qx_session.h"
#include "engine/qx_sensor.h"

namespace {

constexpr int32_t kMaxQuality = 100;
// The spectral score is normalised to the divisor of quality 86 and never
// divided by the divisor of a quality below 60.
constexpr int32_t kLowestNormalisedQuality = 60;
constexpr int32_t kNormalisedDivisor = 232;
// Image size assumed for a template without an image-dimension block.
constexpr uint16_t kDefaultImageSide = 192;
// More paired minutiae than this: the minutiae alignment is trusted for
// scoring the spectral match on the sizes that otherwise search.
constexpr int32_t kTrustedPairs = 7;

// round(25 x sqrt(q)) = round(sqrt(625 q)): the r with
// (2r - 1)^2 <= 2500 q < (2r + 1)^2.
constexpr std::array<int32_t, kMaxQuality + 1> make_divisors() {
  std::array<int32_t, kMaxQuality + 1> d{};
  for (int32_t q = 0; q <= kMaxQuality; ++q) {
    int32_t r = 0;
    while ((2 * r + 1) * (2 * r + 1) <= 2500 * q) ++r;
    d[static_cast<std::size_t>(q)] = r;
  }
  return d;
}
constexpr auto kDivisors = make_divisors();
static_assert(kDivisors[60] == 194 && kDivisors[86] == 232 && kDivisors[100] == 250);

uint16_t clamp16(uint64_t v) { return v > 65535 ? 65535 : static_cast<uint16_t>(v); }

}  // namespace


extern "C" {

int32_t qx_ehm_quality_divisor(int32_t quality) {
  return quality >= 0 && quality <= kMaxQuality ? kDivisors[static_cast<std::size_t>(quality)]
                                                : 0;
}

int32_t qx_ehm_get_image_quality(const qx_template *tpl, uint16_t *rows, uint16_t *cols) {
  if (rows != nullptr) *rows = kDefaultImageSide;
  if (cols != nullptr) *cols = kDefaultImageSide;
  if (tpl == nullptr) return 0;
  int32_t r = 0, c = 0;
  uint8_t quality = 0;
  if (qx_hybrid_get_dimensions(qx_template_get_data(tpl), qx_template_get_data_size(tpl), &r, &c,
                               &quality) != QX_RC_OK)
    return 0;
  if (rows != nullptr) *rows = static_cast<uint16_t>(r);
  if (cols != nullptr) *cols = static_cast<uint16_t>(c);
  // A stored value above 100 is not a quality this library writes.
  return quality <= kMaxQuality ? quality : 0;
}

uint16_t qx_ehm_normalise_spectral_score(uint16_t score, int32_t quality_a, int32_t quality_b) {
  int32_t q = quality_a > quality_b ? quality_a : quality_b;
  if (q < kLowestNormalisedQuality) q = kLowestNormalisedQuality;
  if (q > kMaxQuality) return score;
  return clamp16(static_cast<uint64_t>(score) * kNormalisedDivisor /
                 static_cast<uint64_t>(kDivisors[static_cast<std::size_t>(q)]));
}

uint32_t qx_ehm_spectral_search_flags(const qx_session *session, int32_t paired) {
  const int32_t code = qx_session_get_sensor_size(session);
  const bool full_rotation = qx_session_get_360_state(session) != 0;
  const bool full_search = qx_session_get_int(session, QX_PROP_EHM_FSEARCH, 0) != 0 ||
                           qx_session_get_int(session, QX_PROP_SPECTRAL_FULLSEARCH, 0) != 0;
  uint32_t flags = 0;
  // Small sensors (and any sensor when asked) search for the spectral
  // alignment unless the minutiae matcher paired enough minutiae.
  if ((code >= QX_SENSOR_SQUARE_M && code <= QX_SENSOR_RECT_S) || full_search) {
    if (paired > kTrustedPairs) flags |= QX_SPECTRAL_AT_ALIGNMENT;
  } else {
    flags |= QX_SPECTRAL_AT_ALIGNMENT;
  }
  if (code != QX_SENSOR_SWIPE && code != QX_SENSOR_SQUARE_XL) flags |= QX_SPECTRAL_SMALL_SENSOR;
  if (qx_session_get_int(session, QX_PROP_SPECTRAL_HR_RANGE, 1) != 0)
    flags |= QX_SPECTRAL_WIDE_FINE;
  if (full_rotation) {
    if ((code == QX_SENSOR_RECT_M || code == QX_SENSOR_RECT_S) &&
        (flags & QX_SPECTRAL_AT_ALIGNMENT) == 0)
      flags |= QX_SPECTRAL_SQUARE_CANVAS;
    flags |= QX_SPECTRAL_FULL_ROTATION;
  }
  return flags | QX_SPECTRAL_AUX_VALUES | QX_SPECTRAL_RAW_SCORE;
}

void qx_ehm_consistency_values(uint16_t *scores, int32_t minutiae_dx, int32_t minutiae_dy,
                               uint8_t minutiae_rotation, int32_t spectral_dx,
                               int32_t spectral_dy, uint8_t spectral_rotation,
                               int32_t quality_a, int32_t quality_b) {
  const bool both_found =
      scores[QX_EHM_SCORE_MINUTIAE] != 0 && scores[QX_EHM_SCORE_SPECTRAL] != 0;
  uint16_t translation = 0, rotation = 0;
  if (both_found) {
    const int64_t ddx = static_cast<int64_t>(minutiae_dx) - spectral_dx;
    const int64_t ddy = static_cast<int64_t>(minutiae_dy) - spectral_dy;
    const uint64_t square = static_cast<uint64_t>(ddx * ddx + ddy * ddy);
    translation = square > UINT32_MAX ? 65535 : clamp16(sqrt_32(static_cast<uint32_t>(square)));
    const int32_t diff = static_cast<int8_t>(static_cast<uint8_t>(minutiae_rotation -
                                                                  spectral_rotation));
    rotation = static_cast<uint16_t>(diff < 0 ? -diff : diff);
  }
  scores[QX_EHM_SCORE_TRANSLATION_DIFF] = translation;
  scores[QX_EHM_SCORE_ROTATION_DIFF] = rotation;
  const int32_t diff = quality_a - quality_b;
  scores[QX_EHM_SCORE_QUALITY_DIFF] = clamp16(static_cast<uint64_t>(diff < 0 ? -diff : diff));
  const int32_t best = quality_a > quality_b ? quality_a : quality_b;
  scores[QX_EHM_SCORE_QUALITY_GAP] =
      best >= kMaxQuality ? 0
                          : static_cast<uint16_t>(sqrt_32(
                                64u * static_cast<uint32_t>(kMaxQuality - (best < 0 ? 0 : best))));
}

}  // extern "C"
