// Single-shot image services: grading a sensor image or a bitmap file,
// enhancing a sensor image in place, and converting a bitmap file into
// raw pixels.
#include <cstdint>
#include <cstring>

#include "api/grading_bitmap.h"
#include "api/state.h"
#include "engine/formats/bmp_convert.h"
#include "engine/image/enhance.h"
#include "engine/image/local_contrast.h"
#include "engine/image/quality.h"
#include "engine/image/qx_image.h"
#include "engine/objects/qx_session.h"
#include "engine/qx_buffer.hpp"
#include "lumetra.h"

using lumetra::api::g_state;
using lumetra::api::kResolutionDpi;
using lumetra::api::kImpressionType;

namespace {

// Strength of the contrast boost that finishes the enhancement export.
constexpr float kContrastStrength = 0.8f;
// Result of the file-grading export on any failure.
constexpr int kGradeFailed = 1;
// Pixels past a bitmap smaller than the sensor image: background white.
constexpr uint8_t kBackground = 255;

qx_image *sensor_image(const unsigned char *pixels) {
  if (pixels == nullptr || lumetra::api::sensor_image_bytes() <= 0) return nullptr;
  return qx_image_create(g_state.params.sensor_row, g_state.params.sensor_col, kResolutionDpi,
                         kResolutionDpi, pixels, kImpressionType);
}

// Grades a sensor image through a session, as every grading export does.
int grade_sensor_image(const unsigned char *pixels, fp_image_quality_t *record) {
  qx_session *session = qx_session_create();
  if (session == nullptr) return -1;
  qx_image *image = sensor_image(pixels);
  qx_quality *quality = nullptr;
  const qx_rc rc = image != nullptr ? qx_compute_quality_500(nullptr, image, &quality) : QX_RC_NO_MEMORY;
  int result = -1;
  if (rc == QX_RC_OK && quality != nullptr) {
    record->image_quality = qx_quality_get_image_quality(quality);
    record->area = qx_quality_get_area(quality);
    record->condition = qx_quality_get_condition(quality);
    result = 0;
  }
  qx_quality_delete(quality);
  qx_image_delete(image);
  qx_session_delete(session);
  return result;
}

}  // namespace

extern "C" {

int get_fp_image_quality(const unsigned char *pixels, fp_image_quality_t *quality) {
  if (quality == nullptr) return -1;
  *quality = fp_image_quality_t{};
  return grade_sensor_image(pixels, quality);
}

int nerio_get_image_quality(const char *path) {
  if (path == nullptr) return kGradeFailed;
  const int capacity = lumetra::api::sensor_image_bytes();
  if (capacity <= 0) return kGradeFailed;
  qx::Buffer<uint8_t> buffer;
  if (!buffer.alloc(static_cast<size_t>(capacity))) return kGradeFailed;
  std::memset(buffer.get(), kBackground, buffer.size());
  int width = 0, height = 0;
  if (lumetra::api::read_grading_bitmap(path, buffer.get(), buffer.size(), &width, &height) != 0)
    return kGradeFailed;
  fp_image_quality_t record{};
  if (grade_sensor_image(buffer.get(), &record) != 0) return kGradeFailed;
  return record.image_quality;
}

int nerio_qx_ImageEnhance(unsigned char *pixels, int width, int height) {
  // The host's buffer holds one sensor image and nothing more: a size that
  // does not fit in it is refused before anything is read or written, so
  // that every step below stays within those bytes.
  const int sensor_bytes = lumetra::api::sensor_image_bytes();
  if (pixels == nullptr || width <= 0 || height <= 0 || sensor_bytes <= 0 ||
      static_cast<int64_t>(width) * height > sensor_bytes)
    return -1;
  qx_image *image = sensor_image(pixels);
  if (image == nullptr) return -1;
  qx_image *enhanced = nullptr;
  const qx_rc rc = enhance_image(nullptr, image, &enhanced);
  qx_image_delete(image);
  const uint8_t *result = rc == QX_RC_OK ? qx_image_get_pixels(enhanced) : nullptr;
  if (result == nullptr) {
    qx_image_delete(enhanced);
    return -1;
  }
  // The enhanced image has the sensor image's size, which holds width x height.
  std::memcpy(pixels, result, static_cast<size_t>(width) * static_cast<size_t>(height));
  qx_image_delete(enhanced);
  return local_contrast_enhance(pixels, width, height, kContrastStrength);
}

}  // extern "C"

namespace {

// The bitmap file as raw pixels (engine memory, *pixels released with
// qxbmp_free), or false with *width and *height 0.  A bitmap with a side
// beyond the sensor ceiling is no sensor image and is not converted.
bool convert_bitmap(const char *path, unsigned char **pixels, unsigned int *width,
                    unsigned int *height) {
  if (qxbmp_bmpfile_to_buffer(path, pixels, width, height) != QX_RC_OK) return false;
  if (*width > static_cast<unsigned>(lumetra::api::kMaxSensorSide) ||
      *height > static_cast<unsigned>(lumetra::api::kMaxSensorSide)) {
    qxbmp_free(*pixels);
    *pixels = nullptr;
    *width = *height = 0;
    return false;
  }
  return true;
}

constexpr int kBitmapFailed = -1;
constexpr int kBitmapCopied = 0;
constexpr int kBitmapBufferTooSmall = 1;

}  // namespace

extern "C" {

int get_bmp_buff(const char *path, unsigned char *pixels, unsigned int *width, unsigned int *height) {
  if (width == nullptr || height == nullptr) return kBitmapFailed;
  *width = *height = 0;
  if (path == nullptr || pixels == nullptr) return kBitmapFailed;
  unsigned char *converted = nullptr;
  if (!convert_bitmap(path, &converted, width, height)) return kBitmapFailed;
  // The caller promises a buffer of the whole bitmap (see get_bmp_buff_n).
  std::memcpy(pixels, converted, static_cast<size_t>(*width) * *height);
  qxbmp_free(converted);
  return kBitmapCopied;
}

int get_bmp_buff_n(const char *path, unsigned char *pixels, size_t capacity, unsigned int *width,
                   unsigned int *height) {
  if (width == nullptr || height == nullptr) return kBitmapFailed;
  *width = *height = 0;
  if (path == nullptr) return kBitmapFailed;
  unsigned char *converted = nullptr;
  if (!convert_bitmap(path, &converted, width, height)) return kBitmapFailed;
  const size_t needed = static_cast<size_t>(*width) * *height;
  int result = kBitmapBufferTooSmall;
  if (pixels != nullptr && capacity >= needed) {
    std::memcpy(pixels, converted, needed);
    result = kBitmapCopied;
  }
  qxbmp_free(converted);
  return result;
}

}  // extern "C"
