// Raw frame acquisition against a scripted module: the arithmetic of a frame
// read (word count, block plan, pixel formation), the idle wait with its
// pauses and give-up, the frame copy bounded to what was read and to the
// caller's array, the bitmap of every frame under the program's directory,
// the sensor id, and the register sequences of raw-capture mode and of the
// return to sensor mode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "device/device_params.h"
#include "device/testcommon.h"
#include "tarsio/item_fixture.h"

#ifdef TARSIO_TEST_HAVE_QT
#include <QImage>
#endif

namespace tarsio::device {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::Answer;
using testing::FakeTransport;

TEST(AcquisitionArithmetic, SixtyFourByEightyIsOneBlockOf5122Bytes) {
  EXPECT_EQ(frame_word_count(64, 80), 2561);
  const auto plan = sram_block_plan(kFrameWordAddress, 2561);
  ASSERT_EQ(plan.size(), 1u);
  EXPECT_EQ(plan[0].address, 0x3400);
  EXPECT_EQ(plan[0].offset, 0u);
  EXPECT_EQ(plan[0].length, 5122);
}

TEST(AcquisitionArithmetic, BlockRuleBeyondOneBlock) {
  // 40000 bytes: a full block, then the rest 0x3FFF words further on.
  const auto plan = sram_block_plan(0x3400, 20000);
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan[0].length, 32766);
  EXPECT_EQ(plan[1].address, 0x3400 + 0x3FFF);
  EXPECT_EQ(plan[1].offset, 32766u);
  EXPECT_EQ(plan[1].length, 40000 - 32766);
  // The largest frame the station takes still fits one block.
  EXPECT_EQ(frame_word_count(160, 160), 12801);
  EXPECT_EQ(sram_block_plan(0x3400, 12801).size(), 1u);
  // Pixel counts are taken modulo 65536 as the driver's 16-bit field does.
  EXPECT_EQ(frame_word_count(256, 256), 1);
}

TEST(AcquisitionArithmetic, PixelFormationAndAcceptedSizes) {
  EXPECT_EQ(form_pixel(0x30, 3), 0x300);
  EXPECT_EQ(form_pixel(0x30, 2), 0x300);
  EXPECT_EQ(form_pixel(0x30, 1), 0x30);
  EXPECT_EQ(form_pixel(0x30, 6), 0x30);
  EXPECT_EQ(form_pixel(255, 3), 4080);
  EXPECT_TRUE(frame_size_acceptable(160, 160));
  EXPECT_FALSE(frame_size_acceptable(161, 160));
  EXPECT_FALSE(frame_size_acceptable(0, 80));
  EXPECT_FALSE(frame_size_acceptable(65535, 65535));
}

// One request as text: "w <cmd> <addr> <value>", "r <addr>", "d <addr> <len>".
std::string describe(const testing::SeenRequest& r) {
  auto u16 = [&](int at) { return r.in.size() >= 5 ? (r.in[at] << 8 | r.in[at + 1]) : -1; };
  char text[64];
  if (r.code == IOCTL_BIOMETRIC_WRITE_DEVICE)
    std::snprintf(text, sizeof text, "w %x %d %d", r.in[0], u16(1), u16(3));
  else if (r.code == IOCTL_BIOMETRIC_READ_DEVICE)
    std::snprintf(text, sizeof text, "r %d", u16(1));
  else if (r.code == IOCTL_BIOMETRIC_READ_DATA)
    std::snprintf(text, sizeof text, "d %x %d", u16(1), u16(3));
  else
    std::snprintf(text, sizeof text, "? %x", r.code);
  return text;
}

class Acquisition : public ::testing::Test, public testing::ItemFixture {
 protected:
  void SetUp() override {
    set_station_pause_for_testing([this](int ms) { pauses.push_back(ms); });
    publish_bus_type(1);
  }
  void TearDown() override { set_station_pause_for_testing(nullptr); }

  DeviceHandle handle() { return &device; }
  std::vector<std::string> requests() const {
    std::vector<std::string> out;
    for (const auto& r : device.requests) out.push_back(describe(r));
    return out;
  }
  void answer(std::vector<uint8_t> bytes = {}) { device.answers.push_back(Answer{0, std::move(bytes)}); }
  void answer_idle(bool idle = true) {
    std::vector<uint8_t> state(8, 0);
    if (idle) state[0] = 0xA5, state[1] = 0x5A;
    answer(state);
  }
  // The module's replies up to the block read of a W x H frame whose pixel
  // k is pixel(k); the rest answer with zeros.
  void script_frame(int type, int width, int height, const std::function<uint8_t(int)>& pixel) {
    publish_sensor_geometry(static_cast<uint16_t>(width), static_cast<uint16_t>(height), type);
    answer_idle();                                  // idle before the scan
    const int writes = type == 2 || type == 3 ? 5 : 2;
    for (int k = 0; k < writes; ++k) answer();      // register 1, scan start
    answer_idle();                                  // scan finished
    answer();                                       // memory-read preparation
    const int bytes = 2 * frame_word_count(static_cast<uint16_t>(width), static_cast<uint16_t>(height));
    std::vector<uint8_t> reply(static_cast<std::size_t>(bytes) + 4, 0);
    reply[0] = 0x0F;
    reply[1] = 0xF0;
    for (int k = 0; k + 2 < bytes && k < width * height; ++k) reply[2 + k] = pixel(k);
    answer(reply);
  }

  std::vector<int> pauses;
};

TEST_F(Acquisition, IdleModuleGivesAFrameWithoutPausesAndABitmap) {
  script_frame(1, 4, 2, [](int k) { return static_cast<uint8_t>(10 * k + 1); });
  std::vector<uint16_t> pixels(8, 0);
  const int before = capture_counter();
  EXPECT_EQ(GetFpOriImage(handle(), pixels.data(), pixels.size()), 0);
  EXPECT_THAT(pixels, ElementsAre(1, 11, 21, 31, 41, 51, 61, 71));
  EXPECT_TRUE(pauses.empty());
  const auto seen = requests();
  ASSERT_GE(seen.size(), 7u);
  EXPECT_THAT(std::vector<std::string>(seen.begin(), seen.begin() + 6),
              ElementsAre("r 32", "w 3b 1 1", "w 3b 0 108", "r 32", "w 34 0 255", "d 3400 10"));
  EXPECT_EQ(seen.back(), "w 3b 56 0");
  // The AGC state is read back before register 56 is cleared.
  EXPECT_EQ(seen[6], "r 3");
  EXPECT_EQ(capture_counter(), before + 1);

  // Started from another directory, the bitmap still lands under the
  // program's directory; TestResult and capture are created as needed.
  const std::string bmp = capture_bitmap_path(capture_counter());
  EXPECT_EQ(bmp, dir.path() + "/app/TestResult/capture/bad_test_image_" + std::to_string(capture_counter()) + ".bmp");
  struct stat st;
  ASSERT_EQ(::stat(bmp.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1078 + 4 * 2);
#ifdef TARSIO_TEST_HAVE_QT
  QImage image(QString::fromStdString(bmp));
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.width(), 4);
  EXPECT_EQ(image.height(), 2);
  EXPECT_EQ(qGray(image.pixel(0, 0)), 1);
  EXPECT_EQ(qGray(image.pixel(3, 1)), 71);
#endif
}

TEST_F(Acquisition, TypeThreeScansWithItsRegistersAndShiftsByFour) {
  script_frame(3, 4, 2, [](int) { return 0x30; });
  std::vector<uint16_t> pixels(8, 0);
  GetFpOriImage(handle(), pixels.data(), pixels.size());
  EXPECT_THAT(pixels, ::testing::Each(0x300));
  const auto seen = requests();
  EXPECT_THAT(std::vector<std::string>(seen.begin() + 1, seen.begin() + 6),
              ElementsAre("w 3b 1 1", "w 3b 2 1", "w 3b 17 2", "w 3b 63 0", "w 3b 0 105"));
}

TEST_F(Acquisition, BusyModuleIsGivenAboutASecondPerWaitAndTheFrameIsStillRead) {
  publish_sensor_geometry(4, 2, 6);
  for (int k = 0; k < 52; ++k) answer_idle(false);
  answer();  // register 1
  answer();  // scan command 0x68
  for (int k = 0; k < 52; ++k) answer_idle(false);
  std::vector<uint16_t> pixels(8, 7);
  GetFpOriImage(handle(), pixels.data(), pixels.size());
  EXPECT_EQ(log_count("[App] E error at GetFpOriImage[testcommon:"), 2);
  EXPECT_EQ(log_count("]: MCU is working"), 2);
  EXPECT_EQ(pauses, std::vector<int>(102, 20));
  EXPECT_EQ(requests()[53], "w 3b 0 104");
  EXPECT_EQ(requests()[107], "d 3400 10");
}

TEST_F(Acquisition, FailedIdleReadAbandonsTheFrame) {
  publish_sensor_geometry(4, 2, 1);
  device.answers.push_back(Answer{EIO, {}});
  std::vector<uint16_t> pixels(8, 0xBEEF);
  EXPECT_EQ(GetFpOriImage(handle(), pixels.data(), pixels.size()), 1);
  EXPECT_THAT(pixels, ::testing::Each(0xBEEF));
  EXPECT_EQ(device.requests.size(), 1u);
  EXPECT_EQ(log_count("]: device_io_readdevice error"), 1);
}

TEST_F(Acquisition, GeometryBeyondTheBuffersIsNotRead) {
  publish_sensor_geometry(200, 200, 1);
  std::vector<uint16_t> pixels(kFrameCapacity, 0xBEEF);
  GetFpOriImage(handle(), pixels.data(), pixels.size());
  EXPECT_TRUE(device.requests.empty());
  EXPECT_EQ(log_count("]: invalid frame size 200 x 200"), 1);
  EXPECT_EQ(pixels[0], 0xBEEF);
}

TEST_F(Acquisition, LargestFrameFillsTheArrayExactly) {
  // 160 x 160 = 25600 values into an array of exactly 25600: the copy stops
  // at the pixels read, never two values past the end.
  script_frame(1, 160, 160, [](int k) { return static_cast<uint8_t>(k % 251); });
  std::vector<uint16_t> pixels(kFrameCapacity, 0);
  GetFpOriImage(handle(), pixels.data(), pixels.size());
  EXPECT_EQ(pixels[0], 0);
  EXPECT_EQ(pixels[kFrameCapacity - 1], (kFrameCapacity - 1) % 251);
  EXPECT_EQ(requests()[5], "d 3400 25602");
}

TEST_F(Acquisition, OddFrameLeavesTheUnreadLastPixelZero) {
  // 3 x 3: word count 5 brings 10 bytes, the lead and 8 of the 9 pixels.
  script_frame(1, 3, 3, [](int) { return 9; });
  std::vector<uint16_t> pixels(9, 0xBEEF);
  GetFpOriImage(handle(), pixels.data(), pixels.size());
  EXPECT_THAT(pixels, ElementsAre(9, 9, 9, 9, 9, 9, 9, 9, 0));
}

TEST_F(Acquisition, FailedBlockReadLeavesThePixelsAndWritesNoBitmap) {
  publish_sensor_geometry(4, 2, 1);
  answer_idle();
  answer();
  answer();
  answer_idle();
  answer();
  device.answers.push_back(Answer{EIO, {}});
  std::vector<uint16_t> pixels(8, 0xBEEF);
  const int before = capture_counter();
  std::vector<uint16_t> direct(8, 0xBEEF);
  EXPECT_EQ(GetFpOriImage(handle(), pixels.data(), pixels.size()), 1);
  EXPECT_THAT(pixels, ::testing::Each(0xBEEF));
  EXPECT_EQ(capture_counter(), before);
  EXPECT_EQ(log_count("]: frame not read"), 1);

  device.answers.push_back(Answer{EIO, {}});
  EXPECT_EQ(SRamBulkReadData(handle(), kFrameWordAddress, direct.data(), direct.size(), 5), 3);
  EXPECT_EQ(SRamBulkReadData(kInvalidDeviceHandle, kFrameWordAddress, direct.data(), direct.size(), 5), 0);
}

TEST_F(Acquisition, TwoFramesMakeTwoNumberedBitmaps) {
  script_frame(1, 4, 2, [](int) { return 1; });
  std::vector<uint16_t> pixels(8);
  GetFpOriImage(handle(), pixels.data(), pixels.size());
  const int first = capture_counter();
  device.answers.clear();
  script_frame(1, 4, 2, [](int) { return 2; });
  GetFpOriImage(handle(), pixels.data(), pixels.size());
  EXPECT_EQ(capture_counter(), first + 1);
  struct stat st;
  EXPECT_EQ(::stat(capture_bitmap_path(first).c_str(), &st), 0);
  EXPECT_EQ(::stat(capture_bitmap_path(first + 1).c_str(), &st), 0);
}

TEST_F(Acquisition, FrontEndSettingsFromTheModelSection) {
  dir.write_config(
      "[SensorBadTest_KM3103W]\nAGC1=0x1F\nAGC2=8\nAGC3=0x10\nAGC4=4\nDAC1=0x0180\nDAC2=0x0240\n");
  publish_sensor_geometry(88, 88, 3);
  FixAGCSetting(handle(), shell::read_bad_test_config(3));
  EXPECT_THAT(requests(), ElementsAre("w 3b 3 31", "w 3b 4 8", "w 3b 5 16", "w 3b 6 4", "w 3b 7 1", "w 3b 8 128",
                                      "w 3b 9 2", "w 3b 10 64", "w 3b 2 1"));
}

TEST_F(Acquisition, AgcStateReadBack) {
  const uint8_t regs[10] = {0x1F, 8, 0x10, 4, 0x01, 0x80, 0x02, 0x40, 0x00, 0x40};
  for (uint8_t v : regs) answer({v, 0, 0, 0, 0, 0, 0, 0});
  AgcState s;
  EXPECT_EQ(GetAGCState(handle(), &s), 0);
  EXPECT_THAT(s.agc, ElementsAre(0x1F, 8, 0x10, 4));
  EXPECT_EQ(s.dac1, 0x0180);
  EXPECT_EQ(s.dac2, 0x0240);
  EXPECT_EQ(s.extra, 0x0040);
  device.answers.push_back(Answer{EIO, {}});
  EXPECT_EQ(GetAGCState(handle(), &s), 1);
  EXPECT_EQ(GetAGCState(kInvalidDeviceHandle, &s), 0);
}

TEST_F(Acquisition, SensorIdIsTenDecimalBytes) {
  for (int k = 0; k < 3; ++k) answer();
  for (uint8_t v : {23, 7, 112, 9, 0, 61, 200, 14, 3, 88}) answer({v, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(ReadSensorId(handle()), "23_7_112_9_0_61_200_14_3_88");
  const auto seen = requests();
  EXPECT_THAT(std::vector<std::string>(seen.begin(), seen.begin() + 4),
              ElementsAre("w 3b 39 20", "w 3b 40 10", "w 3b 41 1", "r 42"));
  EXPECT_EQ(seen.back(), "r 51");
  EXPECT_EQ(pauses, std::vector<int>{10});
}

TEST_F(Acquisition, RawCaptureModeOnUsbAndSpi) {
  for (int k = 0; k < 4; ++k) answer();
  answer_idle();
  EnterRawCaptureMode(handle(), 1);
  EXPECT_THAT(requests(), ElementsAre("w 40 0 0", "w 40 0 0", "w 22 112 112", "w 22 112 112", "r 32"));
  EXPECT_EQ(pauses, (std::vector<int>{10, 300, 10}));
  EXPECT_EQ(log_count("] I SensorBadTest["), 1);
  EXPECT_EQ(log_count("]: muc is in idle"), 1);

  device.requests.clear();
  pauses.clear();
  EnterRawCaptureMode(handle(), 2);  // busy: zeros
  EXPECT_THAT(requests(), ElementsAre("w 22 112 112", "w 22 112 112", "r 32"));
  EXPECT_EQ(pauses, (std::vector<int>{10}));
  EXPECT_EQ(log_count("[App] E error at SensorBadTest[testcommon:"), 1);
  EXPECT_EQ(log_count("]: muc is busy"), 1);
}

TEST_F(Acquisition, ReturnToSensorModeByType) {
  ReturnToSensorMode(handle(), 3);  // state reads zeros: scanning again
  EXPECT_THAT(requests(), ElementsAre("w 40 0 0", "w 40 0 0", "w 22 112 112", "w 22 112 112", "w 3b 1 1",
                                      "w 3b 65 15", "w 3b 48 187", "w 3b 34 0", "w 3b 35 14", "w 3b 118 1",
                                      "w 3b 31 1", "w 3b 30 1", "r 29", "r 32"));
  EXPECT_EQ(pauses, (std::vector<int>{10, 300, 10, 1, 1, 1, 10, 5}));
  EXPECT_EQ(log_count("[App] W SensorBadTest["), 1);
  EXPECT_EQ(log_count("]: enter sensor mode success"), 1);

  device.requests.clear();
  pauses.clear();
  for (int k = 0; k < 10; ++k) answer();
  answer_idle(false);  // register 29
  answer_idle();       // stayed idle
  EXPECT_TRUE(ReturnToSensorMode(handle(), 6));
  EXPECT_THAT(requests(), ElementsAre("w 40 0 0", "w 40 0 0", "w 22 112 112", "w 22 112 112", "w 3b 1 1",
                                      "w 3b 65 15", "w 3b 48 187", "w 3b 71 1", "w 3b 31 1", "w 3b 30 1", "r 29",
                                      "r 32"));
  EXPECT_EQ(pauses, (std::vector<int>{10, 300, 10, 1, 1, 10, 5}));
  EXPECT_EQ(log_count("[App] I SensorBadTest["), 1);
  EXPECT_EQ(log_count("]: enter sensor mode fail"), 1);
}

TEST_F(Acquisition, AFailedRequestInTheBracketIsReportedAndNoOutcomeLineWritten) {
  // The 5th request of the return (a register write) fails: the sequence
  // goes on to its end, but the state word it reads proves nothing.
  for (int k = 0; k < 4; ++k) answer();
  device.answers.push_back(Answer{ENODEV, {}});
  EXPECT_FALSE(ReturnToSensorMode(handle(), 1));
  EXPECT_EQ(log_count("enter sensor mode success"), 0);
  EXPECT_EQ(log_count("enter sensor mode fail"), 0);
  EXPECT_EQ(log_count("]: sensor mode not entered: a request failed"), 1);

  device.answers.clear();
  device.answers.push_back(Answer{ENODEV, {}});
  EXPECT_FALSE(EnterRawCaptureMode(handle(), 2));
  EXPECT_EQ(log_count("muc is"), 0);
  EXPECT_EQ(log_count("]: raw capture mode not entered: a request failed"), 1);
}

TEST_F(Acquisition, AgcValuesGoOutWithSixteenBits) {
  dir.write_config("[SensorBadTest_KM3101]\nAGC1=0x11F\nAGC2=70000\nDAC1=-1\n");
  EXPECT_TRUE(FixAGCSetting(handle(), shell::read_bad_test_config(1)));
  EXPECT_THAT(requests(), ElementsAre("w 3b 3 287", "w 3b 4 65535", "w 3b 5 0", "w 3b 6 0", "w 3b 7 0",
                                      "w 3b 8 0", "w 3b 9 0", "w 3b 10 0", "w 3b 2 1"));
  EXPECT_EQ(log_count("[SensorBadTest_KM3101] AGC2 = 70000 is outside 0 .. 65535: 65535 is used"), 1);
  EXPECT_EQ(log_count("[SensorBadTest_KM3101] DAC1 = -1 is outside 0 .. 65535: 0 is used"), 1);
}

}  // namespace
}  // namespace tarsio::device
