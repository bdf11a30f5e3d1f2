#include "package_format/package_writer.h"

#include <string.h>

void encode_file_entry(const file_entry& entry, unsigned char* bytes) {
  memset(bytes, 0, FILE_ENTRY_HEADER_SIZE);
  encode_u16(bytes, entry.mode);
  encode_u16(bytes + 2, entry.uid);
  encode_u16(bytes + 4, entry.gid);
  encode_u32(bytes + 8, entry.mtime);
  encode_u32(bytes + 24, entry.data_size);
  encode_u16(bytes + 28, entry.name_length);
}

package_writer::package_writer(output_stream& output)
    : output_(output),
      deflater_(nullptr),
      error_(nullptr),
      file_start_(-1),
      section_start_(-1),
      file_open_(false),
      entry_data_left_(0) {}

package_writer::~package_writer() {
  delete deflater_;
}

bool package_writer::fail(const char* reason) {
  if (!error_) error_ = reason;
  return false;
}

// Refuses every step after the first failure, and steps out of order.
bool package_writer::usable(const char* step) {
  if (error_) return false;
  if (!file_open_) return fail(step);
  return true;
}

bool package_writer::write_raw(const void* data, size_t size) {
  if (!output_.write((const char*)data, size)) return fail("cannot write the output");
  return true;
}

// Goes back to a length field and returns to the end of the output.
bool package_writer::patch_u32(stream_offset offset, uint32_t value) {
  stream_offset end = output_.tellp();
  if (end < 0) return fail("cannot write the output");
  unsigned char bytes[4];
  encode_u32(bytes, value);
  output_.seekp(offset);
  output_.write((const char*)bytes, sizeof bytes);
  output_.seekp(end);
  if (!output_) return fail("cannot seek back in the output to fill in a length");
  return true;
}

bool package_writer::begin_file(uint32_t magic) {
  if (error_) return false;
  if (file_open_) return fail("a file is already begun");
  file_start_ = output_.tellp();
  if (file_start_ < 0) return fail("the output cannot seek, so lengths cannot be filled in");
  unsigned char header[FILE_HEADER_SIZE] = {};
  encode_u32(header, magic);
  file_open_ = true;
  return write_raw(header, sizeof header);
}

bool package_writer::end_file() {
  if (!usable("no file is begun")) return false;
  if (section_start_ >= 0) return fail("a section is still open");
  stream_offset end = output_.tellp();
  if (end < 0) return fail("cannot write the output");
  uint64_t length = (uint64_t)(end - file_start_) - FILE_HEADER_SIZE;
  if (length > 0xFFFFFFFFu) return fail("the package would be larger than 4 GiB");
  if (!patch_u32(file_start_ + 4, (uint32_t)length)) return false;
  file_open_ = false;
  if (!output_.flush()) return fail("cannot write the output");
  return true;
}

bool package_writer::begin_section(int type) {
  if (!usable("no file is begun")) return false;
  if (section_start_ >= 0) return fail("a section is still open");
  if (type < 0 || type > 0xFFFF) return fail("section type out of range");
  section_start_ = output_.tellp();
  if (section_start_ < 0) return fail("cannot write the output");
  unsigned char header[SECTION_HEADER_SIZE] = {};
  encode_u16(header, (uint32_t)type);
  return write_raw(header, sizeof header);
}

output_stream& package_writer::payload() {
  return deflater_ ? *deflater_ : output_;
}

bool package_writer::write_payload(const void* data, size_t size) {
  if (!usable("no file is begun")) return false;
  if (section_start_ < 0) return fail("no section is open");
  if (!payload().write((const char*)data, size)) return fail("cannot write the output");
  return true;
}

bool package_writer::end_section() {
  if (!usable("no file is begun")) return false;
  if (section_start_ < 0) return fail("no section is open");
  if (deflater_) return fail("the file data is still open");
  stream_offset end = output_.tellp();
  if (end < 0) return fail("cannot write the output");
  uint64_t length = (uint64_t)(end - section_start_) - SECTION_HEADER_SIZE;
  if (length > 0xFFFFFFFFu) return fail("a section would be larger than 4 GiB");
  if (!patch_u32(section_start_ + 2, (uint32_t)length)) return false;
  section_start_ = -1;
  return true;
}

bool package_writer::write_section(int type, const void* data, size_t size) {
  return begin_section(type) && write_payload(data, size) && end_section();
}

namespace {

// A 16-byte name field, NUL-padded; a name of 16 bytes fills it.
bool encode_name(unsigned char* field, const string& name) {
  if (name.length() > PACKAGE_NAME_SIZE) return false;
  memset(field, 0, PACKAGE_NAME_SIZE);
  memcpy(field, name.c_str(), name.length());
  return true;
}

}  // namespace

bool package_writer::write_header_record(int type, const package_header& header) {
  if (error_) return false;
  if (type != SECTION_PACKAGE_HEADER && type != SECTION_BUNDLE_HEADER)
    return fail("a header record goes in a package or bundle header section");
  unsigned char record[HEADER_RECORD_SIZE] = {};
  if (!encode_name(record, header.name)) return fail("a package name is longer than 16 bytes");
  encode_u32(record + 16, header.version);
  encode_u32(record + 20, header.build_time);
  return write_section(type, record, sizeof record);
}

bool package_writer::write_requirement_list(int type, const vector<requirement_entry>& list) {
  if (error_) return false;
  if (list.size() > 0xFFFF) return fail("more than 65535 requirements in one list");
  unsigned char count[2];
  encode_u16(count, (uint32_t)list.size());
  if (!begin_section(type) || !write_payload(count, sizeof count)) return false;
  for (const requirement_entry& entry : list) {
    unsigned char record[REQUIREMENT_ENTRY_SIZE] = {};
    if (!encode_name(record, entry.name)) return fail("a package name is longer than 16 bytes");
    encode_u32(record + 16, entry.minimum);
    encode_u32(record + 24, entry.maximum);
    if (!write_payload(record, sizeof record)) return false;
  }
  return end_section();
}

bool package_writer::copy_section(package_reader& reader) {
  if (!begin_section(reader.current_type())) return false;
  char chunk[16384];
  while (reader.remaining() > 0) {
    size_t step = reader.remaining() < sizeof chunk ? reader.remaining() : sizeof chunk;
    if (!reader.read(chunk, step)) return fail("a section to copy is cut short");
    if (!write_payload(chunk, step)) return false;
  }
  return end_section();
}

bool package_writer::begin_file_data() {
  if (!begin_section(SECTION_FILE_DATA)) return false;
  deflater_ = new deflating_output_stream(output_);
  entry_data_left_ = 0;
  return true;
}

bool package_writer::write_entry(const file_entry& entry, const char* name) {
  if (!usable("no file is begun")) return false;
  if (!deflater_) return fail("no file data is open");
  if (entry_data_left_ != 0) return fail("an entry got less data than its size says");
  size_t length = strlen(name);
  if (length != entry.name_length) return fail("an entry's name length does not match its name");
  unsigned char header[FILE_ENTRY_HEADER_SIZE];
  encode_file_entry(entry, header);
  if (!deflater_->write((const char*)header, sizeof header) || !deflater_->write(name, length))
    return fail("cannot compress the file data");
  entry_data_left_ = entry.data_size;
  return true;
}

bool package_writer::write_entry_data(const void* data, size_t size) {
  if (!usable("no file is begun")) return false;
  if (!deflater_) return fail("no file data is open");
  if (size > entry_data_left_) return fail("an entry got more data than its size says");
  if (!deflater_->write((const char*)data, size)) return fail("cannot compress the file data");
  entry_data_left_ -= (uint32_t)size;
  return true;
}

bool package_writer::end_file_data() {
  if (!usable("no file is begun")) return false;
  if (!deflater_) return fail("no file data is open");
  if (entry_data_left_ != 0) return fail("an entry got less data than its size says");
  bool finished = deflater_->finish();
  delete deflater_;
  deflater_ = nullptr;
  if (!finished) return fail("cannot compress the file data");
  return end_section();
}
