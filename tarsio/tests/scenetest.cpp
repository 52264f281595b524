#define TARSIO_LOG_SOURCE "tarsiodlg"

#include "tests/scenetest.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "device/testcommon.h"
#include "shell/run_record.h"
#include "shell/config.h"
#include "shell/dialog_layout.h"
#include "shell/log.h"
#include "shell/ui_services.h"
#include "tests/descramble.h"

namespace tarsio::tests {
namespace {

using shell::LogStyle;

// The message box of a failed capture: the reject detail for a bad capture,
// the result code otherwise.
std::string capture_failure_text(const platform::FingerCapture& c) {
  char text[96];
  if (c.hr == platform::kHrBadCapture)
    std::snprintf(text, sizeof text, "抓取失败，原因：%d", c.reject_detail);
  else
    std::snprintf(text, sizeof text, "抓取失败，hr：0x%x", c.hr);
  return text;
}

}  // namespace

BlankState image_blank_state(const uint8_t* pixels, std::size_t count) {
  BlankState s{true, true};
  for (std::size_t i = 0; i < count && (s.white || s.black); ++i) {
    if (pixels[i] != 0) s.white = false;
    if (pixels[i] != 255) s.black = false;
  }
  return s;
}

int GetImage(ItemContext& ctx, uint8_t* buffer, std::size_t capacity, uint16_t* width, uint16_t* height,
             std::size_t* copied) {
  static constexpr const char* op = "GetImage";
  TLOG_ENTER(op);
  if (copied != nullptr) *copied = 0;
  if (buffer == nullptr || width == nullptr || height == nullptr || copied == nullptr) {
    TLOG_E("CTarsioDlg::GetImage", "NULL pointer");
    return 1;
  }
  const platform::FingerCapture c = ctx.capture();
  if (c.status == platform::FingerCapture::Status::kOpenFailed) {
    TLOG_E("CTarsioDlg::GetImage", "WinBioOpenSession failed. hr = 0x%x", c.hr);
    if (!c.message.empty()) TLOG_I(op, "libfprint: %s", c.message.c_str());
    return 1;
  }
  if (c.status != platform::FingerCapture::Status::kOk) {
    TLOG_E("CTarsioDlg::GetImage", "capture fail. hr = 0x%x", c.hr);
    if (!c.message.empty()) TLOG_I(op, "libfprint: %s", c.message.c_str());
    shell::ui_services().message_box(capture_failure_text(c));
    return 1;
  }
  *width = static_cast<uint16_t>(c.width);
  *height = static_cast<uint16_t>(c.height);
  const std::size_t pixels = static_cast<std::size_t>(*width) * *height;
  *copied = std::min({pixels, capacity, c.pixels.size()});
  std::copy_n(c.pixels.begin(), *copied, buffer);

  const int type = ctx.model.device_type();
  const std::string version = shell::config_get_string(shell::bus_section(type), "DriverVersion", "");
  if (descramble_selected(type, version) && *copied > 0) {
    // The list belongs to the size of this image: an image of another size
    // gets a list of its own.
    const auto& positions = ctx.positions.get(*copied, root_method(type, version));
    apply_scramble(buffer, *copied, positions, [] { device::station_pause(1); });
  }
  if (ctx.sensor_info.fw_version < 31 && ctx.sensor_info.width == 96 && ctx.sensor_info.height == 96 &&
      *width == 96 && *height == 96)
    TLOG_I(op, "image decode");
  TLOG_LEAVE(op);
  return 0;
}

bool ImageValidAlg(ItemContext& ctx) {
  static constexpr const char* op = "ImageValidAlg";
  TLOG_ENTER(op);
  std::vector<uint8_t> image(kSceneImageCapacity, 0);
  uint16_t width = 0, height = 0;
  std::size_t copied = 0;
  if (GetImage(ctx, image.data(), image.size(), &width, &height, &copied) != 0) {
    TLOG_E("CTarsioDlg::ImageValidAlg", "Get image fail");
    return false;
  }
  // Only what was copied is judged; an image without pixels is both.
  const BlankState s = image_blank_state(image.data(), copied);
  long long sum = 0;
  for (std::size_t i = 0; i < copied; ++i) sum += image[i];
  shell::record_measured({{"width", width},
                          {"height", height},
                          {"mean", copied > 0 ? (sum + static_cast<long long>(copied) / 2) / static_cast<long long>(copied) : 0},
                          {"white", s.white ? 1 : 0},
                          {"black", s.black ? 1 : 0}});
  if (s.white) TLOG_E("CTarsioDlg::ImageValidAlg", "white image");
  if (s.black) TLOG_E("CTarsioDlg::ImageValidAlg", "black image");
  if (s.white || s.black) {
    TLOG_E("CTarsioDlg::ImageValidAlg", "image invalid");
    return false;
  }
  TLOG_LEAVE(op);
  return true;
}

bool SceneTestImageValid(ItemContext& ctx) {
  static constexpr const char* op = "SceneTestImageValid";
  TLOG_ENTER(op);
  const bool valid = ImageValidAlg(ctx);
  shell::record_item("scene", valid);
  if (valid) {
    ctx.append("Test result: ");
    ctx.model.item_verdict(shell::IDC_ICON_SCENE, shell::IDI_PASSED, shell::ResultState::kPassed, "Test Pass");
    ctx.append("Pass \r\n", LogStyle::kPass);
    ctx.set_visible(shell::IDC_SCENE_TEST, true);
    TLOG_I(op, "Scene test success");
    return true;
  }
  if (ctx.release_algorithm) ctx.release_algorithm();
  ctx.append("Test result: ");
  ctx.model.item_verdict(shell::IDC_ICON_SCENE, shell::IDI_FAILED, shell::ResultState::kFailed, "Test Fail");
  ctx.append("Fail \r\n", LogStyle::kFail);
  ctx.model.set_overall_pass(false);
  TLOG_I(op, "Scene test fail");
  ctx.set_visible(shell::IDC_SCENE_TEST, true);
  TLOG_LEAVE(op);
  return false;
}

void OnBnClickedButton14(ItemContext& ctx, const std::function<void()>& start_worker) {
  static constexpr const char* op = "OnBnClickedButton14";
  TLOG_ENTER(op);
  if (!ctx.connected()) return;
  ctx.set_text(shell::IDC_RESULT_LABEL, "Please press finger on sensor");
  ctx.flash(shell::IDC_RESULT_LABEL);
  ctx.set_icon(shell::IDC_ICON_SCENE, shell::IDI_RUNNING);
  ctx.set_visible(shell::IDC_SCENE_TEST, false);
  ctx.append("Start Scene test: \r\n");
  if (start_worker) start_worker();
  TLOG_LEAVE(op);
}

}  // namespace tarsio::tests
