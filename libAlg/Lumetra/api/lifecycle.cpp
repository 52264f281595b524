// init_nerio_algorithm and uninit_nerio_algorithm: building the engine's
// algorithm for the configured sensor, and releasing what the library
// holds.
#include "api/enrollment.h"
#include "api/slots.h"
#include "api/state.h"
#include "engine/image/qx_image.h"
#include "engine/match/qx_config.h"
#include "engine/objects/qx_algorithm.h"
#include "engine/objects/qx_template.h"
#include "lumetra.h"

using lumetra::api::g_state;

namespace {

constexpr int kDefaultMaxSubtemplates = 32;
constexpr const char *kFamily = "ehm";

void release_slot_templates() {
  for (int slot = 0; slot < lumetra::api::kSlotCount; ++slot) lumetra::api::release_tpl_slot(slot);
}

}  // namespace

extern "C" {

int init_nerio_algorithm(void) {
  g_state.params.dyn_update_flg = 1;

  const int code = lumetra::api::sensor_size_code();
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
  qx_algorithm_config *config = qx_algorithm_get_config(alg);
  config->max_nbr_subtemplates = wanted != 0 ? wanted : kDefaultMaxSubtemplates;
  // An enrolled template goes into a slot: its encoding is kept within the
  // slot's data area (finalize drops subtemplates until it fits), so that
  // an enrollment that reached its progress can always be saved.  The
  // limit travels in the template, so that its updates keep to it too.
  const int32_t limit = static_cast<int32_t>(lumetra::api::kSlotCapacity);
  if (config->enroll_param[2] <= 0 || config->enroll_param[2] > limit)
    config->enroll_param[2] = limit;

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
