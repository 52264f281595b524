#include "shell/util.h"

#include <cstdio>
#include <cstring>

#include "shell/log.h"

#define TARSIO_LOG_SOURCE "util"

namespace tarsio::shell {
namespace {

constexpr int kRowBytes = 8;
// Rows within the first and the last 64 bytes of a dump are shown.
constexpr int kDumpEdge = 64;

bool printable(uint8_t c) { return c >= 0x21 && c <= 0x7E && c != '%' && c != '\\'; }

}  // namespace

void hexdump_row(char out[80], unsigned offset, const uint8_t* bytes, int n) {
  int pos = std::snprintf(out, 80, "%04x  ", offset & 0xFFFFu);
  for (int i = 0; i < kRowBytes; ++i) {
    if (i < n)
      pos += std::snprintf(out + pos, 80 - pos, "0x%02x ", bytes[i]);
    else
      pos += std::snprintf(out + pos, 80 - pos, "   ");
  }
  pos += std::snprintf(out + pos, 80 - pos, " |");
  for (int i = 0; i < kRowBytes; ++i) out[pos++] = i < n ? (printable(bytes[i]) ? bytes[i] : '.') : ' ';
  out[pos++] = '|';
  out[pos] = '\0';
}

void km_common_util_hexdump(uint8_t selector, const void* data, int count) {
  if (count <= 0 || data == nullptr) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  bool elided = false;
  for (int offset = 0; offset < count; offset += kRowBytes) {
    const int n = count - offset < kRowBytes ? count - offset : kRowBytes;
    const int following = count - offset - n;
    char row[80];
    hexdump_row(row, static_cast<unsigned>(offset), bytes + offset, n);
    const bool shown = following > count - kDumpEdge || following <= kDumpEdge;
    const char* text = row;
    if (!shown) {
      if (elided) continue;
      elided = true;
      text = "....";
    }
    if (selector <= 2)
      TLOG_D("km_common_util_hexdump", "%s", text);
    else
      TLOG_E("km_common_util_hexdump", "%s", text);
  }
}

const char* GetBadTestConfig(int sensor_type) {
  switch (sensor_type) {
    case 1: return "SensorBadTest_KM3101";
    case 2: return "SensorBadTest_KM3102W";
    case 3: return "SensorBadTest_KM3103W";
    case 6: return "SensorBadTest_KM3106";
    default:
      TLOG_E("GetBadTestConfig", "Unknow sensor type!");
      return "";
  }
}

}  // namespace tarsio::shell
