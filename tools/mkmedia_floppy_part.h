// The part file of a floppy set, as setup's floppy-set installation reads
// it: a 32-byte header, then whole groups of blocks. A block is its data
// bytes followed by the CRC-32 of those bytes; the last blocks of a group
// are parity, so that setup repairs one damaged block per group.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "package_format/floppy_part.h"

// How the blocks of a set are laid out; the same on every part.
struct floppy_layout {
  uint32_t block_size;        // bytes of a block, its CRC included
  uint32_t blocks_per_group;  // payload and parity blocks together
  uint32_t parity_blocks;     // 0 or 1

  uint32_t data_size() const { return block_size - FLOPPY_BLOCK_CRC_SIZE; }
  uint32_t payload_blocks() const { return blocks_per_group - parity_blocks; }
  uint32_t group_size() const { return block_size * blocks_per_group; }
  uint32_t group_payload() const { return data_size() * payload_blocks(); }
};

// Why setup could not read parts of this layout, or nullptr when it can:
// blocks of 4 bytes or less, no payload block in a group, groups above
// FLOPPY_GROUP_LIMIT, header fields of 16 bits, and parity other than none
// or the single XOR block setup repairs with.
const char* floppy_layout_problem(uint64_t block_size, uint64_t blocks_per_group,
                                  uint64_t parity_blocks);

struct floppy_part_header {
  uint32_t payload_size;  // bytes of the package this part carries
  uint32_t set_identifier;
  uint16_t part_index;  // 0-based
  uint16_t part_count;
  floppy_layout layout;
};

// The 32 header bytes, little-endian, the unused ten zero.
void encode_floppy_part_header(const floppy_part_header& header,
                               unsigned char bytes[FLOPPY_PART_HEADER_SIZE]);

// One group from up to group_payload() bytes of payload: the payload blocks
// (zero-padded after the payload), the parity block, and every block's CRC.
// group holds group_size() bytes.
void encode_floppy_group(const floppy_layout& layout, const unsigned char* payload, size_t size,
                         unsigned char* group);
