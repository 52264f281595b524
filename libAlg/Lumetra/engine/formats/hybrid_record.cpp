// Hybrid template records: the spectral part with its fine-grid extension,
// the fusion record and the matcher feature-set reader.
#include "engine/formats/hybrid_record.h"

#include <algorithm>
#include <cstring>

#include "engine/formats/be_bytes.h"
#include "engine/formats/compact_card.h"
#include "engine/formats/fmt_guards.h"
#include "engine/formats/tlv.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

using qx_fmt::put16;

namespace {

using qx_fmt::TreeGuard;

// Fine entries of one block in the order they are sent; the centre (1, 1)
// is left out because the block value stands for it.
constexpr int kFineOrder[8][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 0}, {2, 1}, {2, 2}};

uint8_t signed_byte(int16_t v) { return static_cast<uint8_t>(static_cast<int8_t>(std::clamp<int>(v, -128, 127))); }

// One stream: eight quantised differences per block, blocks row by row.
qx_rc encode_stream(const qx_block_field &f, uint8_t **out, uint32_t *len) {
  const int rows = f.rows, cols = f.cols;
  const int32_t count = 8 * rows * cols;
  int8_t *values = static_cast<int8_t *>(qx_malloc(static_cast<size_t>(count) + 1));
  if (values == nullptr) return QX_RC_NO_MEMORY;
  const int fine_cols = 3 * cols;
  int k = 0;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const int block = f.data[r * cols + c];
      for (const auto &o : kFineOrder)
        values[k++] = qx_spectral_quantise_delta(f.fine[(3 * r + o[0]) * fine_cols + 3 * c + o[1]], block);
    }
  auto *stream = static_cast<uint8_t *>(qx_malloc((3 * static_cast<size_t>(count) + 7) / 8 + 1));
  if (stream == nullptr) {
    qx_free(values);
    return QX_RC_NO_MEMORY;
  }
  *len = pack5v(values, count, stream);
  qx_free(values);
  *out = stream;
  return QX_RC_OK;
}

qx_rc build_hybrid(const uint8_t *card, uint32_t card_length, const qx_block_field *ori,
                   const qx_block_field *freq, const qx_fusion_image *image, uint8_t **out,
                   uint32_t *size) {
  if (out != nullptr) *out = nullptr;
  if (size != nullptr) *size = 0;
  if (card == nullptr || out == nullptr || size == nullptr) return QX_RC_INVALID_ARGUMENT;
  if (qx_iso19794_2_compact_card_get_length(card, card_length) == 0) return QX_RC_NOT_A_RECORD;
  qx::Buffer<uint8_t> spectral;
  uint32_t spectral_len = 0;
  qx_rc rc = qx_spectral_part_encode(ori, freq, spectral.slot(), &spectral_len);
  if (rc != QX_RC_OK) return rc;

  TreeGuard root;
  root.node = tlv_create(QX_CC_TAG_BDT, 0, nullptr);
  if (root.node == nullptr) return QX_RC_NO_MEMORY;
  tlv_node *minutiae = tlv_create(QX_CC_TAG_GROUP, 0, nullptr);
  if (tlv_append_child(root.node, minutiae) != QX_RC_OK) return QX_RC_NO_MEMORY;
  tlv_node *features = tlv_create(QX_HYB_TAG_FEATURES, 0, nullptr);
  if (tlv_append_child(root.node, features) != QX_RC_OK) return QX_RC_NO_MEMORY;
  bool any = false;
  for (uint16_t tag : {uint16_t{QX_CC_TAG_MINUTIAE_V3}, uint16_t{QX_CC_TAG_MINUTIAE_V2},
                       uint16_t{QX_CC_TAG_CORES}, uint16_t{QX_CC_TAG_DELTAS},
                       uint16_t{QX_CC_TAG_ZONAL_QUALITY}}) {
    tlv_element el;
    if (!qx_cc_find_element(card, card_length, tag, &el)) continue;
    any |= tag == QX_CC_TAG_MINUTIAE_V3 || tag == QX_CC_TAG_MINUTIAE_V2;
    if (tlv_append_child(minutiae, tlv_create(tag, el.length, el.value)) != QX_RC_OK) return QX_RC_NO_MEMORY;
  }
  if (!any) return QX_RC_NOT_A_RECORD;
  tlv_element prop;
  if (qx_cc_find_element(card, card_length, QX_CC_TAG_PROPRIETARY, &prop) &&
      tlv_append_child(features, tlv_create(QX_CC_TAG_PROPRIETARY, prop.length, prop.value)) != QX_RC_OK)
    return QX_RC_NO_MEMORY;
  if (tlv_append_child(features, tlv_create(QX_HYB_TAG_SPECTRAL, spectral_len, spectral.get())) != QX_RC_OK)
    return QX_RC_NO_MEMORY;

  qx::Buffer<uint8_t> pic;
  uint8_t dims[6];
  if (image != nullptr && image->rows > 0 && image->cols > 0) {
    if (image->rows > 0xFFFF || image->cols > 0xFFFF) return QX_RC_INVALID_ARGUMENT;
    if (image->pixels != nullptr) {
      // The image element: rows and cols (big-endian) and the pixels.
      if (image->pixel_rows <= 0 || image->pixel_cols <= 0 || image->pixel_rows > 0xFFFF ||
          image->pixel_cols > 0xFFFF)
        return QX_RC_INVALID_ARGUMENT;
      const uint64_t n = static_cast<uint64_t>(image->pixel_rows) * image->pixel_cols;
      if (n + 4 > TLV_MAX_LENGTH) return QX_RC_INVALID_ARGUMENT;
      if (!pic.alloc(static_cast<size_t>(n) + 4)) return QX_RC_NO_MEMORY;
      put16(pic.get(), static_cast<uint32_t>(image->pixel_rows));
      put16(pic.get() + 2, static_cast<uint32_t>(image->pixel_cols));
      std::memcpy(pic.get() + 4, image->pixels, n);
      if (tlv_append_child(features, tlv_create(QX_HYB_TAG_IMAGE, static_cast<uint32_t>(n + 4), pic.get())) != QX_RC_OK)
        return QX_RC_NO_MEMORY;
    }
    // Rows and cols low byte first, unlike the rest of the record.
    dims[0] = 1;
    dims[1] = static_cast<uint8_t>(image->rows);
    dims[2] = static_cast<uint8_t>(image->rows >> 8);
    dims[3] = static_cast<uint8_t>(image->cols);
    dims[4] = static_cast<uint8_t>(image->cols >> 8);
    dims[5] = std::min<uint8_t>(image->quality, 100);
    if (tlv_append_child(features, tlv_create(QX_HYB_TAG_DIMENSIONS, 6, dims)) != QX_RC_OK)
      return QX_RC_NO_MEMORY;
  }
  uint8_t *bytes = nullptr;
  size_t total = 0;
  rc = tlv_write_tree(root.node, &bytes, &total);
  if (rc != QX_RC_OK) return rc;
  *out = bytes;
  *size = static_cast<uint32_t>(total);
  return QX_RC_OK;
}

}  // namespace

extern "C" {

int8_t qx_spectral_quantise_delta(int fine, int block) {
  const int d = fine - block;
  const int a = d < 0 ? -d : d;
  const int q = a <= 5 ? (a + 2) / 4 : 2;
  return static_cast<int8_t>(d < 0 ? -q : q);
}

uint32_t pack5v(const int8_t *values, int32_t count, uint8_t *stream) {
  uint32_t bit = 0;
  auto put = [&](uint32_t code, int bits) {
    for (int i = bits - 1; i >= 0; --i, ++bit) {
      if (bit % 8 == 0) stream[bit / 8] = 0;
      if ((code >> i) & 1) stream[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
    }
  };
  for (int32_t i = 0; i < count; ++i) {
    switch (values[i]) {
      case 0: put(0b00, 2); break;
      case 1: put(0b01, 2); break;
      case -1: put(0b11, 2); break;
      case -2: put(0b100, 3); break;
      default: put(0b101, 3); break;  // +2 (values are clamped to -2..2)
    }
  }
  return (bit + 7) / 8;
}

int unpack5v(const uint8_t *stream, int32_t stream_length, int32_t count, int8_t *values,
             int32_t *decoded) {
  if (decoded != nullptr) *decoded = 0;
  if (count <= 0) return 1;
  if (stream == nullptr || stream_length <= 0) return -1;
  const int64_t total_bits = static_cast<int64_t>(stream_length) * 8;
  const int64_t last_byte = stream_length - 1;
  int64_t bit = 0;
  // Codes by their first three bits (a 2-bit code ignores the third).
  static constexpr int8_t kValue[8] = {0, 0, 1, 1, -2, 2, -1, -1};
  static constexpr uint8_t kLength[8] = {2, 2, 2, 2, 3, 3, 2, 2};
  for (int32_t i = 0; i < count;) {
    // While eight bytes remain from the current one, up to 19 codes (57
    // bits) are taken from one 64-bit window without further checks.
    const int64_t first = bit >> 3;
    if (first + 8 <= stream_length) {
      uint64_t window;
      std::memcpy(&window, stream + first, 8);
      window = __builtin_bswap64(window) << (bit & 7);
      const int32_t end = count - i < 19 ? count : i + 19;
      for (; i < end; ++i) {
        const uint32_t code = static_cast<uint32_t>(window >> 61);
        if (values != nullptr) values[i] = kValue[code];
        window <<= kLength[code];
        bit += kLength[code];
      }
      continue;
    }
    // Near the end: each code from the three bits at `bit` (zeros past the
    // end of the stream), taken from the two bytes that hold them.
    if (bit + 2 > total_bits) {
      if (decoded != nullptr) *decoded = i;
      return -1;
    }
    const int64_t byte = bit >> 3;
    const uint32_t pair = static_cast<uint32_t>(stream[byte]) << 8 | (byte < last_byte ? stream[byte + 1] : 0u);
    const uint32_t code = (pair >> (13 - (bit & 7))) & 7;
    int8_t v;
    if ((code & 4) == 0) {
      v = (code & 2) ? 1 : 0;
      bit += 2;
    } else if (code & 2) {
      v = -1;
      bit += 2;
    } else {
      if (bit + 3 > total_bits) {
        if (decoded != nullptr) *decoded = i;
        return -1;
      }
      v = (code & 1) ? 2 : -2;
      bit += 3;
    }
    if (values != nullptr) values[i] = v;
    ++i;
  }
  if (decoded != nullptr) *decoded = count;
  return total_bits - bit > 7 ? 1 : 0;
}

qx_rc qx_spectral_part_encode(const qx_block_field *ori, const qx_block_field *freq, uint8_t **out,
                              uint32_t *size) {
  if (out != nullptr) *out = nullptr;
  if (size != nullptr) *size = 0;
  if (ori == nullptr || freq == nullptr || out == nullptr || size == nullptr) return QX_RC_INVALID_ARGUMENT;
  if (ori->rows != freq->rows || ori->cols != freq->cols) return QX_RC_INVALID_ARGUMENT;
  const uint32_t blocks = static_cast<uint32_t>(ori->rows) * ori->cols;
  if (blocks > 0 && (ori->data == nullptr || freq->data == nullptr)) return QX_RC_INVALID_ARGUMENT;
  const bool fine = ori->fine != nullptr && freq->fine != nullptr && blocks > 0;
  const uint32_t main_len = 5 + 2 * blocks;
  if (fine && main_len > 0xFFFF) return QX_RC_INVALID_ARGUMENT;

  qx::Buffer<uint8_t> so, sf;
  uint32_t lo = 0, lf = 0;
  if (fine) {
    qx_rc rc = encode_stream(*ori, so.slot(), &lo);
    if (rc == QX_RC_OK) rc = encode_stream(*freq, sf.slot(), &lf);
    if (rc != QX_RC_OK) return rc;
    if (4 + lo + lf > 0xFFFF) return QX_RC_INVALID_ARGUMENT;
  }
  const uint32_t total = fine ? 4 + main_len + 3 + 4 + lo + lf : main_len;
  auto *p = static_cast<uint8_t *>(qx_malloc(total));
  if (p == nullptr) return QX_RC_NO_MEMORY;
  uint8_t *m = p;
  if (fine) {
    p[0] = 0;
    p[1] = 0;
    put16(p + 2, main_len);
    m = p + 4;
  }
  // The block-size code is the block size in pixels (12 at 500 dpi).
  m[0] = static_cast<uint8_t>(ori->block_size & 0x0F);
  m[1] = signed_byte(ori->row_offset);
  m[2] = ori->rows;
  m[3] = signed_byte(ori->col_offset);
  m[4] = ori->cols;
  for (uint32_t i = 0; i < blocks; ++i) {
    m[5 + 2 * i] = ori->data[i];
    m[6 + 2 * i] = freq->data[i];
  }
  if (fine) {
    uint8_t *e = m + main_len;
    e[0] = 2;
    put16(e + 1, 4 + lo + lf);
    put16(e + 3, lo);
    std::memcpy(e + 5, so.get(), lo);
    put16(e + 5 + lo, lf);
    std::memcpy(e + 7 + lo, sf.get(), lf);
  }
  *out = p;
  *size = total;
  return QX_RC_OK;
}

qx_rc qx_iso_compactcard_to_iso_fusion(const uint8_t *card, uint32_t card_length,
                                       const qx_block_field *orientation,
                                       const qx_block_field *frequency, const qx_fusion_image *image,
                                       uint8_t **out, uint32_t *size) {
  return build_hybrid(card, card_length, orientation, frequency, image, out, size);
}

qx_rc qx_iso_compactcard_to_ehm(const uint8_t *card, uint32_t card_length,
                                const qx_block_field *orientation, const qx_block_field *frequency,
                                uint8_t **out, uint32_t *size) {
  return build_hybrid(card, card_length, orientation, frequency, nullptr, out, size);
}

qx_rc qx_hybrid_get_dimensions(const uint8_t *record, uint32_t length, int32_t *rows, int32_t *cols,
                               uint8_t *quality) {
  if (rows != nullptr) *rows = 0;
  if (cols != nullptr) *cols = 0;
  if (quality != nullptr) *quality = 0;
  tlv_element el;
  if (!qx_cc_find_element(record, length, QX_HYB_TAG_DIMENSIONS, &el) || el.length != 6 ||
      el.value[0] != 1)
    return QX_RC_NOT_A_RECORD;
  if (rows != nullptr) *rows = el.value[1] | el.value[2] << 8;
  if (cols != nullptr) *cols = el.value[3] | el.value[4] << 8;
  if (quality != nullptr) *quality = el.value[5];
  return QX_RC_OK;
}

int verify_unpack_template(const uint8_t *set, uint32_t length, int32_t *cols, int32_t *rows,
                           int32_t *block_size_code, int32_t *resolution, const uint8_t **blocks,
                           const uint8_t **hr_field, uint8_t *quality) {
  if (cols != nullptr) *cols = 0;
  if (rows != nullptr) *rows = 0;
  if (block_size_code != nullptr) *block_size_code = 0;
  if (resolution != nullptr) *resolution = 0;
  if (blocks != nullptr) *blocks = nullptr;
  if (hr_field != nullptr) *hr_field = nullptr;
  if (quality != nullptr) *quality = 0;
  const uint32_t n = length & 0xFFFF;  // the set's length is a 16-bit count
  if (set == nullptr || n < 10) return 1;
  if (set[0] != 0x5B || set[1] != 0xDA || set[2] != 2) return 1;
  if (set[8] != 0 || set[9] != 0) {
    // The exclusive-or of all bytes, eight at a time.
    uint64_t w = 0;
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
      uint64_t v;
      std::memcpy(&v, set + i, 8);
      w ^= v;
    }
    w ^= w >> 32;
    w ^= w >> 16;
    w ^= w >> 8;
    uint8_t x = static_cast<uint8_t>(w);
    for (; i < n; ++i) x ^= set[i];
    if (x != 0) return 1;
  }
  const uint32_t b = static_cast<uint32_t>(set[6]) * set[7];
  const bool plain = n == 10 + 2 * b, plain_q = n == 11 + 2 * b;
  const bool fine = n == 10 + 20 * b, fine_q = n == 11 + 20 * b;
  if (!plain && !plain_q && !fine && !fine_q) return 1;
  const int32_t res = set[4] << 8 | set[5];
  if (set[3] == 0 || res == 0) return 1;
  if (cols != nullptr) *cols = set[6];
  if (rows != nullptr) *rows = set[7];
  if (block_size_code != nullptr) *block_size_code = set[3];
  if (resolution != nullptr) *resolution = res;
  if (blocks != nullptr) *blocks = set + 10;
  if (hr_field != nullptr && (fine || fine_q)) *hr_field = set + 10 + 2 * b;
  if (quality != nullptr && (plain_q || fine_q)) *quality = set[n - 1];
  return 0;
}

}  // extern "C"
