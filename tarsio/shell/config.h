// AppConfig.ini: all limits and expected values of the factory test.
// The file lies beside the executable; the station only reads it, and every
// reader opens it afresh, so an edited value applies at the next read.
// Integers may be written in decimal or, with a "0x" prefix, hexadecimal.
#pragma once

#include <cstdint>
#include <string>

namespace tarsio::shell {

// Capacity of a string value, terminator included (254 characters).
inline constexpr std::size_t kConfigStringCapacity = 255;

// The directory of the running executable (from /proc/self/exe) followed by
// "/AppConfig.ini".  Built afresh by every reader.  Empty when the
// executable's path cannot be read; every read then yields its default.
std::string config_path();

// Tests point the readers at a file of their own.  An empty path restores
// the file beside the executable.
void set_config_path_for_testing(const std::string& path);

// Checks that AppConfig.ini can be read and holds at least one section the
// station knows ("common", "USB", "SPI" or a model section).  When it does
// not, one error line names the file and says why; the readers then go on
// with their defaults.  True when the file is usable.
bool check_config_file();

// How an integer key outside its range is brought in.
enum class OutOfRange {
  kNearestEnd,  // the nearer end of the range
  kSwitch,      // a switch: any nonzero value is 1, as "nonzero" always meant
  kKeep,        // kept (an expected version no device value can match)
};

// An integer key, checked as it is read: a value that is not a whole number
// is read as its leading number (0 without one) and a value outside
// [low, high] is brought in as `how` says, each with one warning line that
// quotes the text read ("[common] SceneTest = yes is not a number: 0 is
// used").  A missing key gives the default, silently.
int config_get_checked(const char* section, const char* key, int def, int low, int high,
                       OutOfRange how = OutOfRange::kNearestEnd);
// A 0/1 switch (AutoAppExit, SceneTest, SaveResultData).
int config_get_switch(const char* section, const char* key, int def);

// Seconds without a module after which the station ends ("NoModuleTimeout"
// in "common", 0 = never, the default; kept within 0 .. 3600).
int no_module_timeout_seconds();

// Seconds the scene test waits for a finger ("SceneTestTimeout" in
// "common", default 30, kept within 1 .. 3600).
inline constexpr int kSceneTestTimeoutDefault = 30;
int scene_test_timeout_seconds();

// Read an integer or a string; a missing file, section or key gives the
// default, silently.  (The station's integer keys go through
// config_get_checked.)
int config_get_int(const char* section, const char* key, int def);
std::string config_get_string(const char* section, const char* key, const char* def = "");

// "SPI" for device type 2, "USB" for every other type.
const char* bus_section(int device_type);

// The per-model settings and limits of the bad-pixel test, read from the
// model's section (GetBadTestConfig) at the moment of the call.  Every value
// is brought into its meaningful range as it is read, with a warning line
// when it is changed: the AGC and DAC values and the 16-bit limits into
// 0 .. 65535, the borders into 0 .. the frame's height (top, bottom) or
// width (left, right).  No value can then make the analysis' arithmetic
// overflow.
struct BadTestConfig {
  int agc1 = 0, agc2 = 0, agc3 = 0, agc4 = 0;
  uint16_t dac1 = 0, dac2 = 0;
  uint16_t bad_standard = 780;
  uint16_t standard_offset = 120;
  uint16_t bad_max_count = 6;
  uint16_t bad_avg_ratio = 25;
  uint16_t bad_avg_control_cnt = 25;
  uint16_t bad_local_row = 7;
  uint16_t bad_local_col = 7;
  uint16_t small_bad_max_count = 3;
  int screen_t = 1, screen_b = 1, screen_l = 1, screen_r = 1;
  int save_result_data = 0;
  int save_result_data_file_format = 1;
};
BadTestConfig read_bad_test_config(int sensor_type, int width = 65535, int height = 65535);

}  // namespace tarsio::shell
