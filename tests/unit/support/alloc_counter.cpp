#include "support/alloc_counter.h"

#include <stdlib.h>

namespace {
// Plain counters: the tests are single-threaded.
size_t allocation_count = 0;
size_t free_count = 0;
size_t byte_count = 0;

void* counted_malloc(size_t size) {
  void* p = malloc(size ? size : 1);
  if (!p) abort();
  ++allocation_count;
  byte_count += size;
  return p;
}

void counted_free(void* p) {
  if (!p) return;
  ++free_count;
  free(p);
}
}  // namespace

alloc_counts current_alloc_counts() { return {allocation_count, free_count, byte_count}; }

void* operator new(size_t size) { return counted_malloc(size); }
void* operator new[](size_t size) { return counted_malloc(size); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, size_t) noexcept { counted_free(p); }
void operator delete[](void* p, size_t) noexcept { counted_free(p); }
