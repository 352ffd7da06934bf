// Inside the library: the objects behind its C handles (a pool, a coder) are
// made in memory from malloc(), not from operator new, so that a program
// that uses the library needs nothing of the C++ runtime for them.
#ifndef TARVIX_C_OBJECT_H
#define TARVIX_C_OBJECT_H

#include <cstddef>
#include <cstdlib>
#include <new>

namespace tarvix::detail {

// A new T made from `arguments`, or nullptr when memory runs out.
template <typename T, typename... Arguments>
T* make_c_object(Arguments... arguments) noexcept {
  static_assert(alignof(T) <= alignof(std::max_align_t));
  void* const memory = std::malloc(sizeof(T));  // NOLINT(cppcoreguidelines-no-malloc)
  return memory == nullptr ? nullptr : new (memory) T(arguments...);
}

// Ends and frees an object of make_c_object(); nullptr is ignored.
template <typename T>
void free_c_object(T* object) noexcept {
  if (object != nullptr) {
    object->~T();
    std::free(object);  // NOLINT(cppcoreguidelines-no-malloc): made by make_c_object()
  }
}

}  // namespace tarvix::detail

#endif  // TARVIX_C_OBJECT_H
