// Forward-only reader of package files (".kpk"): the file header, then
// sections of a type, a length and a payload.
#pragma once

#include <stdint.h>

#include "foundation/stream_buffer.h"
#include "foundation/streams.h"
#include "package_format/package_header.h"

constexpr uint32_t PACKAGE_MAGIC_RECORDED = 0xBAD0F11Eu;
constexpr uint32_t PACKAGE_MAGIC_UNRECORDED = 0xDA0BF11Eu;

enum section_type : int {
  SECTION_PACKAGE_HEADER = 1,
  SECTION_DESCRIPTION = 2,
  SECTION_DEPENDENCIES = 3,
  SECTION_FILE_DATA = 4,
  SECTION_INSTALL_SCRIPT = 7,
  SECTION_UNINSTALL_SCRIPT = 8,
  SECTION_ARCHITECTURE = 16,
  SECTION_CONFLICTS = 17,
  SECTION_BUNDLE_HEADER = 18,
};

constexpr uint32_t FILE_HEADER_SIZE = 8;
constexpr uint32_t SECTION_HEADER_SIZE = 6;
constexpr uint32_t HEADER_RECORD_SIZE = 32;
constexpr uint32_t REQUIREMENT_ENTRY_SIZE = 32;
constexpr uint32_t FILE_ENTRY_HEADER_SIZE = 30;
constexpr uint32_t PACKAGE_NAME_SIZE = 16;

// Type bits of a file entry's mode.
enum : uint32_t {
  ENTRY_TYPE_MASK = 0xF000,
  ENTRY_FIFO = 0x1000,
  ENTRY_CHARACTER_DEVICE = 0x2000,
  ENTRY_DIRECTORY = 0x4000,
  ENTRY_BLOCK_DEVICE = 0x6000,
  ENTRY_REGULAR = 0x8000,
  ENTRY_SYMBOLIC_LINK = 0xA000,
};

// The 30-byte header of one entry of the file data.
struct file_entry {
  uint16_t mode;
  uint16_t uid;
  uint16_t gid;
  uint32_t mtime;
  uint32_t data_size;
  uint16_t name_length;
};

// Decodes a 30-byte entry header.
file_entry decode_file_entry(const unsigned char* bytes);

// Why an entry makes its package broken, or none when it is sound: a device
// whose data is not the 4-byte device number, or a type other than regular
// file, link, directory, device or FIFO.
const char* file_entry_problem(const file_entry& entry);

// Little-endian fields of the format, byte by byte so any host reads them alike.
inline uint16_t decode_u16(const unsigned char* p) {
  return (uint16_t)(p[0] | p[1] << 8);
}
inline uint32_t decode_u32(const unsigned char* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The reader is itself an input stream whose reads are bounded by the
// current section's payload, so an inflating_input_stream can be built over
// it for the file data. It wraps a file or standard input; the stream is not
// owned. A bad file header leaves the reader in state bad, and every later
// step fails.
class package_reader : public input_stream {
 public:
  explicit package_reader(input_stream& stream);
  ~package_reader() override;

  bool is_unrecorded() const { return magic_ == PACKAGE_MAGIC_UNRECORDED; }
  uint32_t magic() const { return magic_; }
  void add_wanted_type(int type);
  // Wants every section, known types or not: for tools that copy or list
  // a file section by section.
  void want_every_type() { every_type_wanted_ = true; }

  // Moves to the next section of a wanted type and returns its type; -1 (eof
  // and fail set) at the end of the file or when a section header cannot be
  // read, and at once when the state already holds bad or fail.
  int next_wanted_section();
  int current_type() const { return current_type_; }
  uint32_t current_length() const { return current_length_; }
  // Unread payload bytes of the current section.
  uint32_t remaining() const;
  // File bytes consumed so far: header, section headers, payload read or skipped.
  uint64_t position() const;
  // Stored length plus 8, from the file header.
  uint64_t total_size() const { return total_size_; }
  // What the file header says is left after position(): a section or
  // script longer than this cannot be genuine.
  uint64_t file_remaining() const;

 private:
  class section_buffer;
  section_buffer* section_;
  uint32_t magic_;
  uint64_t total_size_;
  int current_type_;
  uint32_t current_length_;
  int wanted_[16];
  int wanted_count_;
  bool every_type_wanted_;

  bool is_wanted(int type) const;
  int end_of_file();
};

// The header step: from a reader standing at a section of type 1 or 18,
// reads name, version, build time, then the optional architecture (default
// "i386"), dependency and conflict sections. The reader then stands at the
// section after the header block. False when anything is short or the type
// is wrong.
[[nodiscard]] bool read_header_block(package_reader& reader, package_header& header);

// The single steps of the header block, for tools that walk the sections
// themselves. Each reads from the current section and fails when it is short.
// The 32-byte header record of a section of type 1 or 18.
[[nodiscard]] bool read_header_record(package_reader& reader, package_header& header);
// A requirement list: a count, then 32-byte entries; grows with the bytes
// actually read, never with the count alone.
[[nodiscard]] bool read_requirement_list(package_reader& reader, vector<requirement_entry>& list);
// The whole current payload as text (the architecture name); grows with the
// bytes actually read.
[[nodiscard]] bool read_payload_text(package_reader& reader, string& text);
