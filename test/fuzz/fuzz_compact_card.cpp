// Fuzzes the compact-card readers and the proprietary-block rewrite.
#include <cstdint>
#include <cstring>

#include "engine/formats/compact_card.h"
#include "engine/qx_alloc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  const uint32_t n = static_cast<uint32_t>(size);
  qx_iso19794_2_compact_card_get_length(data, n);
  minutiastruct m;
  qx_ref_points pts;
  qx_convert_iso_compactcard_to_minutiastruct(data, n, &m, &pts);
  minutiastruct full;
  std::memset(&full, 0, sizeof(full));
  full.count = QX_MAX_MINUTIAE;
  auto *card = static_cast<uint8_t *>(qx_malloc(size > 0 ? size : 1));
  if (card == nullptr) return 0;
  if (size > 0) std::memcpy(card, data, size);
  uint32_t card_len = n;
  if (qx_iso_compactcard_extend_proprietary_data(&card, &card_len, &full) == 0)
    qx_convert_iso_compactcard_to_minutiastruct(card, card_len, &m, &pts);
  qx_free(card);
  return 0;
}
