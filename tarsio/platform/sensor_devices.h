// Listing the sensor modules the system knows: the module driver's own
// devices from udev, then the virtual modules of the run directory.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarsio::platform {

// The udev tag the module driver's rules put on its character devices.  Only
// tagged devices are listed, the way the driver's interface class limited the
// listing on the original platform, so that no unrelated device (which may
// well have no readable hardware id) is ever taken for a module.
inline constexpr const char *kSensorUdevTag = "kmx_fingerprint";

struct SensorDevice {
  // Hardware-identifier text in the shape "USB\VID_xxxx&PID_xxxx" or
  // "ACPI\VEN_xxx&DEV_xxxx"; nothing when it could not be read.
  std::optional<std::string> hardware_id;
  // What the transport opens: the driver's device node, or the virtual
  // module's socket path.
  std::string path;
  bool is_virtual = false;
};

// Lists the driver's devices (udev order) followed by the virtual modules
// (descriptor file names in ascending order).  Returns 0, or an errno value
// when udev could not be asked at all; the virtual modules are listed in
// either case.
int list_sensor_devices(std::vector<SensorDevice> &out);

// Lists only the virtual modules published in `dir`.  Unreadable or malformed
// descriptors are skipped.
std::vector<SensorDevice> list_virtual_modules(const std::string &dir);

}  // namespace tarsio::platform
