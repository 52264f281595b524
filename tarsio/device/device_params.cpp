#include "device/device_params.h"

#include <mutex>

namespace tarsio::device {
namespace {

std::mutex g_lock;
DeviceParams g_params;

}  // namespace

void publish_sensor_geometry(uint16_t width, uint16_t height, int32_t sensor_type) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_params.width = width;
  g_params.height = height;
  g_params.sensor_type = sensor_type;
}

void publish_bus_type(int bus_type) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_params.bus_type = bus_type;
}

DeviceParams published_device_params() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_params;
}

void reset_device_params() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_params = DeviceParams{};
}

}  // namespace tarsio::device
