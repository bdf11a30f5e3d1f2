#include "package_format/package_reader.h"

#include <string.h>

// The reader's own stream buffer. It takes bytes from the wrapped stream's
// buffer (the source, not owned), counts every byte consumed, and hands out
// at most the current payload: reads past it come back short, which is how
// a truncated section or a crafted length shows. Bytes it has taken into its
// small get area but not yet handed out still count as unread payload.
class package_reader::section_buffer : public stream_buffer {
 public:
  explicit section_buffer(stream_buffer* source) : source_(source) {}

  // Reads outside any payload (file and section headers), counted.
  size_t read_raw(char* destination, size_t n);
  // Drops what is left of the current payload; false when the file ends first.
  bool skip_payload();
  void start_payload(uint32_t length) {
    set_get_area(storage_ + 1, storage_ + 1, storage_ + 1);
    source_remaining_ = length;
  }
  uint32_t remaining() const { return source_remaining_ + (uint32_t)(get_end_ - get_read_); }
  uint64_t position() const { return consumed_ - (uint64_t)(get_end_ - get_read_); }
  bool has_source() const { return source_ != nullptr; }
  bool source_ended() const { return source_ended_; }

  stream_offset seekoff(stream_offset offset, seek_direction direction, unsigned mode) override;
  stream_offset seekpos(stream_offset position, unsigned mode) override;
  size_t xsgetn(char* destination, size_t n) override;
  int underflow() override;

 private:
  static constexpr size_t AREA_SIZE = 512;
  size_t take_from_source(char* destination, size_t n);
  bool skip_source(uint64_t n);
  bool skip_within_payload(uint64_t n);

  stream_buffer* source_;          // the wrapped stream's buffer; not owned
  uint64_t consumed_ = 0;          // bytes taken from the source
  uint32_t source_remaining_ = 0;  // payload bytes not yet taken from the source
  bool source_ended_ = false;      // the source delivered less than asked
  char storage_[1 + AREA_SIZE];    // putback byte, then the get area
};

size_t package_reader::section_buffer::take_from_source(char* destination, size_t n) {
  if (!source_ || source_ended_ || n == 0) return 0;
  size_t got = source_->xsgetn(destination, n);
  consumed_ += got;
  if (got < n) source_ended_ = true;
  return got;
}

size_t package_reader::section_buffer::read_raw(char* destination, size_t n) {
  return take_from_source(destination, n);
}

// Seeks a file forward, or reads and discards on a pipe. A seek succeeds
// even past the end of a file, so the seek stops one byte short and that
// last byte is read: a skip that runs past the end is noticed either way.
bool package_reader::section_buffer::skip_source(uint64_t n) {
  if (n == 0) return true;
  if (!source_ || source_ended_) return false;
  if (source_->seekoff((stream_offset)(n - 1), SEEK_FROM_CURRENT, OPEN_INPUT) != -1) {
    consumed_ += n - 1;
    char last;
    return take_from_source(&last, 1) == 1;
  }
  char chunk[4096];
  while (n > 0) {
    size_t step = n < sizeof chunk ? (size_t)n : sizeof chunk;
    if (take_from_source(chunk, step) != step) return false;
    n -= step;
  }
  return true;
}

bool package_reader::section_buffer::skip_within_payload(uint64_t n) {
  uint64_t buffered = (uint64_t)(get_end_ - get_read_);
  uint64_t from_buffer = n < buffered ? n : buffered;
  get_read_ += from_buffer;
  n -= from_buffer;
  if (n > source_remaining_) return false;
  source_remaining_ -= (uint32_t)n;
  return skip_source(n);
}

bool package_reader::section_buffer::skip_payload() {
  bool complete = skip_within_payload(remaining());
  source_remaining_ = 0;
  return complete;
}

size_t package_reader::section_buffer::xsgetn(char* destination, size_t n) {
  size_t buffered = (size_t)(get_end_ - get_read_);
  size_t copied = n < buffered ? n : buffered;
  memcpy(destination, get_read_, copied);
  get_read_ += copied;
  size_t wanted = n - copied;
  if (wanted > source_remaining_) wanted = source_remaining_;
  size_t got = take_from_source(destination + copied, wanted);
  source_remaining_ -= (uint32_t)got;
  return copied + got;
}

int package_reader::section_buffer::underflow() {
  if (get_read_ < get_end_) return (unsigned char)*get_read_;
  if (get_read_ > get_begin_) storage_[0] = get_read_[-1];
  char* begin = get_read_ > get_begin_ ? storage_ : storage_ + 1;
  size_t wanted = source_remaining_ < AREA_SIZE ? source_remaining_ : AREA_SIZE;
  size_t got = take_from_source(storage_ + 1, wanted);
  source_remaining_ -= (uint32_t)got;
  set_get_area(begin, storage_ + 1, storage_ + 1 + got);
  return got ? (unsigned char)storage_[1] : END_OF_DATA;
}

// Only forward moves inside the current payload; the position reported is
// position(), so tellg() on the reader gives the file bytes consumed.
stream_offset package_reader::section_buffer::seekoff(stream_offset offset,
                                                      seek_direction direction, unsigned) {
  if (direction == SEEK_FROM_BEGIN)
    offset -= (stream_offset)position();
  else if (direction != SEEK_FROM_CURRENT)
    return -1;
  if (offset < 0 || (uint64_t)offset > remaining()) return -1;
  if (!skip_within_payload((uint64_t)offset)) return -1;
  return (stream_offset)position();
}

stream_offset package_reader::section_buffer::seekpos(stream_offset position, unsigned mode) {
  return seekoff(position, SEEK_FROM_BEGIN, mode);
}

package_reader::package_reader(input_stream& stream)
    : input_stream(nullptr),
      section_(new section_buffer(stream.rdbuf())),
      magic_(0),
      total_size_(0),
      current_type_(-1),
      current_length_(0),
      wanted_count_(0),
      every_type_wanted_(false) {
  rdbuf(section_);
  unsigned char header[FILE_HEADER_SIZE];
  if (!section_->has_source() || stream.fail() ||
      section_->read_raw((char*)header, sizeof header) != sizeof header) {
    setstate(STATE_BAD);
    return;
  }
  magic_ = decode_u32(header);
  total_size_ = (uint64_t)decode_u32(header + 4) + FILE_HEADER_SIZE;
  if (magic_ != PACKAGE_MAGIC_RECORDED && magic_ != PACKAGE_MAGIC_UNRECORDED) setstate(STATE_BAD);
}

package_reader::~package_reader() {
  rdbuf(nullptr);
  delete section_;
}

void package_reader::add_wanted_type(int type) {
  if (is_wanted(type) || wanted_count_ == (int)(sizeof wanted_ / sizeof wanted_[0])) return;
  wanted_[wanted_count_++] = type;
}

bool package_reader::is_wanted(int type) const {
  if (every_type_wanted_) return true;
  for (int i = 0; i < wanted_count_; ++i)
    if (wanted_[i] == type) return true;
  return false;
}

int package_reader::end_of_file() {
  current_type_ = -1;
  current_length_ = 0;
  setstate(STATE_EOF | STATE_FAIL);
  return -1;
}

int package_reader::next_wanted_section() {
  // current_type() is the type last returned, so a refused step leaves -1
  // there too: a caller looping on current_type() cannot spin.
  if (rdstate() & (STATE_BAD | STATE_FAIL)) {
    current_type_ = -1;
    current_length_ = 0;
    return -1;
  }
  clear();
  for (;;) {
    if (!section_->skip_payload()) return end_of_file();
    unsigned char header[SECTION_HEADER_SIZE];
    if (section_->read_raw((char*)header, sizeof header) != sizeof header) return end_of_file();
    current_type_ = decode_u16(header);
    current_length_ = decode_u32(header + 2);
    section_->start_payload(current_length_);
    if (is_wanted(current_type_)) return current_type_;
  }
}

uint32_t package_reader::remaining() const {
  return section_->remaining();
}

uint64_t package_reader::position() const {
  return section_->position();
}

uint64_t package_reader::file_remaining() const {
  uint64_t consumed = position();
  return consumed < total_size_ ? total_size_ - consumed : 0;
}

file_entry decode_file_entry(const unsigned char* bytes) {
  file_entry entry;
  entry.mode = decode_u16(bytes);
  entry.uid = decode_u16(bytes + 2);
  entry.gid = decode_u16(bytes + 4);
  entry.mtime = decode_u32(bytes + 8);
  entry.data_size = decode_u32(bytes + 24);
  entry.name_length = decode_u16(bytes + 28);
  return entry;
}

const char* file_entry_problem(const file_entry& entry) {
  switch (entry.mode & ENTRY_TYPE_MASK) {
    case ENTRY_REGULAR:
    case ENTRY_SYMBOLIC_LINK:
    case ENTRY_DIRECTORY:
    case ENTRY_FIFO:
      return nullptr;
    case ENTRY_CHARACTER_DEVICE:
    case ENTRY_BLOCK_DEVICE:
      return entry.data_size == 4 ? nullptr : "device entry whose data is not 4 bytes";
    default:
      return "entry of a type that cannot be placed";
  }
}

namespace {

// A 16-byte name field: bytes up to the first NUL, or all 16.
string decode_name(const unsigned char* field) {
  size_t length = 0;
  while (length < PACKAGE_NAME_SIZE && field[length] != 0) ++length;
  return string((const char*)field, length);
}

}  // namespace

bool read_header_record(package_reader& reader, package_header& header) {
  int type = reader.current_type();
  if (type != SECTION_PACKAGE_HEADER && type != SECTION_BUNDLE_HEADER) return false;
  unsigned char record[HEADER_RECORD_SIZE];
  if (!reader.read((char*)record, sizeof record)) return false;
  header.name = decode_name(record);
  header.version = decode_u32(record + 16);
  header.build_time = decode_u32(record + 20);
  return true;
}

// Entries are added one by one as their bytes arrive: a count of 65535 in a
// short section costs nothing before the read comes back short.
bool read_requirement_list(package_reader& reader, vector<requirement_entry>& list) {
  list.clear();
  unsigned char count_bytes[2];
  if (!reader.read((char*)count_bytes, sizeof count_bytes)) return false;
  unsigned count = decode_u16(count_bytes);
  for (unsigned i = 0; i < count; ++i) {
    unsigned char record[REQUIREMENT_ENTRY_SIZE];
    if (!reader.read((char*)record, sizeof record)) return false;
    requirement_entry entry;
    entry.name = decode_name(record);
    entry.minimum = decode_u32(record + 16);
    entry.maximum = decode_u32(record + 24);
    list.push_back(entry);
  }
  return true;
}

// Read in steps, the capacity doubling ahead of the bytes that arrived (the
// string's own growth is exact, which would make this quadratic).
bool read_payload_text(package_reader& reader, string& text) {
  text.clear();
  uint32_t length = reader.current_length();
  char chunk[256];
  while (length > 0) {
    size_t step = length < sizeof chunk ? length : sizeof chunk;
    if (!reader.read(chunk, step)) return false;
    if (text.capacity() < text.length() + step) text.reserve(2 * (text.length() + step));
    text.append(chunk, step);
    length -= (uint32_t)step;
  }
  return true;
}

bool read_header_block(package_reader& reader, package_header& header) {
  if (!read_header_record(reader, header)) return false;
  header.dependencies.clear();
  header.conflicts.clear();
  reader.next_wanted_section();
  if (reader.current_type() == SECTION_ARCHITECTURE) {
    if (!read_payload_text(reader, header.architecture)) return false;
    reader.next_wanted_section();
  } else {
    header.architecture = "i386";
  }
  if (reader.current_type() == SECTION_DEPENDENCIES) {
    if (!read_requirement_list(reader, header.dependencies)) return false;
    reader.next_wanted_section();
  }
  if (reader.current_type() == SECTION_CONFLICTS) {
    if (!read_requirement_list(reader, header.conflicts)) return false;
    reader.next_wanted_section();
  }
  return true;
}
