// The virtual sensor module driven through the real transport and driver
// wrappers: publication in the run directory, the sensor record, register
// round trips, the controller's states, a full frame, every fault switch,
// and unplug/plug from the command line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "device/device_params.h"
#include "device/devicecontrol.h"
#include "platform/transport.h"
#include "platform/vmodule_dir.h"
#include "shell/config.h"
#include "test_support.h"
#include "tests/savebmpfunc.h"

#include <fprint.h>

extern char** environ;

namespace tarsio {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using platform::VirtualModuleDesc;
using testing::ScratchDir;

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Waits until the file exists (or is gone); false after 5 s.
bool wait_for(const std::string& path, bool present) {
  for (int i = 0; i < 500; ++i) {
    if (exists(path) == present) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

#ifdef TARSIO_VMODULE_BIN

int run_tool(std::vector<std::string> args) {
  args.insert(args.begin(), TARSIO_VMODULE_BIN);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, TARSIO_VMODULE_BIN, nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts a module with a shipped profile in the scratch directory's run
// directory and stops it at the end.
class VirtualModule : public ::testing::Test {
 protected:
  void SetUp() override {
    shell::set_log_threshold(0);
    run_dir = dir.path() + "/run";
    device::reset_device_params();
  }

  void start(const std::string& profile, std::vector<std::string> extra = {}) {
    name = profile;
    for (std::size_t i = 0; i + 1 < extra.size(); ++i)
      if (extra[i] == "--name") name = extra[i + 1];
    std::vector<std::string> args = {TARSIO_VMODULE_BIN, "--profile",
                                     std::string(TARSIO_VMODULE_PROFILES) + "/" + profile + ".ini", "--dir",
                                     run_dir};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid, TARSIO_VMODULE_BIN, nullptr, nullptr, argv.data(), environ), 0);
    ASSERT_TRUE(wait_for(desc_path(), true)) << "module did not publish itself";
    ASSERT_TRUE(platform::read_virtual_module_desc(desc_path(), &desc));
    open();
  }

  void open() {
    int err = 0;
    handle = platform::open_transport(desc.socket, &err);
    ASSERT_NE(handle, nullptr) << "errno " << err;
  }

  void TearDown() override {
    handle.reset();
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      int status = 0;
      ::waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      EXPECT_FALSE(exists(desc_path()));
      EXPECT_FALSE(exists(run_dir + "/" + name + ".sock"));
    }
  }

  std::string desc_path() const { return run_dir + "/" + name + ".desc"; }
  device::DeviceHandle h() const { return handle.get(); }

  std::vector<uint8_t> state() {
    uint8_t s[2] = {0, 0};
    EXPECT_EQ(device::device_io_readdevice(h(), device::kCmdReadRegister, 0x20, 0, s, 2), 0);
    return {s[0], s[1]};
  }
  bool idle() { return state() == std::vector<uint8_t>{0xA5, 0x5A}; }
  void write_reg(uint16_t reg, uint16_t value) {
    ASSERT_EQ(device::device_io_writedevice(h(), device::kCmdWriteRegister, reg, value), 0);
  }
  void command_pair(uint8_t command, uint16_t address, uint16_t value) {
    ASSERT_EQ(device::device_io_writedevice(h(), command, address, value), 0);
    ASSERT_EQ(device::device_io_writedevice(h(), command, address, value), 0);
  }
  bool wait_idle() {
    for (int i = 0; i < 52; ++i) {
      if (idle()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // The acquisition as the bad-pixel test runs it, reduced to its requests.
  std::vector<uint8_t> take_frame(int sensor_type, const shell::BadTestConfig& c, uint16_t pixels) {
    command_pair(device::kCmdMcuIdle, 0x70, 0x70);
    EXPECT_TRUE(idle());
    const int agc[4] = {c.agc1, c.agc2, c.agc3, c.agc4};
    for (int k = 0; k < 4; ++k) write_reg(static_cast<uint16_t>(3 + k), static_cast<uint16_t>(agc[k]));
    write_reg(7, c.dac1 >> 8);
    write_reg(8, c.dac1 & 0xFF);
    write_reg(9, c.dac2 >> 8);
    write_reg(10, c.dac2 & 0xFF);
    write_reg(2, 1);
    EXPECT_TRUE(wait_idle());
    write_reg(1, 1);
    if (sensor_type == 2 || sensor_type == 3) {
      write_reg(2, 1);
      write_reg(17, 2);
      write_reg(63, 0);
      write_reg(0, 0x69);
    } else {
      write_reg(0, sensor_type == 6 ? 0x68 : 0x6C);
    }
    EXPECT_FALSE(idle());  // scanning
    EXPECT_TRUE(wait_idle());
    EXPECT_EQ(device::device_io_writedevice(h(), device::kCmdMemoryRead, 0, 0xFF), 0);
    const uint16_t words = static_cast<uint16_t>((pixels + 2) / 2);
    std::vector<uint8_t> memory(2u * words);
    EXPECT_EQ(device::device_io_readwritedata(h(), device::kDataModeScratch, 0x3400, memory.data(), static_cast<uint16_t>(2 * words)), 0);
    return memory;
  }

  ScratchDir dir;
  std::string run_dir, name;
  pid_t pid = -1;
  VirtualModuleDesc desc;
  std::unique_ptr<platform::Transport> handle;
};

TEST_F(VirtualModule, PublishesDescriptorAndAnswersTheFixedRequests) {
  start("good-usb-type3");
  EXPECT_EQ(desc.name, "good-usb-type3");
  EXPECT_EQ(desc.hardware_id, "USB\\VID_3A7C&PID_31A8");
  EXPECT_EQ(desc.bus, "usb");
  EXPECT_EQ(desc.socket, run_dir + "/good-usb-type3.sock");
  EXPECT_EQ(handle->path(), desc.socket);

  device::SensorInfo info;
  ASSERT_TRUE(device::ReadInfo(h(), &info));
  EXPECT_EQ(info.fw_version, 0x1F);
  EXPECT_EQ(info.usb_version, 0x0105);
  EXPECT_STREQ(info.driver_version, "1.0.1.41");
  EXPECT_EQ(device::published_device_params().width, 88);
  EXPECT_EQ(device::published_device_params().height, 88);
  EXPECT_EQ(device::published_device_params().sensor_type, 3);
  EXPECT_TRUE(device::TestDownloadFw(h()));
  EXPECT_TRUE(device::TestSPI(h()));
  EXPECT_TRUE(device::SendAppExitNotice(h()));
  // A code the driver does not know is refused, not answered.
  uint8_t byte;
  EXPECT_EQ(platform::device_control(h(), device::biometric_ctl_code(0x808), nullptr, 0, &byte, 1), ENOTTY);
}

TEST_F(VirtualModule, RegisterRoundTripsAndControllerStates) {
  start("good-usb-type2");
  write_reg(3, 0x18);
  write_reg(4, 0x0C);
  write_reg(7, 0x01);
  write_reg(8, 0x80);
  uint8_t regs[8];
  ASSERT_EQ(device::device_io_readdevice(h(), device::kCmdReadRegister, 3, 0, regs, 8), 0);
  EXPECT_THAT(regs, ElementsAre(0x18, 0x0C, 0, 0, 0x01, 0x80, 0, 0));
  ASSERT_EQ(device::device_io_readdevice(h(), device::kCmdReadRegister, 11, 0, regs, 2), 0);
  EXPECT_THAT(std::vector<uint8_t>(regs, regs + 2), ElementsAre(0x00, 0x40));  // the further AGC value

  // Sensor mode is busy; the 0x22 pair makes the controller idle.
  EXPECT_FALSE(idle());
  ASSERT_EQ(device::device_io_writedevice(h(), device::kCmdMcuIdle, 0x70, 0x70), 0);
  EXPECT_FALSE(idle());
  ASSERT_EQ(device::device_io_writedevice(h(), device::kCmdMcuIdle, 0x70, 0x70), 0);
  EXPECT_TRUE(idle());

  // Sensor identification.
  write_reg(39, 20);
  write_reg(40, 10);
  write_reg(41, 1);
  uint8_t id[8];
  ASSERT_EQ(device::device_io_readdevice(h(), device::kCmdReadRegister, 42, 0, id, 8), 0);
  EXPECT_THAT(id, ElementsAre(23, 7, 112, 9, 0, 61, 200, 14));

  // Return to sensor mode: scanning again, so the state is not idle.
  command_pair(device::kCmdModuleReset, 0, 0);
  command_pair(device::kCmdMcuIdle, 0x70, 0x70);
  write_reg(1, 1);
  write_reg(65, 0x0F);
  write_reg(48, 0xBB);
  write_reg(34, 0);
  write_reg(35, 0x0E);
  write_reg(118, 1);
  write_reg(31, 1);
  write_reg(30, 1);
  uint8_t discard;
  ASSERT_EQ(device::device_io_readdevice(h(), device::kCmdReadRegister, 29, 0, &discard, 1), 0);
  EXPECT_FALSE(idle());

  // Requests the module does not accept fail with the driver's error.
  EXPECT_EQ(device::device_io_writedevice(h(), device::kCmdMcuIdle, 0x71, 0x70), -1);
  EXPECT_THAT(dir.log_lines().back(), HasSubstr("DeviceIoControl(..IOCTL_BIOMETRIC_WRITE_DEVICE..) 0x16"));
}

TEST_F(VirtualModule, FullFrameFollowsTheFrontEndSettings) {
  start("good-usb-type3");
  shell::set_config_path_for_testing(std::string(TARSIO_VMODULE_PROFILES) + "/../AppConfig.ini");
  const shell::BadTestConfig config = shell::read_bad_test_config(3);
  EXPECT_EQ(config.agc1, 0x1F);
  const std::vector<uint8_t> memory = take_frame(3, config, 88 * 88);
  ASSERT_EQ(memory.size(), 88u * 88 + 2);
  EXPECT_EQ(memory[0], 0x0F);  // the 2 leading bytes
  EXPECT_EQ(memory[1], 0xF0);
  // Analysed as 8 x the byte on type 3: the frame sits inside 780 +- 120
  // except for the profile's two bad pixels.
  int outside = 0;
  long sum = 0;
  for (std::size_t i = 2; i < memory.size(); ++i) {
    outside += std::abs(memory[i] * 8 - config.bad_standard) > config.standard_offset;
    sum += memory[i];
  }
  EXPECT_EQ(outside, 2);
  EXPECT_NEAR(static_cast<double>(sum) / (88 * 88), 98.0, 1.0);

  // Without a configuration the registers are written with 0: the frame
  // goes dark and every pixel is far from the standard.
  const std::vector<uint8_t> dark = take_frame(3, shell::BadTestConfig{}, 88 * 88);
  int dark_outside = 0;
  for (std::size_t i = 2; i < dark.size(); ++i) dark_outside += std::abs(dark[i] * 8 - 780) > 120;
  EXPECT_EQ(dark_outside, 88 * 88);
}

TEST_F(VirtualModule, TypeOneAndSixScanWithTheirOwnCommands) {
  start("good-usb-type6");
  shell::set_config_path_for_testing(std::string(TARSIO_VMODULE_PROFILES) + "/../AppConfig.ini");
  const std::vector<uint8_t> memory = take_frame(6, shell::read_bad_test_config(6), 80 * 96);
  long sum = std::accumulate(memory.begin() + 2, memory.end(), 0L);
  EXPECT_NEAR(static_cast<double>(sum) / (80 * 96), 150.0, 2.0);
}

TEST_F(VirtualModule, SpiModule) {
  start("good-spi");
  EXPECT_EQ(desc.bus, "spi");
  EXPECT_EQ(desc.hardware_id, "ACPI\\VEN_KMX&DEV_7001");
  device::SensorInfo info;
  ASSERT_TRUE(device::ReadInfo(h(), &info));
  EXPECT_EQ(info.usb_version, 0);
  EXPECT_STREQ(info.driver_version, "1.0.1.13");
  // On SPI the 0x22 pair alone brings the controller to idle.
  command_pair(device::kCmdMcuIdle, 0x70, 0x70);
  EXPECT_TRUE(idle());
}

TEST_F(VirtualModule, FaultyVersionsAndSelfTest) {
  start("fault-spi-selftest");
  EXPECT_FALSE(device::TestSPI(h()));
  TearDown();
  pid = -1;
  start("good-usb-type3", {"--spi-test-fail"});
  EXPECT_FALSE(device::TestSPI(h()));
  TearDown();
  pid = -1;
  start("fault-driver-version");
  device::SensorInfo info;
  ASSERT_TRUE(device::ReadInfo(h(), &info));
  EXPECT_STREQ(info.driver_version, "1.0.0.9");
  TearDown();
  pid = -1;
  start("fault-firmware");
  ASSERT_TRUE(device::ReadInfo(h(), &info));
  EXPECT_EQ(info.fw_version, 0x1E);
}

TEST_F(VirtualModule, ClusteredBadPixels) {
  start("fault-bad-cluster");
  shell::set_config_path_for_testing(std::string(TARSIO_VMODULE_PROFILES) + "/../AppConfig.ini");
  const std::vector<uint8_t> memory = take_frame(3, shell::read_bad_test_config(3), 88 * 88);
  std::vector<int> bad;
  for (int i = 0; i < 88 * 88; ++i)
    if (memory[2 + i] == 255) bad.push_back(i);
  ASSERT_EQ(bad.size(), 4u);
  EXPECT_EQ(bad[1] - bad[0], 1);   // one 2 x 2 block
  EXPECT_EQ(bad[2] - bad[0], 88);
  EXPECT_EQ(bad[3] - bad[0], 89);
}

TEST_F(VirtualModule, ControllerThatNeverGoesIdle) {
  start("fault-mcu-busy");
  command_pair(device::kCmdMcuIdle, 0x70, 0x70);
  EXPECT_FALSE(idle());
  write_reg(1, 1);
  write_reg(0, 0x69);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_FALSE(idle());
}

TEST_F(VirtualModule, FailingControlCode) {
  start("fault-ioctl");
  uint8_t buffer[16];
  EXPECT_EQ(device::device_io_readwritedata(h(), device::kDataModeScratch, 0x3400, buffer, 16), -1);
  EXPECT_THAT(dir.log_lines().back(), HasSubstr("DeviceIoControl(..IOCTL_BIOMETRIC_READ_DEVICE..) 0x5"));
  EXPECT_TRUE(device::TestSPI(h()));  // the other codes still work
  TearDown();
  pid = -1;
  start("good-usb-type3", {"--fail-code", "0x442028", "--fail-errno", "16"});
  EXPECT_FALSE(device::TestSPI(h()));
  EXPECT_THAT(dir.log_lines().back(), HasSubstr("DeviceIoControl(..IOCTL_BIOMETRIC_TEST_SPI..) 0x10"));
}

TEST_F(VirtualModule, ShortRepliesAreReportedAsFailures) {
  start("good-usb-type3", {"--short-reply", "0x44201C"});
  device::SensorInfo info;
  info.fw_version = 0x77;
  EXPECT_FALSE(device::ReadInfo(h(), &info));
  EXPECT_EQ(info.fw_version, 0x77);
  EXPECT_THAT(dir.log_lines().back(), HasSubstr("DeviceIoControl(..IOCTL_BIOMETRIC_SENSOR_INFO..) 0x47"));
  EXPECT_TRUE(device::TestSPI(h()));  // the connection stays in step
}

TEST_F(VirtualModule, BridgeReportingFirmwareZeroFirst) {
  start("good-usb-type1", {"--first-info-fw-zero"});
  device::SensorInfo info;
  ASSERT_TRUE(device::ReadInfo(h(), &info));
  EXPECT_EQ(info.fw_version, 0x1F);
  EXPECT_EQ(device::published_device_params().width, 96);
  EXPECT_EQ(device::published_device_params().sensor_type, 1);
}

TEST_F(VirtualModule, UnplugMidRunAndBackAgain) {
  start("good-usb-type3", {"--unplug-after", "3", "--replug-after-ms", "300"});
  EXPECT_TRUE(device::TestSPI(h()));
  EXPECT_TRUE(device::TestSPI(h()));
  EXPECT_TRUE(device::TestSPI(h()));
  EXPECT_FALSE(device::TestSPI(h()));  // pulled out
  EXPECT_THAT(dir.log_lines().back(), HasSubstr("DeviceIoControl(..IOCTL_BIOMETRIC_TEST_SPI..) 0x13"));  // ENODEV
  EXPECT_FALSE(device::TestSPI(h()));  // the old handle stays dead
  EXPECT_TRUE(wait_for(desc_path(), true));  // plugged back
  open();
  EXPECT_TRUE(device::TestSPI(h()));
}

TEST_F(VirtualModule, ShippedUnplugProfile) {
  start("fault-unplug");
  int answered = 0;
  while (answered < 100 && device::device_io_writedevice(h(), device::kCmdWriteRegister, 1, 1) == 0) ++answered;
  EXPECT_EQ(answered, 40);
  EXPECT_TRUE(wait_for(desc_path(), false));
}

TEST_F(VirtualModule, UnplugAndPlugFromTheCommandLine) {
  start("good-usb-type2", {"--name", "line-a"});
  ASSERT_EQ(desc.name, "line-a");
  EXPECT_EQ(run_tool({"unplug", "line-a", "--dir", run_dir}), 0);
  EXPECT_TRUE(wait_for(desc_path(), false));
  EXPECT_FALSE(device::TestSPI(h()));
  int err = 0;
  EXPECT_EQ(platform::open_transport(desc.socket, &err), nullptr);
  EXPECT_EQ(run_tool({"plug", "line-a", "--dir", run_dir}), 0);
  EXPECT_TRUE(wait_for(desc_path(), true));
  open();
  EXPECT_TRUE(device::TestSPI(h()));
  EXPECT_NE(run_tool({"unplug", "nobody", "--dir", run_dir}), 0);
}

// The module as the finger: libfprint's virtual image device (opened here as
// the scene test opens it) receives the profile's image.
class VirtualFinger : public VirtualModule {
 protected:
  void SetUp() override {
    VirtualModule::SetUp();
    ::setenv("FP_VIRTUAL_IMAGE", (dir.path() + "/fp.sock").c_str(), 1);
  }
  void TearDown() override {
    VirtualModule::TearDown();
    ::unsetenv("FP_VIRTUAL_IMAGE");
  }
  // Opens the first libfprint device, captures one image, closes it.
  bool capture(int* width, int* height, std::vector<uint8_t>* pixels) {
    FpContext* context = fp_context_new();
    GPtrArray* devices = fp_context_get_devices(context);
    bool ok = false;
    if (devices != nullptr && devices->len > 0) {
      FpDevice* device = FP_DEVICE(g_ptr_array_index(devices, 0));
      GError* error = nullptr;
      // A capture waits for a finger without end: give up after 15 s.
      GCancellable* cancel = g_cancellable_new();
      std::mutex lock;
      std::condition_variable finished;
      bool done = false;
      std::thread watchdog([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!finished.wait_for(guard, std::chrono::seconds(15), [&] { return done; })) g_cancellable_cancel(cancel);
      });
      if (fp_device_open_sync(device, nullptr, &error)) {
        FpImage* image = fp_device_capture_sync(device, TRUE, cancel, &error);
        if (image != nullptr) {
          gsize n = 0;
          const guchar* data = fp_image_get_data(image, &n);
          *width = static_cast<int>(fp_image_get_width(image));
          *height = static_cast<int>(fp_image_get_height(image));
          pixels->assign(data, data + n);
          g_object_unref(image);
          ok = true;
        }
        fp_device_close_sync(device, nullptr, nullptr);
      }
      {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
      }
      finished.notify_one();
      watchdog.join();
      g_object_unref(cancel);
      if (error != nullptr) g_error_free(error);
    }
    g_object_unref(context);
    return ok;
  }
};

TEST_F(VirtualFinger, SyntheticPrintIsCapturedAgainAndAgain) {
  start("good-usb-type3");
  for (int round = 0; round < 2; ++round) {
    int w = 0, h = 0;
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(capture(&w, &h, &pixels)) << "round " << round;
    EXPECT_EQ(w, 160);
    EXPECT_EQ(h, 160);
    ASSERT_EQ(pixels.size(), 160u * 160u);
    const auto [lo, hi] = std::minmax_element(pixels.begin(), pixels.end());
    // Ridges and valleys (a generated print): neither blank white nor black.
    EXPECT_LT(*lo, 90);
    EXPECT_GT(*hi, 165);
  }
}

TEST_F(VirtualFinger, ImageFromABitmapFile) {
  // A print of our own, written with the station's bitmap writer.
  const int w = 120, h = 140;
  std::vector<uint8_t> print(static_cast<std::size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double r = std::hypot(x - 60.0, (y - 60.0) * 0.8), a = std::atan2(y - 60.0, x - 60.0);
      const double phase = r / 1.45 + (a > 0.5 && r > 30 ? M_PI : 0.0) + 2.0 * std::sin(3.0 * a);
      print[static_cast<std::size_t>(y) * w + x] = static_cast<uint8_t>(std::lround(128 + 110 * std::sin(phase)));
    }
  tests::WriteBmpFile((dir.path() + "/finger.bmp").c_str(), print.data(), w, h);
  const std::string profile = dir.path() + "/finger.ini";
  std::string text = testing::read_file(std::string(TARSIO_VMODULE_PROFILES) + "/good-usb-type2.ini");
  const auto at = text.find("source=synthetic");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 16, "source=file\nimage=" + dir.path() + "/finger.bmp");
  testing::write_file(profile, text);
  // Profiles are looked up by name in the shipped folder; this one is not.
  std::vector<std::string> args = {TARSIO_VMODULE_BIN, "--profile", profile, "--dir", run_dir};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  name = "good-usb-type2";
  ASSERT_EQ(posix_spawn(&pid, TARSIO_VMODULE_BIN, nullptr, nullptr, argv.data(), environ), 0);
  ASSERT_TRUE(wait_for(desc_path(), true));
  int cw = 0, ch = 0;
  std::vector<uint8_t> pixels;
  ASSERT_TRUE(capture(&cw, &ch, &pixels));
  EXPECT_EQ(cw, w);
  EXPECT_EQ(ch, h);
  EXPECT_EQ(pixels, print);
}

TEST(VirtualModuleTool, RejectsBadProfiles) {
  ScratchDir dir;
  testing::write_file("bad.ini", "[module]\nsensor_type=3\nwidth=200\nheight=200\n");
  EXPECT_EQ(run_tool({"--profile", dir.path() + "/bad.ini", "--dir", dir.path()}), 1);
  EXPECT_EQ(run_tool({"--profile", dir.path() + "/missing.ini", "--dir", dir.path()}), 1);
  EXPECT_EQ(run_tool({"--bogus"}), 2);
}

#endif  // TARSIO_VMODULE_BIN

TEST(VirtualModuleDir, ChoiceOfRunDirectory) {
  const char* saved_dir = std::getenv("TARSIO_VMODULE_DIR");
  const char* saved_xdg = std::getenv("XDG_RUNTIME_DIR");
  const std::string keep_dir = saved_dir ? saved_dir : "", keep_xdg = saved_xdg ? saved_xdg : "";
  ::setenv("TARSIO_VMODULE_DIR", "/tmp/somewhere", 1);
  ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(platform::virtual_module_dir(), "/tmp/somewhere");
  ::unsetenv("TARSIO_VMODULE_DIR");
  EXPECT_EQ(platform::virtual_module_dir(), "/run/user/1000/tarsio-vmodule");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(platform::virtual_module_dir(),
            ::getuid() == 0 ? "/run/tarsio-vmodule" : "/tmp/tarsio-vmodule-" + std::to_string(::getuid()));
  if (saved_dir) ::setenv("TARSIO_VMODULE_DIR", keep_dir.c_str(), 1);
  if (saved_xdg) ::setenv("XDG_RUNTIME_DIR", keep_xdg.c_str(), 1);
}

}  // namespace
}  // namespace tarsio
