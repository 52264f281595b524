// Small minutia sets shared by the record tests.
#ifndef TEST_LUMETRA_FORMATS_RECORD_FIXTURES_H
#define TEST_LUMETRA_FORMATS_RECORD_FIXTURES_H

#include <cstring>
#include <vector>

#include "engine/formats/record_inputs.h"
#include "engine/qx_alloc.h"

namespace fmt_test {

using Bytes = std::vector<uint8_t>;

inline minutiastruct two_minutiae() {
  minutiastruct m;
  std::memset(&m, 0, sizeof(m));
  m.rows = 88;
  m.cols = 96;
  m.resolution = 197;
  m.finger_position = 2;
  m.impression_type = 0;
  m.finger_quality = 61;
  m.device_id = 0x4C4D0058u;
  m.count = 2;
  m.minutiae[0] = bal_minutia{10, 300, 64, 1, 80, 4};   // row 10, col 300
  m.minutiae[1] = bal_minutia{70, 5, 255, 2, 50, 21};  // wavelength byte 21 -> low nibble 5
  return m;
}

// Takes ownership of an engine buffer.
inline Bytes take(uint8_t *p, uint32_t size) {
  Bytes out(p, p + size);
  qx_free(p);
  return out;
}

}  // namespace fmt_test

#endif
