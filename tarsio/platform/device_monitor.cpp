#include "platform/device_monitor.h"

#include <libudev.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sensor_devices.h"

namespace tarsio::platform {

namespace {

bool is_descriptor_name(const char *name, std::size_t len) {
  const std::size_t n = strnlen(name, len);
  return n > 5 && name[0] != '.' && std::memcmp(name + n - 5, ".desc", 5) == 0;
}

// Creates the directory and its missing parents (mode 0700 for the leaf).
bool make_dirs(const std::string &dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const auto slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !make_dirs(dir.substr(0, slash))) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

DeviceMonitor::~DeviceMonitor() { stop(); }

void DeviceMonitor::stop() {
  if (monitor_) udev_monitor_unref(monitor_);
  if (udev_) udev_unref(udev_);
  if (inotify_fd_ >= 0) close(inotify_fd_);
  monitor_ = nullptr;
  udev_ = nullptr;
  inotify_fd_ = -1;
}

bool DeviceMonitor::start(const std::string &vmodule_dir) {
  stop();
  udev_ = udev_new();
  if (udev_) {
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ && (udev_monitor_filter_add_match_tag(monitor_, kSensorUdevTag) < 0 ||
                     udev_monitor_enable_receiving(monitor_) < 0)) {
      udev_monitor_unref(monitor_);
      monitor_ = nullptr;
    }
  }
  if (make_dirs(vmodule_dir)) {
    inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd_ >= 0 &&
        inotify_add_watch(inotify_fd_, vmodule_dir.c_str(),
                          IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR) < 0) {
      close(inotify_fd_);
      inotify_fd_ = -1;
    }
  }
  return monitor_ != nullptr || inotify_fd_ >= 0;
}

int DeviceMonitor::udev_fd() const { return monitor_ ? udev_monitor_get_fd(monitor_) : -1; }

std::vector<DeviceEvent> DeviceMonitor::read_events() {
  std::vector<DeviceEvent> out;
  read_udev(out);
  read_inotify(out);
  return out;
}

void DeviceMonitor::read_udev(std::vector<DeviceEvent> &out) {
  if (!monitor_) return;
  // The monitor socket is non-blocking: receive_device returns null when
  // nothing is pending.
  while (udev_device *dev = udev_monitor_receive_device(monitor_)) {
    const char *action = udev_device_get_action(dev);
    const bool has_node = udev_device_get_devnode(dev) != nullptr;
    if (action && has_node) {
      if (std::strcmp(action, "add") == 0) out.push_back(DeviceEvent::kArrival);
      else if (std::strcmp(action, "remove") == 0) out.push_back(DeviceEvent::kRemoval);
    }
    udev_device_unref(dev);
  }
}

void DeviceMonitor::read_inotify(std::vector<DeviceEvent> &out) {
  if (inotify_fd_ < 0) return;
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t n = read(inotify_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::size_t off = 0;
    while (off + sizeof(inotify_event) <= static_cast<std::size_t>(n)) {
      const auto *ev = reinterpret_cast<const inotify_event *>(buf + off);
      const std::size_t size = sizeof(inotify_event) + ev->len;
      if (off + size > static_cast<std::size_t>(n)) break;
      if (ev->len > 0 && is_descriptor_name(ev->name, ev->len)) {
        if (ev->mask & (IN_MOVED_TO | IN_CLOSE_WRITE)) out.push_back(DeviceEvent::kArrival);
        else if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) out.push_back(DeviceEvent::kRemoval);
      }
      off += size;
    }
  }
}

}  // namespace tarsio::platform
