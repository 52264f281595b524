// RAII scratch buffer over the engine allocator (engine/qx_alloc.h).
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
