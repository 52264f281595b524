// Entry points named after driving a sensor directly.  The library has no
// sensor transport, so capture and detection report "nothing", the
// hardware check has no observable effect, and the parameter functions
// only store what they are given (nothing, given a null pointer).
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

#include "api/state.h"
#include "lumetra.h"

using lumetra::api::g_state;

namespace {
constexpr int kNoImage = 1;
constexpr unsigned char kNoFinger = 2;
constexpr int kVerifyHwStatus = 1;
// How long nerio_DetectFinger waits for a finger that cannot arrive.
constexpr auto kDetectWait = std::chrono::milliseconds(1000);
}  // namespace

extern "C" {

int nerio_GetFpImage(unsigned char * /*pixels*/) { return kNoImage; }

unsigned char nerio_DetectFinger(void) {
  std::this_thread::sleep_for(kDetectWait);
  return kNoFinger;
}

void nerio_qx_verify_hw(int width, int height) {
  // The size is computed in 64 bits so that no product of two ints wraps
  // into a small positive size; anything non-positive is refused.
  const std::int64_t size = static_cast<std::int64_t>(width) * height;
  if (size <= 0) return;
  // No sensor is larger than the ceiling; a bigger scratch image would
  // only cost gigabytes.
  if (width <= 0 || height <= 0 || width > lumetra::api::kMaxSensorSide ||
      height > lumetra::api::kMaxSensorSide)
    return;
  if (static_cast<std::uint64_t>(size) > std::numeric_limits<std::size_t>::max()) return;
  // malloc, not new: an allocation failure must not become an exception
  // that crosses the C boundary.
  auto *scratch = static_cast<unsigned char *>(std::calloc(static_cast<std::size_t>(size), 1));
  if (scratch == nullptr) return;
  // A short self-check over the scratch image: write a ramp into one
  // byte per page and read it back.  Nothing of it is kept.
  constexpr std::int64_t kStride = 4096;
  unsigned sum = 0;
  for (std::int64_t i = 0; i < size; i += kStride) scratch[i] = static_cast<unsigned char>(i / kStride);
  for (std::int64_t i = 0; i < size; i += kStride) sum += scratch[i];
  (void)sum;
  std::free(scratch);
}

int nerio_qx_get_verify_hw_status(void) { return kVerifyHwStatus; }

void nerio_SetSensorParam(const void *params) {
  if (params == nullptr) return;
  std::memcpy(g_state.sensor.sensor_param, params, sizeof g_state.sensor.sensor_param);
}

void nerio_SetFactordValue(const int *factors) {
  if (factors == nullptr) return;
  std::memcpy(g_state.sensor.factors, factors, sizeof g_state.sensor.factors);
}

void nerio_SetDatabaseValue(const unsigned short *frame) {
  const int n = lumetra::api::sensor_pixel_count();
  if (frame == nullptr || n < 0 || n > lumetra::api::kBaseFrameValues) return;
  std::memcpy(g_state.sensor.base_frame, frame, static_cast<std::size_t>(n) * sizeof(std::uint16_t));
}

void nerio_SetTransferBytesMax(int bytes) { g_state.params.transfer_bytes_max = bytes; }

}  // extern "C"
