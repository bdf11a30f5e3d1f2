// The boot program that setup writes into bytes 0-183 of the target disk's sector 0.
#pragma once

// Bytes of sector 0 that belong to the boot program; the rest of the sector
// holds the partition table and data of other tools.
constexpr unsigned BOOT_PROGRAM_SIZE = 184;

// Machine code followed by its two texts, padded with zeros to the full size.
// Assembled from boot_program.S at build time.
extern const unsigned char boot_program[BOOT_PROGRAM_SIZE];
