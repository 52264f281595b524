// Hardware-identifier shaping from udev attributes and the pattern test.
#include <gtest/gtest.h>

#include "platform/hardware_id.h"

namespace tarsio::platform {
namespace {

TEST(HardwareId, UsbIdFromSysfsAttributes) {
  EXPECT_EQ(usb_hardware_id("3a7c", "3101"), "USB\\VID_3A7C&PID_3101");
  // sysfs values read raw keep their line feed; short values are padded.
  EXPECT_EQ(usb_hardware_id("3a7c\n", "31a8\n"), "USB\\VID_3A7C&PID_31A8");
  EXPECT_EQ(usb_hardware_id("1d6b", "2"), "USB\\VID_1D6B&PID_0002");
  EXPECT_FALSE(usb_hardware_id("", "3101"));
  EXPECT_FALSE(usb_hardware_id("3a7c", "31x1"));
  EXPECT_FALSE(usb_hardware_id("13a7c", "3101"));
}

TEST(HardwareId, AcpiIdFromModalias) {
  EXPECT_EQ(acpi_hardware_id_from_modalias("acpi:KMX7001:"), "ACPI\\VEN_KMX&DEV_7001");
  // Only the device's own (first) id of an ACPI modalias counts.
  EXPECT_EQ(acpi_hardware_id_from_modalias("acpi:KMX3600:PNP0C50:"), "ACPI\\VEN_KMX&DEV_3600");
  EXPECT_EQ(acpi_hardware_id_from_modalias("spi:kmx6100"), "ACPI\\VEN_kmx&DEV_6100");
  EXPECT_FALSE(acpi_hardware_id_from_modalias("usb:v3A7Cp3101d0100"));
  EXPECT_FALSE(acpi_hardware_id_from_modalias("acpi:KMX70:"));
  EXPECT_FALSE(acpi_hardware_id_from_modalias("acpi:KM-7001:"));
  EXPECT_FALSE(acpi_hardware_id_from_modalias("acpi:KMX700G:"));
  EXPECT_FALSE(acpi_hardware_id_from_modalias(""));
}

TEST(HardwareId, FromTheParentChainOfADeviceNode) {
  // Character device -> USB interface (its own "usb:" modalias) -> USB device.
  const std::vector<DeviceIdAttributes> usb = {
      {"", "", ""}, {"", "", "usb:v3A7Cp3101d0100dc00dsc00dp00icFFiscFFipFFin00"}, {"3a7c", "3101", ""}};
  EXPECT_EQ(hardware_id_from_chain(usb), "USB\\VID_3A7C&PID_3101");
  // Character device -> SPI device enumerated from ACPI.
  const std::vector<DeviceIdAttributes> spi = {{"", "", ""}, {"", "", "acpi:KMX7001:"}, {"", "", ""}};
  EXPECT_EQ(hardware_id_from_chain(spi), "ACPI\\VEN_KMX&DEV_7001");
  // The nearest identifying ancestor wins.
  const std::vector<DeviceIdAttributes> both = {{"", "", "spi:KMX4800"}, {"3a7c", "3102", ""}};
  EXPECT_EQ(hardware_id_from_chain(both), "ACPI\\VEN_KMX&DEV_4800");
  // Nothing readable: no identifier (discovery then takes the device as a match).
  EXPECT_FALSE(hardware_id_from_chain({{"", "", ""}, {"", "", "platform:serial8250"}}));
  EXPECT_FALSE(hardware_id_from_chain({}));
}

TEST(HardwareId, MatchingUpperCasesTheIdentifier) {
  EXPECT_TRUE(hardware_id_matches("USB\\VID_3A7C&PID_3101&REV_0100", "VID_3A7C&PID_3101"));
  EXPECT_TRUE(hardware_id_matches("usb\\vid_3a7c&pid_3101", "VID_3A7C&PID_3101"));
  EXPECT_TRUE(hardware_id_matches("acpi\\ven_kmx&dev_4800", "VEN_KMX&DEV_4800"));
  EXPECT_FALSE(hardware_id_matches("USB\\VID_3A7C&PID_3103", "VID_3A7C&PID_3101"));
  EXPECT_EQ(to_upper_ascii("ven_kmx&dev_7001 é"), "VEN_KMX&DEV_7001 é");
}

}  // namespace
}  // namespace tarsio::platform
