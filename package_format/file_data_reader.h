// Walks the entries of a package's file data: the zlib stream of a file data
// section, decompressed through an inflating_input_stream over the reader.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "foundation/compressed_streams.h"
#include "foundation/string.h"
#include "package_format/package_reader.h"

enum entry_step { ENTRY_READ, ENTRIES_DONE, ENTRY_BROKEN };

// Reads entry after entry: the 30-byte header, the name, then the data, which
// the caller reads or leaves to be skipped by the next step. The source is
// the package reader standing at a file data section (or a stream that
// passes its bytes on); it must outlive the walk and is not owned.
class file_data_reader {
 public:
  explicit file_data_reader(input_stream& compressed) : stream_(compressed) {}
  file_data_reader(const file_data_reader&) = delete;
  file_data_reader& operator=(const file_data_reader&) = delete;

  // Skips what is left of the previous entry's data, then reads the next
  // header and name. ENTRIES_DONE when no complete header follows, which is
  // the normal end; ENTRY_BROKEN when data or name is cut short or the entry
  // cannot be placed (problem() says which).
  entry_step next_entry(file_entry& entry, string& name);
  // Up to n bytes of the current entry's data; fewer than asked (and less
  // than data_left()) means the data is cut short.
  size_t read_data(char* destination, size_t n);
  uint32_t data_left() const { return data_left_; }
  // Skips what is left of the current entry's data; false when it is cut
  // short (the walk is then broken).
  bool skip_data();
  // Bytes of an incomplete entry header that ended the walk: 0 after a
  // clean end, 1-29 when the data stopped inside a header.
  size_t partial_header_bytes() const { return partial_header_; }
  const char* problem() const { return problem_; }
  // Complete entry headers read so far, the current entry's included.
  uint32_t entries_read() const { return entries_read_; }
  // Decompressed bytes produced so far.
  uint32_t total() const { return stream_.total(); }

 private:
  entry_step broken(const char* reason);

  inflating_input_stream stream_;
  uint32_t data_left_ = 0;
  uint32_t entries_read_ = 0;
  size_t partial_header_ = 0;
  const char* problem_ = nullptr;
};
