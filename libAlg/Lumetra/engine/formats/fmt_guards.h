// Scope guard for the record builders (internal): a TLV tree released on
// every path out of a function.  Buffers use qx::Buffer (engine/qx_buffer.hpp).
#ifndef LUMETRA_ENGINE_FORMATS_FMT_GUARDS_H
#define LUMETRA_ENGINE_FORMATS_FMT_GUARDS_H

#include "engine/formats/tlv.h"
#include "engine/qx_alloc.h"

namespace qx_fmt {

struct TreeGuard {
  tlv_node *node = nullptr;
  TreeGuard() = default;
  TreeGuard(const TreeGuard &) = delete;
  TreeGuard &operator=(const TreeGuard &) = delete;
  ~TreeGuard() { tlv_delete(node); }
};

}  // namespace qx_fmt

#endif
