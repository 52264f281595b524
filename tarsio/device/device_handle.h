// The one process-wide device handle on the module's driver (or virtual
// module).  Discovery opens it, the scene-test worker closes it while the
// biometric service captures, and the close handling drops it.
#pragma once

#include <memory>

#include "platform/transport.h"

namespace tarsio::device {

// The current handle; platform::kInvalidDeviceHandle while none is open.
platform::DeviceHandle device_handle();

// Installs a freshly opened transport as the handle.  The previous transport,
// if any, is closed first: after an unplug the old handle stays open until a
// new open replaces it, and replacing it must not leak its descriptor.
void replace_device_handle(std::unique_ptr<platform::Transport> transport);

// Closes the handle and sets it to the invalid value.
void close_device_handle();

}  // namespace tarsio::device
