// Fuzzes the TLV readers: flat scanning, tree parsing, search and writing.
#include <cstdint>
#include <cstring>

#include "engine/formats/tlv.h"
#include "engine/qx_alloc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  tlv_element el;
  tlv_read_validate(data, &el, size);
  tlv_get_buffer_length(data, size);
  tlv_find_tag(data, size, 0x82, &el);
  const uint16_t path[] = {0x7F2E, 0xA1, 0x90};
  tlv_find_nested_tag(data, size, path, 3, &el);
  tlv_node *root = nullptr;
  if (tlv_parse_buffer(data, size, &root) == 0) {
    tlv_find_tag_in_tree(root, 0x90);
    uint8_t *out = nullptr;
    size_t n = 0;
    if (tlv_write_tree(root, &out, &n) == 0) {
      // A parsed element written again is never longer than what was read.
      if (n > size) __builtin_trap();
      qx_free(out);
    }
    tlv_delete(root);
  }
  return 0;
}
