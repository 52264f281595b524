#include "shell/config.h"

#include <mutex>

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

BadTestConfig read_bad_test_config(int sensor_type) {
  const char* section = GetBadTestConfig(sensor_type);
  // The file is read once for all keys; the values are those of this moment.
  const platform::IniText ini = platform::IniText::load(config_path());
  BadTestConfig c;
  auto i = [&](const char* key, int def) { return ini.get_int(section, key, def); };
  auto u16 = [&](const char* key, int def) { return static_cast<uint16_t>(ini.get_int(section, key, def)); };
  c.agc1 = i("AGC1", 0);
  c.agc2 = i("AGC2", 0);
  c.agc3 = i("AGC3", 0);
  c.agc4 = i("AGC4", 0);
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
  c.screen_t = i("ScreenT", 1);
  c.screen_b = i("ScreenB", 1);
  c.screen_l = i("ScreenL", 1);
  c.screen_r = i("ScreenR", 1);
  c.save_result_data = i("SaveResultData", 0);
  c.save_result_data_file_format = i("SaveResultDataFileFormat", 1);
  return c;
}

}  // namespace tarsio::shell
