// Installs arbitrary bytes as a package file into a root where a package is
// installed (installed_root.h, on the scratch root of fuzz_root.h): first
// from a stream that cannot seek, as from standard input; then, with the
// database loaded again as at the next start, once more in downgrade mode
// from a descriptor that can seek, as from a file; then the queue and
// pending jobs run with the input waiting and hostile entries in the
// installer's own places. The properties of installed_root.h are checked
// after each step; the installs themselves may fail in any way.
#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>

#include "foundation/fd_buffers.h"
#include "installed_root.h"
#include "installer/install.h"
#include "installer/validity.h"
#include "memory_buffer.h"

namespace {

// The seekable copy: a memory file, which no path inside the scratch root reaches.
int memory_file() {
  static int fd = memfd_create("fuzz_install", MFD_CLOEXEC);
  if (fd < 0) fuzz_root::refuse("memfd_create");
  return fd;
}

bool is_unrecorded(const uint8_t* data, size_t size) {
  return size >= 4 && data[0] == 0x1E && data[1] == 0xF1 && data[2] == 0x0B && data[3] == 0xDA;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_root::scope root;
  installed_root::seed();
  const bool unrecorded = is_unrecorded(data, size);
  memory_buffer source(data, size);
  input_stream piped(&source);
  install_package_stream(piped, false);
  installed_root::check(unrecorded);

  revalidate_packages();
  remove_invalid_packages(REPORT_REMOVALS);
  const int fd = memory_file();
  fd_input_buffer file_buffer(fd);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size ||
      file_buffer.seekpos(0, OPEN_INPUT) != 0)
    return 0;
  input_stream file(&file_buffer);
  install_package_stream(file, true);
  installed_root::check(unrecorded);

  installed_root::place_hostile_entries(data, size);
  installed_root::run_jobs();
  installed_root::check(unrecorded);
  return 0;
}
