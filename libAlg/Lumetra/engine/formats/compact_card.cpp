// Compact-card records: normalisation, conversion from and to the standard
// record, and the proprietary block.
#include "engine/formats/compact_card.h"

#include <algorithm>
#include <cstring>

#include "engine/formats/format_ids.h"
#include "engine/formats/iso19794_2.h"
#include "engine/formats/fmt_guards.h"
#include "engine/formats/tlv.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"
#include "engine/qx_rc.h"

namespace {

using qx_fmt::TreeGuard;

// Offset per axis: when the coordinates span less than 493 pixels but reach
// beyond 492, they are moved so that the largest lands on 492.
int axis_offset(int lo, int hi) {
  return (hi - lo < QX_CC_LIMIT + 1 && hi > QX_CC_LIMIT) ? hi - QX_CC_LIMIT : 0;
}

uint8_t card_direction(uint8_t direction) {
  return static_cast<uint8_t>(((direction + 2) / 4) & 0x3F);
}

void shift_coord(int16_t *v, int shift) {
  const int r = *v - shift;
  *v = static_cast<int16_t>(r < 0 ? 0 : r);
}

// Card entries (x, y, direction) of a group of reference points.
uint32_t card_points(uint8_t *out, const qx_ref_point *pts, int n, int g, int h) {
  for (int i = 0; i < n; ++i) {
    out[3 * i] = qx_cc_to_card_unit(pts[i].col, g);
    out[3 * i + 1] = qx_cc_to_card_unit(pts[i].row, h);
    out[3 * i + 2] = pts[i].has_direction ? card_direction(pts[i].direction) : 0;
  }
  return static_cast<uint32_t>(3 * n);
}

int find_in(const uint8_t *data, uint32_t len, uint16_t tag, tlv_element *out) {
  return tlv_find_tag(data, len, tag, out);
}

// The 0x7F2E element of a card, unwrapping a leading 0xE1.
int find_bdt(const uint8_t *bytes, uint32_t length, tlv_element *bdt) {
  tlv_element first;
  if (tlv_read_validate(bytes, &first, length) == 0) return 0;
  if (first.tag == 0xE1) return find_in(first.value, first.length, QX_CC_TAG_BDT, bdt);
  if (first.tag != QX_CC_TAG_BDT) return 0;
  *bdt = first;
  return 1;
}

bool is_minutiae_element(uint16_t tag) {
  return tag == 0x81 || (tag >= 0x90 && tag <= 0x95);
}

}  // namespace

extern "C" {

uint8_t qx_cc_to_card_unit(int pixels, int offset) {
  const int p = pixels - offset;
  if (p <= 0) return 0;
  const int tenth = p * 800 / 197;
  const int unit = (tenth + 4) / 8;
  return static_cast<uint8_t>(unit > 255 ? 255 : unit);
}

int qx_cc_from_card_unit(uint8_t unit) { return (1576 * unit / 100 + 4) >> 3; }

void qx_normalize_for_isocc(minutiastruct *m, qx_ref_points *points, qx_block_field *orientation,
                            qx_block_field *frequency) {
  if (m == nullptr || m->count == 0) return;
  if (m->rows <= QX_CC_LIMIT && m->cols <= QX_CC_LIMIT) return;
  int rmin = m->minutiae[0].row, rmax = rmin, cmin = m->minutiae[0].col, cmax = cmin;
  for (int i = 1; i < m->count; ++i) {
    rmin = std::min<int>(rmin, m->minutiae[i].row);
    rmax = std::max<int>(rmax, m->minutiae[i].row);
    cmin = std::min<int>(cmin, m->minutiae[i].col);
    cmax = std::max<int>(cmax, m->minutiae[i].col);
  }
  if (rmax <= QX_CC_LIMIT && cmax <= QX_CC_LIMIT) return;
  if (rmax - rmin > QX_CC_LIMIT || cmax - cmin > QX_CC_LIMIT) return;
  const qx_block_field *f = orientation != nullptr ? orientation : frequency;
  const int b = (f != nullptr && f->block_size > 0) ? f->block_size : 1;
  // Whole blocks, so that the fields stay aligned with their grid.
  const int rshift = std::max(0, b * ((rmax - QX_CC_LIMIT) / b + 1));
  const int cshift = std::max(0, b * ((cmax - QX_CC_LIMIT) / b + 1));
  for (int i = 0; i < m->count; ++i) {
    shift_coord(&m->minutiae[i].row, rshift);
    shift_coord(&m->minutiae[i].col, cshift);
  }
  if (points != nullptr) {
    for (int i = 0; i < points->num_cores && i < 4; ++i) {
      shift_coord(&points->cores[i].row, rshift);
      shift_coord(&points->cores[i].col, cshift);
    }
    for (int i = 0; i < points->num_deltas && i < 4; ++i) {
      shift_coord(&points->deltas[i].row, rshift);
      shift_coord(&points->deltas[i].col, cshift);
    }
  }
  for (qx_block_field *fld : {orientation, frequency}) {
    if (fld == nullptr) continue;
    fld->row_offset = static_cast<int16_t>(fld->row_offset - rshift);
    fld->col_offset = static_cast<int16_t>(fld->col_offset - cshift);
  }
}

qx_rc qx_convert_iso_standard_to_compactcard(const uint8_t *record, uint32_t length,
                                             int max_minutiae, uint8_t **out, uint32_t *size) {
  if (out != nullptr) *out = nullptr;
  if (size != nullptr) *size = 0;
  if (record == nullptr || out == nullptr || size == nullptr) return QX_RC_INVALID_ARGUMENT;
  const int version = qx_iso19794_2_version(record, length);
  if (version == 0) return QX_RC_NOT_A_RECORD;
  minutiastruct m;
  qx_ref_points pts;
  qx_rc rc = qx_iso19794_2_to_minutiastruct(record, length, &m, &pts);
  if (rc != QX_RC_OK) return rc;
  const int n = std::clamp<int>(std::min<int>(max_minutiae, m.count), 0, QX_CC_MAX_MINUTIAE);

  // Offsets over the minutiae that are written.
  int g = 0, h = 0;
  if (n > 0) {
    int rmin = m.minutiae[0].row, rmax = rmin, cmin = m.minutiae[0].col, cmax = cmin;
    for (int i = 1; i < n; ++i) {
      rmin = std::min<int>(rmin, m.minutiae[i].row);
      rmax = std::max<int>(rmax, m.minutiae[i].row);
      cmin = std::min<int>(cmin, m.minutiae[i].col);
      cmax = std::max<int>(cmax, m.minutiae[i].col);
    }
    g = axis_offset(cmin, cmax);
    h = axis_offset(rmin, rmax);
  }
  uint8_t minutiae[3 * QX_CC_MAX_MINUTIAE];
  for (int i = 0; i < n; ++i) {
    const bal_minutia &mi = m.minutiae[i];
    minutiae[3 * i] = qx_cc_to_card_unit(mi.col, g);
    minutiae[3 * i + 1] = qx_cc_to_card_unit(mi.row, h);
    minutiae[3 * i + 2] = static_cast<uint8_t>((mi.type & 3) << 6 | card_direction(mi.direction));
  }
  uint8_t cores[12], deltas[12];
  const uint32_t core_len = card_points(cores, pts.cores, pts.num_cores, g, h);
  const uint32_t delta_len = card_points(deltas, pts.deltas, pts.num_deltas, g, h);
  const uint8_t *zq = nullptr;
  uint32_t zq_len = 0;
  if (qx_iso19794_2_find_extended_block(record, length, QX_ISO_EXT_ZONAL_QUALITY, &zq, &zq_len) &&
      version == 3) {
    // Version 3.0 puts the algorithm's vendor and identifier first.
    if (zq_len < 4) return QX_RC_NOT_A_RECORD;
    zq += 4;
    zq_len -= 4;
  }

  TreeGuard root;
  root.node = tlv_create(QX_CC_TAG_BDT, 0, nullptr);
  if (root.node == nullptr) return QX_RC_NO_MEMORY;
  tlv_node *container = root.node;
  if (version == 2) {
    tlv_node *group = tlv_create(QX_CC_TAG_GROUP, 0, nullptr);
    if (tlv_append_child(root.node, group) != QX_RC_OK) return QX_RC_NO_MEMORY;
    container = group;
  }
  const uint16_t mtag = version == 2 ? QX_CC_TAG_MINUTIAE_V2 : QX_CC_TAG_MINUTIAE_V3;
  if (tlv_append_child(container, tlv_create(mtag, 3u * n, minutiae)) != QX_RC_OK) return QX_RC_NO_MEMORY;
  if (core_len > 0 &&
      tlv_append_child(container, tlv_create(QX_CC_TAG_CORES, core_len, cores)) != QX_RC_OK)
    return QX_RC_NO_MEMORY;
  if (delta_len > 0 &&
      tlv_append_child(container, tlv_create(QX_CC_TAG_DELTAS, delta_len, deltas)) != QX_RC_OK)
    return QX_RC_NO_MEMORY;
  if (zq_len > 0 &&
      tlv_append_child(container, tlv_create(QX_CC_TAG_ZONAL_QUALITY, zq_len, zq)) != QX_RC_OK)
    return QX_RC_NO_MEMORY;
  uint8_t *bytes = nullptr;
  size_t total = 0;
  rc = tlv_write_tree(root.node, &bytes, &total);
  if (rc != QX_RC_OK) return rc;
  *out = bytes;
  *size = static_cast<uint32_t>(total);
  return QX_RC_OK;
}

qx_rc qx_iso_compactcard_extend_proprietary_data(uint8_t **card, uint32_t *size,
                                                 const minutiastruct *m) {
  if (card == nullptr || *card == nullptr || size == nullptr || m == nullptr) return QX_RC_INVALID_ARGUMENT;
  TreeGuard root;
  qx_rc rc = tlv_parse_buffer(*card, *size, &root.node);
  if (rc == QX_RC_NO_MEMORY) return rc;
  if (rc != QX_RC_OK || root.node->tag != QX_CC_TAG_BDT) return QX_RC_NOT_A_RECORD;

  // Collect the minutiae elements wherever they are (directly or in 0xA1).
  tlv_node *elements[16];
  int count = 0;
  uint32_t card_minutiae = 0;
  for (int pass = 0; pass < 2; ++pass) {
    for (tlv_node *c = root.node->first_child; c != nullptr; c = c->next) {
      if (pass == 0 && is_minutiae_element(c->tag) && count < 16) elements[count++] = c;
      if (pass == 1 && c->tag == QX_CC_TAG_GROUP)
        for (tlv_node *e = c->first_child; e != nullptr; e = e->next)
          if (is_minutiae_element(e->tag) && count < 16) elements[count++] = e;
    }
  }
  for (int i = 0; i < count; ++i)
    if (elements[i]->tag == QX_CC_TAG_MINUTIAE_V3 || elements[i]->tag == QX_CC_TAG_MINUTIAE_V2)
      card_minutiae = elements[i]->length / 3;
  if (card_minutiae > m->count) return QX_RC_INVALID_ARGUMENT;

  // Detach them, drop the old group and any earlier proprietary element.
  for (int i = 0; i < count; ++i) tlv_remove(elements[i]);
  for (tlv_node *c = root.node->first_child; c != nullptr;) {
    tlv_node *next = c->next;
    if (c->tag == QX_CC_TAG_GROUP || c->tag == QX_CC_TAG_PROPRIETARY) {
      tlv_remove(c);
      tlv_delete(c);
    }
    c = next;
  }
  tlv_node *target = root.node;
  if (count >= 2) {
    tlv_node *group = tlv_create(QX_CC_TAG_GROUP, 0, nullptr);
    if (group == nullptr) {
      for (int i = 0; i < count; ++i) tlv_delete(elements[i]);
      return QX_RC_NO_MEMORY;
    }
    tlv_insert_child(root.node, group);
    target = group;
  }
  for (int i = 0; i < count; ++i) {
    if (target == root.node) {
      // Directly inside 0x7F2E, in front of whatever else is there.
      tlv_insert_child(root.node, elements[i]);
    } else {
      tlv_append_child(target, elements[i]);
    }
  }

  qx::Buffer<uint8_t> prop;
  if (!prop.alloc(4 + static_cast<size_t>(card_minutiae))) return QX_RC_NO_MEMORY;
  prop[0] = QX_CC_PROPRIETARY_HEADER_0;
  prop[1] = QX_CC_PROPRIETARY_HEADER_1;
  prop[2] = QX_CC_PROPRIETARY_HEADER_2;
  prop[3] = QX_CC_PROPRIETARY_HEADER_3;
  for (uint32_t i = 0; i < card_minutiae; ++i) {
    const bal_minutia &mi = m->minutiae[i];
    const int q = std::min(15, mi.quality * 4 / 25);
    // The list stores the ridge wavelength minus 5 already.
    prop[4 + i] = static_cast<uint8_t>(q << 4 | (mi.wavelength & 0x0F));
  }
  if (tlv_append_child(root.node, tlv_create(QX_CC_TAG_PROPRIETARY, 4 + card_minutiae, prop.get())) !=
      QX_RC_OK)
    return QX_RC_NO_MEMORY;
  uint8_t *bytes = nullptr;
  size_t total = 0;
  rc = tlv_write_tree(root.node, &bytes, &total);
  if (rc != QX_RC_OK) return rc;
  qx_free(*card);
  *card = bytes;
  *size = static_cast<uint32_t>(total);
  return QX_RC_OK;
}

int qx_cc_find_element(const uint8_t *card, uint32_t length, uint16_t tag, void *out_element) {
  auto *out = static_cast<tlv_element *>(out_element);
  if (out != nullptr) *out = tlv_element{0, 0, nullptr};
  if (card == nullptr) return 0;
  tlv_element bdt, group, el;
  if (!find_bdt(card, length, &bdt)) return 0;
  int found = find_in(bdt.value, bdt.length, tag, &el);
  for (uint16_t g : {uint16_t{0xA1}, uint16_t{0xA2}}) {
    if (!found && find_in(bdt.value, bdt.length, g, &group))
      found = find_in(group.value, group.length, tag, &el);
  }
  if (found && out != nullptr) *out = el;
  return found;
}

qx_rc qx_convert_iso_compactcard_to_minutiastruct(const uint8_t *card, uint32_t length,
                                                  minutiastruct *m, qx_ref_points *points) {
  if (card == nullptr || m == nullptr) return QX_RC_INVALID_ARGUMENT;
  std::memset(m, 0, sizeof(*m));
  if (points != nullptr) std::memset(points, 0, sizeof(*points));
  tlv_element el;
  if (!qx_cc_find_element(card, length, QX_CC_TAG_MINUTIAE_V3, &el) &&
      !qx_cc_find_element(card, length, QX_CC_TAG_MINUTIAE_V2, &el))
    return QX_RC_NOT_A_RECORD;
  if (el.length % 3 != 0 || el.length / 3 > QX_MAX_MINUTIAE) return QX_RC_NOT_A_RECORD;
  const int n = static_cast<int>(el.length / 3);
  int max_x = 0, max_y = 0;
  for (int i = 0; i < n; ++i) {
    const uint8_t *p = el.value + 3 * i;
    bal_minutia &mi = m->minutiae[i];
    mi.col = static_cast<int16_t>(qx_cc_from_card_unit(p[0]));
    mi.row = static_cast<int16_t>(qx_cc_from_card_unit(p[1]));
    mi.type = static_cast<uint8_t>(p[2] >> 6);
    mi.direction = static_cast<uint8_t>(4 * p[2]);
    mi.quality = 0;
    max_x = std::max<int>(max_x, mi.col);
    max_y = std::max<int>(max_y, mi.row);
  }
  m->count = static_cast<uint8_t>(n);
  m->max_minutiae = static_cast<uint8_t>(n);
  m->resolution = QX_ISO_RESOLUTION_PPCM;
  if (points != nullptr) {
    const uint16_t tags[2] = {QX_CC_TAG_CORES, QX_CC_TAG_DELTAS};
    for (int g = 0; g < 2; ++g) {
      if (!qx_cc_find_element(card, length, tags[g], &el)) continue;
      if (el.length % 3 != 0 || el.length / 3 > 4) return QX_RC_NOT_A_RECORD;
      qx_ref_point *dst = g == 0 ? points->cores : points->deltas;
      const int np = static_cast<int>(el.length / 3);
      for (int i = 0; i < np; ++i) {
        dst[i].col = static_cast<int16_t>(qx_cc_from_card_unit(el.value[3 * i]));
        dst[i].row = static_cast<int16_t>(qx_cc_from_card_unit(el.value[3 * i + 1]));
        dst[i].direction = static_cast<uint8_t>(4 * el.value[3 * i + 2]);
        dst[i].has_direction = 1;
        max_x = std::max<int>(max_x, dst[i].col);
        max_y = std::max<int>(max_y, dst[i].row);
      }
      (g == 0 ? points->num_cores : points->num_deltas) = static_cast<uint8_t>(np);
    }
  }
  // The card keeps no image size: the smallest even size holding every point.
  m->cols = static_cast<int16_t>((max_x + 2) & ~1);
  m->rows = static_cast<int16_t>((max_y + 2) & ~1);
  return QX_RC_OK;
}

uint32_t qx_iso19794_2_compact_card_get_length(const uint8_t *bytes, uint32_t available) {
  tlv_element el;
  const size_t total = tlv_read_validate(bytes, &el, available);
  if (total == 0 || el.tag != QX_CC_TAG_BDT) return 0;
  return static_cast<uint32_t>(total);
}

}  // extern "C"
