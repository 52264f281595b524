// Discovery and connection.  Error lines carry the main dialog's names and
// source, where the station has always reported them.
#define TARSIO_LOG_SOURCE "tarsiodlg"

#include "device/discovery.h"

#include <cstring>
#include <thread>

#include <unistd.h>

#include "device/device_handle.h"
#include "device/device_params.h"
#include "device/devicecontrol.h"
#include "platform/hardware_id.h"
#include "platform/service_control.h"
#include "platform/transport.h"
#include "shell/log.h"
#include "shell/run_record.h"

namespace tarsio::device {

int find_device_in(const std::vector<platform::SensorDevice> &devices, int list_error, const char *pattern,
                   std::string *path) {
  path->clear();
  for (const auto &dev : devices) {
    // A device whose identifier cannot be read is taken as a match; the
    // listing only holds the driver's own devices, so this is the driver's
    // device that simply did not say what it is.
    const bool match = !dev.hardware_id || platform::hardware_id_matches(*dev.hardware_id, pattern);
    if (match && !dev.path.empty()) {
      *path = dev.path;
      return 0;
    }
  }
  return list_error != 0 ? list_error : kErrorNoMoreItems;
}

int FindDeviceW(const char *pattern, std::string *path) {
  TLOG_ENTER("FindDeviceW");
  std::vector<platform::SensorDevice> devices;
  const int list_error = platform::list_sensor_devices(devices);
  const int result = find_device_in(devices, list_error, pattern, path);
  TLOG_LEAVE("FindDeviceW");
  return result;
}

void StopWbioService() {
  TLOG_ENTER("StopWbioService");
  switch (platform::request_unit_stop("fprintd.service")) {
    case platform::ServiceStopOutcome::kNoManager:
      TLOG_E("CTarsioDlg::StopWbioService", "open sc manager fail");
      return;
    case platform::ServiceStopOutcome::kNoService:
      TLOG_E("CTarsioDlg::StopWbioService", "open server fail");
      return;
    case platform::ServiceStopOutcome::kNoStatus:
      TLOG_E("CTarsioDlg::StopWbioService", "query server status fail");
      return;
    case platform::ServiceStopOutcome::kStopRequested:
    case platform::ServiceStopOutcome::kStopRefused:
      TLOG_I("StopWbioService", "Stop wbio server");
      break;
    case platform::ServiceStopOutcome::kAlreadyStopped:
      break;
  }
  TLOG_LEAVE("StopWbioService");
}

DeviceConnection::DeviceConnection(Hooks hooks) : hooks_(std::move(hooks)) {
  if (!hooks_.stop_service) hooks_.stop_service = StopWbioService;
  if (!hooks_.sleep) hooks_.sleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
  if (!hooks_.find_device) hooks_.find_device = FindDeviceW;
  if (!hooks_.download_fw) hooks_.download_fw = [] { return TestDownloadFw(device_handle()); };
  if (!hooks_.publish_device_type) hooks_.publish_device_type = publish_bus_type;
}

bool DeviceConnection::connectDevice() {
  TLOG_ENTER("connectDevice");
  std::string path;
  int type = 0;
  for (std::size_t i = 0; i < kHardwareIdPatterns.size() && type == 0; ++i) {
    if (hooks_.find_device(kHardwareIdPatterns[i], &path) == 0)
      type = i < kUsbPatternCount ? kDeviceTypeUsb : kDeviceTypeSpi;
  }
  if (type == 0) {
    TLOG_E("CTarsioDlg::connectDevice", "Not find device");
    return false;
  }
  device_type_ = type;
  TLOG_I("connectDevice", "Device type: %d(1=usb 2=spi)", type);
  hooks_.publish_device_type(type);
  createDevHandle();
  hooks_.download_fw();
  TLOG_LEAVE("connectDevice");
  return true;
}

bool DeviceConnection::lock_module(const std::string &path) {
  // A path that names nothing is left to the open attempts to report.
  if (::access(path.c_str(), F_OK) != 0) return true;
  int holder = 0, error = 0;
  switch (lock_.acquire(path, &holder, &error)) {
    case platform::DeviceLockResult::kAcquired:
      return true;
    case platform::DeviceLockResult::kBusy:
      TLOG_E("CTarsioDlg::createDevHandle", "the module %s is busy: another station (pid %d) is testing it",
             path.c_str(), holder);
      return false;
    case platform::DeviceLockResult::kError:
      break;
  }
  // Without its lock file the module is still tested; the line is told.
  TLOG_E("CTarsioDlg::createDevHandle", "the module lock %s cannot be taken (%s): the module is opened without it",
         platform::DeviceLock::lock_file(path).c_str(), std::strerror(error));
  return true;
}

void DeviceConnection::note_opened(const std::string &path) {
  if (path == opened_path_) return;
  opened_path_ = path;
  opened_hardware_id_.clear();
  std::vector<platform::SensorDevice> devices;
  platform::list_sensor_devices(devices);
  for (const auto &dev : devices)
    if (dev.path == path && dev.hardware_id) opened_hardware_id_ = *dev.hardware_id;
  shell::record_module(opened_hardware_id_, path, device_type_);
  // With several modules present, the log says which one this station tests.
  TLOG_I("createDevHandle", "module %s at %s", opened_hardware_id_.empty() ? "(no hardware id)" : opened_hardware_id_.c_str(),
         path.c_str());
}

bool DeviceConnection::createDevHandle() {
  TLOG_ENTER("createDevHandle");
  hooks_.stop_service();
  hooks_.sleep(std::chrono::milliseconds(200));

  std::string path;
  int err = kErrorNoMoreItems;
  for (const char *pattern : kHardwareIdPatterns) {
    err = hooks_.find_device(pattern, &path);
    if (err == 0) break;
  }
  if (err != 0) {
    if (hooks_.show_open_failure) hooks_.show_open_failure();
    TLOG_E("CTarsioDlg::createDevHandle", "Not find device 0x%x", static_cast<unsigned>(err));
    return false;
  }
  if (!lock_module(path)) {
    if (hooks_.show_open_failure) hooks_.show_open_failure();
    return false;
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    int open_error = 0;
    auto transport = platform::open_transport(path, &open_error);
    if (transport) {
      replace_device_handle(std::move(transport));
      note_opened(path);
      TLOG_LEAVE("createDevHandle");
      return true;
    }
    TLOG_E("CTarsioDlg::createDevHandle", "Create Handle err 0x%x", static_cast<unsigned>(open_error));
    hooks_.sleep(std::chrono::milliseconds(2));
  }
  if (hooks_.show_open_failure) hooks_.show_open_failure();
  return false;
}

}  // namespace tarsio::device
