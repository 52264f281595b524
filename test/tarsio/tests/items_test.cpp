// The version items and the scene test on a dialog without a window: the
// log-pane texts and styles, icons, verdict displays, log lines, the version
// comparisons (with the design's substring rule), the blank-image rule over
// what was really copied, the capture failures with their message boxes,
// descrambling by driver version, and the algorithm release on a fail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>

#include "shell/dialog_layout.h"
#include "tarsio/item_fixture.h"
#include "tests/scenetest.h"
#include "tests/version_tests.h"

namespace tarsio::tests {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using shell::LogStyle;
using testing::Answer;

class Items : public ::testing::Test, public testing::ItemFixture {
 protected:
  void SetUp() override {
    model.set_overall_pass(true);
    model.clear_run_text();
    // A current driver: its images come unscrambled.
    dir.write_config("[USB]\nDriverVersion=1.0.1.41\n");
  }
  void answer(std::vector<uint8_t> bytes) { device.answers.push_back(Answer{0, std::move(bytes)}); }
  void answer_info(const char* version, uint8_t fw = 0x1F, uint16_t usb = 0x0105) {
    device::SensorInfo info;
    info.fw_version = fw;
    info.usb_version = usb;
    std::snprintf(info.driver_version, sizeof info.driver_version, "%s", version);
    info.width = 96;
    info.height = 96;
    info.sensor_type = 1;
    const auto bytes = device::encode_sensor_info(info);
    answer({bytes.begin(), bytes.end()});
  }
};

TEST_F(Items, InterruptPinPassWritesTheResultLabel) {
  answer({1});
  OnBnClickedButton8(ctx);
  EXPECT_EQ(view.pane, "Start Int Pin test: \r\nTest result: Pass \r\nEnd Int Pin test. \r\n\r\n");
  EXPECT_EQ(model.run_text(), view.pane);
  EXPECT_EQ(view.appends[2].second, LogStyle::kPass);
  EXPECT_EQ(view.icons[shell::IDC_ICON_INT_PIN], shell::IDI_PASSED);
  EXPECT_EQ(view.texts[shell::IDC_RESULT_LABEL], "Test Pass");
  EXPECT_TRUE(view.visible[shell::IDC_INT_PIN_TEST]);
  EXPECT_EQ(model.result_state(), shell::ResultState::kPassed);
  EXPECT_TRUE(model.overall_pass());
  EXPECT_EQ(log_count("[App] I OnBnClickedButton8["), 1);
  EXPECT_EQ(log_count("]: Int test pass"), 1);
}

TEST_F(Items, InterruptPinFailClearsTheRun) {
  answer({0});
  OnBnClickedButton8(ctx);
  EXPECT_EQ(view.pane, "Start Int Pin test: \r\nTest result: Fail \r\nEnd Int Pin test. \r\n\r\n");
  EXPECT_EQ(view.appends[2].second, LogStyle::kFail);
  EXPECT_EQ(view.icons[shell::IDC_ICON_INT_PIN], shell::IDI_FAILED);
  EXPECT_EQ(view.texts[shell::IDC_RESULT_LABEL], "Test Fail");
  EXPECT_EQ(model.result_state(), shell::ResultState::kFailed);
  EXPECT_FALSE(model.overall_pass());
  // An information line, not a warning.
  EXPECT_EQ(log_count("[App] I OnBnClickedButton8["), 1);
  EXPECT_EQ(log_count("]: Int test fail"), 1);
}

TEST_F(Items, DriverVersionPassesWhenTheDeviceTextOccursInTheConfiguredText) {
  dir.write_config("[USB]\nDriverVersion=x1.0.1.41y\n");
  answer_info("1.0.1.41");
  OnBnClickedButton11(ctx);
  EXPECT_EQ(view.pane,
            "Start driver version test: \r\nConfig driver version: x1.0.1.41y \r\n"
            "Device driver version: 1.0.1.41\r\nTest result: Pass \r\nEnd driver version test. \r\n\r\n");
  EXPECT_EQ(view.icons[shell::IDC_ICON_DRIVER_VER], shell::IDI_PASSED);
  EXPECT_EQ(ctx.sensor_info.fw_version, 0x1F);
  EXPECT_EQ(log_count("]: Driver version test success"), 1);
  // The result label is cleared, not set, by the version items.
  EXPECT_EQ(view.texts[shell::IDC_RESULT_LABEL], "");
  EXPECT_TRUE(model.overall_pass());
}

TEST_F(Items, DriverVersionFailsOnAPrefixAndOnAFailedRead) {
  dir.write_config("[USB]\nDriverVersion=1.0.1\n[SPI]\nDriverVersion=1.0.1.13\n");
  answer_info("1.0.1.41");
  OnBnClickedButton11(ctx);
  EXPECT_FALSE(model.overall_pass());
  EXPECT_EQ(view.icons[shell::IDC_ICON_DRIVER_VER], shell::IDI_FAILED);
  EXPECT_EQ(log_count("]: Driver version test fail"), 1);

  // A failed read leaves an empty text, which every configuration contains:
  // the item fails on the read itself, which logs and shows its error.
  model.set_overall_pass(true);
  model.set_device_type(2);
  device.answers.push_back(Answer{EIO, {}});
  device.answers.push_back(Answer{EIO, {}});
  OnBnClickedButton11(ctx);
  EXPECT_THAT(view.pane, HasSubstr("Config driver version: 1.0.1.13 \r\nDevice driver version: \r\n"));
  EXPECT_FALSE(model.overall_pass());
  EXPECT_EQ(log_count("DeviceIoControl(..IOCTL_BIOMETRIC_SENSOR_INFO..) 0x5"), 1);
  EXPECT_EQ(log_count("]: Driver version test fail"), 2);
  EXPECT_THAT(ui.boxes, ElementsAre("deviceiocontrol err"));
  EXPECT_TRUE(driver_version_matches("abc", ""));
  EXPECT_FALSE(driver_version_matches("1.0.1.41", "1.0.1.41 "));
}

TEST_F(Items, FirmwareVersionsCompareIntegersAndPrintLowerCaseHex) {
  dir.write_config("[common]\nSensorFWVersion=31\n[USB]\nUSBFWVersion=0x105\n");
  ctx.sensor_info.fw_version = 0x1F;
  ctx.sensor_info.usb_version = 0x104;
  OnBnClickedButton12(ctx);
  EXPECT_EQ(view.pane,
            "Start sensor fw version test: \r\nConfig sensor fw version: 0x1f \r\nDevice sensor fw version: 0x1f \r\n"
            "Test result: Pass \r\nEnd sensor fw version test. \r\n\r\n");
  EXPECT_TRUE(model.overall_pass());
  view.pane.clear();
  OnBnClickedButton9(ctx);
  EXPECT_EQ(view.pane,
            "Start USB fw version test: \r\nConfig USB fw version: 0x105 \r\nDevice USB fw version: 0x104 \r\n"
            "Test result: Fail \r\nEnd USB fw version test. \r\n\r\n");
  EXPECT_FALSE(model.overall_pass());
  EXPECT_EQ(view.icons[shell::IDC_ICON_USB_FW], shell::IDI_FAILED);
  EXPECT_EQ(log_count("]: USB fw version test fail"), 1);
  EXPECT_EQ(device.requests.size(), 0u);  // both use the stored record
}

TEST_F(Items, DisconnectedItemsChangeNothing) {
  model.device_removed();
  OnBnClickedButton8(ctx);
  OnBnClickedButton11(ctx);
  OnBnClickedButton12(ctx);
  OnBnClickedButton9(ctx);
  bool started = false;
  OnBnClickedButton14(ctx, [&] { started = true; });
  EXPECT_TRUE(view.pane.empty());
  EXPECT_TRUE(view.icons.empty());
  EXPECT_TRUE(device.requests.empty());
  EXPECT_FALSE(started);
  EXPECT_TRUE(model.overall_pass());
}

TEST(SceneImage, BlankRule) {
  std::vector<uint8_t> image(96 * 96, 0);
  EXPECT_TRUE(image_blank_state(image.data(), image.size()).white);
  EXPECT_FALSE(image_blank_state(image.data(), image.size()).black);
  std::fill(image.begin(), image.end(), 255);
  EXPECT_TRUE(image_blank_state(image.data(), image.size()).black);
  image[5000] = 0;
  const BlankState one = image_blank_state(image.data(), image.size());
  EXPECT_FALSE(one.white);
  EXPECT_FALSE(one.black);
  const BlankState none = image_blank_state(nullptr, 0);
  EXPECT_TRUE(none.white);
  EXPECT_TRUE(none.black);
}

std::vector<uint8_t> print_like(int width, int height) {
  std::vector<uint8_t> image(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image[static_cast<std::size_t>(y) * width + x] =
          static_cast<uint8_t>(128 + 100 * std::sin((x + 0.3 * y) / 1.5));
  return image;
}

platform::FingerCapture captured(int width, int height, std::vector<uint8_t> pixels) {
  platform::FingerCapture c;
  c.status = platform::FingerCapture::Status::kOk;
  c.width = width;
  c.height = height;
  c.pixels = std::move(pixels);
  return c;
}

class Scene : public Items {};

TEST_F(Scene, WhiteImageFailsAndReleasesTheAlgorithm) {
  ctx.capture = [] { return captured(96, 96, std::vector<uint8_t>(96 * 96, 0)); };
  int released = 0;
  ctx.release_algorithm = [&] { ++released; };
  EXPECT_FALSE(SceneTestImageValid(ctx));
  EXPECT_EQ(released, 1);
  EXPECT_EQ(view.pane, "Test result: Fail \r\n");
  EXPECT_EQ(view.appends[1].second, LogStyle::kFail);
  EXPECT_EQ(view.icons[shell::IDC_ICON_SCENE], shell::IDI_FAILED);
  EXPECT_EQ(view.texts[shell::IDC_RESULT_LABEL], "Test Fail");
  EXPECT_TRUE(view.visible[shell::IDC_SCENE_TEST]);
  EXPECT_FALSE(model.overall_pass());
  EXPECT_EQ(log_count("[App] E error at CTarsioDlg::ImageValidAlg[tarsiodlg:"), 2);
  EXPECT_EQ(log_count("]: white image"), 1);
  EXPECT_EQ(log_count("]: image invalid"), 1);
  EXPECT_EQ(log_count("]: Scene test fail"), 1);
}

TEST_F(Scene, PrintPassesAndBlackFails) {
  ctx.capture = [] { return captured(96, 96, print_like(96, 96)); };
  EXPECT_TRUE(SceneTestImageValid(ctx));
  EXPECT_EQ(view.pane, "Test result: Pass \r\n");
  EXPECT_EQ(view.icons[shell::IDC_ICON_SCENE], shell::IDI_PASSED);
  EXPECT_EQ(log_count("]: Scene test success"), 1);
  EXPECT_TRUE(model.overall_pass());

  ctx.capture = [] { return captured(96, 96, std::vector<uint8_t>(96 * 96, 255)); };
  EXPECT_FALSE(ImageValidAlg(ctx));
  EXPECT_EQ(log_count("]: black image"), 1);
}

TEST_F(Scene, OnlyTheCopiedPixelsAreJudged) {
  // 200 x 200 does not fit the 25600-byte buffer: the first 25600 bytes are
  // judged, and the part that was not copied cannot make the image valid.
  std::vector<uint8_t> big(200 * 200, 0);
  std::fill(big.begin() + kSceneImageCapacity, big.end(), 77);
  ctx.capture = [&] { return captured(200, 200, big); };
  EXPECT_FALSE(ImageValidAlg(ctx));
  EXPECT_EQ(log_count("]: white image"), 1);

  // An image shorter than its stated size is judged over what arrived.
  ctx.capture = [] { return captured(96, 96, std::vector<uint8_t>(10, 255)); };
  EXPECT_FALSE(ImageValidAlg(ctx));
  EXPECT_EQ(log_count("]: black image"), 1);

  ctx.capture = [] { return captured(0, 96, {}); };
  EXPECT_FALSE(ImageValidAlg(ctx));
  EXPECT_EQ(log_count("]: white image"), 2);
  EXPECT_EQ(log_count("]: black image"), 2);
}

TEST_F(Scene, CaptureFailuresShowTheirMessageBoxes) {
  platform::FingerCapture bad;
  bad.status = platform::FingerCapture::Status::kCaptureFailed;
  bad.hr = platform::kHrBadCapture;
  bad.reject_detail = 1;
  bad.message = "Minutiae detection failed, please retry";
  ctx.capture = [&] { return bad; };
  EXPECT_FALSE(ImageValidAlg(ctx));
  EXPECT_THAT(ui.boxes, ElementsAre("抓取失败，原因：1"));
  EXPECT_EQ(log_count("]: capture fail. hr = 0x80098008"), 1);
  EXPECT_EQ(log_count("]: Get image fail"), 1);

  bad.hr = platform::kHrCaptureFailed;
  EXPECT_FALSE(ImageValidAlg(ctx));
  EXPECT_EQ(ui.boxes.back(), "抓取失败，hr：0x80099003");

  bad.status = platform::FingerCapture::Status::kOpenFailed;
  bad.hr = platform::kHrNoDevice;
  EXPECT_FALSE(ImageValidAlg(ctx));
  EXPECT_EQ(ui.boxes.size(), 2u);  // no box for a session that did not open
  EXPECT_EQ(log_count("]: WinBioOpenSession failed. hr = 0x80099001"), 1);
}

TEST_F(Scene, OlderDriversImagesAreDescrambled) {
  const std::vector<uint8_t> original = print_like(96, 96);
  std::vector<uint8_t> scrambled = original;
  apply_scramble(scrambled.data(), scrambled.size(), build_position_list(scrambled.size(), RootMethod::kLibrary));
  ctx.capture = [&] { return captured(96, 96, scrambled); };
  std::vector<uint8_t> buffer(kSceneImageCapacity);
  uint16_t w = 0, h = 0;
  std::size_t n = 0;

  dir.write_config("[USB]\nDriverVersion=1.0.1.30\n");
  ASSERT_EQ(GetImage(ctx, buffer.data(), buffer.size(), &w, &h, &n), 0);
  EXPECT_EQ(w, 96);
  EXPECT_EQ(h, 96);
  ASSERT_EQ(n, original.size());
  EXPECT_TRUE(std::equal(original.begin(), original.end(), buffer.begin()));

  dir.write_config("[USB]\nDriverVersion=1.0.1.41\n");
  GetImage(ctx, buffer.data(), buffer.size(), &w, &h, &n);
  EXPECT_TRUE(std::equal(scrambled.begin(), scrambled.end(), buffer.begin()));

  // SPI drivers from 1.0.0.13 on use the fast root.
  model.set_device_type(2);
  dir.write_config("[SPI]\nDriverVersion=1.0.0.20\n");
  scrambled = original;
  apply_scramble(scrambled.data(), scrambled.size(),
                 build_position_list(scrambled.size(), RootMethod::kFastInverse));
  GetImage(ctx, buffer.data(), buffer.size(), &w, &h, &n);
  EXPECT_TRUE(std::equal(original.begin(), original.end(), buffer.begin()));

  // An image of another size gets a list of its own.
  const std::vector<uint8_t> small_original = print_like(64, 64);
  scrambled = small_original;
  apply_scramble(scrambled.data(), scrambled.size(),
                 build_position_list(scrambled.size(), RootMethod::kFastInverse));
  ctx.capture = [&] { return captured(64, 64, scrambled); };
  GetImage(ctx, buffer.data(), buffer.size(), &w, &h, &n);
  EXPECT_TRUE(std::equal(small_original.begin(), small_original.end(), buffer.begin()));
  EXPECT_EQ(ctx.positions.builds(), 3u);
}

TEST_F(Scene, ImageDecodeLineForEarlyFirmwareAt96) {
  ctx.capture = [] { return captured(96, 96, print_like(96, 96)); };
  ctx.sensor_info.fw_version = 30;
  ctx.sensor_info.width = 96;
  ctx.sensor_info.height = 96;
  EXPECT_TRUE(ImageValidAlg(ctx));
  EXPECT_EQ(log_count("]: image decode"), 1);
  ctx.sensor_info.fw_version = 31;
  EXPECT_TRUE(ImageValidAlg(ctx));
  ctx.capture = [] { return captured(88, 88, print_like(88, 88)); };
  ctx.sensor_info.fw_version = 30;
  EXPECT_TRUE(ImageValidAlg(ctx));
  EXPECT_EQ(log_count("]: image decode"), 1);
}

TEST_F(Scene, StartAsksForTheFinger) {
  int started = 0;
  OnBnClickedButton14(ctx, [&] { ++started; });
  EXPECT_EQ(started, 1);
  EXPECT_EQ(view.texts[shell::IDC_RESULT_LABEL], "Please press finger on sensor");
  EXPECT_EQ(view.flashes, 1);
  EXPECT_EQ(view.icons[shell::IDC_ICON_SCENE], shell::IDI_RUNNING);
  EXPECT_FALSE(view.visible[shell::IDC_SCENE_TEST]);
  EXPECT_EQ(view.pane, "Start Scene test: \r\n");
}

}  // namespace
}  // namespace tarsio::tests
