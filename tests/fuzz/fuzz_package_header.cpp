// Feeds arbitrary bytes to the package reader as a package file: the header step, then the
// walk to the file data and through its entries, as the installer does. Silent; all failures fine.
#include <stddef.h>
#include <stdint.h>

#include "package_format/file_data_reader.h"
#include "package_format/package_reader.h"
#include "memory_buffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  memory_buffer source(data, size);
  input_stream plain(&source);
  package_reader reader(plain);
  const int install_types[] = {1, 18, 16, 3, 17, 4, 7, 8};
  for (int type : install_types) reader.add_wanted_type(type);
  package_header header;
  char chunk[512];  // the reads below never ask for more
  if (reader.next_wanted_section() < 0 || !read_header_block(reader, header)) return 0;
  int type = reader.current_type();
  for (; type == SECTION_INSTALL_SCRIPT || type == SECTION_UNINSTALL_SCRIPT;
       type = reader.next_wanted_section())
    reader.read(chunk, sizeof chunk);  // scripts longer or shorter than that
  if (type != SECTION_FILE_DATA) return 0;
  file_data_reader entries(reader);
  file_entry entry;
  string name;
  // Part of each entry's data (its uid picks how much); the next step skips the rest.
  while (entries.next_entry(entry, name) == ENTRY_READ) entries.read_data(chunk, entry.uid % 512);
  return 0;
}
