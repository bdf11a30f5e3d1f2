// Counts the allocations of the process, for tests that pin growth rules and
// find leaks: the test build replaces operator new and delete.
#pragma once

#include <stddef.h>

struct alloc_counts {
  size_t allocations, frees, bytes;  // bytes: the sum of the requested sizes
};
alloc_counts current_alloc_counts();

// Counts what happens in its lifetime: `alloc_scope s; ...; s.allocations()`.
class alloc_scope {
 public:
  alloc_scope() : start_(current_alloc_counts()) {}
  size_t allocations() const { return current_alloc_counts().allocations - start_.allocations; }
  size_t frees() const { return current_alloc_counts().frees - start_.frees; }
  size_t bytes() const { return current_alloc_counts().bytes - start_.bytes; }
  long live() const { return (long)allocations() - (long)frees(); }  // 0: all freed

 private:
  alloc_counts start_;
};
