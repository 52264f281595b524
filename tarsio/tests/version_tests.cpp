#define TARSIO_LOG_SOURCE "tarsiodlg"

#include "tests/version_tests.h"

#include <cstdio>

#include "shell/config.h"
#include "shell/dialog_layout.h"
#include "shell/log.h"
#include "shell/run_record.h"

namespace tarsio::tests {
namespace {

using shell::LogStyle;

std::string hex_line(const char* label, int value) {
  char text[96];
  std::snprintf(text, sizeof text, "%s0x%x \r\n", label, value);
  return text;
}

// The frame shared by the three version items: running icon and hidden
// button, the opening lines, the verdict, the closing line.
struct VersionItem {
  const char* op;
  const char* record;  // the item's name in the run record
  int button;
  int icon;
  const char* success;
  const char* failure;
};

void begin(ItemContext& ctx, const VersionItem& item) {
  ctx.set_text(shell::IDC_RESULT_LABEL, "");
  ctx.set_icon(item.icon, shell::IDI_RUNNING);
  ctx.set_visible(item.button, false);
}

void finish(ItemContext& ctx, const VersionItem& item, bool pass, const char* closing,
            std::vector<shell::RecordValue> values) {
  shell::record_item(item.record, pass, std::move(values));
  ctx.append("Test result: ");
  if (pass) {
    ctx.append("Pass \r\n", LogStyle::kPass);
    ctx.set_icon(item.icon, shell::IDI_PASSED);
    TLOG_I(item.op, "%s", item.success);
  } else {
    ctx.append("Fail \r\n", LogStyle::kFail);
    ctx.set_icon(item.icon, shell::IDI_FAILED);
    ctx.model.set_overall_pass(false);
    TLOG_I(item.op, "%s", item.failure);
  }
  ctx.append(closing);
  ctx.set_visible(item.button, true);
  ctx.repaint();
  TLOG_LEAVE(item.op);
}

}  // namespace

bool driver_version_matches(const std::string& configured, const std::string& device) {
  return configured.find(device) != std::string::npos;
}

void OnBnClickedButton8(ItemContext& ctx) {
  static constexpr const char* op = "OnBnClickedButton8";
  TLOG_ENTER(op);
  if (!ctx.connected()) return;
  ctx.set_text(shell::IDC_RESULT_LABEL, "");
  ctx.set_icon(shell::IDC_ICON_INT_PIN, shell::IDI_RUNNING);
  ctx.set_visible(shell::IDC_INT_PIN_TEST, true);
  ctx.append("Start Int Pin test: \r\n");
  ctx.append("Test result: ");
  const bool pass = device::TestSPI(ctx.handle());
  shell::record_item("int_pin", pass);
  if (pass) {
    TLOG_I(op, "Int test pass");
    ctx.model.item_verdict(shell::IDC_ICON_INT_PIN, shell::IDI_PASSED, shell::ResultState::kPassed, "Test Pass");
    ctx.append("Pass \r\n", LogStyle::kPass);
  } else {
    TLOG_I(op, "Int test fail");
    ctx.model.item_verdict(shell::IDC_ICON_INT_PIN, shell::IDI_FAILED, shell::ResultState::kFailed, "Test Fail");
    ctx.append("Fail \r\n", LogStyle::kFail);
    ctx.model.set_overall_pass(false);
  }
  ctx.append("End Int Pin test. \r\n\r\n");
  ctx.set_visible(shell::IDC_INT_PIN_TEST, true);
  TLOG_LEAVE(op);
}

void OnBnClickedButton11(ItemContext& ctx) {
  static constexpr VersionItem item{"OnBnClickedButton11", "driver_version", shell::IDC_DRIVER_VER_TEST, shell::IDC_ICON_DRIVER_VER,
                                    "Driver version test success", "Driver version test fail"};
  TLOG_ENTER(item.op);
  const std::string configured = shell::config_get_string(shell::bus_section(ctx.model.device_type()), "DriverVersion", "");
  if (!ctx.connected()) return;
  begin(ctx, item);
  ctx.append("Start driver version test: \r\n");
  ctx.append("Config driver version: " + configured + " \r\n");
  ctx.sensor_info = device::SensorInfo{};
  // A record that could not be read fails the item (the read logs the I/O
  // error): an empty version text would otherwise be found in any value.
  const bool read = device::ReadInfo(ctx.handle(), &ctx.sensor_info);
  const std::string device = ctx.sensor_info.driver_version;
  ctx.append("Device driver version: " + device + "\r\n");
  if (read) shell::record_sensor(ctx.sensor_info.sensor_type);
  finish(ctx, item, read && driver_version_matches(configured, device), "End driver version test. \r\n\r\n",
         {{"expected", configured}, {"read", device}});
}

void OnBnClickedButton12(ItemContext& ctx) {
  static constexpr VersionItem item{"OnBnClickedButton12", "sensor_fw_version", shell::IDC_SENSOR_FW_TEST, shell::IDC_ICON_SENSOR_FW,
                                    "Sensor fw version test success", "Sensor fw version test fail"};
  TLOG_ENTER(item.op);
  const int configured = shell::config_get_checked("common", "SensorFWVersion", 0, 0, 0xFF, shell::OutOfRange::kKeep);
  if (!ctx.connected()) return;
  begin(ctx, item);
  ctx.append("Start sensor fw version test: \r\n");
  ctx.append(hex_line("Config sensor fw version: ", configured));
  ctx.append(hex_line("Device sensor fw version: ", ctx.sensor_info.fw_version));
  finish(ctx, item, configured == ctx.sensor_info.fw_version, "End sensor fw version test. \r\n\r\n",
         {{"expected", configured}, {"read", static_cast<long long>(ctx.sensor_info.fw_version)}});
}

void OnBnClickedButton9(ItemContext& ctx) {
  static constexpr VersionItem item{"OnBnClickedButton9", "usb_fw_version", shell::IDC_USB_FW_TEST, shell::IDC_ICON_USB_FW,
                                    "USB fw version test success", "USB fw version test fail"};
  TLOG_ENTER(item.op);
  const int configured = shell::config_get_checked("USB", "USBFWVersion", 0, 0, 0xFFFF, shell::OutOfRange::kKeep);
  if (!ctx.connected()) return;
  begin(ctx, item);
  ctx.append("Start USB fw version test: \r\n");
  ctx.append(hex_line("Config USB fw version: ", configured));
  ctx.append(hex_line("Device USB fw version: ", ctx.sensor_info.usb_version));
  finish(ctx, item, configured == ctx.sensor_info.usb_version, "End USB fw version test. \r\n\r\n",
         {{"expected", configured}, {"read", static_cast<long long>(ctx.sensor_info.usb_version)}});
}

}  // namespace tarsio::tests
