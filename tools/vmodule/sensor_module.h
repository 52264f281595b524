// The module behind the driver: a register file, a microcontroller that is
// busy while it scans, frame memory, and the answers to every control code
// at the byte level.  No sockets here: the server feeds it requests.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

#include "profile.h"

namespace vmodule {

struct Reply {
  int status = 0;              // 0 or an errno value
  std::vector<uint8_t> bytes;  // reply bytes (at most the requested length)
};

class SensorModule {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SensorModule(const Profile& profile);

  // Answers one request.
  Reply handle(uint32_t code, const uint8_t* in, uint32_t in_len, uint32_t out_len);

  // Power cycle (plugging back in): registers cleared, sensor mode.
  void reset();

  // Frame memory starts here (word address); 2 leading bytes, then pixels.
  static constexpr uint16_t kFrameWordAddress = 0x3400;
  static constexpr uint8_t kLead[2] = {0x0F, 0xF0};
  static constexpr uint8_t kIdle[2] = {0xA5, 0x5A};
  static constexpr uint8_t kBusy[2] = {0x5A, 0x00};

  // For tests of the model itself: the frame the next scan would render.
  std::vector<uint8_t> render_frame();
  int scans() const { return scans_; }

 private:
  enum class State { kSensorMode, kIdle, kScanning };

  Reply register_read(const uint8_t* in, uint32_t out_len);
  Reply register_write(const uint8_t* in);
  Reply data_read(const uint8_t* in, uint32_t out_len);
  void settle();  // finishes a scan whose time has come
  uint8_t scan_command() const;

  Profile profile_;
  std::array<uint8_t, 65536> regs_{};
  std::vector<uint8_t> memory_;  // byte view of the module's word memory
  State state_ = State::kSensorMode;
  Clock::time_point scan_done_{};
  int idle_commands_ = 0;  // 0x22 commands in a row
  int info_reads_ = 0;
  int scans_ = 0;
  std::vector<float> pattern_;  // fixed per-pixel offsets
  std::vector<int> bad_;        // pixel indices that are bad
};

}  // namespace vmodule
