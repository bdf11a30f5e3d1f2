#include "installer/repository.h"

#include "foundation/memory.h"

repository& the_repository() {
  // Never freed: records stay reachable until the process ends.
  static repository* instance = nullptr;
  if (!instance) instance = new repository;
  return *instance;
}
