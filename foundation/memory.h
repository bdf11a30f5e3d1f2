// Placement construction, and the allocation rule of the foundation:
// allocation failure ends the process with abort(), so callers never check.
#pragma once

#include <stddef.h>

// Construct in place without the C++ runtime's <new>:
//   new (in_place, address) T(arguments)
struct in_place_tag {};
constexpr in_place_tag in_place{};
inline void* operator new(size_t, in_place_tag, void* place) noexcept {
  return place;
}
inline void operator delete(void*, in_place_tag, void*) noexcept {}

// Containers allocate through operator new and delete: the programs' runtime
// aborts when memory runs out, and the tests' counting allocator sees every
// block.
