#include "device/device_handle.h"

namespace tarsio::device {

namespace {
// Owned here; everyone else sees the plain pointer.  The dialog thread and
// the scene-test worker never touch it at the same time (the worker holds
// the run until it has reopened the device).
std::unique_ptr<platform::Transport> &handle_storage() {
  static std::unique_ptr<platform::Transport> storage;
  return storage;
}
}  // namespace

platform::DeviceHandle device_handle() { return handle_storage().get(); }

void replace_device_handle(std::unique_ptr<platform::Transport> transport) {
  handle_storage().reset();
  handle_storage() = std::move(transport);
}

void close_device_handle() { handle_storage().reset(); }

}  // namespace tarsio::device
