// init_nerio_algorithm and uninit_nerio_algorithm: building the engine's
// algorithm for the configured sensor, and releasing what the library
// holds.
#include <cstring>

#include "api/enrollment.h"
#include "api/state.h"
#include "engine/image/qx_image.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_template.h"
#include "lumetra.h"

using lumetra::api::g_state;
using lumetra::api::kResolutionDpi;

namespace {

constexpr int kDefaultMaxSubtemplates = 32;
constexpr const char *kFamily = "ehm";

// The blank sensor image only serves to classify the sensor's size, which
// needs its geometry, not its pixels.  Its zero pixels are therefore
// produced only if somebody asks for them, so that an oversized geometry
// never costs a huge allocation before it is refused.
int decode_blank(void *, uint8_t *pixels, uint16_t rows, uint16_t cols) {
  std::memset(pixels, 0, static_cast<std::size_t>(rows) * cols);
  return 0;
}

const qx_image_decoder kBlankDecoder = {decode_blank, nullptr};

// Sensor-size code of the configured sensor, or -1 when no image of that
// geometry can be made (zero, negative or more than 65535 rows or columns,
// or no memory).
int sensor_size_code() {
  const int rows = g_state.params.sensor_row;
  const int cols = g_state.params.sensor_col;
  qx_image *blank = qx_image_create_lazy(rows, cols, kResolutionDpi, kResolutionDpi,
                                         &kBlankDecoder, nullptr, 0);
  if (blank == nullptr) return -1;
  const int code = qx_image_get_sensor_size(blank);
  qx_image_delete(blank);
  return code;
}

void release_slot_templates() {
  for (qx_template *&slot : g_state.engine.slot_template) {
    qx_template_delete(slot);
    slot = nullptr;
  }
}

}  // namespace

extern "C" {

int init_nerio_algorithm(void) {
  g_state.params.dyn_update_flg = 1;

  const int code = sensor_size_code();
  if (code < 0) return -1;
  const qx_config_builder builder = qx_config_lookup(kFamily, code, 0);
  if (builder == nullptr) return -1;

  // The new algorithm has a session of its own, so it can be built while
  // the earlier one still exists; the earlier one is released either way.
  qx_algorithm *alg = builder(nullptr);
  // An open enrollment belongs to the algorithm it was opened with.
  lumetra::api::end_enrollment_session();
  qx_algorithm_delete(g_state.engine.algorithm);
  g_state.engine.algorithm = alg;
  if (alg == nullptr) return -1;

  // Only the low 8 bits count.  A value whose low 8 bits are 0 (256, 512)
  // would allow no subtemplate at all and so an enrollment that can never
  // be saved: it means the default, as 0 does.
  const uint8_t wanted = static_cast<uint8_t>(g_state.params.max_nbr_subtemplate & 0xFF);
  qx_algorithm_get_config(alg)->max_nbr_subtemplates =
      wanted != 0 ? wanted : kDefaultMaxSubtemplates;

  // The slot store keeps its bytes; the host loads them again.
  release_slot_templates();
  return 0;
}

void uninit_nerio_algorithm(void) {
  release_slot_templates();
  // The enrollment session cannot be continued without its algorithm.
  lumetra::api::end_enrollment_session();
  qx_image_delete(g_state.engine.enroll_canvas);
  g_state.engine.enroll_canvas = nullptr;
  qx_algorithm_delete(g_state.engine.algorithm);
  g_state.engine.algorithm = nullptr;
}

}  // extern "C"
