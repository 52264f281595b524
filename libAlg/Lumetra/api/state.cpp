#include "api/state.h"

#include <limits>

namespace lumetra::api {

constinit State g_state{};

int sensor_pixel_count() {
  const std::int64_t n = static_cast<std::int64_t>(g_state.params.sensor_row) *
                         static_cast<std::int64_t>(g_state.params.sensor_col);
  if (n < 0 || n > std::numeric_limits<int>::max()) return -1;
  return static_cast<int>(n);
}

}  // namespace lumetra::api
