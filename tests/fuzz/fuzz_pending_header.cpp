// Reads the header of a pending package file holding arbitrary bytes: the
// header blocks of a package or of a bundle and all its members, and the
// check of the file's size against its header. The file is written on a
// scratch root (fuzz_root.h). Silent; every failure is fine.
#include <stddef.h>
#include <stdint.h>

#include "fuzz_root.h"
#include "installer/pending.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_root::scope root;
  pending_package record;
  const char path[] = "/var/pckg/fuzz.kpk";
  if (!fuzz_root::write_file(path, data, size) || !read_pending_header(record, path)) return 0;
  // The relations that order pending files, over what was read.
  provides(record, record.name);
  preferred_over(record, record, UPGRADE_MODE);
  depends_on(record, record);
  conflicts_with(record, record);
  return 0;
}
