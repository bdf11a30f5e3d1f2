// Text for kpk show: modes, times and one line per file entry, in the manner
// of a tar listing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "foundation/streams.h"
#include "package_format/package_reader.h"

// Bytes from a package as text for a terminal: control characters (other
// than the newline and tab when keep_lines) and backslash become \ooo octal
// escapes, so a crafted name cannot send terminal commands.
void write_escaped(output_stream& out, const char* data, size_t n, bool keep_lines);
// The same escapes into a string, for messages.
string escaped_text(const string& text);

// "drwxr-xr-x": the type letter and the permission bits with set-id and
// sticky bits; text must hold 11 bytes.
void format_mode(uint32_t mode, char* text);

// "2024-01-31 12:00" in UTC; with seconds "2024-01-31 12:00:05 UTC".
void format_time(uint32_t seconds, bool with_seconds, char* text, size_t size);

// One listing line: mode, owner/group, size (major,minor for devices), time,
// path, and " -> target" for links when the target is given.
void print_entry_line(output_stream& out, const file_entry& entry, const string& name,
                      const string* link_target, uint32_t device_number);
