// Feeds arbitrary bytes to the drive search as the partitioning tool's
// geometry listing, and checks what it keeps: at most four disks, each a
// terminated "/dev/" name that fits the record, with the flags its
// geometry gives. Silent; returns 0.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "foundation/streams.h"
#include "memory_buffer.h"
#include "setup/disk_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  memory_buffer source(data, size);
  input_stream listing(&source);
  disk_record disks[5];
  memset(disks, 0x55, sizeof disks);
  int found = parse_geometry_listing(listing, disks, 4);
  if (found < 0 || found > 4) abort();
  for (int i = 0; i < found; ++i) {
    const disk_record& disk = disks[i];
    if (!memchr(disk.device, 0, sizeof disk.device) || strncmp(disk.device, "/dev/", 5) != 0)
      abort();
    if (disk.cylinders == 0 || disk.bytes_per_cylinder == 0) abort();
    if (disk.separate_boot != (disk.cylinders >= SEPARATE_BOOT_CYLINDERS)) abort();
    char text[512];
    if (format_partition_layout(disk, 4, text, sizeof text) == 0 && !disk.separate_boot) abort();
  }
  if (disks[4].cylinders != 0x55555555) abort();  // nothing written past the table
  return 0;
}
