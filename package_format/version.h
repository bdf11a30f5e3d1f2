// Version numbers: one 32-bit value of major, minor, stage letter and stage
// number; plain unsigned order is release order.
#pragma once

#include <stdint.h>

#include "foundation/string.h"

// Bits 31-24 major, 23-16 minor, 15-8 stage ('a' alpha, 'b' beta, 'c'
// release candidate, 'f' final; any other value has no name), 7-0 number
// (for a final release the third component, 0 = none).
typedef uint32_t version_number;

enum : uint8_t { STAGE_ALPHA = 'a', STAGE_BETA = 'b', STAGE_RC = 'c', STAGE_FINAL = 'f' };

inline version_number make_version(unsigned major, unsigned minor, unsigned stage,
                                   unsigned number) {
  return (version_number)((major & 0xFF) << 24 | (minor & 0xFF) << 16 | (stage & 0xFF) << 8 |
                          (number & 0xFF));
}

// A dependency or conflict: a package name and a version range; 0 means
// unbounded on that side.
struct requirement_entry {
  string name;
  version_number minimum;
  version_number maximum;
};

// The text of v in the formatter's own 80-byte buffer, overwritten by every
// call: copy it before formatting another version.
const char* format_version(version_number v);

// The entry's name, and "-" with the minimum version when that is not 0.
string requirement_label(const requirement_entry& entry);

// Parses a version as people write it (2.9, 2.9.1, 2.9rc3, 2.9beta10,
// 2.9alpha); false when the text cannot be written as a version_number.
// For the tools that build packages; the installer never parses versions.
[[nodiscard]] bool parse_version(const char* text, version_number* result);
