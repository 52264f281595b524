// Fuzzes the ISO/IEC 19794-2 and ANSI INCITS 378 record readers and the
// conversion to a card.
#include <cstdint>

#include "engine/formats/ansi378.h"
#include "engine/formats/compact_card.h"
#include "engine/formats/iso19794_2.h"
#include "engine/qx_alloc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  const uint32_t n = static_cast<uint32_t>(size);
  qx_is_iso19794_2(data, n);
  qx_iso19794_2_get_length(data, n);
  minutiastruct m;
  qx_ref_points pts;
  qx_iso19794_2_to_minutiastruct(data, n, &m, &pts);
  qx_ansi378_to_minutiastruct(data, n, &m);
  const uint8_t *block;
  uint32_t len;
  qx_iso19794_2_find_extended_block(data, n, 0x0003, &block, &len);
  if (qx_iso19794_2_find_extended_block(data, n, QX_ISO_EXT_FREQUENCY, &block, &len)) {
    static uint8_t values[255 * 255];
    qx_block_field field;
    qx_iso19794_2_read_frequency_field(block, len, &field, values, sizeof values);
  }
  // The block reader on raw bytes too: its own length checks.
  {
    static uint8_t values[255 * 255];
    qx_block_field field;
    qx_iso19794_2_read_frequency_field(data, n, &field, values, sizeof values);
  }
  uint8_t *card = nullptr;
  uint32_t card_len = 0;
  if (qx_convert_iso_standard_to_compactcard(data, n, 128, &card, &card_len) == 0) {
    qx_convert_iso_compactcard_to_minutiastruct(card, card_len, &m, &pts);
    qx_free(card);
  }
  return 0;
}
