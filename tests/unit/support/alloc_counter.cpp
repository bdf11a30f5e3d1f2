#include "support/alloc_counter.h"

#include <stdlib.h>

// Plain counters: the tests are single-threaded. Out of memory aborts, as in
// the programs.
static alloc_counts counts;

alloc_counts current_alloc_counts() { return counts; }

static void* counted_malloc(size_t size) {
  void* p = malloc(size ? size : 1);
  if (!p) abort();
  ++counts.allocations, counts.bytes += size;
  return p;
}

static void counted_free(void* p) {
  if (p) ++counts.frees, free(p);
}

void* operator new(size_t size) { return counted_malloc(size); }
void* operator new[](size_t size) { return counted_malloc(size); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, size_t) noexcept { counted_free(p); }
void operator delete[](void* p, size_t) noexcept { counted_free(p); }
