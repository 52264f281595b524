// Layout of the multi-template manager, shared by its files (internal).
#ifndef LUMETRA_ENGINE_OBJECTS_MULTITEMPLATE_MANAGER_INTERNAL_HPP
#define LUMETRA_ENGINE_OBJECTS_MULTITEMPLATE_MANAGER_INTERNAL_HPP

#include <cstdint>

#include "engine/objects/qx_multitemplate_manager.h"

struct qx_multitemplate_manager {
  int32_t refs;
  qx_multitemplate *mt;  // owned
  uint8_t max_templates;
  uint8_t parameter;     // byte 1 of record 1, carried along
  int32_t update_allowed;
  int32_t second_flag;
  uint32_t max_size;     // 0 = no limit
  int32_t incremental;
  void (*destroy)(qx_multitemplate_manager *);
};

namespace qx_mtm {

// Writes global record 1 from the manager's parameters.
int32_t write_params(qx_multitemplate_manager *m, int32_t keep_update_switch);
// The manager takes `mt` (its reference) in place of its multi-template.
void replace_multitemplate(qx_multitemplate_manager *m, qx_multitemplate *mt);

}  // namespace qx_mtm

#endif
