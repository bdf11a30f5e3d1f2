// Installation from a floppy set: numbered part files on FAT floppies, each
// a header and groups of CRC-checked blocks with an XOR parity block, whose
// payloads together are one package input for a single installer run.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "package_format/floppy_part.h"
#include "setup/child_programs.h"
#include "setup/install_context.h"

// "1st", "2nd", "3rd", then "%uth" for any other number (so "11th", "21th").
void floppy_ordinal(unsigned number, char* text, size_t size);

// Decodes and judges a part's header: the magic, the same set as the held
// header (when one is held), a group layout that makes sense, and a payload
// that the part file's groups (file_size bytes in all) can hold. False for a
// bad floppy; nothing in the header is trusted before it is accepted.
[[nodiscard]] bool accept_part_header(const unsigned char* bytes, uint64_t file_size,
                                      const floppy_part_header& held, floppy_part_header& header);

// Groups a payload of the header's size takes.
uint32_t part_group_count(const floppy_part_header& header);

// Checks the CRC of every block of a group (blocks of block size bytes: data
// then CRC) and rebuilds one bad payload block from the others when the
// group has exactly one parity block. Sets repaired to the block's index, or
// -1. False when the group cannot be made good.
[[nodiscard]] bool repair_group(unsigned char* group, const floppy_part_header& header,
                                int& repaired);

// Reads one part file: the payload size when its payload went to the
// installer, 0 for a bad floppy (nothing was written), -1 when the
// installer stopped taking input.
long read_floppy_part(install_context& context, int part_file, program_writer& installer);

[[nodiscard]] bool install_floppy_set(install_context& context);
[[nodiscard]] bool install_from_floppies(install_context& context);
