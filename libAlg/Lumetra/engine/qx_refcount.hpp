// The engine's one reference-count helper.
//
// Every engine object carries an int32_t `refs` (1 when created) and a
// `destroy` function that frees it when the last reference goes; an object
// without a destroy function is static (the anonymous user and finger) and
// is not counted.  The objects' _retain, _delete and _get_num_refs exports
// are these three templates, so that no object hand-writes its own count.
#ifndef LUMETRA_ENGINE_QX_REFCOUNT_HPP
#define LUMETRA_ENGINE_QX_REFCOUNT_HPP

#include <cstdint>

namespace qx {

// One more reference; returns the object (nullptr stays nullptr).
template <typename T>
T *retain(T *object) {
  if (object != nullptr && object->destroy != nullptr) ++object->refs;
  return object;
}

// One reference less; the last one destroys the object.  nullptr is ignored.
template <typename T>
void release(T *object) {
  if (object != nullptr && object->destroy != nullptr && --object->refs == 0) object->destroy(object);
}

// The number of references held (0 for nullptr).
template <typename T>
std::int32_t num_refs(const T *object) {
  return object != nullptr ? object->refs : 0;
}

}  // namespace qx

#endif
