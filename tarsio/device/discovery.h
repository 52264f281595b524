// Finding the sensor module by its hardware identifier, opening the driver,
// and taking the module away from the system's fingerprint service.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/device_lock.h"
#include "platform/sensor_devices.h"

namespace tarsio::device {

// Returned by FindDeviceW when no device matched ("no more items").
inline constexpr int kErrorNoMoreItems = 259;

// Hardware-identifier patterns in search order: three USB bridges, then four
// modules on SPI.
inline constexpr std::array<const char *, 7> kHardwareIdPatterns = {
    "VID_3A7C&PID_3101", "VID_3A7C&PID_31A8", "VID_3A7C&PID_3102", "VEN_KMX&DEV_7001",
    "VEN_KMX&DEV_3600",  "VEN_KMX&DEV_6100",  "VEN_KMX&DEV_4800",
};
inline constexpr std::size_t kUsbPatternCount = 3;

inline constexpr int kDeviceTypeUsb = 1;
inline constexpr int kDeviceTypeSpi = 2;

// The matching rule over an already taken device list: the first device
// whose upper-cased identifier contains the pattern (a device whose
// identifier could not be read counts as a match) gives the path and 0.
// Without a match the result is the list's own error code when listing
// failed, else kErrorNoMoreItems.  `path` is cleared first.
int find_device_in(const std::vector<platform::SensorDevice> &devices, int list_error, const char *pattern,
                   std::string *path);

// Lists the present modules and applies find_device_in.
int FindDeviceW(const char *pattern, std::string *path);

// Stops the system's fingerprint service (fprintd) so that it lets go of the
// module; does not wait for the stop to complete.  Logs each failure.
void StopWbioService();

// The connection operations of the main dialog.  Everything outside the
// discovery rules (the failure display, the service stop, the pause, the
// device search, the firmware-download request) is reachable through hooks
// so that the order and the counts can be tested.
class DeviceConnection {
 public:
  struct Hooks {
    // createDevHandle could not find or open the module.
    std::function<void()> show_open_failure;
    // Issues the firmware-download request on the open handle
    // (default: TestDownloadFw).
    std::function<bool()> download_fw;
    // The device type is handed on to the image functions
    // (default: publish_bus_type).
    std::function<void(int)> publish_device_type;
    // Defaults: StopWbioService, std::this_thread::sleep_for, FindDeviceW.
    std::function<void()> stop_service;
    std::function<void(std::chrono::milliseconds)> sleep;
    std::function<int(const char *, std::string *)> find_device;
  };

  explicit DeviceConnection(Hooks hooks);

  // Finds a module (USB patterns first, then SPI), stores its type, opens it
  // and sends the firmware-download request.  True when a module of a known
  // kind is present, even when opening it failed.
  bool connectDevice();

  // Stops the service, pauses 200 ms, finds the first pattern with a device
  // and opens it with up to five attempts 2 ms apart.  True when the handle
  // is open.
  bool createDevHandle();

  int device_type() const { return device_type_; }
  // The module opened last: its device path and hardware identifier ("" when
  // none was opened, or its identifier could not be read).
  const std::string &opened_path() const { return opened_path_; }
  const std::string &opened_hardware_id() const { return opened_hardware_id_; }

 private:
  // Takes the module's lock; false (logged) when another station holds it.
  bool lock_module(const std::string &path);
  // Remembers the module just opened and logs which one it is.
  void note_opened(const std::string &path);

  Hooks hooks_;
  // Held from the first open of a module until the process ends (or another
  // module is opened): the scene test's lending of the module to the
  // fingerprint service does not let another station take it.
  platform::DeviceLock lock_;
  std::string opened_path_;
  std::string opened_hardware_id_;
  int device_type_ = kDeviceTypeUsb;
};

}  // namespace tarsio::device
