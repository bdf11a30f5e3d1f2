// Writer of package files (".kpk") in the layout the package reader walks:
// the file header, then sections whose lengths are filled in once their
// payload is written. For the tools that build packages; the installer
// never writes package files.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "foundation/compressed_streams.h"
#include "foundation/streams.h"
#include "package_format/package_header.h"
#include "package_format/package_reader.h"

// Little-endian fields, byte by byte so any host writes them alike.
inline void encode_u16(unsigned char* p, uint32_t value) {
  p[0] = (unsigned char)value;
  p[1] = (unsigned char)(value >> 8);
}
inline void encode_u32(unsigned char* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = (unsigned char)(value >> (8 * i));
}

// The 30-byte entry header; the fields the installer does not use are zero.
void encode_file_entry(const file_entry& entry, unsigned char* bytes);

// Sections are written one at a time: begin, payload, end. The output must
// be able to seek back (a file), because the length of a section and of the
// whole file are known only afterwards; the output is not owned. The first
// failure sticks: every later call fails too, and error() says why. The
// writer prints nothing; the tool reports error() once.
class package_writer {
 public:
  explicit package_writer(output_stream& output);
  ~package_writer();
  package_writer(const package_writer&) = delete;
  package_writer& operator=(const package_writer&) = delete;

  // The 8-byte file header with either magic; its length is filled in by
  // end_file.
  [[nodiscard]] bool begin_file(uint32_t magic);
  [[nodiscard]] bool end_file();

  [[nodiscard]] bool begin_section(int type);
  // Where the open section's payload goes; inside the file data this is
  // the compressor.
  output_stream& payload();
  [[nodiscard]] bool write_payload(const void* data, size_t size);
  [[nodiscard]] bool end_section();

  // Whole sections.
  [[nodiscard]] bool write_section(int type, const void* data, size_t size);
  // A package (type 1) or bundle (type 18) header record; the name must fit
  // the 16-byte field.
  [[nodiscard]] bool write_header_record(int type, const package_header& header);
  // Dependencies (type 3) or conflicts (type 17).
  [[nodiscard]] bool write_requirement_list(int type, const vector<requirement_entry>& list);
  // The rest of the reader's current section, as a section of the same type.
  [[nodiscard]] bool copy_section(package_reader& reader);

  // The file data section: one zlib stream of entries, each a header, the
  // name, then exactly data_size bytes of data.
  [[nodiscard]] bool begin_file_data();
  [[nodiscard]] bool write_entry(const file_entry& entry, const char* name);
  [[nodiscard]] bool write_entry_data(const void* data, size_t size);
  [[nodiscard]] bool end_file_data();

  const char* error() const { return error_; }

 private:
  bool fail(const char* reason);
  bool usable(const char* step);
  bool write_raw(const void* data, size_t size);
  bool patch_u32(stream_offset offset, uint32_t value);

  output_stream& output_;              // not owned
  deflating_output_stream* deflater_;  // owned; only inside the file data
  const char* error_;
  stream_offset file_start_;
  stream_offset section_start_;  // -1 when no section is open
  bool file_open_;
  uint32_t entry_data_left_;  // data bytes the current entry still owes
};
