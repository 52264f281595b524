// ANSI INCITS 378 finger minutiae records.
#include "engine/formats/ansi378.h"

#include <cstring>

#include "engine/formats/be_bytes.h"
#include "engine/formats/format_ids.h"
#include "engine/formats/iso19794_2.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

using qx_fmt::get16;
using qx_fmt::get32;
using qx_fmt::put16;
using qx_fmt::put32;

namespace {

// 2004 layout: header 26 bytes, one view header of 4 bytes, 6 bytes per
// minutia, extended data length 2.
constexpr uint32_t kV2Header = 26 + 4;
// 2009 layout: header 15 bytes, representation header 36 bytes.
constexpr uint32_t kV3Header = 15 + 36;

uint16_t dim(int16_t v) { return v < 0 ? 0 : static_cast<uint16_t>(v); }

void put_minutia(uint8_t *p, const bal_minutia &mi) {
  put16(p, static_cast<uint32_t>((mi.type & 3) << 14 | (dim(mi.col) & 0x3FFF)));
  put16(p + 2, dim(mi.row) & 0x3FFF);
  p[4] = static_cast<uint8_t>(mi.direction * 180 / 256);
  p[5] = mi.quality;
}

void get_minutia(const uint8_t *p, bal_minutia *mi) {
  mi->type = static_cast<uint8_t>(p[0] >> 6);
  mi->col = static_cast<int16_t>(get16(p) & 0x3FFF);
  mi->row = static_cast<int16_t>(get16(p + 2) & 0x3FFF);
  mi->direction = static_cast<uint8_t>(p[4] < 180 ? p[4] * 256 / 180 : 0);
  mi->quality = p[5];
  mi->wavelength = 0;
}

}  // namespace

extern "C" {

qx_rc qx_minutiastruct_to_ansi378_v2(const minutiastruct *m, uint8_t **out, uint32_t *size) {
  if (out != nullptr) *out = nullptr;
  if (size != nullptr) *size = 0;
  if (m == nullptr || out == nullptr || size == nullptr) return QX_RC_INVALID_ARGUMENT;
  const uint32_t total = kV2Header + 6u * m->count + 2;
  auto *r = static_cast<uint8_t *>(qx_calloc(total, 1));
  if (r == nullptr) return QX_RC_NO_MEMORY;
  std::memcpy(r, "FMR\0 20\0", 8);
  put16(r + 8, total);  // at most 1562 bytes: the 2-byte form
  put32(r + 10, QX_FORMAT_CAPTURE_DEVICE);  // product identifier: owner, type
  put16(r + 14, 0);                         // equipment compliance and id
  put16(r + 16, dim(m->cols));
  put16(r + 18, dim(m->rows));
  put16(r + 20, QX_ISO_RESOLUTION_PPCM);
  put16(r + 22, QX_ISO_RESOLUTION_PPCM);
  r[24] = 1;  // one finger view
  r[25] = 0;
  r[26] = m->finger_position;
  r[27] = m->impression_type & 0x0F;
  r[28] = m->finger_quality;
  r[29] = m->count;
  for (uint32_t i = 0; i < m->count; ++i) put_minutia(r + kV2Header + 6 * i, m->minutiae[i]);
  *out = r;
  *size = total;
  return QX_RC_OK;
}

qx_rc qx_minutiastruct_to_ansi378_v3(const minutiastruct *m, uint8_t **out, uint32_t *size) {
  if (out != nullptr) *out = nullptr;
  if (size != nullptr) *size = 0;
  if (m == nullptr || out == nullptr || size == nullptr) return QX_RC_INVALID_ARGUMENT;
  const uint32_t total = kV3Header + 6u * m->count + 2;
  auto *r = static_cast<uint8_t *>(qx_calloc(total, 1));
  if (r == nullptr) return QX_RC_NO_MEMORY;
  std::memcpy(r, "FMR\0" "030\0", 8);
  put32(r + 8, total);
  put16(r + 12, 1);  // one finger representation
  r[14] = 0;         // no certification
  uint8_t *p = r + 15;
  put32(p, total - 15);
  std::memset(p + 4, 0xFF, 9);  // capture date and time not given
  p[13] = 0;                    // capture device technology
  put32(p + 14, m->device_id);
  p[18] = 1;  // one quality block
  p[19] = m->finger_quality;
  put16(p + 20, QX_FORMAT_VENDOR_ID);
  put16(p + 22, QX_FORMAT_ALGORITHM_ID);
  p[24] = m->finger_position;
  p[25] = 0;  // representation number
  put16(p + 26, QX_ISO_RESOLUTION_PPCM);
  put16(p + 28, QX_ISO_RESOLUTION_PPCM);
  p[30] = m->impression_type;
  put16(p + 31, dim(m->cols));
  // Height, then the number of minutiae.
  uint8_t *q = r + kV3Header - 3;
  put16(q, dim(m->rows));
  q[2] = m->count;
  for (uint32_t i = 0; i < m->count; ++i) put_minutia(r + kV3Header + 6 * i, m->minutiae[i]);
  *out = r;
  *size = total;
  return QX_RC_OK;
}

qx_rc qx_ansi378_to_minutiastruct(const uint8_t *r, uint32_t length, minutiastruct *m) {
  if (r == nullptr || m == nullptr) return QX_RC_INVALID_ARGUMENT;
  if (length < 12 || std::memcmp(r, "FMR\0", 4) != 0) return QX_RC_NOT_A_RECORD;
  std::memset(m, 0, sizeof(*m));
  m->resolution = QX_ISO_RESOLUTION_PPCM;
  if (std::memcmp(r + 4, " 20\0", 4) == 0) {
    if (length < kV2Header + 2 || get16(r + 8) != length) return QX_RC_NOT_A_RECORD;
    const uint32_t n = r[29];
    if (kV2Header + 6 * n + 2 > length) return QX_RC_NOT_A_RECORD;
    m->cols = static_cast<int16_t>(get16(r + 16) & 0x7FFF);
    m->rows = static_cast<int16_t>(get16(r + 18) & 0x7FFF);
    m->device_id = get32(r + 10);
    m->finger_position = r[26];
    m->impression_type = r[27] & 0x0F;
    m->finger_quality = r[28];
    m->count = static_cast<uint8_t>(n);
    for (uint32_t i = 0; i < n; ++i) get_minutia(r + kV2Header + 6 * i, &m->minutiae[i]);
    return QX_RC_OK;
  }
  if (std::memcmp(r + 4, "030\0", 4) == 0) {
    if (length < kV3Header + 2 || get32(r + 8) != length || get16(r + 12) < 1) return QX_RC_NOT_A_RECORD;
    if (get32(r + 15) + 15 > length || r[33] != 1) return QX_RC_NOT_A_RECORD;
    const uint32_t n = r[kV3Header - 1];
    if (kV3Header + 6 * n + 2 > length) return QX_RC_NOT_A_RECORD;
    const uint8_t *p = r + 15;
    m->device_id = get32(p + 14);
    m->finger_quality = p[19];
    m->finger_position = p[24];
    m->impression_type = p[30];
    m->cols = static_cast<int16_t>(get16(p + 31) & 0x7FFF);
    m->rows = static_cast<int16_t>(get16(r + kV3Header - 3) & 0x7FFF);
    m->count = static_cast<uint8_t>(n);
    for (uint32_t i = 0; i < n; ++i) get_minutia(r + kV3Header + 6 * i, &m->minutiae[i]);
    return QX_RC_OK;
  }
  return QX_RC_NOT_A_RECORD;
}

}  // extern "C"
