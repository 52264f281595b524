// ISO/IEC 19794-2 finger minutiae records, versions 2.0 and 3.0.
#include "engine/formats/iso19794_2.h"

#include <cstring>

#include "engine/formats/be_bytes.h"
#include "engine/formats/format_ids.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

using qx_fmt::get16;
using qx_fmt::get32;
using qx_fmt::put16;
using qx_fmt::put32;

namespace {

constexpr uint32_t kV2Fixed = 30;   // header + extended data length field
constexpr uint32_t kV3Fixed = 54;
constexpr uint32_t kV3RepOffset = 15;

void put_minutia(uint8_t *p, const bal_minutia &mi) {
  const uint32_t x = static_cast<uint16_t>(mi.col) & 0x3FFF;
  const uint32_t y = static_cast<uint16_t>(mi.row) & 0x3FFF;
  p[0] = static_cast<uint8_t>((mi.type & 3) << 6 | x >> 8);
  p[1] = static_cast<uint8_t>(x);
  p[2] = static_cast<uint8_t>(y >> 8);
  p[3] = static_cast<uint8_t>(y);
  p[4] = mi.direction;
  p[5] = mi.quality;
}

void get_minutia(const uint8_t *p, bal_minutia *mi) {
  mi->type = static_cast<uint8_t>(p[0] >> 6);
  mi->col = static_cast<int16_t>((p[0] & 0x3F) << 8 | p[1]);
  mi->row = static_cast<int16_t>((p[2] & 0x3F) << 8 | p[3]);
  mi->direction = p[4];
  mi->quality = p[5];
  mi->wavelength = 0;
}

uint16_t dim(int16_t v) { return v < 0 ? 0 : static_cast<uint16_t>(v); }

// Offset of the number of minutiae in a consistent record of the version.
uint32_t count_offset(int version) { return version == 2 ? 27 : 51; }
uint32_t minutiae_offset(int version) {
  return version == 2 ? QX_ISO_V2_HEADER : QX_ISO_V3_HEADER;
}

// Appends one extended data block, raising the record length, the 3.0
// representation length and the extended data length field.
qx_rc append_block(uint8_t **record, uint32_t *size, uint16_t type, const uint8_t *data,
                   uint32_t data_len, const uint8_t *prefix, uint32_t prefix_len) {
  if (record == nullptr || *record == nullptr || size == nullptr) return QX_RC_INVALID_ARGUMENT;
  const int version = qx_iso19794_2_version(*record, *size);
  if (version == 0) return QX_RC_NOT_A_RECORD;
  const uint32_t block_len = 4 + prefix_len + data_len;
  const uint32_t n = (*record)[count_offset(version)];
  const uint32_t ext_pos = minutiae_offset(version) + 6 * n;
  if (ext_pos + 2 > *size) return QX_RC_NOT_A_RECORD;
  const uint32_t ext_len = get16(*record + ext_pos);
  if (block_len > 0xFFFF || ext_len + block_len > 0xFFFF) return QX_RC_INVALID_ARGUMENT;
  auto *grown = static_cast<uint8_t *>(qx_malloc(*size + block_len));
  if (grown == nullptr) return QX_RC_NO_MEMORY;
  std::memcpy(grown, *record, *size);
  uint8_t *b = grown + *size;
  put16(b, type);
  put16(b + 2, block_len);
  if (prefix_len > 0) std::memcpy(b + 4, prefix, prefix_len);
  if (data_len > 0) std::memcpy(b + 4 + prefix_len, data, data_len);
  const uint32_t new_size = *size + block_len;
  put32(grown + 8, new_size);
  if (version == 3) put32(grown + kV3RepOffset, get32(grown + kV3RepOffset) + block_len);
  put16(grown + ext_pos, ext_len + block_len);
  qx_free(*record);
  *record = grown;
  *size = new_size;
  return QX_RC_OK;
}

// Header of the orientation and frequency blocks: block size, x and y
// offsets (negative ones written as 0), block columns and rows.
uint32_t field_header(uint8_t *p, const qx_block_field &f) {
  p[0] = f.block_size;
  put16(p + 1, f.col_offset < 0 ? 0 : static_cast<uint16_t>(f.col_offset));
  put16(p + 3, f.row_offset < 0 ? 0 : static_cast<uint16_t>(f.row_offset));
  p[5] = f.cols;
  p[6] = f.rows;
  return 7;
}

template <typename Map>
qx_rc extend_field(uint8_t **record, uint32_t *size, const qx_block_field *f, uint16_t type,
                   const uint8_t *presence, Map map) {
  if (f == nullptr || (f->data == nullptr && f->rows * f->cols > 0)) return QX_RC_INVALID_ARGUMENT;
  const uint32_t blocks = static_cast<uint32_t>(f->rows) * f->cols;
  auto *data = static_cast<uint8_t *>(qx_malloc(7 + blocks));
  if (data == nullptr) return QX_RC_NO_MEMORY;
  const uint32_t h = field_header(data, *f);
  for (uint32_t i = 0; i < blocks; ++i)
    data[h + i] = map(f->data[i], presence == nullptr || presence[i] != 0);
  const qx_rc rc = append_block(record, size, type, data, h + blocks, nullptr, 0);
  qx_free(data);
  return rc;
}

bool group_has_directions(const qx_ref_point *pts, int n) {
  if (n == 0) return false;
  for (int i = 0; i < n; ++i)
    if (!pts[i].has_direction) return false;
  return true;
}

qx_rc read_minutiae(const uint8_t *record, uint32_t length, int version, minutiastruct *m,
                    qx_ref_points *points) {
  const uint32_t n = record[count_offset(version)];
  const uint32_t mpos = minutiae_offset(version);
  if (mpos + 6 * n + 2 > length) return QX_RC_NOT_A_RECORD;
  std::memset(m, 0, sizeof(*m));
  m->count = static_cast<uint8_t>(n);
  m->max_minutiae = static_cast<uint8_t>(n);
  m->resolution = QX_ISO_RESOLUTION_PPCM;
  for (uint32_t i = 0; i < n; ++i) get_minutia(record + mpos + 6 * i, &m->minutiae[i]);
  if (version == 2) {
    m->cols = static_cast<int16_t>(get16(record + 14) & 0x7FFF);
    m->rows = static_cast<int16_t>(get16(record + 16) & 0x7FFF);
    m->finger_position = record[24];
    m->impression_type = record[25] & 0x0F;
    m->finger_quality = record[26];
  } else {
    m->device_id = get32(record + 29);
    m->finger_quality = record[34];
    m->finger_position = record[39];
    m->impression_type = record[45];
    m->cols = static_cast<int16_t>(get16(record + 46) & 0x7FFF);
    m->rows = static_cast<int16_t>(get16(record + 48) & 0x7FFF);
  }
  if (points != nullptr) {
    std::memset(points, 0, sizeof(*points));
    const uint8_t *data;
    uint32_t len;
    if (qx_iso19794_2_find_extended_block(record, length, QX_ISO_EXT_REF_POINTS, &data, &len))
      return qx_iso19794_2_read_ref_points(data, len, points);
  }
  return QX_RC_OK;
}

}  // namespace

extern "C" {

qx_rc qx_minutiastruct_to_iso19794_2_v2(const minutiastruct *m, uint8_t **out, uint32_t *size) {
  if (out != nullptr) *out = nullptr;
  if (size != nullptr) *size = 0;
  if (m == nullptr || out == nullptr || size == nullptr) return QX_RC_INVALID_ARGUMENT;
  const uint32_t n = m->count;
  const uint32_t total = kV2Fixed + 6 * n;
  auto *r = static_cast<uint8_t *>(qx_calloc(total, 1));
  if (r == nullptr) return QX_RC_NO_MEMORY;
  std::memcpy(r, "FMR\0 20\0", 8);
  put32(r + 8, total);
  put16(r + 12, 0);
  put16(r + 14, dim(m->cols));
  put16(r + 16, dim(m->rows));
  put16(r + 18, QX_ISO_RESOLUTION_PPCM);
  put16(r + 20, QX_ISO_RESOLUTION_PPCM);
  r[22] = 1;
  r[23] = 0;
  r[24] = m->finger_position;
  r[25] = m->impression_type & 0x0F;
  r[26] = m->finger_quality;
  r[27] = static_cast<uint8_t>(n);
  for (uint32_t i = 0; i < n; ++i) put_minutia(r + QX_ISO_V2_HEADER + 6 * i, m->minutiae[i]);
  *out = r;
  *size = total;
  return QX_RC_OK;
}

qx_rc qx_minutiastruct_to_iso19794_2_v3(const minutiastruct *m, uint8_t **out, uint32_t *size) {
  if (out != nullptr) *out = nullptr;
  if (size != nullptr) *size = 0;
  if (m == nullptr || out == nullptr || size == nullptr) return QX_RC_INVALID_ARGUMENT;
  const uint32_t n = m->count;
  const uint32_t total = kV3Fixed + 6 * n;
  auto *r = static_cast<uint8_t *>(qx_calloc(total, 1));
  if (r == nullptr) return QX_RC_NO_MEMORY;
  std::memcpy(r, "FMR\0" "030\0", 8);
  put32(r + 8, total);
  put16(r + 12, 1);  // one finger representation
  r[14] = 0;         // certification flag
  put32(r + 15, 39 + 6 * n);
  std::memset(r + 19, 0xFF, 9);  // capture date and time not given
  r[28] = 0;                     // capture device technology
  put32(r + 29, m->device_id);
  r[33] = 1;  // one quality block
  r[34] = m->finger_quality;
  put16(r + 35, QX_FORMAT_VENDOR_ID);
  put16(r + 37, QX_FORMAT_ALGORITHM_ID);
  r[39] = m->finger_position;
  r[40] = 0;
  put16(r + 41, QX_ISO_RESOLUTION_PPCM);
  put16(r + 43, QX_ISO_RESOLUTION_PPCM);
  r[45] = m->impression_type;
  put16(r + 46, dim(m->cols));
  put16(r + 48, dim(m->rows));
  r[50] = 0x60;  // minutia field length 6, ridge ending type 0
  r[51] = static_cast<uint8_t>(n);
  for (uint32_t i = 0; i < n; ++i) put_minutia(r + QX_ISO_V3_HEADER + 6 * i, m->minutiae[i]);
  *out = r;
  *size = total;
  return QX_RC_OK;
}

qx_rc qx_iso19794_2_extend_ref_points(uint8_t **record, uint32_t *size, const qx_ref_points *p) {
  if (p == nullptr) return QX_RC_INVALID_ARGUMENT;
  const int nc = p->num_cores > 4 ? 4 : p->num_cores;
  const int nd = p->num_deltas > 4 ? 4 : p->num_deltas;
  uint8_t data[2 + 4 * 5 + 4 * 7];
  uint32_t len = 0;
  const bool core_dir = group_has_directions(p->cores, nc);
  data[len++] = static_cast<uint8_t>((core_dir ? 0x40 : 0) | nc);
  for (int i = 0; i < nc; ++i) {
    put16(data + len, dim(p->cores[i].col) & 0x3FFF);
    put16(data + len + 2, dim(p->cores[i].row) & 0x3FFF);
    len += 4;
    if (core_dir) data[len++] = p->cores[i].direction;
  }
  const bool delta_dir = group_has_directions(p->deltas, nd);
  data[len++] = static_cast<uint8_t>((delta_dir ? 0x40 : 0) | nd);
  for (int i = 0; i < nd; ++i) {
    put16(data + len, dim(p->deltas[i].col) & 0x3FFF);
    put16(data + len + 2, dim(p->deltas[i].row) & 0x3FFF);
    len += 4;
    if (delta_dir) {
      const uint8_t d = p->deltas[i].direction;
      data[len++] = d;
      data[len++] = static_cast<uint8_t>(d + 85);
      data[len++] = static_cast<uint8_t>(d - 86);
    }
  }
  return append_block(record, size, QX_ISO_EXT_REF_POINTS, data, len, nullptr, 0);
}

qx_rc qx_iso19794_2_read_ref_points(const uint8_t *data, uint32_t length, qx_ref_points *p) {
  if (p == nullptr || data == nullptr) return QX_RC_INVALID_ARGUMENT;
  std::memset(p, 0, sizeof(*p));
  uint32_t pos = 0;
  for (int group = 0; group < 2; ++group) {
    if (pos >= length) return QX_RC_NOT_A_RECORD;
    const bool has_dir = (data[pos] & 0x40) != 0;
    const int n = data[pos] & 0x0F;
    ++pos;
    const uint32_t entry = 4 + (has_dir ? (group == 0 ? 1u : 3u) : 0u);
    if (n > 4 || pos + entry * n > length) return QX_RC_NOT_A_RECORD;
    qx_ref_point *dst = group == 0 ? p->cores : p->deltas;
    for (int i = 0; i < n; ++i) {
      dst[i].col = static_cast<int16_t>(get16(data + pos) & 0x3FFF);
      dst[i].row = static_cast<int16_t>(get16(data + pos + 2) & 0x3FFF);
      dst[i].has_direction = has_dir ? 1 : 0;
      dst[i].direction = has_dir ? data[pos + 4] : 0;
      pos += entry;
    }
    (group == 0 ? p->num_cores : p->num_deltas) = static_cast<uint8_t>(n);
  }
  return QX_RC_OK;
}

qx_rc qx_iso19794_2_extend_zonal_quality(uint8_t **record, uint32_t *size, const qx_block_field *q) {
  if (q == nullptr || (q->data == nullptr && q->rows * q->cols > 0)) return QX_RC_INVALID_ARGUMENT;
  if (record == nullptr || *record == nullptr || size == nullptr) return QX_RC_INVALID_ARGUMENT;
  const uint32_t cells = static_cast<uint32_t>(q->rows) * q->cols;
  auto *data = static_cast<uint8_t *>(qx_malloc(5 + cells));
  if (data == nullptr) return QX_RC_NO_MEMORY;
  // Cells across and down, cell width and height, 8 bits of quality each.
  data[0] = q->cols;
  data[1] = q->rows;
  data[2] = q->block_size;
  data[3] = q->block_size;
  data[4] = 8;
  if (cells > 0) std::memcpy(data + 5, q->data, cells);
  uint8_t prefix[4];
  put16(prefix, QX_FORMAT_VENDOR_ID);
  put16(prefix + 2, QX_FORMAT_ALGORITHM_ID);
  const bool v3 = qx_iso19794_2_version(*record, *size) == 3;
  const qx_rc rc = append_block(record, size, QX_ISO_EXT_ZONAL_QUALITY, data, 5 + cells, prefix,
                              v3 ? 4 : 0);
  qx_free(data);
  return rc;
}

qx_rc qx_iso19794_2_extend_orientation_field(uint8_t **record, uint32_t *size,
                                             const qx_block_field *f, const uint8_t *presence) {
  const bool by_value = presence == nullptr;
  return extend_field(record, size, f, QX_ISO_EXT_ORIENTATION, presence,
                      [by_value](uint8_t v, bool present) {
                        if (!present || (by_value && v == 0)) return uint8_t{128};
                        return static_cast<uint8_t>(191 - v);  // 8-bit, as stored
                      });
}

uint8_t qx_iso_wavelength_of_frequency(uint8_t frequency) {
  if (frequency == 0) return 0;
  const uint32_t wavelength = (1024u + frequency / 2u) / frequency;
  return static_cast<uint8_t>(wavelength < QX_ISO_MAX_WAVELENGTH ? wavelength : QX_ISO_MAX_WAVELENGTH);
}

uint8_t qx_iso_frequency_of_wavelength(uint8_t wavelength) {
  if (wavelength == 0) return 0;
  const uint32_t frequency = (1024u + wavelength / 2u) / wavelength;
  return static_cast<uint8_t>(frequency < 255u ? frequency : 255u);
}

qx_rc qx_iso19794_2_extend_frequency_field(uint8_t **record, uint32_t *size,
                                           const qx_block_field *f) {
  return extend_field(record, size, f, QX_ISO_EXT_FREQUENCY, nullptr,
                      [](uint8_t v, bool) { return qx_iso_wavelength_of_frequency(v); });
}

qx_rc qx_iso19794_2_read_frequency_field(const uint8_t *data, uint32_t length, qx_block_field *field,
                                         uint8_t *values, uint32_t capacity) {
  if (field == nullptr) return QX_RC_INVALID_ARGUMENT;
  *field = qx_block_field{};
  if (data == nullptr || length < 7) return QX_RC_NOT_A_RECORD;
  const uint32_t blocks = static_cast<uint32_t>(data[5]) * data[6];
  if (length != 7 + blocks) return QX_RC_NOT_A_RECORD;
  if (blocks > 0 && (values == nullptr || capacity < blocks)) return QX_RC_INVALID_ARGUMENT;
  for (uint32_t i = 0; i < blocks; ++i) values[i] = qx_iso_frequency_of_wavelength(data[7 + i]);
  field->data = values;
  field->block_size = data[0];
  field->col_offset = static_cast<int16_t>(get16(data + 1));
  field->row_offset = static_cast<int16_t>(get16(data + 3));
  field->cols = data[5];
  field->rows = data[6];
  return QX_RC_OK;
}

qx_rc qx_is_iso19794_2(const uint8_t *r, uint32_t length) {
  if (r == nullptr || length < 12) return QX_RC_NOT_A_RECORD;
  if (std::memcmp(r, "FMR\0", 4) != 0) return QX_RC_NOT_A_RECORD;
  if (r[4] != ' ' && r[4] != '0') return QX_RC_NOT_A_RECORD;
  const bool v2 = std::memcmp(r + 5, "20\0", 3) == 0;
  const bool v3 = std::memcmp(r + 5, "30\0", 3) == 0;
  if (!v2 && !v3) return QX_RC_NOT_A_RECORD;
  if (get32(r + 8) != length) return QX_RC_NOT_A_RECORD;
  if (v3) {
    if (length <= 46) return QX_RC_NOT_A_RECORD;
    const uint32_t reps = get16(r + 12);
    if (reps < 1 || reps > 8192) return QX_RC_NOT_A_RECORD;
    uint64_t pos = 15;
    for (uint32_t i = 0; i < reps; ++i) {
      if (pos + 4 > length) return QX_RC_NOT_A_RECORD;
      const uint32_t rep_len = get32(r + pos);
      if (rep_len <= 33) return QX_RC_NOT_A_RECORD;
      pos += rep_len;
      if (pos > length) return QX_RC_NOT_A_RECORD;
    }
    if (pos != length) return QX_RC_NOT_A_RECORD;
  }
  return QX_RC_OK;
}

uint32_t qx_iso19794_2_get_length(const uint8_t *r, uint32_t available) {
  if (r == nullptr || available < 12 || std::memcmp(r, "FMR\0", 4) != 0) return 0;
  return get32(r + 8);
}

int qx_iso19794_2_version(const uint8_t *r, uint32_t length) {
  if (qx_is_iso19794_2(r, length) != QX_RC_OK) return 0;
  const int version = r[5] == '2' ? 2 : 3;
  // The fixed part before the extended data must fit as well.
  const uint32_t fixed = version == 2 ? kV2Fixed : kV3Fixed;
  if (length < fixed) return 0;
  return version;
}

int qx_iso19794_2_find_extended_block(const uint8_t *r, uint32_t length, uint16_t type,
                                      const uint8_t **data, uint32_t *data_length) {
  if (data != nullptr) *data = nullptr;
  if (data_length != nullptr) *data_length = 0;
  const int version = qx_iso19794_2_version(r, length);
  if (version == 0) return 0;
  const uint32_t n = r[count_offset(version)];
  const uint32_t ext_pos = minutiae_offset(version) + 6 * n;
  if (ext_pos + 2 > length) return 0;
  uint32_t end = ext_pos + 2 + get16(r + ext_pos);
  if (end > length) end = length;
  uint32_t pos = ext_pos + 2;
  while (pos + 4 <= end) {
    const uint16_t t = get16(r + pos);
    const uint32_t blen = get16(r + pos + 2);
    if (blen < 4 || pos + blen > end) return 0;
    if (t == type) {
      if (data != nullptr) *data = r + pos + 4;
      if (data_length != nullptr) *data_length = blen - 4;
      return 1;
    }
    pos += blen;
  }
  return 0;
}

qx_rc qx_iso19794_2_v2_to_minutiastruct(const uint8_t *r, uint32_t length, minutiastruct *m,
                                        qx_ref_points *points) {
  if (m == nullptr) return QX_RC_INVALID_ARGUMENT;
  if (qx_iso19794_2_version(r, length) != 2) return QX_RC_NOT_A_RECORD;
  return read_minutiae(r, length, 2, m, points);
}

qx_rc qx_iso19794_2_v3_to_minutiastruct(const uint8_t *r, uint32_t length, minutiastruct *m,
                                        qx_ref_points *points) {
  if (m == nullptr) return QX_RC_INVALID_ARGUMENT;
  if (qx_iso19794_2_version(r, length) != 3) return QX_RC_NOT_A_RECORD;
  return read_minutiae(r, length, 3, m, points);
}

qx_rc qx_iso19794_2_to_minutiastruct(const uint8_t *r, uint32_t length, minutiastruct *m,
                                     qx_ref_points *points) {
  if (m == nullptr) return QX_RC_INVALID_ARGUMENT;
  switch (qx_iso19794_2_version(r, length)) {
    case 2: return read_minutiae(r, length, 2, m, points);
    case 3: return read_minutiae(r, length, 3, m, points);
    default: return QX_RC_NOT_A_RECORD;
  }
}

}  // extern "C"
