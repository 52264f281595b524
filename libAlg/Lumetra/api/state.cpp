#include "api/state.h"

#include <limits>

#include "engine/image/qx_image.h"

namespace lumetra::api {

constinit State g_state{};

qx_image *create_sensor_image(const unsigned char *pixels) {
  return qx_image_create(g_state.params.sensor_row, g_state.params.sensor_col, kResolutionDpi,
                         kResolutionDpi, pixels, kImpressionType);
}

int sensor_pixel_count() {
  const std::int64_t n = static_cast<std::int64_t>(g_state.params.sensor_row) *
                         static_cast<std::int64_t>(g_state.params.sensor_col);
  if (n < 0 || n > std::numeric_limits<int>::max()) return -1;
  return static_cast<int>(n);
}

}  // namespace lumetra::api
