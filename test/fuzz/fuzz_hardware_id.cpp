// Hardware-identifier shaping from udev texts (sysfs idVendor/idProduct and
// modalias values come from the kernel and from device firmware): any bytes
// must give either a well-formed identifier or nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/hardware_id.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  if (auto id = tarsio::platform::acpi_hardware_id_from_modalias(text)) {
    if (id->rfind("ACPI\\VEN_", 0) != 0 || id->find("&DEV_") == std::string::npos) std::abort();
    if (!tarsio::platform::hardware_id_matches(*id, "&DEV_")) std::abort();
  }
  const auto split = text.find('\n');
  const std::string_view vendor = text.substr(0, split);
  const std::string_view product = split == std::string_view::npos ? std::string_view{} : text.substr(split + 1);
  if (auto id = tarsio::platform::usb_hardware_id(vendor, product)) {
    if (id->size() != 21 || id->rfind("USB\\VID_", 0) != 0) std::abort();
  }
  tarsio::platform::hardware_id_matches(text, "VID_3A7C&PID_3101");
  return 0;
}
