// Arrival and removal of sensor modules while the station runs: a udev
// monitor on the driver's tagged devices plus inotify on the virtual modules'
// run directory.  The owner polls the descriptors from its own event loop
// (the dialog thread) and drains the events there.
#pragma once

#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace tarsio::platform {

enum class DeviceEvent { kArrival, kRemoval };

class DeviceMonitor {
 public:
  DeviceMonitor() = default;
  ~DeviceMonitor();
  DeviceMonitor(const DeviceMonitor &) = delete;
  DeviceMonitor &operator=(const DeviceMonitor &) = delete;

  // Starts watching; `vmodule_dir` is created (mode 0700) when missing so that
  // modules started later are seen.  Returns true when at least one of the
  // two sources is watched; false leaves the monitor inert.
  bool start(const std::string &vmodule_dir);
  void stop();

  // Descriptors that become readable when events are pending (-1 when that
  // source is not watched).
  int udev_fd() const;
  int inotify_fd() const { return inotify_fd_; }

  // Reads everything pending on both sources without blocking and returns the
  // events in the order they were read.
  std::vector<DeviceEvent> read_events();

 private:
  void read_udev(std::vector<DeviceEvent> &out);
  void read_inotify(std::vector<DeviceEvent> &out);

  ::udev *udev_ = nullptr;
  ::udev_monitor *monitor_ = nullptr;
  int inotify_fd_ = -1;
};

}  // namespace tarsio::platform
