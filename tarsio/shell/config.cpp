#define TARSIO_LOG_SOURCE "config"

#include "shell/config.h"

#include <cerrno>
#include <climits>
#include <optional>
#include <string_view>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "shell/log.h"

#include "platform/ini.h"
#include "shell/result_paths.h"
#include "shell/util.h"

namespace tarsio::shell {
namespace {

std::mutex g_override_lock;
std::string g_override_path;

}  // namespace

std::string config_path() {
  {
    std::lock_guard<std::mutex> guard(g_override_lock);
    if (!g_override_path.empty()) return g_override_path;
  }
  const std::string dir = program_dir();
  if (dir.empty()) return std::string();
  return dir + "/AppConfig.ini";
}

void set_config_path_for_testing(const std::string& path) {
  std::lock_guard<std::mutex> guard(g_override_lock);
  g_override_path = path;
}

int config_get_int(const char* section, const char* key, int def) {
  return platform::ini_read_int(config_path(), section, key, def);
}

std::string config_get_string(const char* section, const char* key, const char* def) {
  return platform::ini_read_string(config_path(), section, key, def, kConfigStringCapacity);
}

const char* bus_section(int device_type) { return device_type == 2 ? "SPI" : "USB"; }

namespace {

// True when the whole value is one integer as the reader takes it: an
// optional sign, then decimal digits or "0x" and hexadecimal digits.
bool whole_number(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const bool hex = text.size() > i + 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X');
  if (hex) i += 2;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    const bool digit = (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    if (!digit) return false;
  }
  return true;
}

// The integer of a key, checked: a value that is not a number is read as
// its leading number (0 without one), as the reader always did, and a value
// outside [low, high] is brought in as `how` says; each with one warning
// line that quotes the text as it was read.
int checked(const platform::IniText& ini, const char* section, const char* key, int def, int low, int high,
            OutOfRange how) {
  const std::optional<std::string> text = ini.get(section, key);
  // A missing key takes its default, brought inside the range too where the
  // range is the frame's (a default screen edge of 1 on a frame of 0 rows
  // would point outside it).
  if (!text) return how == OutOfRange::kNearestEnd ? (def < low ? low : def > high ? high : def) : def;
  const int read = platform::ini_parse_int(*text);
  const bool number = whole_number(*text);
  const bool inside = read >= low && read <= high;
  if (number && inside) return read;
  int used = read;
  if (!inside) {
    switch (how) {
      case OutOfRange::kNearestEnd: used = read < low ? low : high; break;
      case OutOfRange::kSwitch: used = read != 0 ? 1 : 0; break;
      case OutOfRange::kKeep: break;
    }
  }
  if (!number)
    TLOG_W("ReadConfig", "[%s] %s = %s is not a number: %d is used", section, key, text->c_str(), used);
  else if (how == OutOfRange::kKeep)
    TLOG_W("ReadConfig", "[%s] %s = %s is outside %d .. %d: no value the device reports can match it", section,
           key, text->c_str(), low, high);
  else
    TLOG_W("ReadConfig", "[%s] %s = %s is outside %d .. %d: %d is used", section, key, text->c_str(), low, high,
           used);
  return used;
}

constexpr const char* kKnownSections[] = {"common",
                                          "USB",
                                          "SPI",
                                          "SensorBadTest_KM3101",
                                          "SensorBadTest_KM3102W",
                                          "SensorBadTest_KM3103W",
                                          "SensorBadTest_KM3106"};

}  // namespace

bool check_config_file() {
  static constexpr const char* op = "CheckConfigFile";
  const std::string path = config_path();
  std::string text;
  int err = 0;
  switch (platform::read_ini_file(path, &text, &err)) {
    case platform::IniFileStatus::kOk: break;
    case platform::IniFileStatus::kMissing:
      TLOG_E(op, "configuration file %s not found: the defaults apply", path.c_str());
      return false;
    case platform::IniFileStatus::kNotRegular:
      if (err == EISDIR) {
        TLOG_E(op, "configuration file %s cannot be read (%s): the defaults apply", path.c_str(), std::strerror(err));
        return false;
      }
      TLOG_E(op, "configuration file %s is not a regular file: it is not read, the defaults apply", path.c_str());
      return false;
    case platform::IniFileStatus::kTooLarge:
      TLOG_E(op, "configuration file %s cannot be read (larger than 4 MiB): the defaults apply", path.c_str());
      return false;
    case platform::IniFileStatus::kError:
      TLOG_E(op, "configuration file %s cannot be read (%s): the defaults apply", path.c_str(), std::strerror(err));
      return false;
  }
  const platform::IniText ini(std::move(text));
  for (const char* section : kKnownSections)
    if (ini.has_section(section)) return true;
  TLOG_E(op, "configuration file %s holds no known section: the defaults apply", path.c_str());
  return false;
}

int config_get_checked(const char* section, const char* key, int def, int low, int high, OutOfRange how) {
  return checked(platform::IniText::load(config_path()), section, key, def, low, high, how);
}

int config_get_switch(const char* section, const char* key, int def) {
  return config_get_checked(section, key, def, 0, 1, OutOfRange::kSwitch);
}

int scene_test_timeout_seconds() {
  return config_get_checked("common", "SceneTestTimeout", kSceneTestTimeoutDefault, 1, 3600);
}

int no_module_timeout_seconds() { return config_get_checked("common", "NoModuleTimeout", 0, 0, 3600); }

BadTestConfig read_bad_test_config(int sensor_type, int width, int height) {
  const char* section = GetBadTestConfig(sensor_type);
  // The file is read once for all keys; the values are those of this moment.
  const platform::IniText ini = platform::IniText::load(config_path());
  BadTestConfig c;
  auto ranged = [&](const char* key, int def, int low, int high) {
    return checked(ini, section, key, def, low, high, OutOfRange::kNearestEnd);
  };
  auto u16 = [&](const char* key, int def) { return static_cast<uint16_t>(ranged(key, def, 0, 0xFFFF)); };
  width = width < 0 ? 0 : width;
  height = height < 0 ? 0 : height;
  c.agc1 = ranged("AGC1", 0, 0, 0xFFFF);
  c.agc2 = ranged("AGC2", 0, 0, 0xFFFF);
  c.agc3 = ranged("AGC3", 0, 0, 0xFFFF);
  c.agc4 = ranged("AGC4", 0, 0, 0xFFFF);
  c.dac1 = u16("DAC1", 0);
  c.dac2 = u16("DAC2", 0);
  c.bad_standard = u16("BadStandard", 780);
  c.standard_offset = u16("Standardoffset", 120);
  c.bad_max_count = u16("BadMaxcount", 6);
  c.bad_avg_ratio = u16("Badavgratio", 25);
  c.bad_avg_control_cnt = u16("BadavgControlCnt", 25);
  c.bad_local_row = u16("BadLocalRow", 7);
  c.bad_local_col = u16("BadLocalCol", 7);
  c.small_bad_max_count = u16("SmallBadMaxcount", 3);
  c.screen_t = ranged("ScreenT", 1, 0, height);
  c.screen_b = ranged("ScreenB", 1, 0, height);
  c.screen_l = ranged("ScreenL", 1, 0, width);
  c.screen_r = ranged("ScreenR", 1, 0, width);
  c.save_result_data = checked(ini, section, "SaveResultData", 0, 0, 1, OutOfRange::kSwitch);
  // Any format but 1 and 2 is the report writer's own error: only a value
  // that is not a number is reported here.
  c.save_result_data_file_format =
      checked(ini, section, "SaveResultDataFileFormat", 1, INT_MIN, INT_MAX, OutOfRange::kKeep);
  return c;
}

}  // namespace tarsio::shell
