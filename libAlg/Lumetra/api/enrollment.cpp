// The enrollment session: nerio_qx_enroll_Image opens it with its first
// image and adds every further one; nerio_qx_save_tpl turns the captures
// into one template and writes it into a slot; nerio_qx_cancel_enroll
// discards it.
#include "api/enrollment.h"

#include <cstdint>

#include "api/slots.h"
#include "api/state.h"
#include "engine/image/qx_image.h"
#include "engine/objects/qx_finger.h"
#include "engine/objects/qx_multitemplate_enroll.h"
#include "engine/objects/qx_template.h"
#include "engine/qx_rc.h"
#include "lumetra.h"

using lumetra::api::g_state;

namespace {

constexpr int kTaken = 0;
constexpr int kRefused = 1;
constexpr int kSaved = 0;
constexpr int kNothingToSave = 1;
constexpr int kSlotRefused = -1;

// Callback table handed to the engine.  The library keeps only the last
// event (its low 8 bits, for get_nerio_alg_info); island reports go back
// to the engine to be freed.
constexpr int32_t kKeep = 0;
constexpr int32_t kHandBack = 1;

int32_t on_event(qx_session *, uint16_t event, qx_finger *) {
  g_state.params.enroll_event = static_cast<uint8_t>(event & 0xFF);
  return kKeep;
}
int32_t on_island_report(qx_session *, qx_enroll_island_report *, int32_t) { return kHandBack; }
int32_t on_canvas(qx_session *, qx_image *) { return kKeep; }
int32_t on_reserved(qx_session *) { return kHandBack; }
int32_t on_capture_count(qx_session *, int32_t, int32_t) { return kHandBack; }

const qx_enroll_callbacks kCallbacks = {on_event, on_island_report, on_canvas, on_reserved,
                                        on_capture_count};

void close_session() {
  qx_multitemplate_enroll_delete(g_state.engine.enroll_session);
  g_state.engine.enroll_session = nullptr;
}

}  // namespace

namespace lumetra::api {

void end_enrollment_session() { close_session(); }

}  // namespace lumetra::api

extern "C" {

int nerio_qx_enroll_Image(const unsigned char *pixels, int /*unused*/, int continue_only,
                          unsigned char *progress) {
  qx_algorithm *alg = g_state.engine.algorithm;
  if (alg == nullptr || pixels == nullptr) return kRefused;
  if (g_state.engine.enroll_session == nullptr) {
    if (continue_only != 0) return kRefused;
    g_state.engine.enroll_session = qx_multitemplate_enroll_create_algorithm(
        alg, qx_finger_static_zero(), &kCallbacks, nullptr);
    if (g_state.engine.enroll_session == nullptr) return kRefused;
  }
  qx_image *image = lumetra::api::create_sensor_image(pixels);
  // An image that cannot be made is dropped; the host sees no progress.
  if (image == nullptr) return kTaken;
  qx_image_mr_soft(image);
  // The engine's result is not passed on: the host learns the progress.
  qx_multitemplate_enroll_run(g_state.engine.enroll_session, image,
                              &g_state.params.enroll_progress);
  qx_image_delete(image);
  if (progress != nullptr) *progress = g_state.params.enroll_progress;
  return kTaken;
}

int nerio_qx_save_tpl(int index, tpl_record *record) {
  if (index < 0 || index >= lumetra::api::kSlotCount) return kSlotRefused;
  qx_algorithm *alg = g_state.engine.algorithm;
  if (g_state.engine.enroll_session == nullptr || alg == nullptr) return kNothingToSave;
  // The new template replaces the slot's in-memory one; the sector is
  // written below only when a template was built.
  lumetra::api::release_tpl_slot(index);
  const int32_t rc = qx_multitemplate_enroll_finalize_template_algorithm(
      alg, g_state.engine.enroll_session, &g_state.engine.slot_template[index]);
  close_session();
  g_state.params.enroll_progress = 0;
  qx_template *built = g_state.engine.slot_template[index];
  if (rc != QX_RC_OK || built == nullptr) {
    lumetra::api::release_tpl_slot(index);
    return kNothingToSave;
  }
  lumetra::api::note_slot_sizes(index);
  return lumetra::api::program_tpl_slot(built, index, record) == 0 ? kSaved : kSlotRefused;
}

int nerio_qx_cancel_enroll(void) {
  close_session();
  g_state.params.enroll_progress = 0;
  return 0;
}

void nerio_SetEnrollmentTipsEn(void * /*unused*/) {}

// The second name of the same entry point.
void nerio_enrollment_duplicatecheck_en(void *)
    __attribute__((alias("nerio_SetEnrollmentTipsEn"), visibility("default")));

}  // extern "C"
