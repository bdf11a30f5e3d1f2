// The constants of a floppy set's part file, shared by the tool that writes
// sets and by setup, which reads them: a 32-byte header, then whole groups
// of blocks, each block its data followed by the CRC-32 of that data.
#pragma once

#include <stdint.h>

constexpr uint32_t FLOPPY_PART_MAGIC = 0x72847299u;
constexpr uint32_t FLOPPY_PART_HEADER_SIZE = 32;
constexpr uint32_t FLOPPY_BLOCK_CRC_SIZE = 4;
// The most setup holds of one group in memory: block size x blocks per group.
constexpr uint32_t FLOPPY_GROUP_LIMIT = 1048576;
