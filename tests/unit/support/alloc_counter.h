// Counts the allocations of the process, for tests that pin growth rules and
// find leaks. The test build replaces operator new and delete with counting
// versions (malloc underneath; abort when memory runs out, as in the programs).
#pragma once

#include <stddef.h>

struct alloc_counts {
  size_t allocations;
  size_t frees;
  size_t bytes;  // sum of the requested sizes
};

// Counts since the process started.
alloc_counts current_alloc_counts();

// Counts what happens in its lifetime: `alloc_scope s; ...; s.allocations()`.
class alloc_scope {
 public:
  alloc_scope() : start_(current_alloc_counts()) {}
  size_t allocations() const { return current_alloc_counts().allocations - start_.allocations; }
  size_t frees() const { return current_alloc_counts().frees - start_.frees; }
  size_t bytes() const { return current_alloc_counts().bytes - start_.bytes; }
  // Allocations minus frees: 0 when everything made in the scope was freed.
  long live() const { return (long)allocations() - (long)frees(); }

 private:
  alloc_counts start_;
};
