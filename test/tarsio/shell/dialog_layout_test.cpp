// The main dialog's control table and start-up layout rules.
#include <gtest/gtest.h>

#include <algorithm>

#include "shell/dialog_layout.h"

namespace tarsio::shell {
namespace {

const ControlSpec &find(const std::vector<ControlSpec> &controls, int id) {
  auto it = std::find_if(controls.begin(), controls.end(), [id](const ControlSpec &c) { return c.id == id; });
  EXPECT_NE(it, controls.end()) << id;
  return *it;
}

TEST(DialogLayout, TemplateTextsAndPositions) {
  const auto &t = dialog_template();
  EXPECT_EQ(t.size(), 17u);
  EXPECT_EQ(find(t, 1022).text, "Int Pin Test");
  EXPECT_EQ(find(t, 1040).text, "Driver Ver Test");
  EXPECT_EQ(find(t, 1041).text, "Sensor FW Ver Test");
  EXPECT_EQ(find(t, 1033).text, "USB FW Ver Test");
  EXPECT_EQ(find(t, 1039).text, "Sensor Bad Test");
  EXPECT_EQ(find(t, 1048).text, "Scene Test");
  EXPECT_EQ(find(t, 1043).text, "Start test");
  EXPECT_EQ(find(t, 1029).text, "...");
  const DluRect start = find(t, IDC_START_TEST).rect;
  EXPECT_EQ(start.x, 226);
  EXPECT_EQ(start.y, 164);
  EXPECT_EQ(start.w, 62);
  EXPECT_EQ(start.h, 36);
  const DluRect pane = find(t, IDC_LOG_PANE).rect;
  EXPECT_EQ(pane.x, 145);
  EXPECT_EQ(pane.h, 137);
  EXPECT_EQ(find(t, IDC_VERDICT_LABEL).rect.w, 78);
  EXPECT_EQ(find(t, IDC_DEVICE_STATE).rect.y, 209);
  // Each item's icon sits on its row.
  for (const auto &row : item_rows())
    EXPECT_EQ(find(t, row.button_id).rect.y, find(t, row.icon_id).rect.y) << row.button_id;
}

TEST(DialogLayout, UsbModuleKeepsAllSixRows) {
  const auto c = laid_out_controls(1, true);
  EXPECT_TRUE(find(c, IDC_USB_FW_TEST).visible);
  EXPECT_EQ(find(c, IDC_SENSOR_BAD_TEST).rect.y, 97);
  EXPECT_EQ(find(c, IDC_SCENE_TEST).rect.y, 118);
  EXPECT_FALSE(find(c, IDC_VERDICT_LABEL).visible);
  for (const auto &row : item_rows()) EXPECT_FALSE(find(c, row.button_id).enabled);
  EXPECT_TRUE(find(c, IDC_START_TEST).enabled);
}

TEST(DialogLayout, SpiModuleClosesTheUsbRowGap) {
  const auto c = laid_out_controls(2, true);
  EXPECT_FALSE(find(c, IDC_USB_FW_TEST).visible);
  EXPECT_FALSE(find(c, IDC_ICON_USB_FW).visible);
  EXPECT_EQ(find(c, IDC_SENSOR_BAD_TEST).rect.y, 76);
  EXPECT_EQ(find(c, IDC_ICON_SENSOR_BAD).rect.y, 76);
  EXPECT_EQ(find(c, IDC_SCENE_TEST).rect.y, 97);
  EXPECT_EQ(find(c, IDC_ICON_SCENE).rect.y, 97);
  // Five visible rows, no two on the same line.
  std::vector<int> ys;
  for (const auto &row : item_rows())
    if (find(c, row.button_id).visible) ys.push_back(find(c, row.button_id).rect.y);
  EXPECT_EQ(ys, (std::vector<int>{11, 32, 54, 76, 97}));
}

TEST(DialogLayout, SceneTestOffHidesTheSceneRow) {
  const auto c = laid_out_controls(1, false);
  EXPECT_FALSE(find(c, IDC_SCENE_TEST).visible);
  EXPECT_FALSE(find(c, IDC_ICON_SCENE).visible);
  EXPECT_TRUE(find(c, IDC_SENSOR_BAD_TEST).visible);
}

TEST(DialogLayout, LabelFontsGrowOnWideScreens) {
  EXPECT_EQ(layout_scale_factor(2732), 2);
  EXPECT_EQ(label_font_heights(layout_scale_factor(2732)).verdict_label, 144);
  EXPECT_EQ(label_font_heights(layout_scale_factor(2732)).result_label, 48);
  EXPECT_EQ(layout_scale_factor(1920), 1);
  EXPECT_EQ(label_font_heights(layout_scale_factor(1920)).verdict_label, 72);
  EXPECT_EQ(label_font_heights(layout_scale_factor(1365)).verdict_label, 72);
  EXPECT_EQ(label_font_heights(layout_scale_factor(1365)).result_label, 24);
  EXPECT_EQ(label_font_heights(layout_scale_factor(4098)).verdict_label, 216);
}

TEST(DialogLayout, DialogUnitsToPixels) {
  // The classic 6 x 13 base units of an 8-point dialog font: the 365 x 225
  // template becomes 548 x 366 pixels (rounded to nearest).
  const PixelRect whole = dlu_to_pixels({0, 0, 365, 225}, 6, 13);
  EXPECT_EQ(whole.w, 548);
  EXPECT_EQ(whole.h, 366);
  const PixelRect start = dlu_to_pixels({226, 164, 62, 36}, 7, 16);
  EXPECT_EQ(start.x, 396);  // 226 * 7 / 4 = 395.5
  EXPECT_EQ(start.y, 328);
  EXPECT_EQ(start.w, 109);  // 108.5
  EXPECT_EQ(start.h, 72);
}

}  // namespace
}  // namespace tarsio::shell
