#include "device/devicecontrol.h"

#include <cstring>
#include <vector>

#include "device/device_params.h"
#include "shell/log.h"
#include "shell/ui_services.h"
#include "shell/util.h"

#define TARSIO_LOG_SOURCE "devicecontrol"

namespace tarsio::device {
namespace {

// ReadInfo and the exit notice belong to the main dialog in the log.
constexpr const char* kDialogSource = "tarsiodlg";
constexpr const char* kIoErrorBox = "deviceiocontrol err";

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// One request with a single reply byte; the byte is 0 when the call failed.
int request_byte(DeviceHandle handle, uint32_t code, uint8_t* byte) {
  *byte = 0;
  return platform::device_control(handle, code, nullptr, 0, byte, 1);
}

}  // namespace

Request make_register_request(uint8_t command, uint16_t address, uint16_t value) {
  return {command, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

Request make_data_request(uint8_t mode, uint16_t address, uint16_t length) {
  return {mode, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
          static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
}

bool decode_sensor_info(const uint8_t* bytes, std::size_t size, SensorInfo* info) {
  if (bytes == nullptr || size != kSensorInfoSize) return false;
  SensorInfo out;
  out.fw_version = bytes[0];
  out.reserved = bytes[1];
  out.usb_version = get16(bytes + 2);
  // Bounded copy: a text without terminator is cut to 63 characters.
  std::size_t n = 0;
  while (n < kDriverVersionSize - 1 && bytes[4 + n] != 0) ++n;
  std::memcpy(out.driver_version, bytes + 4, n);
  out.driver_version[n] = '\0';
  out.width = get16(bytes + 68);
  out.height = get16(bytes + 70);
  out.sensor_type = static_cast<int32_t>(static_cast<uint32_t>(bytes[72]) | static_cast<uint32_t>(bytes[73]) << 8 |
                                         static_cast<uint32_t>(bytes[74]) << 16 |
                                         static_cast<uint32_t>(bytes[75]) << 24);
  *info = out;
  return true;
}

std::array<uint8_t, kSensorInfoSize> encode_sensor_info(const SensorInfo& info) {
  std::array<uint8_t, kSensorInfoSize> bytes{};
  bytes[0] = info.fw_version;
  bytes[1] = info.reserved;
  put16(&bytes[2], info.usb_version);
  std::memcpy(&bytes[4], info.driver_version, kDriverVersionSize);
  put16(&bytes[68], info.width);
  put16(&bytes[70], info.height);
  const auto type = static_cast<uint32_t>(info.sensor_type);
  for (int i = 0; i < 4; ++i) bytes[72 + i] = static_cast<uint8_t>(type >> (8 * i));
  return bytes;
}

int device_io_readdevice(DeviceHandle handle, uint8_t command, uint16_t address, uint16_t value,
                         uint8_t* dest, uint16_t count) {
  static constexpr const char* op = "device_io_readdevice";
  if (handle == kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return -1;
  }
  const Request request = make_register_request(command, address, value);
  TLOG_I(op, "readdevice--->bycmd 0x%x, addr = 0x%x, val = 0x%x", command, address, value);
  uint8_t reply[kRegisterReplySize] = {};
  const int err = platform::device_control(handle, IOCTL_BIOMETRIC_READ_DEVICE, request.data(), kRequestSize,
                                           reply, kRegisterReplySize);
  if (err != 0) {
    TLOG_E(op, "DeviceIoControl(..IOCTL_BIOMETRIC_READ_DEVICE..) 0x%x", err);
    return -1;
  }
  // The reply holds 8 bytes; a larger count copies no more than that.
  const int n = dest == nullptr ? 0 : (count < kRegisterReplySize ? count : kRegisterReplySize);
  if (n > 0) std::memcpy(dest, reply, static_cast<std::size_t>(n));
  shell::hexdump(reply, n);
  return 0;
}

int device_io_writedevice(DeviceHandle handle, uint8_t command, uint16_t address, uint16_t value) {
  static constexpr const char* op = "device_io_writedevice";
  if (handle == kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return -1;
  }
  const Request request = make_register_request(command, address, value);
  TLOG_I(op, "writedevice-->bycmd 0x%x, addr = 0x%x, val = 0x%x", command, address, value);
  const int err =
      platform::device_control(handle, IOCTL_BIOMETRIC_WRITE_DEVICE, request.data(), kRequestSize, nullptr, 0);
  if (err != 0) {
    TLOG_E(op, "DeviceIoControl(..IOCTL_BIOMETRIC_WRITE_DEVICE..) 0x%x", err);
    return -1;
  }
  return 0;
}

int device_io_readwritedata(DeviceHandle handle, uint8_t mode, uint16_t address, uint8_t* buffer,
                            uint16_t length) {
  static constexpr const char* op = "device_io_readwritedata";
  if (handle == kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return -1;
  }
  const Request request = make_data_request(mode, address, length);
  const uint16_t reply_size = data_reply_size(length);
  TLOG_I(op, "readwritedevice--->bycmd 0x%x, addr = 0x%x, output len = %d", mode, address, length);
  TLOG_I(op, "readwritedevice-->output size %d", reply_size);
  TLOG_I(op, "read len = %d", reply_size);

  // Mode 1's scratch buffer holds the reply and never less than the length
  // that is copied out of it: for lengths of 65532 and more the reply size
  // wraps below the length, and the bytes beyond the reply stay zero.
  std::vector<uint8_t> scratch;
  uint8_t* reply = nullptr;
  if (mode == kDataModeScratch) {
    scratch.assign(reply_size > length ? reply_size : length, 0);
    reply = scratch.data();
  } else if (mode == kDataModeDirect) {
    reply = buffer;
  } else {
    TLOG_E(op, "no cmd");
  }
  // Without a reply buffer the request cannot deliver the reply it owes,
  // so it fails (EPROTO) even if the device accepted it.
  const int err = platform::device_control(handle, IOCTL_BIOMETRIC_READ_DATA, request.data(), kRequestSize,
                                           reply, reply_size);
  if (err != 0) {
    TLOG_E(op, "DeviceIoControl(..IOCTL_BIOMETRIC_READ_DEVICE..) 0x%x", err);
    return -1;
  }
  if (mode == kDataModeScratch && buffer != nullptr && length > 0) std::memcpy(buffer, scratch.data(), length);
  shell::hexdump(reply, reply_size);
  return 0;
}

bool ReadInfo(DeviceHandle handle, SensorInfo* current) {
  static constexpr const char* op = "ReadInfo";
  static constexpr const char* qualified = "CTarsioDlg::ReadInfo";
  TLOG_ENTER(op);
  if (handle == kInvalidDeviceHandle) {
    TLOG_E_SRC(qualified, kDialogSource, "Device handle invalid.");
    return false;
  }
  uint8_t reply[kSensorInfoSize] = {};
  int err = platform::device_control(handle, IOCTL_BIOMETRIC_SENSOR_INFO, nullptr, 0, reply, kSensorInfoSize);
  if (err != 0) {
    TLOG_E_SRC(qualified, kDialogSource, "DeviceIoControl(..IOCTL_BIOMETRIC_SENSOR_INFO..) 0x%x", err);
    shell::ui_services().message_box(kIoErrorBox);
    return false;
  }
  SensorInfo first;
  decode_sensor_info(reply, sizeof reply, &first);
  SensorInfo stored = first;
  if (first.fw_version == 0 && first.usb_version != 0) {
    // A bridge that reports firmware 0 has not read the sensor yet: ask
    // again and keep the second record, decoded field by field like the
    // first one, so that the geometry is published as well.
    uint8_t again[kSensorInfoSize] = {};
    err = platform::device_control(handle, IOCTL_BIOMETRIC_SENSOR_INFO, nullptr, 0, again, kSensorInfoSize);
    if (err != 0) {
      TLOG_E_SRC(qualified, kDialogSource, "DeviceIoControl(..IOCTL_BIOMETRIC_SENSOR_INFO..) 0x%x", err);
      shell::ui_services().message_box(kIoErrorBox);
      return false;
    }
    decode_sensor_info(again, sizeof again, &stored);
  }
  if (current != nullptr) *current = stored;
  publish_sensor_geometry(stored.width, stored.height, stored.sensor_type);
  TLOG_I(op, "driver ver: %s, fw ver: 0x%x, usb ver: 0x%x, w: %d, h: %d", first.driver_version, first.fw_version,
         first.usb_version, first.width, first.height);
  TLOG_LEAVE(op);
  return true;
}

bool TestDownloadFw(DeviceHandle handle) {
  static constexpr const char* op = "TestDownloadFw";
  if (handle == kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return false;
  }
  TLOG_ENTER(op);
  uint8_t byte;
  if (const int err = request_byte(handle, IOCTL_BIOMETRIC_DOWNLOAD_FW, &byte); err != 0) {
    TLOG_E(op, "DeviceIoControl(..IOCTL_BIOMETRIC_DOWNLOAD_FW..) 0x%x", err);
    shell::ui_services().message_box(kIoErrorBox);
    return false;
  }
  const bool ok = byte == 1;
  if (ok) TLOG_I(op, "download fw success");
  TLOG_LEAVE(op);
  return ok;
}

bool TestSPI(DeviceHandle handle) {
  static constexpr const char* op = "TestSPI";
  if (handle == kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return false;
  }
  TLOG_ENTER(op);
  uint8_t byte;
  if (const int err = request_byte(handle, IOCTL_BIOMETRIC_TEST_SPI, &byte); err != 0) {
    TLOG_E(op, "DeviceIoControl(..IOCTL_BIOMETRIC_TEST_SPI..) 0x%x", err);
    return false;
  }
  TLOG_LEAVE(op);
  return byte == 1;
}

bool SendAppExitNotice(DeviceHandle handle) {
  static constexpr const char* qualified = "CTarsioDlg::OnClose";
  if (handle == kInvalidDeviceHandle) {
    TLOG_E_SRC(qualified, kDialogSource, "Device handle invalid.");
    return false;
  }
  uint8_t byte;
  if (const int err = request_byte(handle, IOCTL_BIOMETRIC_APP_EXIT, &byte); err != 0) {
    TLOG_E_SRC(qualified, kDialogSource, "DeviceIoControl(..IOCTL_BIOMETRIC_APP_EXIT..) 0x%x", err);
    return false;
  }
  return true;
}

}  // namespace tarsio::device
