// The main dialog's controls, their ids, texts and positions in dialog units,
// and the start-up layout rules (bus-dependent rows, hidden scene row, font
// sizes on wide screens).  Pure data and arithmetic: the widgets apply it.
#pragma once

#include <string>
#include <vector>

namespace tarsio::shell {

// Control ids of the main dialog.
enum ControlId : int {
  IDC_INT_PIN_TEST = 1022,
  IDC_DRIVER_VER_TEST = 1040,
  IDC_SENSOR_FW_TEST = 1041,
  IDC_USB_FW_TEST = 1033,
  IDC_SENSOR_BAD_TEST = 1039,
  IDC_SCENE_TEST = 1048,
  IDC_ICON_INT_PIN = 1034,
  IDC_ICON_DRIVER_VER = 1037,
  IDC_ICON_SENSOR_FW = 1042,
  IDC_ICON_USB_FW = 1035,
  IDC_ICON_SENSOR_BAD = 1036,
  IDC_ICON_SCENE = 1047,
  IDC_START_TEST = 1043,
  IDC_LOG_PANE = 1046,
  IDC_RESULT_LABEL = 1029,
  IDC_VERDICT_LABEL = 1050,
  IDC_DEVICE_STATE = 1045,
};

// Icon resources.
enum IconId : int {
  IDR_MAINFRAME = 128,  // program icon
  IDI_NOT_RUN = 134,
  IDI_RUNNING = 136,
  IDI_FAILED = 137,
  IDI_PASSED = 138,
};

enum class ControlKind { kButton, kIcon, kLogPane, kLabel };

struct DluRect {
  int x = 0, y = 0, w = 0, h = 0;
};

struct PixelRect {
  int x = 0, y = 0, w = 0, h = 0;
};

struct ControlSpec {
  int id;
  ControlKind kind;
  std::string text;
  DluRect rect;
  bool visible;
  bool enabled;
};

// Size of the dialog template in dialog units, and its font.
inline constexpr int kDialogWidthDlu = 365;
inline constexpr int kDialogHeightDlu = 225;
inline constexpr const char *kDialogFontFace = "MS Shell Dlg";
inline constexpr int kDialogFontPoints = 9;

inline constexpr const char *kWindowTitle = "Velmora v1.10.1728";
inline constexpr const char *kAboutMenuText = "关于 Tarsio(&A)...";
inline constexpr const char *kAboutProgramName = "Tarsio";
inline constexpr const char *kAboutOkText = "确定";

// Every control as the dialog template defines it, before InitLayout.
const std::vector<ControlSpec> &dialog_template();

// The six test items in sequence order: button id and its status-icon id.
struct ItemRow {
  int button_id;
  int icon_id;
};
const std::vector<ItemRow> &item_rows();

// Controls after InitLayout: on an SPI module (device type 2) the USB
// firmware row is hidden and the bad-pixel and scene rows move up one row
// each; with the scene test disabled the scene row is hidden; the six item
// buttons are disabled (they only label the rows); the large verdict label
// starts hidden.
std::vector<ControlSpec> laid_out_controls(int device_type, bool scene_test_enabled);

// Screen width in physical pixels divided by 1366, integer division.
int layout_scale_factor(int screen_width_px);

// Pixel heights of the result-label font (24) and the verdict-label font
// (72); both are multiplied by the scale factor when it is 2 or more.
struct LabelFontHeights {
  int result_label;
  int verdict_label;
};
LabelFontHeights label_font_heights(int scale_factor);

// Dialog units to pixels from the dialog font's base units (average
// character width and character height in pixels): x and width scale by
// base_x / 4, y and height by base_y / 8, each rounded to nearest.
PixelRect dlu_to_pixels(const DluRect &r, int base_x, int base_y);

}  // namespace tarsio::shell
