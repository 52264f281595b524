// Hardware-identifier texts in the shape the module's identification patterns
// expect ("USB\VID_3A7C&PID_3101", "ACPI\VEN_KMX&DEV_7001"), built from what
// Linux tells about a device, and the pattern test used by discovery.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarsio::platform {

// "USB\VID_xxxx&PID_xxxx" from the idVendor / idProduct attributes of a USB
// device (four hex digits each, as sysfs writes them).  Returns nothing when
// either text is not a 1..4 digit hexadecimal number.
std::optional<std::string> usb_hardware_id(std::string_view id_vendor, std::string_view id_product);

// "ACPI\VEN_vvv&DEV_dddd" from a device's modalias when it names an ACPI or
// SPI id of the form <vendor letters><four hex digits>, for example
// "acpi:KMX7001:" or "spi:KMX7001" or "of:NfpsensorT(null)CKMX7001".  The
// vendor part is 3 or 4 letters/digits, the device part the last four
// characters.  Returns nothing when the modalias carries no such id.
std::optional<std::string> acpi_hardware_id_from_modalias(std::string_view modalias);

// What one device in a device's parent chain tells about itself (empty when
// it has no such attribute or property).
struct DeviceIdAttributes {
  std::string id_vendor;   // sysfs idVendor (USB devices)
  std::string id_product;  // sysfs idProduct
  std::string modalias;    // MODALIAS property
};

// The identifier of a device node, from the chain that starts at the node
// and goes up through its parents: the first ancestor with USB vendor and
// product ids, or with an ACPI/SPI modalias, names the module.  A USB
// interface's own "usb:" modalias is skipped in favour of its parent's ids.
std::optional<std::string> hardware_id_from_chain(const std::vector<DeviceIdAttributes> &chain);

// ASCII upper-casing, as discovery applies it to every identifier before
// matching.
std::string to_upper_ascii(std::string_view text);

// True when the pattern occurs in the upper-cased identifier.
bool hardware_id_matches(std::string_view hardware_id, std::string_view pattern);

}  // namespace tarsio::platform
