// Template conversion: extracts the compact-card or spectral part of a
// hybrid template.
#include "engine/formats/qx_template_convert.h"

#include <cstring>

#include "engine/formats/compact_card.h"
#include "engine/formats/hybrid_record.h"
#include "engine/formats/tlv.h"
#include "engine/qx_alloc.h"
#include "engine/qx_rc.h"

namespace {

qx_rc copy_out(const uint8_t *bytes, uint32_t length, uint8_t **out, uint32_t *size) {
  auto *p = static_cast<uint8_t *>(qx_malloc(length > 0 ? length : 1));
  if (p == nullptr) return QX_RC_NO_MEMORY;
  if (length > 0) std::memcpy(p, bytes, length);
  *out = p;
  *size = length;
  return QX_RC_OK;
}

// The compact-card part of a hybrid record: 0x7F2E holding its minutiae
// group (0xA1) and, when present, the proprietary element.
qx_rc card_part(const uint8_t *bytes, uint32_t length, uint8_t **out, uint32_t *size) {
  tlv_element group, prop;
  const uint8_t *bdt_value = nullptr;
  uint32_t bdt_len = 0;
  {
    tlv_element first, bdt;
    if (tlv_read_validate(bytes, &first, length) == 0) return QX_RC_NOT_A_RECORD;
    if (first.tag == 0xE1) {
      if (!tlv_find_tag(first.value, first.length, QX_CC_TAG_BDT, &bdt)) return QX_RC_NOT_A_RECORD;
    } else if (first.tag == QX_CC_TAG_BDT) {
      bdt = first;
    } else {
      return QX_RC_NOT_A_RECORD;
    }
    bdt_value = bdt.value;
    bdt_len = bdt.length;
  }
  if (!tlv_find_tag(bdt_value, bdt_len, QX_CC_TAG_GROUP, &group)) return QX_RC_NOT_A_RECORD;
  const bool has_prop = qx_cc_find_element(bytes, length, QX_CC_TAG_PROPRIETARY, &prop) != 0;
  tlv_node *root = tlv_create(QX_CC_TAG_BDT, 0, nullptr);
  if (root == nullptr) return QX_RC_NO_MEMORY;
  qx_rc rc = tlv_append_child(root, tlv_create(QX_CC_TAG_GROUP, 0, nullptr));
  if (rc == QX_RC_OK) {
    // The group's elements are copied as they are.
    tlv_node *g = root->first_child;
    uint32_t pos = 0;
    while (rc == QX_RC_OK && pos < group.length) {
      tlv_element el;
      const size_t n = tlv_read_validate(group.value + pos, &el, group.length - pos);
      if (n == 0 || tlv_tag_is_constructed(el.tag)) {
        rc = QX_RC_NOT_A_RECORD;
        break;
      }
      rc = tlv_append_child(g, tlv_create(el.tag, el.length, el.value));
      pos += static_cast<uint32_t>(n);
    }
  }
  if (rc == QX_RC_OK && has_prop)
    rc = tlv_append_child(root, tlv_create(QX_CC_TAG_PROPRIETARY, prop.length, prop.value));
  size_t total = 0;
  uint8_t *buf = nullptr;
  if (rc == QX_RC_OK) rc = tlv_write_tree(root, &buf, &total);
  tlv_delete(root);
  if (rc != QX_RC_OK) return rc;
  *out = buf;
  *size = static_cast<uint32_t>(total);
  return QX_RC_OK;
}

qx_rc spectral_part(const uint8_t *bytes, uint32_t length, bool high_resolution, uint8_t **out,
                    uint32_t *size) {
  tlv_element el;
  if (!qx_cc_find_element(bytes, length, QX_HYB_TAG_SPECTRAL, &el) || el.length == 0)
    return QX_RC_NOT_A_RECORD;
  // The high-resolution part exists only in the long layout.
  if (high_resolution && (el.length < 4 || el.value[0] != 0 || el.value[1] != 0))
    return QX_RC_NOT_A_RECORD;
  return copy_out(el.value, el.length, out, size);
}

}  // namespace

extern "C" {

qx_rc qx_template_convert_bytes(int32_t source, const uint8_t *bytes, uint32_t length,
                                int32_t target, uint8_t **out, uint32_t *size) {
  if (out != nullptr) *out = nullptr;
  if (size != nullptr) *size = 0;
  if (bytes == nullptr || out == nullptr || size == nullptr) return QX_RC_INVALID_ARGUMENT;
  const bool known = source == 2 || source == 66 || source == 77 || source == 67 || source == 78;
  if (!known) return QX_RC_UNSUPPORTED;
  if (source == target) return copy_out(bytes, length, out, size);
  if (source == QX_TEMPLATE_EHM) {
    if (target == QX_TEMPLATE_ISO_COMPACT_CARD) return card_part(bytes, length, out, size);
    if (target == QX_TEMPLATE_SPECTRAL) return spectral_part(bytes, length, false, out, size);
  } else if (source == QX_TEMPLATE_NEO) {
    // The combined template keeps the hybrid element paths; its
    // high-resolution spectral part is the long-layout spectral element.
    if (target == QX_TEMPLATE_ISO_COMPACT_CARD) return card_part(bytes, length, out, size);
    if (target == QX_TEMPLATE_SPECTRAL) return spectral_part(bytes, length, false, out, size);
    if (target == QX_TEMPLATE_SPECTRAL_HR) return spectral_part(bytes, length, true, out, size);
  }
  return QX_RC_UNSUPPORTED;
}

qx_rc qx_template_convert(const qx_template *tpl, int32_t target, uint8_t **out, uint32_t *size) {
  if (out != nullptr) *out = nullptr;
  if (size != nullptr) *size = 0;
  if (tpl == nullptr) return QX_RC_INVALID_ARGUMENT;
  return qx_template_convert_bytes(qx_template_get_type(tpl), qx_template_get_data(tpl),
                                   qx_template_get_data_size(tpl), target, out, size);
}

}  // extern "C"
