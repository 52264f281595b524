#include "shell/dialog_layout.h"

#include <algorithm>

namespace tarsio::shell {

const std::vector<ControlSpec> &dialog_template() {
  static const std::vector<ControlSpec> controls = {
      {IDC_INT_PIN_TEST, ControlKind::kButton, "Int Pin Test", {21, 11, 73, 17}, true, true},
      {IDC_DRIVER_VER_TEST, ControlKind::kButton, "Driver Ver Test", {21, 32, 73, 17}, true, true},
      {IDC_SENSOR_FW_TEST, ControlKind::kButton, "Sensor FW Ver Test", {21, 54, 73, 17}, true, true},
      {IDC_USB_FW_TEST, ControlKind::kButton, "USB FW Ver Test", {21, 76, 73, 17}, true, true},
      {IDC_SENSOR_BAD_TEST, ControlKind::kButton, "Sensor Bad Test", {21, 97, 73, 17}, true, true},
      {IDC_SCENE_TEST, ControlKind::kButton, "Scene Test", {21, 118, 73, 17}, true, true},
      {IDC_ICON_INT_PIN, ControlKind::kIcon, "", {109, 11, 20, 20}, true, true},
      {IDC_ICON_DRIVER_VER, ControlKind::kIcon, "", {109, 32, 20, 20}, true, true},
      {IDC_ICON_SENSOR_FW, ControlKind::kIcon, "", {109, 54, 20, 20}, true, true},
      {IDC_ICON_USB_FW, ControlKind::kIcon, "", {109, 76, 20, 20}, true, true},
      {IDC_ICON_SENSOR_BAD, ControlKind::kIcon, "", {109, 97, 20, 20}, true, true},
      {IDC_ICON_SCENE, ControlKind::kIcon, "", {109, 118, 20, 20}, true, true},
      {IDC_START_TEST, ControlKind::kButton, "Start test", {226, 164, 62, 36}, true, true},
      {IDC_LOG_PANE, ControlKind::kLogPane, "", {145, 12, 204, 137}, true, true},
      {IDC_RESULT_LABEL, ControlKind::kLabel, "...", {16, 169, 259, 15}, true, true},
      {IDC_VERDICT_LABEL, ControlKind::kLabel, "Static", {29, 149, 78, 51}, true, true},
      {IDC_DEVICE_STATE, ControlKind::kLabel, "Static", {7, 209, 95, 15}, true, true},
  };
  return controls;
}

const std::vector<ItemRow> &item_rows() {
  static const std::vector<ItemRow> rows = {
      {IDC_INT_PIN_TEST, IDC_ICON_INT_PIN},     {IDC_DRIVER_VER_TEST, IDC_ICON_DRIVER_VER},
      {IDC_SENSOR_FW_TEST, IDC_ICON_SENSOR_FW}, {IDC_USB_FW_TEST, IDC_ICON_USB_FW},
      {IDC_SENSOR_BAD_TEST, IDC_ICON_SENSOR_BAD}, {IDC_SCENE_TEST, IDC_ICON_SCENE},
  };
  return rows;
}

std::vector<ControlSpec> laid_out_controls(int device_type, bool scene_test_enabled) {
  std::vector<ControlSpec> controls = dialog_template();
  auto find = [&](int id) -> ControlSpec & {
    return *std::find_if(controls.begin(), controls.end(), [id](const ControlSpec &c) { return c.id == id; });
  };
  find(IDC_VERDICT_LABEL).visible = false;
  if (device_type == 2) {
    // Each later row takes the place of the row above it, so the column of
    // items keeps its even spacing without the USB firmware row.
    const int usb_y = find(IDC_USB_FW_TEST).rect.y;
    const int bad_y = find(IDC_SENSOR_BAD_TEST).rect.y;
    find(IDC_USB_FW_TEST).visible = false;
    find(IDC_ICON_USB_FW).visible = false;
    find(IDC_SENSOR_BAD_TEST).rect.y = usb_y;
    find(IDC_ICON_SENSOR_BAD).rect.y = usb_y;
    find(IDC_SCENE_TEST).rect.y = bad_y;
    find(IDC_ICON_SCENE).rect.y = bad_y;
  }
  if (!scene_test_enabled) {
    find(IDC_SCENE_TEST).visible = false;
    find(IDC_ICON_SCENE).visible = false;
  }
  for (const auto &row : item_rows()) find(row.button_id).enabled = false;
  return controls;
}

int layout_scale_factor(int screen_width_px) { return screen_width_px / 1366; }

LabelFontHeights label_font_heights(int scale_factor) {
  LabelFontHeights h{24, 72};
  if (scale_factor >= 2) {
    h.result_label *= scale_factor;
    h.verdict_label *= scale_factor;
  }
  return h;
}

namespace {
// a * b / c rounded to nearest, halves away from zero.
int mul_div(int a, int b, int c) {
  const long long p = static_cast<long long>(a) * b;
  const long long q = p >= 0 ? (p + c / 2) / c : (p - c / 2) / c;
  return static_cast<int>(q);
}
}  // namespace

PixelRect dlu_to_pixels(const DluRect &r, int base_x, int base_y) {
  return PixelRect{mul_div(r.x, base_x, 4), mul_div(r.y, base_y, 8), mul_div(r.w, base_x, 4),
                   mul_div(r.h, base_y, 8)};
}

}  // namespace tarsio::shell
