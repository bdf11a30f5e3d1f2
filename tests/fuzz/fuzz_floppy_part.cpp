// Feeds arbitrary bytes to setup as a floppy part file: the header checks,
// the group reads, CRC checks and repairs, and the payload handed on. What
// reaches the installer may never exceed the accepted header's payload
// size. Silent (the progress output goes to /dev/null); returns 0.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "setup/child_programs.h"
#include "setup/floppy_install.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  close(null);
  log_device = "/dev/null";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int part = memfd_create("part", 0);
  if (part < 0 || write(part, data, size) != (ssize_t)size || lseek(part, 0, SEEK_SET) != 0)
    abort();
  install_context context{};
  context.floppy.part_count = 1;
  program_writer installer(open("/dev/null", O_WRONLY));
  long result = read_floppy_part(context, part, installer);
  if (result > 0 && (size_t)result > size) abort();  // more payload than bytes
  if (result > 0 && (uint32_t)result != context.floppy.payload_size) abort();
  close(part);
  return 0;
}
