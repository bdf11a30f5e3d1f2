#include "tools/mkmedia_floppy_part.h"

#include <string.h>
#include <zlib.h>

namespace {

void put_u16(unsigned char* p, uint32_t value) {
  p[0] = (unsigned char)value;
  p[1] = (unsigned char)(value >> 8);
}

void put_u32(unsigned char* p, uint32_t value) {
  put_u16(p, value);
  put_u16(p + 2, value >> 16);
}

}  // namespace

const char* floppy_layout_problem(uint64_t block_size, uint64_t blocks_per_group,
                                  uint64_t parity_blocks) {
  if (block_size <= FLOPPY_BLOCK_CRC_SIZE) return "a block must be larger than its 4-byte CRC";
  if (block_size > 0xFFFF || blocks_per_group > 0xFFFF)
    return "block size and blocks per group are 16-bit fields";
  if (parity_blocks > 1)
    return "setup repairs a group with exactly one parity block; use 1 (or 0 for none)";
  if (blocks_per_group <= parity_blocks) return "a group needs more blocks than parity blocks";
  if (block_size * blocks_per_group > FLOPPY_GROUP_LIMIT)
    return "block size times blocks per group is above 1 MiB, more than setup holds";
  return nullptr;
}

void encode_floppy_part_header(const floppy_part_header& header,
                               unsigned char bytes[FLOPPY_PART_HEADER_SIZE]) {
  memset(bytes, 0, FLOPPY_PART_HEADER_SIZE);
  put_u32(bytes, FLOPPY_PART_MAGIC);
  put_u32(bytes + 4, header.payload_size);
  put_u32(bytes + 8, header.set_identifier);
  put_u16(bytes + 12, header.part_index);
  put_u16(bytes + 14, header.part_count);
  put_u16(bytes + 16, header.layout.block_size);
  put_u16(bytes + 18, header.layout.blocks_per_group);
  put_u16(bytes + 20, header.layout.parity_blocks);
}

void encode_floppy_group(const floppy_layout& layout, const unsigned char* payload, size_t size,
                         unsigned char* group) {
  const uint32_t data = layout.data_size();
  memset(group, 0, layout.group_size());
  for (uint32_t block = 0; block < layout.payload_blocks() && size > 0; ++block) {
    size_t step = size < data ? size : data;
    memcpy(group + (size_t)block * layout.block_size, payload, step);
    payload += step;
    size -= step;
  }
  if (layout.parity_blocks == 1) {
    unsigned char* parity = group + (size_t)layout.payload_blocks() * layout.block_size;
    for (uint32_t block = 0; block < layout.payload_blocks(); ++block) {
      const unsigned char* source = group + (size_t)block * layout.block_size;
      for (uint32_t i = 0; i < data; ++i) parity[i] ^= source[i];
    }
  }
  for (uint32_t block = 0; block < layout.blocks_per_group; ++block) {
    unsigned char* start = group + (size_t)block * layout.block_size;
    put_u32(start + data, (uint32_t)crc32(0L, start, data));
  }
}
