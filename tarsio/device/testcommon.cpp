#define TARSIO_LOG_SOURCE "testcommon"

#include "device/testcommon.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "device/device_params.h"
#include "shell/config.h"
#include "shell/log.h"
#include "shell/result_paths.h"
#include "shell/run_record.h"
#include "shell/util.h"
#include "tests/savebmpfunc.h"

namespace tarsio::device {
namespace {

std::mutex g_pause_lock;
PauseFn g_pause;
std::atomic<int> g_capture_counter{0};

int write_register(DeviceHandle handle, uint16_t reg, uint16_t value) {
  return device_io_writedevice(handle, kCmdWriteRegister, reg, value);
}

int read_registers(DeviceHandle handle, uint16_t reg, uint8_t* dest, uint16_t count) {
  return device_io_readdevice(handle, kCmdReadRegister, reg, 0, dest, count);
}

bool mcu_idle(const uint8_t state[2]) { return state[0] == 0xA5 && state[1] == 0x5A; }

// Polls the controller's state word until it reads idle.  False when a read
// fails (the frame is then abandoned); after kIdleReads reads without the
// idle pattern it logs and lets the caller go on.
bool wait_for_idle(DeviceHandle handle, const char* op) {
  for (int read = 1;; ++read) {
    uint8_t state[2] = {};
    if (read_registers(handle, kRegMcuState, state, 2) != 0) {
      TLOG_E(op, "device_io_readdevice error");
      return false;
    }
    if (mcu_idle(state)) return true;
    if (read == kIdleReads) {
      TLOG_E(op, "MCU is working");
      return true;
    }
    station_pause(kIdlePollMs);
  }
}

// A module command sent twice, 10 ms apart.  0, or -1 when either failed.
int command_twice(DeviceHandle handle, uint8_t command, uint16_t address, uint16_t value) {
  int failed = device_io_writedevice(handle, command, address, value);
  station_pause(10);
  failed |= device_io_writedevice(handle, command, address, value);
  return failed;
}

}  // namespace

uint16_t frame_word_count(uint16_t width, uint16_t height) {
  const uint32_t pixels = static_cast<uint32_t>(width) * height;
  return static_cast<uint16_t>(((pixels & 0xFFFFu) + 2u) / 2u);
}

std::vector<BlockRequest> sram_block_plan(uint16_t start, uint16_t word_count) {
  const uint32_t bytes = (2u * word_count) & 0xFFFFu;
  const uint32_t blocks = bytes / kBlockBytes + 1;
  std::vector<BlockRequest> plan;
  int64_t remaining = bytes;
  for (uint32_t i = 0; i < blocks; ++i) {
    BlockRequest r;
    r.address = static_cast<uint16_t>(start + i * kBlockWordStep);
    r.offset = i * kBlockBytes;
    r.length = remaining > kBlockBytes ? kBlockBytes : static_cast<uint16_t>(remaining % kBlockBytes);
    plan.push_back(r);
    remaining -= kBlockBytes;
  }
  return plan;
}

uint16_t form_pixel(uint16_t raw, int32_t sensor_type) {
  return sensor_type == 2 || sensor_type == 3 ? static_cast<uint16_t>(raw << 4) : raw;
}

bool frame_size_acceptable(uint16_t width, uint16_t height) {
  const std::size_t pixels = static_cast<std::size_t>(width) * height;
  return pixels > 0 && pixels <= kFrameCapacity;
}

std::vector<std::pair<uint16_t, uint16_t>> scan_start_writes(int32_t sensor_type) {
  if (sensor_type == 2 || sensor_type == 3) return {{2, 1}, {17, 2}, {63, 0}, {0, 0x69}};
  if (sensor_type == 6) return {{0, 0x68}};
  return {{0, 0x6C}};
}

void set_station_pause_for_testing(PauseFn pause) {
  std::lock_guard<std::mutex> guard(g_pause_lock);
  g_pause = std::move(pause);
}

void station_pause(int milliseconds) {
  PauseFn pause;
  {
    std::lock_guard<std::mutex> guard(g_pause_lock);
    pause = g_pause;
  }
  if (pause)
    pause(milliseconds);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// The bitmap's name is reused by the next run (its number restarts with
// the program): the run keeps its own copy in its record's folder.
static void keep_bitmap_with_run(const std::string& path, const char* op) {
  const std::string folder = shell::record_run_folder();
  if (folder.empty()) return;
  const std::string copy = folder + path.substr(path.rfind('/'));
  std::error_code ec;
  if (shell::ensure_directory(folder))
    std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing, ec);
  else
    ec = std::make_error_code(std::errc::io_error);
  if (ec) {
    TLOG_E(op, "the run's copy %s not written: %s", copy.c_str(), ec.message().c_str());
    return;
  }
  shell::record_bitmap(copy);
}

int capture_counter() { return g_capture_counter.load(); }

std::string capture_bitmap_path(int n) {
  return shell::result_path("/capture/bad_test_image_" + std::to_string(n) + ".bmp");
}

bool FixAGCSetting(DeviceHandle handle, const shell::BadTestConfig& config) {
  static constexpr const char* op = "FixAGCSetting";
  TLOG_ENTER(op);
  if (handle == kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return false;
  }
  // The register request carries 16 bits: the AGC values go as configured.
  const int agc[4] = {config.agc1, config.agc2, config.agc3, config.agc4};
  int failed = 0;
  for (int k = 0; k < 4; ++k)
    failed |= write_register(handle, static_cast<uint16_t>(3 + k), static_cast<uint16_t>(agc[k]));
  failed |= write_register(handle, 7, static_cast<uint16_t>(config.dac1 >> 8));
  failed |= write_register(handle, 8, static_cast<uint16_t>(config.dac1 & 0xFF));
  failed |= write_register(handle, 9, static_cast<uint16_t>(config.dac2 >> 8));
  failed |= write_register(handle, 10, static_cast<uint16_t>(config.dac2 & 0xFF));
  failed |= write_register(handle, 2, 1);
  TLOG_LEAVE(op);
  return failed == 0;
}

int GetAGCState(DeviceHandle handle, AgcState* state) {
  static constexpr const char* op = "GetAGCState";
  TLOG_ENTER(op);
  if (handle == kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return 0;
  }
  uint8_t regs[10] = {};  // registers 3 .. 12
  int failed = 0;
  for (int k = 0; k < 10; ++k)
    if (read_registers(handle, static_cast<uint16_t>(3 + k), &regs[k], 1) != 0) failed = 1;
  AgcState s;
  for (int k = 0; k < 4; ++k) s.agc[k] = regs[k];
  s.dac1 = static_cast<uint16_t>(regs[4] << 8 | regs[5]);
  s.dac2 = static_cast<uint16_t>(regs[6] << 8 | regs[7]);
  s.extra = static_cast<uint16_t>(regs[8] << 8 | regs[9]);
  if (state != nullptr) *state = s;
  TLOG_I(op, "AGC1 = 0x%x, AGC2 = 0x%x, AGC3 = 0x%x, AGC4 = 0x%x, DAC1 = 0x%x, DAC2 = 0x%x, 0x%x", s.agc[0],
         s.agc[1], s.agc[2], s.agc[3], s.dac1, s.dac2, s.extra);
  TLOG_LEAVE(op);
  return failed;
}

int GetFpOriImage(DeviceHandle handle, uint16_t* pixels, std::size_t capacity) {
  static constexpr const char* op = "GetFpOriImage";
  TLOG_ENTER(op);
  if (handle == kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return 1;
  }
  const DeviceParams params = published_device_params();
  // The geometry comes from the device: a frame the buffers cannot hold is
  // not read at all.
  if (!frame_size_acceptable(params.width, params.height)) {
    TLOG_E(op, "invalid frame size %d x %d", params.width, params.height);
    return 1;
  }
  if (!wait_for_idle(handle, op)) return 1;
  // Every request of the scan must succeed: a frame taken after a lost
  // request is not a measurement of this sensor.
  int failed = write_register(handle, 1, 1);
  for (const auto& [reg, value] : scan_start_writes(params.sensor_type)) failed |= write_register(handle, reg, value);
  if (failed != 0) {
    TLOG_E(op, "scan not started");
    return 1;
  }
  if (!wait_for_idle(handle, op)) return 1;

  const std::size_t count = static_cast<std::size_t>(params.width) * params.height;
  std::vector<uint16_t> frame(count, 0);
  if (device_io_writedevice(handle, kCmdMemoryRead, 0, 0xFF) != 0 ||
      SRamBulkReadData(handle, kFrameWordAddress, frame.data(), frame.size(),
                       frame_word_count(params.width, params.height)) != 0) {
    TLOG_E(op, "frame not read");
    return 1;
  }
  if (pixels != nullptr) {
    const std::size_t n = std::min(count, capacity);
    for (std::size_t i = 0; i < n; ++i) pixels[i] = form_pixel(frame[i], params.sensor_type);
  }
  failed = GetAGCState(handle, nullptr);
  failed |= write_register(handle, 56, 0);
  TLOG_LEAVE(op);
  return failed != 0 ? 1 : 0;
}

int SRamBulkReadData(DeviceHandle handle, uint16_t address, uint16_t* pixels, std::size_t capacity,
                     uint16_t word_count) {
  static constexpr const char* op = "SRamBulkReadData";
  TLOG_ENTER(op);
  if (handle == kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return 0;
  }
  const uint32_t bytes = (2u * word_count) & 0xFFFFu;
  // Cleared, so that bytes the module was never asked for read as zero.
  std::vector<uint8_t> block(kBlockBufferSize, 0);
  for (const BlockRequest& r : sram_block_plan(address, word_count)) {
    if (device_io_readwritedata(handle, kDataModeScratch, r.address, block.data() + r.offset, r.length) != 0)
      return 3;
  }

  const int n = ++g_capture_counter;
  const std::string dir = shell::result_path("/capture");
  if (!shell::ensure_directory(dir)) TLOG_E(op, "cannot create %s", dir.c_str());
  const DeviceParams params = published_device_params();
  const std::size_t frame_pixels = static_cast<std::size_t>(params.width) * params.height;
  if (frame_pixels > 0 && frame_pixels <= kBlockBufferSize - kFrameLeadBytes) {
    const std::string path = capture_bitmap_path(n);
    tests::WriteBmpFile(path.c_str(), block.data() + kFrameLeadBytes, params.width, params.height);
    keep_bitmap_with_run(path, op);
  }

  // Only the pixel bytes that were read: B bytes hold the 2 leading bytes
  // and B - 2 pixels.
  const std::size_t read_pixels = bytes > kFrameLeadBytes ? bytes - kFrameLeadBytes : 0;
  if (pixels != nullptr) {
    const std::size_t copy = std::min(read_pixels, capacity);
    for (std::size_t i = 0; i < copy; ++i) pixels[i] = block[kFrameLeadBytes + i];
  }
  TLOG_LEAVE(op);
  return 0;
}

std::string ReadSensorId(DeviceHandle handle, bool* ok) {
  static constexpr const char* op = "ReadSensorId";
  TLOG_ENTER(op);
  if (ok != nullptr) *ok = false;
  if (handle == kInvalidDeviceHandle) {
    TLOG_E(op, "Device handle invalid.");
    return std::string();
  }
  int failed = write_register(handle, 39, 20);
  failed |= write_register(handle, 40, 10);
  failed |= write_register(handle, 41, 1);
  station_pause(10);
  uint8_t id[10] = {};
  for (int k = 0; k < 10; ++k) failed |= read_registers(handle, static_cast<uint16_t>(42 + k), &id[k], 1);
  if (failed != 0) {
    // No id was read: an empty text rather than zeros that look like one.
    TLOG_E(op, "sensor id not read");
    return std::string();
  }
  if (ok != nullptr) *ok = true;
  char text[64];
  std::snprintf(text, sizeof text, "%d_%d_%d_%d_%d_%d_%d_%d_%d_%d", id[0], id[1], id[2], id[3], id[4], id[5], id[6],
                id[7], id[8], id[9]);
  TLOG_LEAVE(op);
  return text;
}

bool EnterRawCaptureMode(DeviceHandle handle, int bus_type) {
  static constexpr const char* op = "SensorBadTest";
  int failed = 0;
  if (bus_type == 1) {
    failed |= command_twice(handle, kCmdModuleReset, 0, 0);
    station_pause(300);
  }
  failed |= command_twice(handle, kCmdMcuIdle, 0x70, 0x70);
  uint8_t state[2] = {};
  failed |= read_registers(handle, kRegMcuState, state, 2);
  if (failed != 0) {
    TLOG_E(op, "raw capture mode not entered: a request failed");
    return false;
  }
  if (mcu_idle(state))
    TLOG_I(op, "muc is in idle");
  else
    TLOG_E(op, "muc is busy");
  return true;
}

bool ReturnToSensorMode(DeviceHandle handle, int32_t sensor_type) {
  static constexpr const char* op = "SensorBadTest";
  int failed = command_twice(handle, kCmdModuleReset, 0, 0);
  station_pause(300);
  failed |= command_twice(handle, kCmdMcuIdle, 0x70, 0x70);
  failed |= write_register(handle, 1, 1);
  station_pause(1);
  failed |= write_register(handle, 65, 0x0F);
  station_pause(1);
  failed |= write_register(handle, 48, 0xBB);
  if (sensor_type == 2 || sensor_type == 3) {
    station_pause(1);
    failed |= write_register(handle, 34, 0);
    failed |= write_register(handle, 35, 0x0E);
  }
  failed |= write_register(handle, sensor_type == 6 ? 71 : 118, 1);
  failed |= write_register(handle, 31, 1);
  failed |= write_register(handle, 30, 1);
  station_pause(10);
  uint8_t discarded = 0;
  failed |= read_registers(handle, 29, &discarded, 1);
  station_pause(5);
  uint8_t state[2] = {};
  failed |= read_registers(handle, kRegMcuState, state, 2);
  // A state word that was never read says nothing: neither outcome line.
  if (failed != 0) {
    TLOG_E(op, "sensor mode not entered: a request failed");
    return false;
  }
  // The texts are the module line's own: staying idle means the module did
  // not start scanning again.
  if (mcu_idle(state))
    TLOG_I(op, "enter sensor mode fail");
  else
    TLOG_W(op, "enter sensor mode success");
  return true;
}

}  // namespace tarsio::device
