// Matcher feature sets: conversion from a template's spectral part, reading
// them back, their histograms and the quick match.
#include <algorithm>
#include <cstring>

#include "engine/formats/hybrid_record.h"
#include "engine/image/fixed_math.h"
#include "engine/match/spectral_match.h"
#include "engine/match/spectral_steps.hpp"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace qx_spectral {

// Result codes of the conversion.
constexpr qx_rc kRcBadLayout = QX_RC_UNSUPPORTED;             // unrecognised layout or main length
constexpr qx_rc kRcLongLayoutByte1 = QX_RC_NOT_A_RECORD;      // long layout, byte 1 not 0
constexpr qx_rc kRcLengthBeyondInput = QX_RC_MALFORMED;       // main length field past the input
constexpr qx_rc kRcExtensionBeyondInput = QX_RC_TRUNCATED;    // extension past the input

int32_t sin16(int32_t angle16) {
  const int32_t a = angle16 & 0xFFFF;
  const int step = a >> 8, frac = a & 255;
  const int32_t s0 = sin_(step), s1 = sin_(step + 1);
  const int32_t d = (s1 - s0) * frac;
  return s0 + (d >= 0 ? (d + 128) >> 8 : -((-d + 128) >> 8));
}

int32_t cos16(int32_t angle16) { return sin16(angle16 + 16384); }

bool read_grid(const uint8_t *set, uint32_t length, Grid *g) {
  int32_t cols = 0, rows = 0, code = 0, res = 0;
  const uint8_t *blocks = nullptr, *fine = nullptr;
  uint8_t quality = 0;
  if (verify_unpack_template(set, length, &cols, &rows, &code, &res, &blocks, &fine, &quality) != 0)
    return false;
  // The reader takes the length as a 16-bit count; a longer buffer is not
  // the set it describes.
  if (length > 0xFFFF) return false;
  g->rows = rows;
  g->cols = cols;
  g->block = code;
  g->resolution = res;
  g->blocks = blocks;
  g->fine = fine;
  g->quality = quality;
  return true;
}

uint32_t count_nonempty(const uint8_t *blocks, std::size_t count) {
  uint32_t n = 0;
  for (std::size_t i = 0; i < count; ++i) n += blocks[2 * i + 1] != 0;
  return n;
}

namespace {
inline int bin12(int v) {
  const int b = (v + 10) / 21;
  return b == 12 ? 0 : b;
}
}  // namespace

void hist_ori(const uint8_t *blocks, std::size_t count, uint32_t hist[12]) {
  std::fill(hist, hist + 12, 0u);
  for (std::size_t i = 0; i < count; ++i)
    if (blocks[2 * i + 1] != 0) ++hist[bin12(blocks[2 * i])];
}

void hist_freq(const uint8_t *blocks, std::size_t count, uint32_t hist[12]) {
  std::fill(hist, hist + 12, 0u);
  for (std::size_t i = 0; i < count; ++i)
    if (blocks[2 * i + 1] != 0) ++hist[bin12(blocks[2 * i + 1])];
}

uint32_t hist_overlap(const uint32_t h1[12], const uint32_t h2[12], int shift) {
  uint32_t s = 0;
  for (int b = 0; b < 12; ++b) s += std::min(h1[b], h2[(b + shift) % 12]);
  return s;
}

namespace {

uint32_t be16(const uint8_t *p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

// The fine field of a type-2 extension: two streams (orientation deltas,
// frequency deltas) of 8 values per block; a fine entry is the block value
// plus 4 x delta (as a byte), the centre entry the block value itself.
// QX_RC_OK; QX_RC_UNSUPPORTED when a stream does not hold exactly its values;
// QX_RC_NO_MEMORY.
qx_rc decode_fine(const uint8_t *data, uint32_t size, const uint8_t *blocks, int rows, int cols,
                  uint8_t *fine) {
  const int32_t count = 8 * rows * cols;
  qx::Buffer<int8_t> deltas;
  if (!deltas.alloc(static_cast<std::size_t>(count))) return QX_RC_NO_MEMORY;
  static constexpr int kOrder[8][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 0}, {2, 1}, {2, 2}};
  const int fcols = 3 * cols;
  uint32_t pos = 0;
  for (int channel = 0; channel < 2; ++channel) {
    if (size - pos < 2) return kRcBadLayout;
    const uint32_t n = be16(data + pos);
    pos += 2;
    if (size - pos < n) return kRcBadLayout;
    int32_t decoded = 0;
    if (unpack5v(data + pos, static_cast<int32_t>(n), count, deltas.get(), &decoded) != 0) return kRcBadLayout;
    pos += n;
    int k = 0;
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) {
        const uint8_t v = blocks[2 * (r * cols + c) + channel];
        fine[2 * ((3 * r + 1) * fcols + 3 * c + 1) + channel] = v;
        for (const auto &o : kOrder)
          fine[2 * ((3 * r + o[0]) * fcols + 3 * c + o[1]) + channel] =
              static_cast<uint8_t>(v + 4 * deltas[static_cast<std::size_t>(k++)]);
      }
  }
  return QX_RC_OK;
}

}  // namespace

}  // namespace qx_spectral

using namespace qx_spectral;

extern "C" {

qx_rc qx_fusion_spectral_to_matcher(const uint8_t *part, uint32_t length, uint8_t **features,
                                    uint32_t *features_length, int32_t *y_offset,
                                    int32_t *x_offset, int32_t *rows, int32_t *cols,
                                    int32_t quick) {
  if (features != nullptr) *features = nullptr;
  if (features_length != nullptr) *features_length = 0;
  if (y_offset != nullptr) *y_offset = 0;
  if (x_offset != nullptr) *x_offset = 0;
  if (rows != nullptr) *rows = 0;
  if (cols != nullptr) *cols = 0;
  if (part == nullptr || length <= 3) return kRcBadLayout;

  // Layout: short (main part from byte 0, as long as the input) or long
  // (0, 0, main length, main part, optional extension).
  const uint8_t *main = part;
  uint32_t main_len = length;
  const uint8_t *ext = nullptr;
  uint32_t ext_avail = 0;
  if (part[0] == 0) {
    if (part[1] != 0) return kRcLongLayoutByte1;
    main_len = be16(part + 2);
    if (main_len > length - 4) return kRcLengthBeyondInput;
    main = part + 4;
    ext = main + main_len;
    ext_avail = length - 4 - main_len;
  }
  if (main_len < 5) return kRcBadLayout;
  const int nrows = main[2], ncols = main[4];
  const uint32_t b = static_cast<uint32_t>(nrows) * ncols;
  int entry;
  if (main_len == 5 + 2 * b) {
    entry = 2;
  } else if (main_len == 5 + 3 * b) {
    entry = 3;
  } else {
    return kRcBadLayout;
  }
  const int code = main[0] & 0x0F;
  // A set must carry a non-zero block size; one without could never be read.
  if (code == 0) return kRcBadLayout;

  // Extension: type, 2-byte length, data, all within the input.
  const uint8_t *fine_src = nullptr;  // type 1: copied as it stands
  const uint8_t *packed = nullptr;    // type 2: two delta streams
  uint32_t packed_len = 0;
  if (ext_avail > 0) {
    if (ext_avail < 3) return kRcExtensionBeyondInput;
    const uint32_t elen = be16(ext + 1);
    if (elen > ext_avail - 3) return kRcExtensionBeyondInput;
    if (ext[0] == 1 && elen == 18 * b) fine_src = ext + 3;
    if (ext[0] == 2) {
      packed = ext + 3;
      packed_len = elen;
    }
  }
  bool with_fine = quick == 0 && b > 0 && (fine_src != nullptr || packed != nullptr);
  // The set's length is read back as a 16-bit count: a fine field that
  // would push it past 65535 bytes is left out, and a grid whose plain set
  // is already too long is refused.
  if (10 + 2 * b > 0xFFFF) return kRcBadLayout;
  if (with_fine && 10 + 20 * b > 0xFFFF) with_fine = false;
  const uint32_t out_len = 10 + 2 * b + (with_fine ? 18 * b : 0);

  // The set is made (or, with no output, only checked) before any output
  // is written.
  qx::Buffer<uint8_t> out;
  if (features == nullptr) {
    // A type-2 field is still decoded, so that the answer is the one a
    // conversion would give.
    if (with_fine && packed != nullptr) {
      qx::Buffer<uint8_t> scratch, blocks;
      if (!scratch.alloc(18 * static_cast<std::size_t>(b)) || !blocks.alloc(2 * static_cast<std::size_t>(b)))
        return QX_RC_NO_MEMORY;
      const qx_rc rc = decode_fine(packed, packed_len, blocks.get(), nrows, ncols, scratch.get());
      if (rc != QX_RC_OK) return rc;
    }
  } else {
    if (!out.alloc(out_len)) return QX_RC_NO_MEMORY;
    uint8_t *o = out.get();
    const uint8_t head[10] = {0x5B, 0xDA, 2, static_cast<uint8_t>(code), 500 >> 8, 500 & 0xFF,
                              static_cast<uint8_t>(ncols), static_cast<uint8_t>(nrows), 0, 0};
    std::memcpy(o, head, sizeof(head));
    for (uint32_t i = 0; i < b; ++i) {
      o[10 + 2 * i] = main[5 + entry * i];
      o[11 + 2 * i] = main[6 + entry * i];
    }
    if (with_fine) {
      if (fine_src != nullptr) {
        std::memcpy(o + 10 + 2 * b, fine_src, 18 * static_cast<std::size_t>(b));
      } else {
        const qx_rc rc = decode_fine(packed, packed_len, o + 10, nrows, ncols, o + 10 + 2 * b);
        if (rc != QX_RC_OK) return rc;
      }
    }
    uint8_t x = 0;
    for (uint32_t i = 0; i < out_len; ++i) x ^= o[i];
    o[9] = x;
    *features = out.release();
  }
  if (features_length != nullptr) *features_length = out_len;
  if (y_offset != nullptr) *y_offset = static_cast<int8_t>(main[1]);
  if (x_offset != nullptr) *x_offset = static_cast<int8_t>(main[3]);
  if (rows != nullptr) *rows = nrows;
  if (cols != nullptr) *cols = ncols;
  return QX_RC_OK;
}

int qx_spectral_quick_match(const uint8_t *features_a, uint32_t length_a,
                            const uint8_t *features_b, uint32_t length_b, uint16_t values[2]) {
  if (values != nullptr) values[0] = values[1] = 0;
  Grid a, b;
  if (values == nullptr || !read_grid(features_a, length_a, &a) ||
      !read_grid(features_b, length_b, &b))
    return 1;
  if (a.rows == 0 || a.cols == 0) return 0;
  const std::size_t na = static_cast<std::size_t>(a.rows) * a.cols;
  const std::size_t nb = static_cast<std::size_t>(b.rows) * b.cols;
  uint32_t ha[12], hb[12];
  hist_ori(a.blocks, na, ha);
  hist_ori(b.blocks, nb, hb);
  uint32_t best = 0;
  for (int k = 0; k < 12; ++k) best = std::max(best, hist_overlap(ha, hb, k));
  hist_freq(a.blocks, na, ha);
  hist_freq(b.blocks, nb, hb);
  values[0] = static_cast<uint16_t>(std::min<uint32_t>(best, 0xFFFF));
  values[1] = static_cast<uint16_t>(std::min<uint32_t>(hist_overlap(ha, hb, 0), 0xFFFF));
  return 0;
}

}  // extern "C"
