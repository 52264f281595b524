// Heap access of the object layer.  Every object and list entry of the
// layer is taken and given back through these two calls.
#ifndef LUMETRA_ENGINE_OBJECTS_OBJECT_MEMORY_H
#define LUMETRA_ENGINE_OBJECTS_OBJECT_MEMORY_H

#include <cstddef>
#include <cstdlib>

namespace lumetra::engine {

// Zero-filled block, or nullptr when memory runs out.
inline void *obj_calloc(std::size_t size) { return std::calloc(1, size); }
inline void obj_free(void *p) { std::free(p); }

}  // namespace lumetra::engine

#endif  // LUMETRA_ENGINE_OBJECTS_OBJECT_MEMORY_H
