// The record one setup run hands to the installation mode it runs.
#pragma once

#include <stdint.h>

#include "setup/disk_layout.h"

// The header of one part file of a floppy set, as stored (little-endian).
struct floppy_part_header {
  uint32_t magic;
  uint32_t payload_size;
  uint32_t set_identifier;
  uint16_t part_index;
  uint16_t part_count;
  uint16_t block_size;
  uint16_t blocks_per_group;
  uint16_t parity_blocks;
  uint8_t unused[10];
};
static_assert(sizeof(floppy_part_header) == 32, "the part header is 32 bytes on the floppy");

struct install_context {
  floppy_part_header floppy;  // all zero but part_count 1 until a part is read
  disk_record disk;           // the target disk, filled by find_target_disk
};

void init_install_context(install_context& context);
