// Installs arbitrary bytes as a package file: the whole install transaction
// on a scratch root (fuzz_root.h). First from a stream that cannot seek, as
// from standard input; then, with the database loaded again as at the next
// start, once more in downgrade mode from a descriptor that can seek, as from
// a file, which replaces what the first install left. Silent; every failure
// is fine.
#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>

#include "foundation/fd_buffers.h"
#include "fuzz_root.h"
#include "installer/database.h"
#include "installer/install.h"
#include "installer/removal.h"
#include "memory_buffer.h"

namespace {

// The seekable copy: a memory file, which no path inside the scratch root reaches.
int memory_file() {
  static int fd = memfd_create("fuzz_install", MFD_CLOEXEC);
  if (fd < 0) fuzz_root::refuse("memfd_create");
  return fd;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_root::scope root;
  memory_buffer source(data, size);
  input_stream piped(&source);
  install_package_stream(piped, false);

  fuzz_root::reset_repository();
  open_repository(true);
  revalidate_packages();
  remove_invalid_packages(true);
  const int fd = memory_file();
  fd_input_buffer file_buffer(fd);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size ||
      file_buffer.seekpos(0, OPEN_INPUT) != 0)
    return 0;
  input_stream file(&file_buffer);
  install_package_stream(file, true);
  return 0;
}
