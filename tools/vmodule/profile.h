// A virtual module's profile: what kind of module it is (bus, hardware id,
// sensor type, versions, geometry), how its raw frame looks, which faults
// it has, and which finger it shows to the scene test.  Profiles are INI
// files (see profiles/*.ini); command-line switches override the faults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vmodule {

struct FrameModel {
  // Mean raw byte when the gain and offset registers hold the calibrated
  // values below; every step away from them moves the mean.
  double level = 97;
  int agc_ref[4] = {0, 0, 0, 0};  // AGC1..AGC4 (registers 3..6)
  int dac_ref[2] = {0, 0};        // DAC1, DAC2 (registers 7/8, 9/10)
  double agc_slope = 2;           // raw-byte change per AGC step (each register)
  double dac_slope = 1;           // raw-byte change per 16 DAC steps
  double pattern = 1;             // fixed per-pixel spread (uniform, +-)
  double noise = 1;               // per-frame noise (normal, sigma)
  int bad_pixels = 0;             // isolated bad pixels
  int clusters = 0;               // square clusters of bad pixels
  int cluster_size = 2;           // side of a cluster
  int bad_value = 255;            // raw byte of a bad pixel
  uint32_t seed = 1;
  int scan_ms = 30;               // the controller is busy this long per scan
};

struct Faults {
  uint32_t fail_code = 0;          // this control code fails ...
  int fail_errno = 5;              // ... with this errno (EIO)
  uint32_t short_reply_code = 0;   // this control code answers half its bytes
  bool mcu_never_idle = false;     // the state register never reads A5 5A
  int unplug_after = 0;            // unplug after this many requests (0: never)
  int replug_after_ms = 0;         // and come back after this pause (0: stay away)
  bool first_info_fw_zero = false; // first sensor-information reply reports firmware 0
  uint32_t kill_code = 0;          // the module process dies (SIGKILL) at this control code
};

// The finger the module plays for the scene test, fed to libfprint's
// virtual image device whenever that device is open (see finger.h).
struct Finger {
  std::string source = "synthetic";  // synthetic | file | white | black | none
  std::string image;                 // PGM or 8-bit bitmap for source=file
  std::string socket;                // virtual image socket; empty: $FP_VIRTUAL_IMAGE
  int width = 160;                   // size of synthetic, white and black images
  int height = 160;
  int delay_ms = 300;                // finger placed this long after the device opened
};

struct Profile {
  std::string name = "vmodule";
  std::string bus = "usb";  // usb | spi
  std::string hardware_id = "USB\\VID_3A7C&PID_3101";
  int sensor_type = 3;
  int width = 64;
  int height = 80;
  int fw_version = 0x1F;
  int reserved = 0;
  int usb_version = 0x0105;
  std::string driver_version = "1.0.1.41";
  int download_fw_reply = 1;
  int spi_test_reply = 1;
  std::vector<int> sensor_id = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  int agc_extra = 0x0040;  // registers 11/12, read back with the AGC state
  FrameModel frame;
  Faults faults;
  Finger finger;
};

// Loads a profile; on error returns false with a message.
bool load_profile(const std::string& path, Profile* profile, std::string* error);

}  // namespace vmodule
