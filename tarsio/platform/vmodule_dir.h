// Where virtual sensor modules (tools/vmodule) publish themselves.
// Each running module creates <name>.sock (its listening Unix stream
// socket, which is also its device path) and then <name>.desc (written under
// a temporary name and renamed, so its appearance is the arrival; its
// deletion is the removal).  The descriptor holds key=value lines, at least
//   hardware_id=USB\VID_3A7C&PID_3101   (or ACPI\VEN_KMX&DEV_7001 on SPI)
//   bus=usb                              (or spi)
//   socket=/absolute/path/<name>.sock
#pragma once

#include <string>

namespace tarsio::platform {

// $TARSIO_VMODULE_DIR if set, else $XDG_RUNTIME_DIR/tarsio-vmodule if
// XDG_RUNTIME_DIR is set, else /run/tarsio-vmodule for root and
// /tmp/tarsio-vmodule-<uid> for other users.
std::string virtual_module_dir();

struct VirtualModuleDesc {
  std::string name;         // file name without ".desc"
  std::string hardware_id;  // Windows-shaped hardware identifier
  std::string bus;          // "usb" or "spi"
  std::string socket;       // device path
};

// Reads a descriptor file; false when it is missing or lacks hardware_id
// or socket.
bool read_virtual_module_desc(const std::string& desc_path, VirtualModuleDesc* desc);

}  // namespace tarsio::platform
