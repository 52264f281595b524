#include "platform/sensor_devices.h"

#include <dirent.h>
#include <libudev.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/hardware_id.h"
#include "platform/vmodule_dir.h"

namespace tarsio::platform {

namespace {

struct UdevUnref {
  void operator()(udev *u) const { udev_unref(u); }
};
struct EnumerateUnref {
  void operator()(udev_enumerate *e) const { udev_enumerate_unref(e); }
};
struct DeviceUnref {
  void operator()(udev_device *d) const { udev_device_unref(d); }
};

// Collects the identifying attributes of the device node and its parents.
std::optional<std::string> hardware_id_of(udev_device *dev) {
  std::vector<DeviceIdAttributes> chain;
  for (udev_device *d = dev; d != nullptr; d = udev_device_get_parent(d)) {
    auto text = [](const char *s) { return s ? std::string(s) : std::string(); };
    chain.push_back({text(udev_device_get_sysattr_value(d, "idVendor")),
                     text(udev_device_get_sysattr_value(d, "idProduct")),
                     text(udev_device_get_property_value(d, "MODALIAS"))});
  }
  return hardware_id_from_chain(chain);
}

}  // namespace

std::vector<SensorDevice> list_virtual_modules(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".desc") == 0 && name[0] != '.')
        names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::vector<SensorDevice> out;
  for (const auto &name : names) {
    VirtualModuleDesc desc;
    if (!read_virtual_module_desc(dir + "/" + name, &desc)) continue;
    out.push_back(SensorDevice{desc.hardware_id, desc.socket, true});
  }
  return out;
}

int list_sensor_devices(std::vector<SensorDevice> &out) {
  out.clear();
  int result = 0;
  std::unique_ptr<udev, UdevUnref> u(udev_new());
  std::unique_ptr<udev_enumerate, EnumerateUnref> en(u ? udev_enumerate_new(u.get()) : nullptr);
  if (!en) {
    result = errno ? errno : ENOMEM;
  } else {
    udev_enumerate_add_match_tag(en.get(), kSensorUdevTag);
    const int rc = udev_enumerate_scan_devices(en.get());
    if (rc < 0) {
      result = -rc;
    } else {
      udev_list_entry *entry = nullptr;
      udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get())) {
        std::unique_ptr<udev_device, DeviceUnref> dev(
            udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
        if (!dev) continue;
        const char *node = udev_device_get_devnode(dev.get());
        if (!node) continue;  // only devices with a character-device node can be opened
        out.push_back(SensorDevice{hardware_id_of(dev.get()), node, false});
      }
    }
  }
  auto virtuals = list_virtual_modules(virtual_module_dir());
  out.insert(out.end(), virtuals.begin(), virtuals.end());
  return result;
}

}  // namespace tarsio::platform
