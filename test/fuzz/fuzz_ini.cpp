// The INI reader and the station's configuration reads on arbitrary bytes:
// every lookup, the section test, the integer parser, and the file-based
// reads (the configuration check, the per-model bad-pixel settings with
// their range limits, the finger timeout) must stay within the text and
// keep what they promise about their results.
#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "platform/ini.h"
#include "shell/config.h"

namespace {

// The file the configuration reads see: one in memory per fuzzing process,
// reached by its /proc path (nothing is left behind on disk).
int config_fd() {
  static const int fd = ::memfd_create("AppConfig.ini", MFD_CLOEXEC);
  return fd;
}

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void read_through_the_file(const std::string& text, int width, int height) {
  const int fd = config_fd();
  if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
    return;
  tarsio::shell::set_config_path_for_testing("/proc/self/fd/" + std::to_string(fd));
  (void)tarsio::shell::check_config_file();
  const int timeout = tarsio::shell::scene_test_timeout_seconds();
  check(timeout >= 1 && timeout <= 3600);
  check(tarsio::shell::config_get_string("USB", "DriverVersion", "").size() <= 254);
  for (int type : {1, 2, 3, 6}) {
    const tarsio::shell::BadTestConfig c = tarsio::shell::read_bad_test_config(type, width, height);
    const int w = width < 0 ? 0 : width, h = height < 0 ? 0 : height;
    check(c.screen_t >= 0 && c.screen_t <= h && c.screen_b >= 0 && c.screen_b <= h);
    check(c.screen_l >= 0 && c.screen_l <= w && c.screen_r >= 0 && c.screen_r <= w);
    for (int agc : {c.agc1, c.agc2, c.agc3, c.agc4}) check(agc >= 0 && agc <= 0xFFFF);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const tarsio::platform::IniText ini(text);
  static const char* const sections[] = {"common", "USB", "SPI", "SensorBadTest_KM3103W", "", "[", "a"};
  static const char* const keys[] = {"AppLogLevel", "DriverVersion", "AGC1", "BadStandard", "", "=", "k"};
  for (const char* section : sections) {
    const bool present = ini.has_section(section);
    for (const char* key : keys) {
      (void)ini.get_int(section, key, 7);
      const std::string value = ini.get_string(section, key, "d", 255);
      check(value.size() <= 254);
      // A value is only ever found inside a section that is there.
      if (ini.get(section, key)) check(present);
    }
  }
  // Lookups with names taken from the input itself.
  const std::size_t cut = size / 2;
  const std::string section = text.substr(0, cut), key = text.substr(cut);
  if (ini.get(section, key)) check(ini.has_section(section));
  (void)ini.has_section(text);
  (void)tarsio::platform::ini_parse_int(text);

  // The frame size of the per-model reads comes from the input too, odd
  // and negative sizes included.
  const int width = size >= 2 ? static_cast<int8_t>(data[0]) * 3 : 96;
  const int height = size >= 2 ? static_cast<int8_t>(data[1]) * 3 : 96;
  read_through_the_file(text, width, height);
  return 0;
}
