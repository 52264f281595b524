// Fuzzes the multi-template decoder and the manager built over it: the
// bytes as they come, and again padded with erased flash as in a slot.
// Whatever decodes must encode again and read back to the same encoding.
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/objects/qx_multitemplate.h"
#include "engine/objects/qx_multitemplate_manager.h"
#include "engine/qx_alloc.h"

namespace {

std::vector<uint8_t> bytes_of(const qx_template *t) {
  const uint8_t *p = qx_template_get_data(t);
  return std::vector<uint8_t>(p, p + qx_template_get_data_size(t));
}

void check_round_trip(qx_multitemplate *mt) {
  qx_template *encoded = nullptr;
  if (qx_multitemplate_encode(mt, &encoded) != 0) return;  // e.g. 256 records in one owner
  if (qx_template_get_data_size(encoded) != qx_multitemplate_encode_size(mt)) __builtin_trap();
  qx_multitemplate *again = nullptr;
  if (qx_multitemplate_decode(encoded, &again) != 0) __builtin_trap();
  qx_template *twice = nullptr;
  if (qx_multitemplate_encode(again, &twice) != 0) __builtin_trap();
  if (bytes_of(encoded) != bytes_of(twice)) __builtin_trap();
  qx_template_delete(twice);
  qx_multitemplate_delete(again);
  qx_template_delete(encoded);
}

void exercise_manager(qx_template *tpl) {
  qx_multitemplate_manager *m = qx_multitemplate_manager_create_with_template(tpl);
  if (m == nullptr) return;
  qx_multitemplate_manager_get_nbr_of_templates(m);
  qx_multitemplate_manager_get_fill_grade(m);
  for (int32_t i = 0; i < 3; ++i) {
    qx_alignment *a = nullptr;
    int32_t island = 0;
    qx_template *t = qx_multitemplate_manager_get_template(m, i, &a, &island);
    qx_alignment *b = qx_multitemplate_manager_get_subtemplate_alignment(m, t, &island);
    qx_alignment_delete(b);
    qx_alignment_delete(a);
    qx_template_delete(t);
    t = qx_multitemplate_manager_get_unenrolled_template(m, i, &a, &island);
    qx_alignment_delete(a);
    qx_template_delete(t);
  }
  qx_template *converted = nullptr;
  qx_multitemplate_manager_convert(tpl, 67, &converted);
  qx_template_delete(converted);
  // An incremental update with a small new template.
  const uint8_t extra_bytes[12] = {1, 2, 3};
  qx_template *extra = qx_template_create(67, extra_bytes, sizeof extra_bytes);
  qx_multitemplate_manager_set_incremental_mode(m);
  int32_t change = 0;
  qx_multitemplate_manager_enroll_templates(m, &extra, 1, nullptr, nullptr, 0, &change, nullptr);
  qx_template_delete(extra);
  qx_multitemplate_manager *copy = qx_multitemplate_manager_copy(m);
  qx_template *encoded = qx_multitemplate_manager_encode(m, 0);
  if (copy != nullptr && encoded != nullptr && !qx_multitemplate_manager_is_copy(encoded, copy)) {
    __builtin_trap();
  }
  qx_template_delete(encoded);
  qx_multitemplate_manager_delete(copy);
  qx_multitemplate_manager_delete(m);
}

void run(const uint8_t *data, size_t size, bool referring) {
  // The template reads exactly `size` bytes of its own heap block, so the
  // sanitizer sees any read past the end.
  uint8_t *copy = static_cast<uint8_t *>(qx_malloc(size));
  if (copy == nullptr) return;
  if (size != 0) std::memcpy(copy, data, size);
  qx_template *tpl = referring ? qx_template_create_mr(80, copy, static_cast<uint32_t>(size))
                               : qx_template_create(80, copy, static_cast<uint32_t>(size));
  qx_multitemplate *mt = nullptr;
  if (qx_multitemplate_decode(tpl, &mt) == 0) check_round_trip(mt);
  exercise_manager(tpl);
  // Instances of a referring decode keep the source alive: release it first.
  qx_template_delete(tpl);
  qx_multitemplate_delete(mt);
  qx_free(copy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 40000) return 0;
  run(data, size, (size & 1) != 0);
  // The same bytes in a slot: followed by erased flash.
  std::vector<uint8_t> slot(data, data + size);
  slot.resize(size + 64, 0xFF);
  run(slot.data(), slot.size(), (size & 1) == 0);
  return 0;
}
