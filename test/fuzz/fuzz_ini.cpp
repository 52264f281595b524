// The INI reader on arbitrary bytes: every lookup, the integer parser and
// the configuration's per-model reads must stay within the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const tarsio::platform::IniText ini(text);
  static const char* const sections[] = {"common", "USB", "SPI", "SensorBadTest_KM3103W", "", "[", "a"};
  static const char* const keys[] = {"AppLogLevel", "DriverVersion", "AGC1", "BadStandard", "", "=", "k"};
  for (const char* section : sections)
    for (const char* key : keys) {
      (void)ini.get_int(section, key, 7);
      const std::string value = ini.get_string(section, key, "d", 255);
      if (value.size() > 254) __builtin_trap();
    }
  // Lookups with names taken from the input itself.
  const std::size_t cut = size / 2;
  (void)ini.get(text.substr(0, cut), text.substr(cut));
  (void)tarsio::platform::ini_parse_int(text);
  return 0;
}
