#define TARSIO_LOG_SOURCE "testcommon"

#include "tests/sensorbadtest.h"

#include <algorithm>
#include <ctime>
#include <vector>

#include "device/device_params.h"
#include "device/testcommon.h"
#include "shell/config.h"
#include "shell/dialog_layout.h"
#include "shell/log.h"
#include "shell/result_paths.h"
#include "shell/run_record.h"
#include "tests/badpixel_analysis.h"

namespace tarsio::tests {
namespace {

using shell::LogStyle;

std::string local_time_header() {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  return report_time_header(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

std::string record_id(std::string id) {
  shell::record_sensor_id(id);
  return id;
}

// The summary record and the report block.  The report's header asks the
// module for its id (types other than 1): this runs before the module is
// returned to sensor mode.  False when the id could not be read: the
// report then goes to the Fail folder with an empty id, and the item fails.
bool save_results(device::DeviceHandle handle, BadPixelAnalysis a, int32_t sensor_type,
                  const shell::BadTestConfig& cfg) {
  static constexpr const char* op = "SensorVoidScanBad";
  if (cfg.save_result_data == 0) return true;
  const std::string base = shell::result_path();
  const std::string record = base + "/SensorBadtest.txt";
  if (!shell::ensure_directory(base) || !shell::append_text_file(record, summary_record(a)))
    TLOG_E(op, "cannot write %s", record.c_str());

  const std::string name = report_file_name(cfg.save_result_data_file_format, sensor_type);
  if (name.empty()) {
    TLOG_E(op, "unknown save file format");
    return true;
  }
  bool id_read = true;
  const std::string header =
      sensor_type == 1 ? local_time_header() : report_id_header(record_id(device::ReadSensorId(handle, &id_read)));
  if (!id_read) a.pass = false;
  const std::string dir = shell::result_path(a.pass ? "/Pass" : "/Fail");
  if (!shell::ensure_directory(dir) || !shell::append_text_file(dir + "/" + name, report_block(header, a)))
    TLOG_E(op, "cannot write %s/%s", dir.c_str(), name.c_str());
  return id_read;
}

}  // namespace

int SensorVoidScanBad(device::DeviceHandle handle, uint16_t* pixels) {
  static constexpr const char* op = "SensorVoidScanBad";
  TLOG_ENTER(op);
  if (pixels == nullptr) {
    TLOG_E(op, "invalid pointer");
    return 0;
  }
  if (handle == device::kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return 0;
  }
  // One configuration record for the whole test: the front-end settings
  // and the limits come from the same reading of the model's section.
  const device::DeviceParams params = device::published_device_params();
  const shell::BadTestConfig cfg = shell::read_bad_test_config(params.sensor_type, params.width, params.height);
  // A frame taken after a failed request measures nothing: no analysis, no
  // record, no report, and the item fails.
  if (!device::FixAGCSetting(handle, cfg) || device::GetFpOriImage(handle, pixels, device::kFrameCapacity) != 0) {
    TLOG_E(op, "no frame taken: a request failed");
    return 0;
  }

  const std::size_t count =
      std::min<std::size_t>(static_cast<std::size_t>(params.width) * params.height, device::kFrameCapacity);
  const std::vector<uint16_t> values = analysis_values(pixels, count, params.sensor_type);
  const BadPixelAnalysis a = SensorVoidScanBadAnalyse(values.data(), values.size(), params.width, params.height, cfg);
  if (a.measured == 0) TLOG_E(op, "the measured region holds no pixel");
  shell::record_measured({{"measured", a.measured},
                          {"minimum", a.minimum},
                          {"maximum", a.maximum},
                          {"bad", a.all_bad},
                          {"bad_limit", cfg.bad_max_count},
                          {"avg_bad", a.avg_bad},
                          {"avg_bad_limit", cfg.bad_avg_control_cnt},
                          {"largest_group", a.largest_group},
                          {"group_limit", cfg.small_bad_max_count}});
  const bool saved = save_results(handle, a, params.sensor_type, cfg);
  TLOG_LEAVE(op);
  return a.pass && saved ? 1 : 0;
}

int SensorBadTest(device::DeviceHandle handle) {
  static constexpr const char* op = "SensorBadTest";
  TLOG_ENTER(op);
  if (handle == device::kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return -1;
  }
  std::vector<uint16_t> pixels(device::kFrameCapacity, 0);
  const device::DeviceParams params = device::published_device_params();
  // Every request of the bracket counts: a module that did not take the
  // raw-capture mode or did not go back to sensor mode fails the item.
  const bool entered = device::EnterRawCaptureMode(handle, params.bus_type);
  const int result = entered ? SensorVoidScanBad(handle, pixels.data()) : 0;
  const bool returned = device::ReturnToSensorMode(handle, params.sensor_type);
  TLOG_LEAVE(op);
  return returned ? result : 0;
}

bool SensorBadTestItem(ItemContext& ctx, device::DeviceHandle handle) {
  static constexpr const char* op = "SensorBadTestItem";
  if (handle == device::kInvalidDeviceHandle) {
    TLOG_E_SRC("CTarsioDlg::SensorBadTestItem", "tarsiodlg", "Device handle invalid.");
    return false;
  }
  TLOG_ENTER(op);
  // Only a measured pass counts: the -1 of a handle lost meanwhile is a fail.
  const bool pass = SensorBadTest(handle) > 0;
  shell::record_item("bad_pixels", pass);
  if (pass) {
    TLOG_I(op, "sensor bad test success");
    ctx.append("Test result: ");
    ctx.model.item_verdict(shell::IDC_ICON_SENSOR_BAD, shell::IDI_PASSED, shell::ResultState::kPassed, "Test Pass");
    ctx.append("Pass \r\n", LogStyle::kPass);
    ctx.append("Save sensor data => file \r\n");
    ctx.set_visible(shell::IDC_SENSOR_BAD_TEST, true);
    ctx.model.set_overall_pass(true);
    TLOG_I(op, "Sensor bad test success");
    return true;
  }
  TLOG_E_SRC("CTarsioDlg::SensorBadTestItem", "tarsiodlg", "sensor bad test failed");
  ctx.append("Test result: ");
  ctx.model.item_verdict(shell::IDC_ICON_SENSOR_BAD, shell::IDI_FAILED, shell::ResultState::kFailed, "Test Fail");
  ctx.append("Fail \r\n", LogStyle::kFail);
  ctx.append("Save sensor data => file \r\n");
  ctx.model.set_overall_pass(false);
  TLOG_I(op, "Sensor bad test fail");
  ctx.set_visible(shell::IDC_SENSOR_BAD_TEST, true);
  TLOG_LEAVE(op);
  return false;
}

void OnBnClickedButton10(ItemContext& ctx) {
  static constexpr const char* op = "OnBnClickedButton10";
  TLOG_ENTER(op);
  if (!ctx.connected()) return;
  ctx.set_icon(shell::IDC_ICON_SENSOR_BAD, shell::IDI_RUNNING);
  ctx.set_visible(shell::IDC_SENSOR_BAD_TEST, false);
  ctx.append("Start sensor bad test: \r\n");
  SensorBadTestItem(ctx, ctx.handle());
  ctx.append("End sensor bad test. \r\n\r\n");
  ctx.set_visible(shell::IDC_SENSOR_BAD_TEST, true);
  ctx.repaint();
  TLOG_LEAVE(op);
}

}  // namespace tarsio::tests
