#include "platform/hardware_id.h"

#include <cctype>

namespace tarsio::platform {

namespace {

bool is_hex_text(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool is_alnum_text(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  return true;
}

// Pads a hexadecimal text of up to four digits to exactly four, upper case.
std::string hex4(std::string_view s) {
  std::string out(4 - s.size(), '0');
  out += to_upper_ascii(s);
  return out;
}

}  // namespace

std::string to_upper_ascii(std::string_view text) {
  std::string out(text);
  for (char &c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::optional<std::string> usb_hardware_id(std::string_view id_vendor, std::string_view id_product) {
  // sysfs attributes may carry a trailing line feed when read raw.
  auto trim = [](std::string_view s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.remove_suffix(1);
    return s;
  };
  id_vendor = trim(id_vendor);
  id_product = trim(id_product);
  if (id_vendor.size() > 4 || id_product.size() > 4) return std::nullopt;
  if (!is_hex_text(id_vendor) || !is_hex_text(id_product)) return std::nullopt;
  return "USB\\VID_" + hex4(id_vendor) + "&PID_" + hex4(id_product);
}

std::optional<std::string> acpi_hardware_id_from_modalias(std::string_view modalias) {
  std::string_view rest;
  if (modalias.substr(0, 5) == "acpi:")
    rest = modalias.substr(5);
  else if (modalias.substr(0, 4) == "spi:")
    rest = modalias.substr(4);
  else
    return std::nullopt;
  // An ACPI modalias lists ids separated by ':'; the first is the device's own.
  const auto colon = rest.find(':');
  const std::string_view id = rest.substr(0, colon);
  if (id.size() != 7 && id.size() != 8) return std::nullopt;
  const std::string_view vendor = id.substr(0, id.size() - 4);
  const std::string_view device = id.substr(id.size() - 4);
  if (!is_alnum_text(vendor) || !is_hex_text(device)) return std::nullopt;
  // Keep the letters as the firmware spells them; matching upper-cases.
  return "ACPI\\VEN_" + std::string(vendor) + "&DEV_" + std::string(device);
}

std::optional<std::string> hardware_id_from_chain(const std::vector<DeviceIdAttributes> &chain) {
  for (const auto &d : chain) {
    if (!d.id_vendor.empty() && !d.id_product.empty()) {
      if (auto id = usb_hardware_id(d.id_vendor, d.id_product)) return id;
    }
    if (!d.modalias.empty()) {
      if (auto id = acpi_hardware_id_from_modalias(d.modalias)) return id;
    }
  }
  return std::nullopt;
}

bool hardware_id_matches(std::string_view hardware_id, std::string_view pattern) {
  return to_upper_ascii(hardware_id).find(to_upper_ascii(pattern)) != std::string::npos;
}

}  // namespace tarsio::platform
