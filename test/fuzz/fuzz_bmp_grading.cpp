// Fuzzes the grading exports' bitmap reader over arbitrary bytes.  The
// capacity is taken from the first input byte so that both the "too
// large" refusal and full reads are reached.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "api/grading_bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const size_t capacity = size_t{data[0]} * 64;  // 0 .. 16320 bytes
  std::vector<uint8_t> buffer(capacity + 1, 0x5A);
  int width = -1, height = -1;
  const int rc = lumetra::api::read_grading_bitmap_bytes(data + 1, size - 1, buffer.data(), capacity, &width, &height);
  if (rc == 0) {
    // A success fits the capacity and writes nothing past it.
    if (width <= 0 || height <= 0 || static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > capacity)
      __builtin_trap();
  } else if (width != 0 || height != 0) {
    __builtin_trap();
  }
  if (buffer[capacity] != 0x5A) __builtin_trap();
  return 0;
}
