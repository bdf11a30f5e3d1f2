// The C++ runtime pieces the programs need, so they link without libstdc++:
// allocation through malloc (allocation failure ends the process) and the
// handler for a call of a pure virtual function.
#include <stddef.h>
#include <stdlib.h>

void* operator new(size_t size) {
  void* p = malloc(size ? size : 1);
  if (!p) abort();
  return p;
}

void* operator new[](size_t size) {
  return operator new(size);
}

void operator delete(void* p) noexcept {
  free(p);
}
void operator delete[](void* p) noexcept {
  free(p);
}
void operator delete(void* p, size_t) noexcept {
  free(p);
}
void operator delete[](void* p, size_t) noexcept {
  free(p);
}

extern "C" void __cxa_pure_virtual() {
  abort();
}
