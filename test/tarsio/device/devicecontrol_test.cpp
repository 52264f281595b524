// The driver protocol against a scripted transport: control codes, request
// layouts, the wrappers' copies and log lines, invalid handles, short and
// failing replies, and the sensor-information record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include "device/device_params.h"
#include "device/devicecontrol.h"
#include "tarsio/fake_transport.h"
#include "shell/ui_services.h"
#include "tarsio/test_support.h"

namespace tarsio::device {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using testing::Answer;
using testing::FakeTransport;
using testing::ScratchDir;

class RecordingUi final : public shell::UiServices {
 public:
  void message_box(const std::string& text) override { boxes.push_back(text); }
  std::vector<std::string> boxes;
};

class DriverProtocol : public ::testing::Test {
 protected:
  void SetUp() override {
    shell::set_log_threshold(0);
    shell::set_ui_services(&ui);
    reset_device_params();
  }
  void TearDown() override { shell::set_ui_services(nullptr); }
  std::vector<std::string> lines() const { return dir.log_lines(); }

  ScratchDir dir;
  FakeTransport device;
  RecordingUi ui;
};

std::vector<uint8_t> record(uint8_t fw, uint16_t usb, const char* version, uint16_t w, uint16_t h, int32_t type) {
  SensorInfo info;
  info.fw_version = fw;
  info.usb_version = usb;
  std::strncpy(info.driver_version, version, sizeof info.driver_version - 1);
  info.width = w;
  info.height = h;
  info.sensor_type = type;
  const auto bytes = encode_sensor_info(info);
  return {bytes.begin(), bytes.end()};
}

TEST(DriverCodes, ControlCodesAndRequestLayouts) {
  EXPECT_EQ(IOCTL_BIOMETRIC_SENSOR_INFO, 0x44201Cu);
  EXPECT_EQ(IOCTL_BIOMETRIC_DOWNLOAD_FW, 0x442024u);
  EXPECT_EQ(IOCTL_BIOMETRIC_TEST_SPI, 0x442028u);
  EXPECT_EQ(IOCTL_BIOMETRIC_APP_EXIT, 0x44202Cu);
  EXPECT_EQ(IOCTL_BIOMETRIC_WRITE_DEVICE, 0x442030u);
  EXPECT_EQ(IOCTL_BIOMETRIC_READ_DEVICE, 0x442034u);
  EXPECT_EQ(IOCTL_BIOMETRIC_READ_DATA, 0x442038u);
  EXPECT_THAT(make_register_request(0x22, 0x70, 0x70), ElementsAre(0x22, 0x00, 0x70, 0x00, 0x70));
  EXPECT_THAT(make_register_request(0x3B, 0x1234, 0xABCD), ElementsAre(0x3B, 0x12, 0x34, 0xAB, 0xCD));
  EXPECT_THAT(make_data_request(1, 0x3400, 5120), ElementsAre(0x01, 0x34, 0x00, 0x14, 0x00));
  EXPECT_EQ(data_reply_size(5120), 5124);
  EXPECT_EQ(data_reply_size(65533), 1);  // the sum wraps at 65536
}

TEST(DriverCodes, SensorInfoRecordLayout) {
  const auto bytes = record(0x1F, 0x0102, "1.0.1.41", 64, 80, 3);
  ASSERT_EQ(bytes.size(), 76u);
  EXPECT_EQ(bytes[0], 0x1F);
  EXPECT_EQ(bytes[2], 0x02);
  EXPECT_EQ(bytes[3], 0x01);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[4])), "1.0.1.41");
  EXPECT_EQ(bytes[68], 64);
  EXPECT_EQ(bytes[70], 80);
  EXPECT_EQ(bytes[72], 3);
  SensorInfo info;
  EXPECT_FALSE(decode_sensor_info(bytes.data(), 75, &info));
  std::vector<uint8_t> unterminated = bytes;
  std::memset(&unterminated[4], 'v', 64);
  ASSERT_TRUE(decode_sensor_info(unterminated.data(), 76, &info));
  EXPECT_EQ(std::strlen(info.driver_version), 63u);
  EXPECT_EQ(info.width, 64);
}

TEST_F(DriverProtocol, RegisterReadCopiesCountBytesAndDumpsThem) {
  device.answers.push_back({0, {0xA5, 0x5A, 1, 2, 3, 4, 5, 6}});
  uint8_t dest[4] = {9, 9, 9, 9};
  ASSERT_EQ(device_io_readdevice(&device, kCmdReadRegister, 0x20, 0, dest, 2), 0);
  EXPECT_THAT(dest, ElementsAre(0xA5, 0x5A, 9, 9));
  ASSERT_EQ(device.requests.size(), 1u);
  EXPECT_EQ(device.requests[0].code, IOCTL_BIOMETRIC_READ_DEVICE);
  EXPECT_THAT(device.requests[0].in, ElementsAre(0x3A, 0x00, 0x20, 0x00, 0x00));
  EXPECT_EQ(device.requests[0].out_len, 8u);
  const auto log = lines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_THAT(log[0], MatchesRegex(R"(\[App\] I device_io_readdevice\[[0-9]+\]: )"
                                   R"(readdevice--->bycmd 0x3a, addr = 0x20, val = 0x0)"));
  EXPECT_THAT(log[1], HasSubstr("]: 0000  0xa5 0x5a                    |.Z      |"));
}

TEST_F(DriverProtocol, RegisterReadNeverCopiesMoreThanEightBytes) {
  device.answers.push_back({0, {1, 2, 3, 4, 5, 6, 7, 8}});
  uint8_t dest[12];
  std::memset(dest, 0xEE, sizeof dest);
  ASSERT_EQ(device_io_readdevice(&device, kCmdReadRegister, 3, 0, dest, 12), 0);
  EXPECT_THAT(dest, ElementsAre(1, 2, 3, 4, 5, 6, 7, 8, 0xEE, 0xEE, 0xEE, 0xEE));
}

TEST_F(DriverProtocol, FailedAndShortReadsLeaveTheDestinationAlone) {
  device.answers.push_back({EIO, {}});
  device.answers.push_back({0, {0xA5, 0x5A}});  // short: 2 of 8 bytes
  uint8_t dest[2] = {7, 7};
  EXPECT_EQ(device_io_readdevice(&device, kCmdReadRegister, 0x20, 0, dest, 2), -1);
  EXPECT_EQ(device_io_readdevice(&device, kCmdReadRegister, 0x20, 0, dest, 2), -1);
  EXPECT_THAT(dest, ElementsAre(7, 7));
  const auto log = lines();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_THAT(log[1], MatchesRegex(R"(\[App\] E error at device_io_readdevice\[devicecontrol:[0-9]+\]: )"
                                   R"(DeviceIoControl\(\.\.IOCTL_BIOMETRIC_READ_DEVICE\.\.\) 0x5)"));
  EXPECT_THAT(log[3], HasSubstr("DeviceIoControl(..IOCTL_BIOMETRIC_READ_DEVICE..) 0x47"));  // EPROTO
}

TEST_F(DriverProtocol, RegisterWrite) {
  ASSERT_EQ(device_io_writedevice(&device, kCmdWriteRegister, 7, 0x12), 0);
  EXPECT_EQ(device.requests[0].code, IOCTL_BIOMETRIC_WRITE_DEVICE);
  EXPECT_THAT(device.requests[0].in, ElementsAre(0x3B, 0x00, 0x07, 0x00, 0x12));
  EXPECT_EQ(device.requests[0].out_len, 0u);
  device.answers.push_back({ENODEV, {}});
  EXPECT_EQ(device_io_writedevice(&device, kCmdMcuIdle, 0x70, 0x70), -1);
  const auto log = lines();
  EXPECT_THAT(log[0], HasSubstr("]: writedevice-->bycmd 0x3b, addr = 0x7, val = 0x12"));
  EXPECT_THAT(log[2], MatchesRegex(R"(\[App\] E error at device_io_writedevice\[devicecontrol:[0-9]+\]: )"
                                   R"(DeviceIoControl\(\.\.IOCTL_BIOMETRIC_WRITE_DEVICE\.\.\) 0x13)"));
}

TEST_F(DriverProtocol, DataReadOf5120Bytes) {
  std::vector<uint8_t> reply(5124);
  for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<uint8_t>(i * 7);
  device.answers.push_back({0, reply});
  std::vector<uint8_t> buffer(5120 + 8, 0xEE);
  ASSERT_EQ(device_io_readwritedata(&device, kDataModeScratch, 0x3400, buffer.data(), 5120), 0);
  EXPECT_EQ(device.requests[0].code, IOCTL_BIOMETRIC_READ_DATA);
  EXPECT_THAT(device.requests[0].in, ElementsAre(0x01, 0x34, 0x00, 0x14, 0x00));
  EXPECT_EQ(device.requests[0].out_len, 5124u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 5120, reply.begin()));
  EXPECT_EQ(buffer[5120], 0xEE);  // the 4 trailing reply bytes are not copied
  const auto log = lines();
  EXPECT_THAT(log[0], HasSubstr("]: readwritedevice--->bycmd 0x1, addr = 0x3400, output len = 5120"));
  EXPECT_THAT(log[1], HasSubstr("]: readwritedevice-->output size 5124"));
  EXPECT_THAT(log[2], HasSubstr("]: read len = 5124"));
  EXPECT_THAT(log[3], HasSubstr("]: 0000  0x00 0x07 0x0e"));
  EXPECT_THAT(log.back(), HasSubstr("]: 1400  0x"));  // the tail of the 5124-byte dump
}

TEST_F(DriverProtocol, DataReadNearTheWrapCopiesWithinBounds) {
  // 65535 + 4 wraps to 3: the device owes 3 bytes, the caller gets 65535,
  // the rest of them zeros, and no buffer is overrun.
  device.answers.push_back({0, {1, 2, 3}});
  std::vector<uint8_t> buffer(65535, 0xEE);
  ASSERT_EQ(device_io_readwritedata(&device, kDataModeScratch, 0, buffer.data(), 65535), 0);
  EXPECT_EQ(device.requests[0].out_len, 3u);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[2], 3);
  EXPECT_EQ(buffer[3], 0);
  EXPECT_EQ(buffer[65534], 0);
}

TEST_F(DriverProtocol, DataReadModesTwoAndThree) {
  device.answers.push_back({0, {5, 6, 7, 8, 9, 10}});
  std::vector<uint8_t> whole(6, 0);
  ASSERT_EQ(device_io_readwritedata(&device, kDataModeDirect, 0x10, whole.data(), 2), 0);
  EXPECT_THAT(whole, ElementsAre(5, 6, 7, 8, 9, 10));
  // An unknown mode has no reply buffer: logged and failed, even though
  // this device answers every request.
  uint8_t buffer[4] = {};
  EXPECT_EQ(device_io_readwritedata(&device, 3, 0x10, buffer, 4), -1);
  EXPECT_FALSE(device.requests[1].has_out);
  const auto log = lines();
  EXPECT_THAT(log, ::testing::Contains(MatchesRegex(R"(.*error at device_io_readwritedata\[devicecontrol:[0-9]+\]: no cmd)")));
  EXPECT_THAT(log.back(), HasSubstr("DeviceIoControl(..IOCTL_BIOMETRIC_READ_DEVICE..) 0x47"));
}

TEST_F(DriverProtocol, InvalidHandleFailsEveryOperationWithoutARequest) {
  uint8_t buffer[8] = {};
  SensorInfo info;
  info.width = 99;
  EXPECT_EQ(device_io_readdevice(kInvalidDeviceHandle, kCmdReadRegister, 0x20, 0, buffer, 2), -1);
  EXPECT_EQ(device_io_writedevice(kInvalidDeviceHandle, kCmdWriteRegister, 1, 1), -1);
  EXPECT_EQ(device_io_readwritedata(kInvalidDeviceHandle, 1, 0x3400, buffer, 4), -1);
  EXPECT_FALSE(ReadInfo(kInvalidDeviceHandle, &info));
  EXPECT_FALSE(TestDownloadFw(kInvalidDeviceHandle));
  EXPECT_FALSE(TestSPI(kInvalidDeviceHandle));
  EXPECT_FALSE(SendAppExitNotice(kInvalidDeviceHandle));
  EXPECT_EQ(info.width, 99);
  // Operation, source file and text of every error line.
  std::vector<std::string> errors;
  const std::regex error_line(R"(\[App\] E error at ([^\[]+)\[([a-z]+):[0-9]+\]: (.*))");
  for (const auto& line : lines()) {
    std::smatch m;
    if (std::regex_match(line, m, error_line)) errors.push_back(m.str(1) + " " + m.str(2) + ": " + m.str(3));
  }
  EXPECT_THAT(errors, ElementsAre("device_io_readdevice devicecontrol: Device handle invalid.",
                                  "device_io_writedevice devicecontrol: Device handle invalid.",
                                  "device_io_readwritedata devicecontrol: Device handle invalid.",
                                  "CTarsioDlg::ReadInfo tarsiodlg: Device handle invalid.",
                                  "TestDownloadFw devicecontrol: Device handle invalid.",
                                  "TestSPI devicecontrol: Device handle invalid.",
                                  "CTarsioDlg::OnClose tarsiodlg: Device handle invalid."));
  // Only ReadInfo traces its entry before it tests the handle.
  std::vector<std::string> traces;
  for (const auto& line : lines())
    if (line.rfind("[App] V", 0) == 0) traces.push_back(line.substr(8, line.find(':') - 8));
  EXPECT_THAT(traces, ElementsAre("ReadInfo"));
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(DriverProtocol, ReadInfoStoresAndPublishes) {
  device.answers.push_back({0, record(0x1F, 0x0105, "1.0.1.41", 64, 80, 3)});
  SensorInfo info;
  ASSERT_TRUE(ReadInfo(&device, &info));
  EXPECT_EQ(device.requests.size(), 1u);
  EXPECT_EQ(device.requests[0].code, IOCTL_BIOMETRIC_SENSOR_INFO);
  EXPECT_EQ(device.requests[0].out_len, 76u);
  EXPECT_EQ(info.fw_version, 0x1F);
  EXPECT_EQ(info.usb_version, 0x0105);
  EXPECT_STREQ(info.driver_version, "1.0.1.41");
  const DeviceParams p = published_device_params();
  EXPECT_EQ(p.width, 64);
  EXPECT_EQ(p.height, 80);
  EXPECT_EQ(p.sensor_type, 3);
  const auto log = lines();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_THAT(log[0], ::testing::StartsWith("[App] V ReadInfo: ENTER>>"));
  EXPECT_THAT(log[1], MatchesRegex(R"(\[App\] I ReadInfo\[[0-9]+\]: )"
                                   R"(driver ver: 1\.0\.1\.41, fw ver: 0x1f, usb ver: 0x105, w: 64, h: 80)"));
  EXPECT_EQ(log[2], "[App] V ReadInfo: LEAVE<<.");
}

TEST_F(DriverProtocol, ReadInfoAsksAgainWhenTheBridgeReportsFirmwareZero) {
  device.answers.push_back({0, record(0, 0x0105, "1.0.1.41", 0, 0, 0)});
  device.answers.push_back({0, record(0x20, 0x0105, "1.0.1.41", 88, 88, 2)});
  SensorInfo info;
  ASSERT_TRUE(ReadInfo(&device, &info));
  EXPECT_EQ(device.requests.size(), 2u);
  EXPECT_EQ(info.fw_version, 0x20);  // the second record, field by field
  EXPECT_EQ(published_device_params().width, 88);
  EXPECT_EQ(published_device_params().sensor_type, 2);
  // The log line shows the first reply.
  EXPECT_THAT(lines()[1], HasSubstr("fw ver: 0x0, usb ver: 0x105, w: 0, h: 0"));
}

TEST_F(DriverProtocol, ReadInfoOnSpiWithFirmwareZeroReadsOnce) {
  device.answers.push_back({0, record(0, 0, "1.0.1.13", 96, 96, 6)});
  SensorInfo info;
  ASSERT_TRUE(ReadInfo(&device, &info));
  EXPECT_EQ(device.requests.size(), 1u);
  EXPECT_EQ(published_device_params().height, 96);
}

TEST_F(DriverProtocol, ReadInfoFailuresShowTheMessageBox) {
  device.answers.push_back({EIO, {}});
  std::vector<uint8_t> short_record = record(1, 0, "x", 8, 8, 1);
  short_record.resize(40);
  device.answers.push_back({0, short_record});
  device.answers.push_back({0, record(0, 7, "x", 8, 8, 1)});
  device.answers.push_back({ENODEV, {}});
  SensorInfo info;
  info.fw_version = 0x55;
  EXPECT_FALSE(ReadInfo(&device, &info));
  EXPECT_FALSE(ReadInfo(&device, &info));
  EXPECT_FALSE(ReadInfo(&device, &info));  // the repeated request fails
  EXPECT_EQ(info.fw_version, 0x55);
  EXPECT_EQ(published_device_params().width, 0);
  EXPECT_THAT(ui.boxes, ElementsAre("deviceiocontrol err", "deviceiocontrol err", "deviceiocontrol err"));
  std::vector<std::string> errors;
  for (const auto& line : lines())
    if (line.rfind("[App] E", 0) == 0) errors.push_back(line.substr(line.find("]: ") + 3));
  EXPECT_THAT(errors, ElementsAre("DeviceIoControl(..IOCTL_BIOMETRIC_SENSOR_INFO..) 0x5",
                                  "DeviceIoControl(..IOCTL_BIOMETRIC_SENSOR_INFO..) 0x47",
                                  "DeviceIoControl(..IOCTL_BIOMETRIC_SENSOR_INFO..) 0x13"));
  EXPECT_THAT(lines()[1], MatchesRegex(R"(\[App\] E error at CTarsioDlg::ReadInfo\[tarsiodlg:[0-9]+\]: .*)"));
}

TEST_F(DriverProtocol, FirmwareDownloadTrigger) {
  device.answers.push_back({0, {0}});
  EXPECT_FALSE(TestDownloadFw(&device));
  auto log = lines();
  ASSERT_EQ(log.size(), 2u);  // only the traces
  EXPECT_EQ(log[1], "[App] V TestDownloadFw: LEAVE<<.");
  device.answers.push_back({0, {1}});
  EXPECT_TRUE(TestDownloadFw(&device));
  EXPECT_THAT(lines()[3], MatchesRegex(R"(\[App\] I TestDownloadFw\[[0-9]+\]: download fw success)"));
  device.answers.push_back({EIO, {}});
  EXPECT_FALSE(TestDownloadFw(&device));
  EXPECT_THAT(lines().back(), HasSubstr("TestDownloadFw[devicecontrol:"));
  EXPECT_THAT(lines().back(), HasSubstr("DeviceIoControl(..IOCTL_BIOMETRIC_DOWNLOAD_FW..) 0x5"));
  EXPECT_THAT(ui.boxes, ElementsAre("deviceiocontrol err"));
  EXPECT_EQ(device.requests[0].code, IOCTL_BIOMETRIC_DOWNLOAD_FW);
  EXPECT_EQ(device.requests[0].out_len, 1u);
}

TEST_F(DriverProtocol, SpiSelfTestAndExitNotice) {
  device.answers.push_back({0, {1}});
  device.answers.push_back({0, {0}});
  device.answers.push_back({0, {}});  // short
  EXPECT_TRUE(TestSPI(&device));
  EXPECT_FALSE(TestSPI(&device));
  EXPECT_FALSE(TestSPI(&device));
  EXPECT_THAT(lines().back(), HasSubstr("DeviceIoControl(..IOCTL_BIOMETRIC_TEST_SPI..) 0x47"));
  EXPECT_TRUE(ui.boxes.empty());

  device.answers.push_back({0, {0x00}});  // the reply byte is ignored
  EXPECT_TRUE(SendAppExitNotice(&device));
  device.answers.push_back({EPIPE, {}});
  EXPECT_FALSE(SendAppExitNotice(&device));
  EXPECT_THAT(lines().back(), MatchesRegex(R"(\[App\] E error at CTarsioDlg::OnClose\[tarsiodlg:[0-9]+\]: )"
                                           R"(DeviceIoControl\(\.\.IOCTL_BIOMETRIC_APP_EXIT\.\.\) 0x20)"));
  EXPECT_EQ(device.requests.back().code, IOCTL_BIOMETRIC_APP_EXIT);
}

}  // namespace
}  // namespace tarsio::device
