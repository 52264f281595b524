// Structural check of a stored template: the readers of each type run
// over its bytes, and nothing but erased-flash padding may follow them.
#include "engine/objects/qx_template_check.h"

#include <cstring>

#include "engine/formats/compact_card.h"
#include "engine/formats/hybrid_record.h"
#include "engine/formats/iso19794_2.h"
#include "engine/formats/qx_template_convert.h"
#include "engine/formats/tlv.h"
#include "engine/image/extract.h"
#include "engine/match/spectral_match.h"
#include "engine/objects/qx_multitemplate.h"
#include "engine/qx_alloc.h"
#include "engine/qx_buffer.hpp"

namespace {

constexpr uint8_t kErased = 0xFF;

bool rest_is_erased(const uint8_t *bytes, uint32_t from, uint32_t size) {
  for (uint32_t i = from; i < size; ++i)
    if (bytes[i] != kErased) return false;
  return true;
}

// A memory failure stays one; anything else a reader refuses is bad data.
qx_rc refused(qx_rc rc) { return rc == QX_RC_NO_MEMORY ? QX_RC_NO_MEMORY : QX_RC_BAD_DATA; }

// The whole TLV tree of the element at bytes parses.
qx_rc tree_parses(const uint8_t *bytes, uint32_t extent) {
  tlv_node *root = nullptr;
  const qx_rc rc = tlv_parse_buffer(bytes, extent, &root);
  tlv_delete(root);
  return rc == QX_RC_OK ? QX_RC_OK : refused(rc);
}

qx_rc card_minutiae_read(const uint8_t *card, uint32_t length) {
  qx::Buffer<minutiastruct> m;
  if (!m.alloc(1)) return QX_RC_NO_MEMORY;
  std::memset(m.get(), 0, sizeof(minutiastruct));
  const qx_rc rc = qx_convert_iso_compactcard_to_minutiastruct(card, length, m.get(), nullptr);
  return rc == QX_RC_OK ? QX_RC_OK : refused(rc);
}

// The leading 0x7F2E element: its extent, or 0 when it does not fit or
// something other than padding follows it.
uint32_t card_extent(const uint8_t *bytes, uint32_t size) {
  const uint32_t extent = qx_iso19794_2_compact_card_get_length(bytes, size);
  if (extent == 0 || !rest_is_erased(bytes, extent, size)) return 0;
  return extent;
}

qx_rc check_card(const uint8_t *bytes, uint32_t size) {
  const uint32_t extent = card_extent(bytes, size);
  if (extent == 0) return QX_RC_BAD_DATA;
  const qx_rc rc = tree_parses(bytes, extent);
  return rc == QX_RC_OK ? card_minutiae_read(bytes, extent) : rc;
}

// One part of a hybrid record, converted the way the matchers take it.
struct Part {
  uint8_t *data = nullptr;
  uint32_t size = 0;
  Part() = default;
  Part(const Part &) = delete;
  Part &operator=(const Part &) = delete;
  ~Part() { qx_free(data); }
};

qx_rc check_hybrid(int32_t type, const uint8_t *bytes, uint32_t size) {
  const uint32_t extent = card_extent(bytes, size);
  if (extent == 0) return QX_RC_BAD_DATA;
  qx_rc rc = tree_parses(bytes, extent);
  if (rc != QX_RC_OK) return rc;
  Part card, spectral;
  rc = qx_template_convert_bytes(type, bytes, extent, QX_TEMPLATE_ISO_COMPACT_CARD, &card.data,
                                 &card.size);
  if (rc != QX_RC_OK) return refused(rc);
  rc = card_minutiae_read(card.data, card.size);
  if (rc != QX_RC_OK) return rc;
  rc = qx_template_convert_bytes(type, bytes, extent, QX_TEMPLATE_SPECTRAL, &spectral.data,
                                 &spectral.size);
  if (rc != QX_RC_OK) return refused(rc);
  // Checked only (no feature set is made).
  rc = qx_fusion_spectral_to_matcher(spectral.data, spectral.size, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, 0);
  if (rc != QX_RC_OK) return refused(rc);
  tlv_element dims;
  if (qx_cc_find_element(bytes, extent, QX_HYB_TAG_DIMENSIONS, &dims) != 0) {
    int32_t rows = 0, cols = 0;
    uint8_t quality = 0;
    if (qx_hybrid_get_dimensions(bytes, extent, &rows, &cols, &quality) != QX_RC_OK)
      return QX_RC_BAD_DATA;
  }
  return QX_RC_OK;
}

qx_rc check_iso(const uint8_t *bytes, uint32_t size) {
  const uint32_t extent = qx_iso19794_2_get_length(bytes, size);
  if (extent == 0 || extent > size || !rest_is_erased(bytes, extent, size)) return QX_RC_BAD_DATA;
  return qx_is_iso19794_2(bytes, extent) == QX_RC_OK ? QX_RC_OK : QX_RC_BAD_DATA;
}

// The template types the engine knows (as reported).  A subtemplate of
// another code is no template this library made or can compare.
bool known_type(int32_t type) {
  switch (type) {
    case QX_TEMPLATE_ISO19794_2:
    case QX_TEMPLATE_ISO_COMPACT_CARD:
    case QX_TEMPLATE_ANSI378:
    case QX_TEMPLATE_SPECTRAL:
    case QX_TEMPLATE_EHM:
    case QX_TEMPLATE_EHM_FUSION:
    case QX_TEMPLATE_EHMHR_FUSION:
    case QX_TEMPLATE_NEO:
      return true;
    default:
      return false;
  }
}

// The engine's own metadata of a subtemplate has the size it writes: an
// alignment record of 6 bytes, an island number of one byte.  (A longer
// record would be read, but only a damaged length field makes one; in the
// last subtemplate it would reach into the slot's padding unnoticed.)
bool metadata_fits(const qx_multitemplate *mt, int32_t tag) {
  uint16_t length = 0;
  if (qx_multitemplate_get_metadata(mt, tag, QX_MT_INSTANCE_KEY_ALIGNMENT, &length) != nullptr &&
      length != QX_MT_ALIGNMENT_LENGTH)
    return false;
  if (qx_multitemplate_get_metadata(mt, tag, QX_MT_INSTANCE_KEY_ISLAND, &length) != nullptr &&
      length != 1)
    return false;
  return true;
}

bool has_decoder(int32_t type) {
  return type == QX_TEMPLATE_EHM || type == QX_TEMPLATE_NEO ||
         type == QX_TEMPLATE_ISO_COMPACT_CARD || type == QX_TEMPLATE_ISO19794_2;
}

qx_rc check_single(int32_t type, const uint8_t *bytes, uint32_t size) {
  switch (type) {
    case QX_TEMPLATE_EHM:
    case QX_TEMPLATE_NEO:
      return check_hybrid(type, bytes, size);
    case QX_TEMPLATE_ISO_COMPACT_CARD:
      return check_card(bytes, size);
    case QX_TEMPLATE_ISO19794_2:
      return check_iso(bytes, size);
    default:
      return QX_RC_UNSUPPORTED;
  }
}

// Byte 4 of the encoding, written 0 (the decoder itself does not look).
constexpr uint32_t kReservedByte = 4;

qx_rc check_multitemplate(const qx_template *tpl) {
  const uint8_t *bytes = qx_template_get_data(tpl);
  if (bytes == nullptr || qx_template_get_data_size(tpl) <= kReservedByte ||
      bytes[kReservedByte] != 0)
    return QX_RC_BAD_DATA;
  qx_multitemplate *mt = nullptr;
  // The decoder only reads the source (a referring source is retained by
  // the instances, never written).
  const qx_rc decoded = qx_multitemplate_decode(const_cast<qx_template *>(tpl), &mt);
  if (decoded != QX_RC_OK) return refused(decoded);
  const int32_t n = qx_multitemplate_get_nbr_of_instances(mt);
  // Without an instance there is no finger to compare with.
  qx_rc rc = n > 0 ? QX_RC_OK : QX_RC_BAD_DATA;
  for (int32_t i = 0; i < n && rc == QX_RC_OK; ++i) {
    int32_t tag = 0;
    qx_template *instance = qx_multitemplate_get_instance_for_index(mt, i, &tag);
    const int32_t type = qx_template_get_type(instance);
    // A multi-template does not nest, an instance without bytes holds no
    // capture, and an unknown type code is a damaged type byte.
    if (instance == nullptr || !known_type(type) || qx_template_get_data_size(instance) == 0 ||
        !metadata_fits(mt, tag)) {
      rc = QX_RC_BAD_DATA;
    } else {
      // Instances of a type without a decoder here are taken as they are.
      if (has_decoder(type))
        rc = check_single(type, qx_template_get_data(instance),
                          qx_template_get_data_size(instance));
    }
    qx_template_delete(instance);
  }
  qx_multitemplate_delete(mt);
  return rc;
}

}  // namespace

extern "C" qx_rc qx_template_check(const qx_template *tpl) {
  if (tpl == nullptr) return QX_RC_BAD_DATA;
  const int32_t type = qx_template_get_type(tpl);
  if (type == QX_TEMPLATE_MULTITEMPLATE) return check_multitemplate(tpl);
  const uint8_t *bytes = qx_template_get_data(tpl);
  const uint32_t size = qx_template_get_data_size(tpl);
  if (!has_decoder(type)) return QX_RC_UNSUPPORTED;
  if (bytes == nullptr || size == 0) return QX_RC_BAD_DATA;
  return check_single(type, bytes, size);
}
