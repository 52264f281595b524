// In-memory layout of the multi-template, shared by the object's
// operations and its encoder/decoder (internal to the engine).
#ifndef LUMETRA_ENGINE_OBJECTS_MULTITEMPLATE_INTERNAL_HPP
#define LUMETRA_ENGINE_OBJECTS_MULTITEMPLATE_INTERNAL_HPP

#include <cstdint>

#include "engine/objects/qx_multitemplate.h"

// A metadata record; its data follows the record in the same allocation.
struct qx_mt_record {
  qx_mt_record *next;
  uint8_t *data;
  uint16_t length;
  uint8_t key;
};

struct qx_mt_instance {
  qx_mt_instance *next;
  int32_t tag;
  qx_template *tpl;  // retained
  qx_mt_record *records;
};

struct qx_multitemplate {
  int32_t refs;
  uint8_t count;
  qx_mt_instance *first;
  qx_mt_instance *last;
  qx_mt_record *global;
  void (*destroy)(qx_multitemplate *);
};

namespace qx_mt {

// A new record holding a copy of the data, not linked; none on failure.
qx_mt_record *new_record(uint8_t key, const uint8_t *data, uint16_t length);
void free_records(qx_mt_record *list);
qx_mt_record *find_record(qx_mt_record *list, uint8_t key);
// Puts `rec` into the list: in place of a record with the same key (which
// is freed), else at the front (at_front) or at the end.
void put_record(qx_mt_record **list, qx_mt_record *rec, bool at_front);

qx_mt_instance *find_instance(const qx_multitemplate *mt, int32_t tag);
// Appends a new instance (the template retained); 0, 1 full, 2 tag in
// use or reserved, 9 memory.
int32_t append_instance(qx_multitemplate *mt, int32_t tag, qx_template *tpl,
                        qx_mt_instance **out);

}  // namespace qx_mt

#endif
