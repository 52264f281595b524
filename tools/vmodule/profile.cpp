#include "profile.h"

#include <cstdlib>
#include <sstream>

#include "platform/ini.h"

namespace vmodule {
namespace {

double get_double(const tarsio::platform::IniText& ini, const char* section, const char* key, double def) {
  const auto value = ini.get(section, key);
  if (!value || value->empty()) return def;
  char* end = nullptr;
  const double d = std::strtod(value->c_str(), &end);
  return end == value->c_str() ? def : d;
}

}  // namespace

bool load_profile(const std::string& path, Profile* p, std::string* error) {
  const auto ini = tarsio::platform::IniText::load(path);
  if (!ini.get("module", "sensor_type")) {
    *error = "profile " + path + ": missing or without [module] sensor_type";
    return false;
  }
  auto s = [&](const char* section, const char* key, const std::string& def) {
    return ini.get_string(section, key, def, 1024);
  };
  auto i = [&](const char* section, const char* key, int def) { return ini.get_int(section, key, def); };

  p->name = s("module", "name", p->name);
  p->bus = s("module", "bus", p->bus);
  p->hardware_id = s("module", "hardware_id", p->bus == "spi" ? "ACPI\\VEN_KMX&DEV_7001" : p->hardware_id);
  p->sensor_type = i("module", "sensor_type", p->sensor_type);
  p->width = i("module", "width", p->width);
  p->height = i("module", "height", p->height);
  p->fw_version = i("module", "fw_version", p->fw_version);
  p->reserved = i("module", "reserved", p->reserved);
  p->usb_version = i("module", "usb_version", p->bus == "spi" ? 0 : p->usb_version);
  p->driver_version = s("module", "driver_version", p->driver_version);
  p->download_fw_reply = i("module", "download_fw_reply", p->download_fw_reply);
  p->spi_test_reply = i("module", "spi_test_reply", p->spi_test_reply);
  p->agc_extra = i("module", "agc_extra", p->agc_extra);
  if (const auto id = ini.get("module", "sensor_id")) {
    p->sensor_id.clear();
    std::stringstream in(*id);
    std::string part;
    while (std::getline(in, part, ',')) p->sensor_id.push_back(tarsio::platform::ini_parse_int(part));
  }

  FrameModel& f = p->frame;
  f.level = get_double(ini, "frame", "level", f.level);
  const char* agc_keys[4] = {"agc1", "agc2", "agc3", "agc4"};
  for (int k = 0; k < 4; ++k) f.agc_ref[k] = i("frame", agc_keys[k], f.agc_ref[k]);
  f.dac_ref[0] = i("frame", "dac1", f.dac_ref[0]);
  f.dac_ref[1] = i("frame", "dac2", f.dac_ref[1]);
  f.agc_slope = get_double(ini, "frame", "agc_slope", f.agc_slope);
  f.dac_slope = get_double(ini, "frame", "dac_slope", f.dac_slope);
  f.pattern = get_double(ini, "frame", "pattern", f.pattern);
  f.noise = get_double(ini, "frame", "noise", f.noise);
  f.bad_pixels = i("frame", "bad_pixels", f.bad_pixels);
  f.clusters = i("frame", "clusters", f.clusters);
  f.cluster_size = i("frame", "cluster_size", f.cluster_size);
  f.bad_value = i("frame", "bad_value", f.bad_value);
  f.seed = static_cast<uint32_t>(i("frame", "seed", static_cast<int>(f.seed)));
  f.scan_ms = i("frame", "scan_ms", f.scan_ms);

  Faults& x = p->faults;
  x.fail_code = static_cast<uint32_t>(i("faults", "fail_code", 0));
  x.fail_errno = i("faults", "fail_errno", x.fail_errno);
  x.short_reply_code = static_cast<uint32_t>(i("faults", "short_reply_code", 0));
  x.mcu_never_idle = i("faults", "mcu_never_idle", 0) != 0;
  x.unplug_after = i("faults", "unplug_after", 0);
  x.kill_code = static_cast<uint32_t>(i("faults", "kill_code", 0));
  x.replug_after_ms = i("faults", "replug_after_ms", 0);
  x.first_info_fw_zero = i("faults", "first_info_fw_zero", 0) != 0;

  p->finger.source = s("finger", "source", p->finger.source);
  p->finger.image = s("finger", "image", p->finger.image);
  p->finger.socket = s("finger", "socket", p->finger.socket);
  p->finger.width = i("finger", "width", p->finger.width);
  p->finger.height = i("finger", "height", p->finger.height);
  p->finger.delay_ms = i("finger", "delay_ms", p->finger.delay_ms);

  std::string problem;
  if (p->bus != "usb" && p->bus != "spi") problem = "bus must be usb or spi";
  else if (p->width <= 0 || p->height <= 0 || p->width > 0xFFFF || p->height > 0xFFFF ||
           p->width * p->height > 25600)
    problem = "width x height must be 1 .. 25600 pixels";
  else if (p->sensor_id.size() != 10) problem = "sensor_id needs 10 values";
  else if (f.cluster_size < 1 || f.cluster_size > 16) problem = "cluster_size must be 1 .. 16";
  else if (f.bad_pixels < 0 || f.clusters < 0) problem = "bad_pixels and clusters must not be negative";
  else if (f.scan_ms < 0 || f.scan_ms > 10000) problem = "scan_ms must be 0 .. 10000";
  else if (p->finger.source != "synthetic" && p->finger.source != "file" && p->finger.source != "white" &&
           p->finger.source != "black" && p->finger.source != "none")
    problem = "finger source must be synthetic, file, white, black or none";
  else if (p->finger.width < 1 || p->finger.height < 1 || p->finger.width > 2048 || p->finger.height > 2048)
    problem = "finger width and height must be 1 .. 2048";
  else if (p->finger.delay_ms < 0 || p->finger.delay_ms > 60000) problem = "finger delay_ms must be 0 .. 60000";
  else if (p->finger.source == "file" && p->finger.image.empty()) problem = "finger source file needs image=";
  if (!problem.empty()) {
    *error = "profile " + path + ": " + problem;
    return false;
  }
  return true;
}

}  // namespace vmodule
