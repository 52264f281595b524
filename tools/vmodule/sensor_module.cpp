#include "sensor_module.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>

#include "device/devicecontrol.h"

namespace vmodule {

using namespace tarsio::device;

SensorModule::SensorModule(const Profile& profile) : profile_(profile), memory_(0x20000, 0) {
  const int w = profile_.width, h = profile_.height;
  const FrameModel& f = profile_.frame;
  std::mt19937 rng(f.seed);
  std::uniform_real_distribution<float> spread(static_cast<float>(-f.pattern), static_cast<float>(f.pattern));
  pattern_.resize(static_cast<std::size_t>(w) * h);
  for (auto& p : pattern_) p = spread(rng);

  // Bad pixels and clusters lie inside the one-pixel border that the
  // station's default region leaves out, so that each one counts.
  auto inner = [&](int extent, int size) {
    const int span = std::max(1, extent - 2 - size + 1);
    return 1 + static_cast<int>(rng() % static_cast<uint32_t>(span));
  };
  for (int k = 0; k < f.bad_pixels; ++k) bad_.push_back(inner(h, 1) * w + inner(w, 1));
  for (int k = 0; k < f.clusters; ++k) {
    const int r0 = inner(h, f.cluster_size), c0 = inner(w, f.cluster_size);
    for (int r = r0; r < std::min(h, r0 + f.cluster_size); ++r)
      for (int c = c0; c < std::min(w, c0 + f.cluster_size); ++c) bad_.push_back(r * w + c);
  }
  reset();
}

void SensorModule::reset() {
  regs_.fill(0);
  regs_[11] = static_cast<uint8_t>(profile_.agc_extra >> 8);
  regs_[12] = static_cast<uint8_t>(profile_.agc_extra);
  state_ = State::kSensorMode;
  idle_commands_ = 0;
  info_reads_ = 0;
}

uint8_t SensorModule::scan_command() const {
  switch (profile_.sensor_type) {
    case 2:
    case 3: return 0x69;
    case 6: return 0x68;
    default: return 0x6C;
  }
}

std::vector<uint8_t> SensorModule::render_frame() {
  const FrameModel& f = profile_.frame;
  // The analogue front end: the mean follows the gain and offset registers.
  double mean = f.level;
  for (int k = 0; k < 4; ++k) mean += f.agc_slope * (regs_[3 + k] - f.agc_ref[k]);
  const int dac1 = regs_[7] << 8 | regs_[8];
  const int dac2 = regs_[9] << 8 | regs_[10];
  mean += f.dac_slope * ((dac1 - f.dac_ref[0]) + (dac2 - f.dac_ref[1])) / 16.0;

  std::mt19937 rng(f.seed * 7919u + static_cast<uint32_t>(scans_));
  std::normal_distribution<double> noise(0.0, f.noise > 0 ? f.noise : 1e-9);
  std::vector<uint8_t> frame(pattern_.size());
  for (std::size_t i = 0; i < frame.size(); ++i) {
    const double v = std::lround(mean + pattern_[i] + (f.noise > 0 ? noise(rng) : 0.0));
    frame[i] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
  }
  for (int i : bad_) frame[static_cast<std::size_t>(i)] = static_cast<uint8_t>(f.bad_value);
  return frame;
}

void SensorModule::settle() {
  if (state_ != State::kScanning || Clock::now() < scan_done_) return;
  const std::vector<uint8_t> frame = render_frame();
  ++scans_;
  const std::size_t base = static_cast<std::size_t>(kFrameWordAddress) * 2;
  memory_[base] = kLead[0];
  memory_[base + 1] = kLead[1];
  std::copy(frame.begin(), frame.end(), memory_.begin() + static_cast<std::ptrdiff_t>(base + 2));
  state_ = State::kIdle;
}

Reply SensorModule::register_read(const uint8_t* in, uint32_t out_len) {
  if (out_len != kRegisterReplySize) return {EINVAL, {}};
  if (in[0] != kCmdReadRegister) return {EINVAL, {}};
  settle();
  const uint16_t address = static_cast<uint16_t>(in[1] << 8 | in[2]);
  Reply reply{0, std::vector<uint8_t>(kRegisterReplySize)};
  for (std::size_t k = 0; k < kRegisterReplySize; ++k) {
    const uint16_t a = static_cast<uint16_t>(address + k);
    uint8_t v = regs_[a];
    if (a == 32 || a == 33) {  // the controller's state word
      const bool idle = state_ == State::kIdle && !profile_.faults.mcu_never_idle;
      v = (idle ? kIdle : kBusy)[a - 32];
    }
    reply.bytes[k] = v;
  }
  return reply;
}

Reply SensorModule::register_write(const uint8_t* in) {
  const uint8_t command = in[0];
  const uint16_t address = static_cast<uint16_t>(in[1] << 8 | in[2]);
  const uint16_t value = static_cast<uint16_t>(in[3] << 8 | in[4]);
  settle();
  if (command != kCmdMcuIdle) idle_commands_ = 0;
  switch (command) {
    case kCmdMcuIdle:
      // The pair stops the controller's own scanning: idle after the second.
      if (address != 0x70 || value != 0x70) return {EINVAL, {}};
      if (++idle_commands_ >= 2 && state_ == State::kSensorMode) state_ = State::kIdle;
      return {};
    case kCmdModuleReset:
      if (address != 0 || value != 0) return {EINVAL, {}};
      return {};
    case kCmdMemoryRead:
      if (address != 0 || value != 0xFF) return {EINVAL, {}};
      return {};
    case kCmdWriteRegister:
      break;
    default:
      return {EINVAL, {}};
  }
  regs_[address] = static_cast<uint8_t>(value);
  if (address == 0 && state_ == State::kIdle && regs_[1] == 1 && regs_[address] == scan_command()) {
    state_ = State::kScanning;
    regs_[1] = 0;  // armed again by the next "1 to register 1"
    scan_done_ = Clock::now() + std::chrono::milliseconds(profile_.frame.scan_ms);
  }
  if (address == 41 && value == 1 && regs_[39] == 20 && regs_[40] == 10) {
    for (int k = 0; k < 10; ++k) regs_[42 + k] = static_cast<uint8_t>(profile_.sensor_id[k]);
  }
  // Back to sensor mode: the model's mode register, then 31 and 30.
  const int mode_register = profile_.sensor_type == 6 ? 71 : 118;
  if (address == 30 && value == 1 && regs_[31] == 1 && regs_[mode_register] == 1 && state_ == State::kIdle)
    state_ = State::kSensorMode;
  return {};
}

Reply SensorModule::data_read(const uint8_t* in, uint32_t out_len) {
  const uint16_t address = static_cast<uint16_t>(in[1] << 8 | in[2]);
  const uint16_t length = static_cast<uint16_t>(in[3] << 8 | in[4]);
  // The driver delivers length + 4 bytes (modulo 65536) and nothing else.
  if (out_len != data_reply_size(length)) return {EINVAL, {}};
  settle();
  Reply reply{0, std::vector<uint8_t>(out_len, 0)};
  const std::size_t start = static_cast<std::size_t>(address) * 2;
  const std::size_t payload = std::min<std::size_t>(length, out_len);
  uint16_t sum = 0;
  for (std::size_t k = 0; k < payload; ++k) {
    const std::size_t at = start + k;
    reply.bytes[k] = at < memory_.size() ? memory_[at] : 0;
    sum = static_cast<uint16_t>(sum + reply.bytes[k]);
  }
  // Four trailing bytes: a 16-bit sum of the data and a fixed marker.
  const uint8_t tail[4] = {static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum), 0x55, 0xAA};
  for (std::size_t k = 0; k < 4 && payload + k < out_len; ++k) reply.bytes[payload + k] = tail[k];
  return reply;
}

Reply SensorModule::handle(uint32_t code, const uint8_t* in, uint32_t in_len, uint32_t out_len) {
  const Faults& faults = profile_.faults;
  if (faults.fail_code != 0 && code == faults.fail_code) return {faults.fail_errno, {}};

  Reply reply;
  auto one_byte = [&](int value) -> Reply {
    if (out_len < 1) return {EINVAL, {}};
    return {0, {static_cast<uint8_t>(value)}};
  };
  switch (code) {
    case IOCTL_BIOMETRIC_SENSOR_INFO: {
      if (out_len < kSensorInfoSize) return {EINVAL, {}};
      SensorInfo info;
      info.fw_version = static_cast<uint8_t>(profile_.fw_version);
      if (faults.first_info_fw_zero && info_reads_ == 0) info.fw_version = 0;
      ++info_reads_;
      info.reserved = static_cast<uint8_t>(profile_.reserved);
      info.usb_version = static_cast<uint16_t>(profile_.usb_version);
      std::strncpy(info.driver_version, profile_.driver_version.c_str(), sizeof info.driver_version - 1);
      info.width = static_cast<uint16_t>(profile_.width);
      info.height = static_cast<uint16_t>(profile_.height);
      info.sensor_type = profile_.sensor_type;
      const auto bytes = encode_sensor_info(info);
      reply = {0, {bytes.begin(), bytes.end()}};
      break;
    }
    case IOCTL_BIOMETRIC_DOWNLOAD_FW: reply = one_byte(profile_.download_fw_reply); break;
    case IOCTL_BIOMETRIC_TEST_SPI: reply = one_byte(profile_.spi_test_reply); break;
    case IOCTL_BIOMETRIC_APP_EXIT:
      reply = one_byte(0);
      state_ = State::kSensorMode;
      break;
    case IOCTL_BIOMETRIC_WRITE_DEVICE:
      if (in_len != kRequestSize) return {EINVAL, {}};
      reply = register_write(in);
      break;
    case IOCTL_BIOMETRIC_READ_DEVICE:
      if (in_len != kRequestSize) return {EINVAL, {}};
      reply = register_read(in, out_len);
      break;
    case IOCTL_BIOMETRIC_READ_DATA:
      if (in_len != kRequestSize) return {EINVAL, {}};
      reply = data_read(in, out_len);
      break;
    default:
      return {ENOTTY, {}};  // not a control code of this driver
  }
  if (reply.status == 0 && faults.short_reply_code != 0 && code == faults.short_reply_code)
    reply.bytes.resize(reply.bytes.size() / 2);
  return reply;
}

}  // namespace vmodule
