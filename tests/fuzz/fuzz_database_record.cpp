// Loads package database records from arbitrary file contents. The input is
// cut at every "\n%%\n" into the "version", "deps", "conflicts", "files" and
// "bundle" files of package "a", then of "b" and of "c" (parts left out are
// missing files); the database is then opened and revalidated, and the
// invalid packages removed, as at the start of a run, on a scratch root
// (fuzz_root.h). Silent; every failure is fine.
#include <stddef.h>
#include <stdint.h>

#include "fuzz_root.h"
#include "installer/database.h"
#include "installer/removal.h"
#include "installer/validity.h"

namespace {
const char SEPARATOR[] = "\n%%\n";
const size_t SEPARATOR_LENGTH = sizeof SEPARATOR - 1;
const char* const PACKAGES[] = {"a", "b", "c"};
const char* const FILES[] = {"version", "deps", "conflicts", "files", "bundle"};
const size_t PARTS = 3 * 5;

void write_part(size_t part, const uint8_t* data, size_t size) {
  char path[64];
  snprintf(path, sizeof path, "/var/pdb/%s", PACKAGES[part / 5]);
  mkdir(path, 0770);
  snprintf(path, sizeof path, "/var/pdb/%s/%s", PACKAGES[part / 5], FILES[part % 5]);
  fuzz_root::write_file(path, data, size);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_root::scope root;
  const uint8_t* end = data + size;
  for (size_t part = 0; part < PARTS; ++part) {
    const void* found = memmem(data, (size_t)(end - data), SEPARATOR, SEPARATOR_LENGTH);
    const uint8_t* cut = found ? (const uint8_t*)found : end;
    write_part(part, data, (size_t)(cut - data));
    if (cut == end) break;
    data = cut + SEPARATOR_LENGTH;
  }
  open_repository(true);
  revalidate_packages();
  remove_invalid_packages(REPORT_REMOVALS);
  return 0;
}
