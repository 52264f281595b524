// Small shared helpers of the station: the hex dump of device replies and
// the choice of the per-model configuration section.
#pragma once

#include <cstdint>

namespace tarsio::shell {

// Logs a buffer in rows of 8 bytes: selector <= 2 as debug lines, above 2 as
// error lines.  A count of zero or less writes nothing.  Buffers longer than
// 64 bytes show their head, one "...." line and their tail.
void km_common_util_hexdump(uint8_t selector, const void* data, int count);

// The short form used by the device wrappers (debug level).
inline void hexdump(const void* data, int count) { km_common_util_hexdump(1, data, count); }

// One row of the dump for up to 8 bytes at the given offset, without the
// line prefix (exposed for tests).
void hexdump_row(char out[80], unsigned offset, const uint8_t* bytes, int n);

// The per-model section of AppConfig.ini for a sensor type (1, 2, 3, 6).
// Any other type logs "Unknow sensor type!" and returns "" — a name no
// section of the file can carry, so the readers fall back to the defaults.
const char* GetBadTestConfig(int sensor_type);

}  // namespace tarsio::shell
