#define TARSIO_LOG_SOURCE "config"

#include "shell/config.h"

#include <cerrno>
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

// A value outside [low, high] becomes the nearest end, with a warning line.
int within(const char* section, const char* key, int value, int low, int high) {
  if (value >= low && value <= high) return value;
  const int kept = value < low ? low : high;
  TLOG_W("ReadConfig", "[%s] %s = %d is outside %d .. %d: %d is used", section, key, value, low, high, kept);
  return kept;
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
  std::FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    const int err = path.empty() ? ENOENT : errno;
    if (err == ENOENT)
      TLOG_E(op, "configuration file %s not found: the defaults apply", path.c_str());
    else
      TLOG_E(op, "configuration file %s cannot be read (%s): the defaults apply", path.c_str(), std::strerror(err));
    return false;
  }
  std::string text;
  char chunk[4096];
  std::size_t n;
  bool too_large = false;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && !too_large) {
    text.append(chunk, n);
    too_large = text.size() > platform::kIniMaxFileSize;
  }
  const bool failed = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (failed || too_large) {
    TLOG_E(op, "configuration file %s cannot be read (%s): the defaults apply", path.c_str(),
           too_large ? "larger than 4 MiB" : std::strerror(err));
    return false;
  }
  const platform::IniText ini(std::move(text));
  for (const char* section : kKnownSections)
    if (ini.has_section(section)) return true;
  TLOG_E(op, "configuration file %s holds no known section: the defaults apply", path.c_str());
  return false;
}

int scene_test_timeout_seconds() {
  return within("common", "SceneTestTimeout", config_get_int("common", "SceneTestTimeout", kSceneTestTimeoutDefault),
                1, 3600);
}

BadTestConfig read_bad_test_config(int sensor_type, int width, int height) {
  const char* section = GetBadTestConfig(sensor_type);
  // The file is read once for all keys; the values are those of this moment.
  const platform::IniText ini = platform::IniText::load(config_path());
  BadTestConfig c;
  auto ranged = [&](const char* key, int def, int low, int high) {
    return within(section, key, ini.get_int(section, key, def), low, high);
  };
  auto i = [&](const char* key, int def) { return ini.get_int(section, key, def); };
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
  c.save_result_data = i("SaveResultData", 0);
  c.save_result_data_file_format = i("SaveResultDataFileFormat", 1);
  return c;
}

}  // namespace tarsio::shell
