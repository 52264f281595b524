// Fuzzes a hybrid comparison of two template records from outside: the
// first two bytes give the length of template A (big-endian), A follows and
// the rest is template B.  Both are compared as type 74 (what "ehmsq-xs"
// stores) by the feature-score extraction, the similarity score and the
// cheetah stage; nothing may crash or leak.
#include <cstdint>

#include "engine/match/ehm_verifier.h"
#include "engine/match/vermodel_data.h"
#include "engine/objects/qx_session.h"
#include "engine/qx_alloc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || size > 1 << 16) return 0;
  const size_t length_a = static_cast<size_t>(data[0]) << 8 | data[1];
  if (length_a > size - 2) return 0;
  const long live = qx_alloc_live();
  qx_session *session = qx_session_create();
  qx_session_set_sensor_type_(session, 1);
  qx_session_set_sensor_size_(session, 6);
  qx_template *a = qx_template_create(QX_TEMPLATE_EHMHR, data + 2, static_cast<uint32_t>(length_a));
  qx_template *b = qx_template_create(QX_TEMPLATE_EHMHR, data + 2 + length_a,
                                      static_cast<uint32_t>(size - 2 - length_a));
  uint16_t score = 0;
  int32_t decision = 0;
  qx_alignment *alignment = nullptr;
  if (qx_ehmhr_get_similarity_score(session, a, b, 12, &score, &decision, &alignment, nullptr,
                                    qx_vermodels_ehmsq_xs) == 0)
    qx_alignment_delete(alignment);
  qx_cheetah_get_similarity_score(session, a, b, 12, &score, &decision, nullptr, nullptr, nullptr);
  qx_template_delete(a);
  qx_template_delete(b);
  qx_session_delete(session);
  if (qx_alloc_live() != live) __builtin_trap();
  return 0;
}
