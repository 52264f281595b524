// Device parameters published to the image functions: the frame geometry
// and sensor type from the sensor-information record, and the bus type
// from discovery.  All zero until published.
#pragma once

#include <cstdint>

namespace tarsio::device {

struct DeviceParams {
  uint16_t width = 0;       // columns, the row stride
  uint16_t height = 0;      // rows
  int32_t sensor_type = 0;  // 1, 2, 3 or 6 for the supported models
  int bus_type = 0;         // 1 = USB, 2 = SPI
};

void publish_sensor_geometry(uint16_t width, uint16_t height, int32_t sensor_type);
void publish_bus_type(int bus_type);
DeviceParams published_device_params();
// Back to all zeros (tests, and a module that went away).
void reset_device_params();

}  // namespace tarsio::device
