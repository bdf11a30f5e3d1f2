// Feeds arbitrary bytes to the package menu's summary reader as a package
// file on an installation medium: header record, description, dependency
// list. A summary that reads must name a package of at most 16 bytes and
// hold no more dependencies than the bytes could carry. Silent; returns 0.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "foundation/streams.h"
#include "memory_buffer.h"
#include "menu/package_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  memory_buffer source(data, size);
  input_stream file(&source);
  package_entry entry;
  if (!read_package_summary(file, entry)) return 0;
  if (entry.header.name.length() > MENU_NAME_SIZE) abort();
  if (entry.header.dependencies.size() * 32 > size || entry.description.length() > size) abort();
  return 0;
}
