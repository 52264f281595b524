// The engine's one owner type for buffers: RAII over the engine allocator
// (engine/qx_alloc.h).  Scratch buffers, buffers adopted from an allocating
// call, and buffers handed on to a caller (release) all go through it.
//
// Engine operations allocate every scratch buffer up front and must free
// it on every path; Buffer<T> does the freeing.  It never throws: alloc()
// reports failure by returning false, and the caller answers 9.
#ifndef LUMETRA_ENGINE_QX_BUFFER_HPP
#define LUMETRA_ENGINE_QX_BUFFER_HPP

#include <cstddef>

#include "engine/qx_alloc.h"

namespace qx {

template <typename T>
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  ~Buffer() { qx_free(ptr_); }

  // Allocates `count` zeroed elements, replacing what was held before.
  bool alloc(std::size_t count) {
    qx_free(ptr_);
    ptr_ = static_cast<T *>(qx_calloc(count, sizeof(T)));
    size_ = ptr_ ? count : 0;
    return ptr_ != nullptr;
  }
  // Allocates `count` elements left uninitialised, for scratch that is
  // always written before it is read (large buffers, where zeroing costs
  // more than the work done in them).
  bool alloc_uninitialised(std::size_t count) {
    qx_free(ptr_);
    ptr_ = count <= static_cast<std::size_t>(-1) / sizeof(T) ? static_cast<T *>(qx_malloc(count * sizeof(T))) : nullptr;
    size_ = ptr_ ? count : 0;
    return ptr_ != nullptr;
  }
  // Takes over `p` (allocated with qx_malloc/qx_calloc, or nullptr) holding
  // `count` elements, freeing what was held before.
  void adopt(T *p, std::size_t count) {
    qx_free(ptr_);
    ptr_ = p;
    size_ = p ? count : 0;
  }
  // The pointer's own slot, for a function that hands out a new allocation
  // (or replaces the one it is given) through a T** parameter: the buffer
  // owns whatever is left there.  The element count becomes unknown (0).
  T **slot() {
    size_ = 0;
    return &ptr_;
  }
  // Frees what is held now.
  void reset() {
    qx_free(ptr_);
    ptr_ = nullptr;
    size_ = 0;
  }
  // Gives up ownership; the caller frees with qx_free.
  T *release() {
    T *p = ptr_;
    ptr_ = nullptr;
    size_ = 0;
    return p;
  }

  T *get() const { return ptr_; }
  std::size_t size() const { return size_; }
  T &operator[](std::size_t i) const { return ptr_[i]; }

 private:
  T *ptr_ = nullptr;
  std::size_t size_ = 0;
};

// For filters that must read only input values while writing over them:
// returns `in` itself when the output is another buffer, otherwise a copy
// of its `count` elements held in `copy`; nullptr when memory runs out.
template <typename T>
const T *stable_input(const T *in, const T *out, std::size_t count, Buffer<T> &copy) {
  if (in != out) return in;
  if (!copy.alloc(count)) return nullptr;
  for (std::size_t i = 0; i < count; ++i) copy[i] = in[i];
  return copy.get();
}

}  // namespace qx

#endif
