// nerio_get_score_from_two_image_compare: the similarity of two fingerprint
// bitmap files, each taken as a sensor image, through the algorithm built
// at initialisation.
#include <cstdint>
#include <cstring>

#include "api/grading_bitmap.h"
#include "api/state.h"
#include "engine/image/qx_image.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"
#include "lumetra.h"

using lumetra::api::g_state;
using lumetra::api::kResolutionDpi;
using lumetra::api::kImpressionType;

namespace {

// Result of the export on any failure.
constexpr int kCompareFailed = 1;
// The sensor geometry is not one the configuration serves (changed after
// init): told apart from a score.
constexpr int kWrongArgument = -1;
// Pixels past a bitmap smaller than the sensor image: background white.
constexpr uint8_t kBackground = 255;

// Reads a bitmap file into a sensor-sized buffer; false on any failure.
bool read_sensor_bitmap(const char *path, qx::Buffer<uint8_t> &buffer, int capacity) {
  if (!buffer.alloc(static_cast<size_t>(capacity))) return false;
  std::memset(buffer.get(), kBackground, buffer.size());
  int width = 0, height = 0;
  return lumetra::api::read_grading_bitmap(path, buffer.get(), buffer.size(), &width, &height) ==
         lumetra::api::kGradingBitmapOk;
}

// Extracts the template of a sensor image held in `pixels`; *tpl stays
// none when the image cannot be made or nothing is extracted.
int32_t extract(qx_algorithm *alg, const uint8_t *pixels, qx_template **tpl) {
  *tpl = nullptr;
  qx_image *image = qx_image_create(g_state.params.sensor_row, g_state.params.sensor_col,
                                    kResolutionDpi, kResolutionDpi, pixels, kImpressionType);
  if (image == nullptr) return QX_RC_NO_MEMORY;
  qx_image_mr_weak(image);
  const int32_t rc = qx_algorithm_extract_template(alg, image, qx_finger_static_zero(), tpl);
  qx_image_delete(image);
  return rc;
}

}  // namespace

extern "C" {

int nerio_get_score_from_two_image_compare(const char *path1, const char *path2) {
  if (path1 == nullptr || path2 == nullptr) return kCompareFailed;
  qx_algorithm *alg = g_state.engine.algorithm;
  if (alg == nullptr) return kCompareFailed;
  if (!lumetra::api::sensor_served()) return kWrongArgument;
  const int capacity = lumetra::api::sensor_image_bytes();
  if (capacity <= 0) return kCompareFailed;
  qx::Buffer<uint8_t> first, second;
  if (!read_sensor_bitmap(path1, first, capacity) || !read_sensor_bitmap(path2, second, capacity))
    return kCompareFailed;

  qx_template *t1 = nullptr, *t2 = nullptr;
  extract(alg, first.get(), &t1);
  const int32_t last_rc = extract(alg, second.get(), &t2);
  int result = 0;
  if (t1 != nullptr && t2 != nullptr) {
    uint16_t score = 0;
    int32_t decision = 0;
    const int32_t rc = qx_algorithm_get_similarity_score(
        alg, t1, t2, static_cast<int32_t>(g_state.params.far_val), &score, &decision, nullptr,
        nullptr);
    result = rc == QX_RC_OK ? score : kCompareFailed;
  } else {
    // No comparison: a failure when the extraction that ran last reported
    // one, otherwise a score of 0.
    result = last_rc != QX_RC_OK ? kCompareFailed : 0;
  }
  qx_template_delete(t1);
  qx_template_delete(t2);
  return result;
}

}  // extern "C"
