// Parameter setters and getters, the enrollment progress query and the
// version text.  Setters store what they are given, cut to the width of
// the parameter; the false-accept level alone is validated (a level the
// threshold tables do not hold would accept or reject everyone).  Getters
// given a null pointer write nothing.
#include <cstring>

#include "api/state.h"
#include "lumetra.h"

using lumetra::api::g_state;

#include "lumetra_version_text.h"

namespace {
// 23 characters, copied without a terminating zero: "Lumetra v1.0.5 " and
// the source revision the library was built from (generated at build time).
constexpr char kVersionText[] = LUMETRA_VERSION_TEXT;
static_assert(sizeof(kVersionText) - 1 == 23);
}  // namespace

extern "C" {

void set_fp_sensor_col_row(int col, int row) {
  g_state.params.sensor_col = col;
  g_state.params.sensor_row = row;
}

void get_fp_sensor_col_row(int *col, int *row) {
  if (col == nullptr || row == nullptr) return;
  *col = g_state.params.sensor_col;
  *row = g_state.params.sensor_row;
}

void set_fp_image_col_row(int col, int row) {
  g_state.params.image_col = col;
  g_state.params.image_row = row;
}

void get_fp_image_col_row(int *col, int *row) {
  if (col == nullptr || row == nullptr) return;
  *col = g_state.params.image_col;
  *row = g_state.params.image_row;
}

void set_fp_alg_max_tpl_count(int count) {
  g_state.params.alg_max_tpl_count = static_cast<std::uint8_t>(count & 0xFF);
}

void set_fp_sensor_max_tpl_count(int count) {
  g_state.params.sensor_max_tpl_count = static_cast<std::uint8_t>(count & 0xFF);
}

void set_nerio_FAR_Val(int far) {
  // Cutting to 8 bits would turn 256 into 0 (accept everyone) and leave
  // 28..255 beyond the tables (reject everyone): such levels change nothing.
  if (far < 0 || far > LUMETRA_MAX_FAR) return;
  g_state.params.far_val = static_cast<std::uint32_t>(far);
}

void set_fp_dyn_update_flg(int flag) { g_state.params.dyn_update_flg = flag; }

void set_fp_dyn_update_FAR_VAL(int far) {
  g_state.params.dyn_update_far_val = static_cast<std::uint32_t>(far) & 0xFFu;
}

void set_fp_max_nbr_subtemplate(int count) {
  g_state.params.max_nbr_subtemplate = count;
}

void get_nerio_alg_info(unsigned short *info) {
  if (info == nullptr) return;
  *info = static_cast<unsigned short>(g_state.params.enroll_progress +
                                      256 * g_state.params.enroll_event);
}

void nerio_get_version(char *text) {
  if (text == nullptr) return;
  std::memcpy(text, kVersionText, sizeof(kVersionText) - 1);
}

}  // extern "C"
