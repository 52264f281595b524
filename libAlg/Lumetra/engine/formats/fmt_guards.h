// Scope guards for the record builders (internal): a TLV tree and an engine
// buffer that are released on every path out of a function.
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

struct BufGuard {
  uint8_t *p = nullptr;
  BufGuard() = default;
  BufGuard(const BufGuard &) = delete;
  BufGuard &operator=(const BufGuard &) = delete;
  ~BufGuard() { qx_free(p); }
};

}  // namespace qx_fmt

#endif
