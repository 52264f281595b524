// The module driver's private request protocol: control codes, the 5-byte
// register and data requests, the 76-byte sensor-information record, the
// three register wrappers and the fixed-purpose requests (sensor
// information, firmware download, SPI self-test, application exit).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/transport.h"

namespace tarsio::device {

using platform::DeviceHandle;
using platform::kInvalidDeviceHandle;

// Control code = device type 0x44 << 16 | function << 2 (buffered, any access).
constexpr uint32_t biometric_ctl_code(uint32_t function) { return (0x44u << 16) | (function << 2); }

inline constexpr uint32_t IOCTL_BIOMETRIC_SENSOR_INFO = biometric_ctl_code(0x807);   // 0x44201C
inline constexpr uint32_t IOCTL_BIOMETRIC_DOWNLOAD_FW = biometric_ctl_code(0x809);   // 0x442024
inline constexpr uint32_t IOCTL_BIOMETRIC_TEST_SPI = biometric_ctl_code(0x80A);      // 0x442028
inline constexpr uint32_t IOCTL_BIOMETRIC_APP_EXIT = biometric_ctl_code(0x80B);      // 0x44202C
inline constexpr uint32_t IOCTL_BIOMETRIC_WRITE_DEVICE = biometric_ctl_code(0x80C);  // 0x442030
inline constexpr uint32_t IOCTL_BIOMETRIC_READ_DEVICE = biometric_ctl_code(0x80D);   // 0x442034
inline constexpr uint32_t IOCTL_BIOMETRIC_READ_DATA = biometric_ctl_code(0x80E);     // 0x442038

// Command bytes of a register request.
inline constexpr uint8_t kCmdReadRegister = 0x3A;   // ':'
inline constexpr uint8_t kCmdWriteRegister = 0x3B;  // ';'
inline constexpr uint8_t kCmdMcuIdle = 0x22;        // '"', address 0x70, value 0x70, sent twice
inline constexpr uint8_t kCmdModuleReset = 0x40;    // '@', address 0, value 0, sent twice
inline constexpr uint8_t kCmdMemoryRead = 0x34;     // '4', address 0, value 0xFF, before a block read

// Transfer modes of a data request.
inline constexpr uint8_t kDataModeScratch = 1;  // reply into a scratch buffer, then copied
inline constexpr uint8_t kDataModeDirect = 2;   // reply straight into the caller's buffer

inline constexpr std::size_t kRequestSize = 5;
inline constexpr std::size_t kRegisterReplySize = 8;
inline constexpr std::size_t kSensorInfoSize = 76;
inline constexpr std::size_t kDriverVersionSize = 64;

using Request = std::array<uint8_t, kRequestSize>;

// Register request: command, address high/low, value high/low (big-endian).
Request make_register_request(uint8_t command, uint16_t address, uint16_t value);
// Data request: mode, word address high/low, length high/low.
Request make_data_request(uint8_t mode, uint16_t address, uint16_t length);
// A data reply holds length + 4 bytes, the sum taken modulo 65536.
constexpr uint16_t data_reply_size(uint16_t length) { return static_cast<uint16_t>(length + 4); }

// The sensor-information record (little-endian on the wire).
struct SensorInfo {
  uint8_t fw_version = 0;
  uint8_t reserved = 0;
  uint16_t usb_version = 0;              // 0 on SPI
  char driver_version[kDriverVersionSize] = {};  // always NUL-terminated here
  uint16_t width = 0;
  uint16_t height = 0;
  int32_t sensor_type = 0;
};

// Decodes a record; false unless exactly kSensorInfoSize bytes are given.
// The version text is cut to 63 characters so that it always ends in NUL.
bool decode_sensor_info(const uint8_t* bytes, std::size_t size, SensorInfo* info);
// Encodes a record (the virtual module and tests build replies with it).
std::array<uint8_t, kSensorInfoSize> encode_sensor_info(const SensorInfo& info);

// Register read: copies min(count, 8) reply bytes to dest.  0 or -1.
int device_io_readdevice(DeviceHandle handle, uint8_t command, uint16_t address, uint16_t value,
                         uint8_t* dest, uint16_t count);
// Register write or module command.  0 or -1.
int device_io_writedevice(DeviceHandle handle, uint8_t command, uint16_t address, uint16_t value);
// Block read of module memory.  Mode 1 keeps the first length bytes of the
// reply in buffer (which needs length bytes); mode 2 receives the whole
// reply of data_reply_size(length) bytes in buffer.  0 or -1.
int device_io_readwritedata(DeviceHandle handle, uint8_t mode, uint16_t address, uint8_t* buffer,
                            uint16_t length);

// Reads the sensor-information record into *current and publishes the
// geometry and sensor type.  *current is left as it was on failure.
// (A member of the main dialog in the log: "CTarsioDlg::ReadInfo".)
bool ReadInfo(DeviceHandle handle, SensorInfo* current);
// Firmware-download trigger: true when the reply byte is 1.
bool TestDownloadFw(DeviceHandle handle);
// SPI self-test (interrupt pin): true when the reply byte is 1.
bool TestSPI(DeviceHandle handle);
// Application-exit notice sent by the main dialog when it closes
// ("CTarsioDlg::OnClose" in the log).  False when the request failed or the
// handle is invalid; the caller then closes the handle and makes it invalid.
bool SendAppExitNotice(DeviceHandle handle);

}  // namespace tarsio::device
