#include "api/state.h"

#include <cstring>
#include <limits>

#include "api/lumetra_tools.h"
#include "engine/image/qx_image.h"
#include "engine/objects/qx_algorithm.h"

namespace lumetra::api {

constinit State g_state{};

static_assert(kMaxSensorSide == LUMETRA_MAX_SENSOR_SIDE);
static_assert(LUMETRA_MAX_FAR == LUMETRA_TOOLS_MAX_FAR);

namespace {

bool side_usable(std::int32_t side) { return side >= 1 && side <= kMaxSensorSide; }

// The blank sensor image only serves to classify the sensor's size, which
// needs its geometry, not its pixels.  Its pixels are therefore produced
// only if somebody asks for them.
int decode_blank(void *, uint8_t *pixels, uint16_t rows, uint16_t cols) {
  std::memset(pixels, 0, static_cast<std::size_t>(rows) * cols);
  return 0;
}

const qx_image_decoder kBlankDecoder = {decode_blank, nullptr};

}  // namespace

qx_image *create_sensor_image(const unsigned char *pixels) {
  if (pixels == nullptr || sensor_image_bytes() <= 0) return nullptr;
  return qx_image_create(g_state.params.sensor_row, g_state.params.sensor_col, kResolutionDpi,
                         kResolutionDpi, pixels, kImpressionType);
}

int sensor_pixel_count() {
  const std::int64_t n = static_cast<std::int64_t>(g_state.params.sensor_row) *
                         static_cast<std::int64_t>(g_state.params.sensor_col);
  if (n < 0 || n > std::numeric_limits<int>::max()) return -1;
  return static_cast<int>(n);
}

int sensor_image_bytes() {
  const std::int32_t rows = g_state.params.sensor_row, cols = g_state.params.sensor_col;
  if (rows < 0 || cols < 0 || rows > kMaxSensorSide || cols > kMaxSensorSide) return -1;
  return rows * cols;
}

int sensor_size_code() {
  const std::int32_t rows = g_state.params.sensor_row, cols = g_state.params.sensor_col;
  if (!side_usable(rows) || !side_usable(cols)) return -1;
  qx_image *blank = qx_image_create_lazy(rows, cols, kResolutionDpi, kResolutionDpi,
                                         &kBlankDecoder, nullptr, 0);
  if (blank == nullptr) return -1;
  const int code = qx_image_get_sensor_size(blank);
  qx_image_delete(blank);
  return code;
}

bool sensor_served() {
  const qx_algorithm *alg = g_state.engine.algorithm;
  if (alg == nullptr) return false;
  const int code = sensor_size_code();
  return code > 0 && code == qx_algorithm_get_sensor_size(alg);
}

}  // namespace lumetra::api
