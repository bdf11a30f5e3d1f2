#include "foundation/streams.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "foundation/memory.h"
#include "foundation/string.h"

// ---------------------------------------------------------------- stream_base

stream_base::stream_base(stream_buffer* buffer)
    : flags_(FLAG_DEC),
      precision_(6),
      width_(0),
      fill_(' '),
      state_(buffer ? 0u : (uint32_t)STATE_BAD),
      buffer_(buffer),
      words_(nullptr),
      word_count_(0) {}

stream_base::~stream_base() { delete[] words_; }

void stream_base::clear(uint32_t state) { state_ = buffer_ ? state : (state | STATE_BAD); }

stream_buffer* stream_base::rdbuf(stream_buffer* buffer) {
  stream_buffer* old = buffer_;
  buffer_ = buffer;
  clear(0);
  return old;
}

int stream_base::allocate_word_index() {
  // Process-wide; the programs are single-threaded.
  static int next_index = 0;
  return next_index++;
}

uint32_t& stream_base::word(int index) {
  if (index < 0) abort();  // an index never handed out by allocate_word_index
  size_t wanted = (size_t)index + 1;
  if (wanted > word_count_) {
    uint32_t* grown = new uint32_t[wanted];
    for (size_t i = 0; i < wanted; ++i) grown[i] = i < word_count_ ? words_[i] : 0;
    delete[] words_;
    words_ = grown;
    word_count_ = wanted;
  }
  return words_[index];
}

// -------------------------------------------------------------- output_stream

output_stream::output_stream(stream_buffer* buffer) : stream_base(buffer) {}

output_stream::~output_stream() {}

output_stream& output_stream::write(const char* data, size_t n) {
  if (!good()) return *this;
  if (rdbuf()->xsputn(data, n) < n) setstate(STATE_BAD);
  return *this;
}

output_stream& output_stream::put(char c) {
  if (!good()) return *this;
  if (rdbuf()->put_byte((unsigned char)c) == END_OF_DATA) setstate(STATE_BAD);
  return *this;
}

output_stream& output_stream::flush() {
  if (!good()) return *this;
  if (rdbuf()->sync_buffer() == -1) setstate(STATE_BAD);
  return *this;
}

output_stream& endl(output_stream& stream) { return stream.put('\n').flush(); }

output_stream& flush(output_stream& stream) { return stream.flush(); }

// Seeks on an output stream go ahead in state eof alone.
output_stream& output_stream::seekp(stream_offset position) {
  if (fail()) return *this;
  if (rdbuf()->seekpos(position, OPEN_OUTPUT) == -1) setstate(STATE_FAIL);
  return *this;
}

output_stream& output_stream::seekp(stream_offset offset, seek_direction direction) {
  if (fail()) return *this;
  if (rdbuf()->seekoff(offset, direction, OPEN_OUTPUT) == -1) setstate(STATE_FAIL);
  return *this;
}

stream_offset output_stream::tellp() {
  if (!good()) return -1;
  stream_offset position = rdbuf()->seekoff(0, SEEK_FROM_CURRENT, OPEN_OUTPUT);
  if (position == -1) setstate(STATE_FAIL);
  return position;
}

void output_stream::padded_write(const char* text, size_t n) {
  if (!good()) return;
  int32_t field = width(0);
  bool left = flags() & FLAG_LEFT;
  setf(FLAG_RIGHT, FLAG_ADJUSTFIELD);
  if (field <= 0 || n >= (size_t)field) {
    write(text, n);
    return;
  }
  if (left) write(text, n);
  // The padding goes out in pieces from the stack, which keeps padding free
  // of heap allocation.
  char padding[128];
  size_t missing = (size_t)field - n;
  memset(padding, fill(), missing < sizeof padding ? missing : sizeof padding);
  while (missing > 0) {
    size_t chunk = missing < sizeof padding ? missing : sizeof padding;
    write(padding, chunk);
    missing -= chunk;
  }
  if (!left) write(text, n);
}

output_stream& output_stream::operator<<(const char* text) {
  if (!text) {
    setstate(STATE_BAD);  // no text to measure; a crash would be worse
    return *this;
  }
  padded_write(text, strlen(text));
  return *this;
}

output_stream& output_stream::operator<<(const string& text) {
  padded_write(text.c_str(), text.length());
  return *this;
}

output_stream& output_stream::operator<<(char c) {
  padded_write(&c, 1);
  return *this;
}

output_stream& output_stream::operator<<(bool value) {
  if (flags() & FLAG_BOOLALPHA) {
    padded_write(value ? "true" : "false", value ? 4 : 5);
  } else {
    padded_write(value ? "1" : "0", 1);
  }
  return *this;
}

// Formats with snprintf into a buffer large enough for any 64-bit number in
// any base (22 octal digits), then inserts the digits as one padded write.
template <typename T>
static void insert_formatted(output_stream& stream, const char* format, T value) {
  char digits[32];
  int length = snprintf(digits, sizeof digits, format, value);
  if (length < 0) length = 0;
  if ((size_t)length >= sizeof digits) length = sizeof digits - 1;
  stream.padded_write(digits, (size_t)length);
}

// The base prefix is an insertion of its own, so a pending width pads the
// prefix alone.
static void insert_unsigned32(output_stream& stream, uint32_t value) {
  uint32_t flags = stream.flags();
  bool showbase = flags & FLAG_SHOWBASE;
  if (flags & FLAG_OCT) {
    if (showbase) stream.padded_write("0", 1);
    insert_formatted(stream, "%o", (unsigned)value);
  } else if (flags & FLAG_HEX) {
    if (showbase) stream.padded_write("0x", 2);
    insert_formatted(stream, "%x", (unsigned)value);
  } else {
    insert_formatted(stream, "%u", (unsigned)value);
  }
}

static void insert_unsigned64(output_stream& stream, uint64_t value) {
  uint32_t flags = stream.flags();
  bool showbase = flags & FLAG_SHOWBASE;
  if (flags & FLAG_OCT) {
    if (showbase) stream.padded_write("0", 1);
    insert_formatted(stream, "%llo", (unsigned long long)value);
  } else if (flags & FLAG_HEX) {
    if (showbase) stream.padded_write("0x", 2);
    insert_formatted(stream, "%llx", (unsigned long long)value);
  } else {
    insert_formatted(stream, "%llu", (unsigned long long)value);
  }
}

static bool is_decimal(const output_stream& stream) {
  return !(stream.flags() & (FLAG_OCT | FLAG_HEX));
}

static void insert_signed32(output_stream& stream, int32_t value) {
  if (is_decimal(stream)) {
    insert_formatted(stream, "%d", (int)value);
  } else {
    insert_unsigned32(stream, (uint32_t)value);
  }
}

static void insert_signed64(output_stream& stream, int64_t value) {
  if (is_decimal(stream)) {
    insert_formatted(stream, "%lld", (long long)value);
  } else {
    insert_unsigned64(stream, (uint64_t)value);
  }
}

output_stream& output_stream::operator<<(int value) {
  insert_signed32(*this, value);
  return *this;
}

output_stream& output_stream::operator<<(unsigned int value) {
  insert_unsigned32(*this, value);
  return *this;
}

// long is 32 bits in the i386 build and 64 bits in the native one.
output_stream& output_stream::operator<<(long value) {
  if (sizeof(long) == 8) {
    insert_signed64(*this, value);
  } else {
    insert_signed32(*this, (int32_t)value);
  }
  return *this;
}

output_stream& output_stream::operator<<(unsigned long value) {
  if (sizeof(long) == 8) {
    insert_unsigned64(*this, value);
  } else {
    insert_unsigned32(*this, (uint32_t)value);
  }
  return *this;
}

output_stream& output_stream::operator<<(long long value) {
  insert_signed64(*this, value);
  return *this;
}

output_stream& output_stream::operator<<(unsigned long long value) {
  insert_unsigned64(*this, value);
  return *this;
}

output_stream& output_stream::operator<<(double value) {
  // At most 31 characters: a huge value in "%f" is cut, never overflows.
  char text[32];
  const char* format = (flags() & FLAG_SCIENTIFIC) ? "%.*e" : "%.*f";
  int length = snprintf(text, sizeof text, format, (int)precision(), value);
  if (length < 0) length = 0;
  if ((size_t)length >= sizeof text) length = sizeof text - 1;
  padded_write(text, (size_t)length);
  return *this;
}

output_stream& output_stream::insert_hex(uint32_t value) {
  uint32_t saved = flags();
  // Hexadecimal even when oct was set: that is what the caller asked for.
  setf(FLAG_SHOWBASE | FLAG_HEX, FLAG_SHOWBASE | FLAG_HEX | FLAG_OCT);
  insert_unsigned32(*this, value);
  flags(saved);
  return *this;
}

output_stream& output_stream::operator<<(stream_buffer* source) {
  if (!good()) return *this;
  if (!source) {
    setstate(STATE_FAIL);
    return *this;
  }
  char chunk[1024];
  while (good()) {
    long ready = source->available();
    if (ready > 0) {
      size_t wanted = (size_t)ready < sizeof chunk ? (size_t)ready : sizeof chunk;
      size_t got = source->xsgetn(chunk, wanted);
      write(chunk, got);
      if (got < wanted) break;
    } else {
      int c = source->next_byte();
      if (c == END_OF_DATA) break;
      put((char)c);
    }
  }
  return *this;
}

// --------------------------------------------------------------- input_stream

input_stream::input_stream(stream_buffer* buffer) : stream_base(buffer) {}

input_stream::~input_stream() {}

input_stream& input_stream::read(char* destination, size_t n) {
  last_count_ = 0;
  if (!good()) return *this;
  last_count_ = rdbuf()->xsgetn(destination, n);
  if (last_count_ < n) setstate(STATE_EOF | STATE_FAIL);
  return *this;
}

size_t input_stream::readsome(char* destination, size_t n) {
  last_count_ = 0;
  if (!good()) return 0;
  long ready = rdbuf()->available();
  if (ready <= 0) return 0;
  size_t wanted = (size_t)ready < n ? (size_t)ready : n;
  last_count_ = rdbuf()->xsgetn(destination, wanted);
  return last_count_;
}

int input_stream::get() {
  last_count_ = 0;
  if (!good()) return END_OF_DATA;
  int c = rdbuf()->next_byte();
  if (c == END_OF_DATA) {
    setstate(STATE_EOF | STATE_FAIL);
  } else {
    last_count_ = 1;
  }
  return c;
}

input_stream& input_stream::get(char& c) {
  int byte = get();
  if (byte != END_OF_DATA) c = (char)byte;
  return *this;
}

// Returns a byte just taken; a buffer that refuses has lost it, hence bad.
static void give_back(input_stream& stream, int c) {
  if (stream.rdbuf()->put_back(c) == END_OF_DATA) stream.setstate(STATE_BAD);
}

input_stream& input_stream::get(char* buffer, size_t n, char delimiter) {
  last_count_ = 0;
  if (!good()) return *this;
  if (n == 0) {
    setstate(STATE_FAIL);
    return *this;
  }
  size_t count = 0;
  while (count + 1 < n) {
    int c = rdbuf()->next_byte();
    if (c == END_OF_DATA) {
      setstate(STATE_EOF | STATE_FAIL);
      break;
    }
    if ((char)c == delimiter) {
      give_back(*this, c);
      break;
    }
    buffer[count++] = (char)c;
  }
  buffer[count] = '\0';
  last_count_ = count;
  return *this;
}

input_stream& input_stream::getline(char* buffer, size_t n, char delimiter) {
  last_count_ = 0;
  if (!good()) return *this;
  if (n == 0) {
    setstate(STATE_FAIL);
    return *this;
  }
  size_t count = 0;
  for (;;) {
    int c = rdbuf()->next_byte();
    if (c == END_OF_DATA) {
      setstate(STATE_EOF | STATE_FAIL);
      break;
    }
    if ((char)c == delimiter) {
      ++last_count_;  // consumed, not stored
      break;
    }
    if (count + 1 == n) {  // the line is longer than the buffer
      give_back(*this, c);
      setstate(STATE_FAIL);
      break;
    }
    buffer[count++] = (char)c;
  }
  buffer[count] = '\0';
  last_count_ += count;
  return *this;
}

input_stream& input_stream::getline(string& line, char delimiter) {
  last_count_ = 0;
  if (!good()) return *this;
  line.clear();
  // Appending in chunks: the string grows exactly, byte-wise appends would
  // reallocate for every byte.
  char chunk[256];
  size_t used = 0;
  for (;;) {
    int c = rdbuf()->next_byte();
    if (c == END_OF_DATA) {
      setstate(STATE_EOF | STATE_FAIL);
      break;
    }
    ++last_count_;
    if ((char)c == delimiter) break;
    chunk[used++] = (char)c;
    if (used == sizeof chunk) {
      line.append(chunk, used);
      used = 0;
    }
  }
  line.append(chunk, used);
  return *this;
}

input_stream& input_stream::ignore(size_t n, int delimiter) {
  last_count_ = 0;
  if (!good()) return *this;
  while (last_count_ < n) {
    int c = rdbuf()->next_byte();
    if (c == END_OF_DATA) {
      setstate(STATE_EOF);
      break;
    }
    ++last_count_;
    if (delimiter != END_OF_DATA && c == (unsigned char)delimiter) break;
  }
  return *this;
}

int input_stream::peek() {
  if (!good()) return END_OF_DATA;
  return rdbuf()->peek_byte();
}

input_stream& input_stream::putback(char c) {
  last_count_ = 0;
  if (!good()) {
    setstate(STATE_FAIL);
    return *this;
  }
  if (rdbuf()->put_back((unsigned char)c) == END_OF_DATA) setstate(STATE_BAD);
  return *this;
}

input_stream& input_stream::unget() {
  last_count_ = 0;
  if (!good()) {
    setstate(STATE_FAIL);
    return *this;
  }
  if (rdbuf()->unget() == END_OF_DATA) setstate(STATE_BAD);
  return *this;
}

int input_stream::sync() {
  if (!good()) return -1;
  int result = rdbuf()->sync_buffer();
  if (result != 0) setstate(STATE_BAD);
  return result;
}

// Unlike output streams, input streams skip seeks in state eof too.
input_stream& input_stream::seekg(stream_offset position) {
  if (!good()) return *this;
  if (rdbuf()->seekpos(position, OPEN_INPUT) == -1) setstate(STATE_FAIL);
  return *this;
}

input_stream& input_stream::seekg(stream_offset offset, seek_direction direction) {
  if (!good()) return *this;
  if (rdbuf()->seekoff(offset, direction, OPEN_INPUT) == -1) setstate(STATE_FAIL);
  return *this;
}

stream_offset input_stream::tellg() {
  if (!good()) return -1;
  stream_offset position = rdbuf()->seekoff(0, SEEK_FROM_CURRENT, OPEN_INPUT);
  if (position == -1) setstate(STATE_FAIL);
  return position;
}

// ------------------------------------------------------------ text extraction

// Skips white space and puts the first other byte back; at end of data sets
// eof and returns false.
static bool skip_spaces(input_stream& stream) {
  for (;;) {
    int c = stream.rdbuf()->next_byte();
    if (c == END_OF_DATA) {
      stream.setstate(STATE_EOF);
      return false;
    }
    if (!isspace(c)) {
      give_back(stream, c);
      return true;
    }
  }
}

input_stream& input_stream::skip_whitespace() {
  if (!good()) {
    setstate(STATE_FAIL);
    return *this;
  }
  skip_spaces(*this);
  return *this;
}

// Reads at most max bytes of a word, stopping before white space (put back)
// or at end of data (eof set); ended tells whether one of those stopped it.
static size_t read_word_bytes(input_stream& stream, char* destination, size_t max, bool& ended) {
  ended = false;
  size_t count = 0;
  while (count < max) {
    int c = stream.rdbuf()->next_byte();
    if (c == END_OF_DATA) {
      stream.setstate(STATE_EOF);
      ended = true;
      break;
    }
    if (isspace(c)) {
      give_back(stream, c);
      ended = true;
      break;
    }
    destination[count++] = (char)c;
  }
  return count;
}

input_stream& input_stream::operator>>(string& word) {
  if (!good() || !skip_spaces(*this)) {
    setstate(STATE_FAIL);
    return *this;
  }
  word.clear();
  size_t limit = width() > 0 ? (size_t)width() : (size_t)-1;
  size_t total = 0;
  char chunk[256];
  while (total < limit) {
    size_t wanted = limit - total < sizeof chunk ? limit - total : sizeof chunk;
    bool ended;
    size_t got = read_word_bytes(*this, chunk, wanted, ended);
    word.append(chunk, got);
    total += got;
    if (ended) break;
  }
  if (total == 0) setstate(STATE_FAIL);
  return *this;
}

input_stream& input_stream::operator>>(char& c) {
  if (!good() || !skip_spaces(*this)) {
    setstate(STATE_FAIL);
    return *this;
  }
  return get(c);
}

// The word of a numeric extraction: at most size - 1 bytes, fewer when the
// stream's width asks for fewer, zero-terminated. False (fail set) when
// there is no word.
static bool read_number_word(input_stream& stream, char* word, size_t size) {
  if (!stream.good() || !skip_spaces(stream)) {
    stream.setstate(STATE_FAIL);
    return false;
  }
  size_t max = size - 1;
  if (stream.width() > 0 && (size_t)stream.width() < max) max = (size_t)stream.width();
  bool ended;
  size_t count = read_word_bytes(stream, word, max, ended);
  word[count] = '\0';
  return true;
}

static int number_base(const input_stream& stream) {
  if (stream.flags() & FLAG_OCT) return 8;
  if (stream.flags() & FLAG_HEX) return 16;
  return 10;
}

// The integer conversions run in 64 bits on both builds and narrow to the
// target's range, so the i386 and native builds agree: a value out of range
// stores the nearest limit and fails, as strtol does with a 32-bit long.
static bool convert_signed(const char* word, int base, long long min, long long max,
                           long long& value) {
  char* end;
  errno = 0;
  long long converted = strtoll(word, &end, base);
  bool whole = *end == '\0' && errno != ERANGE;
  if (converted < min) {
    converted = min;
    whole = false;
  } else if (converted > max) {
    converted = max;
    whole = false;
  }
  value = converted;
  return whole;
}

// A negative word wraps within the target's width as strtoul does ("-1" is
// the largest value; the caller's narrowing does the wrap); a magnitude
// beyond the width stores max and fails.
static bool convert_unsigned(const char* word, int base, unsigned long long max,
                             unsigned long long& value) {
  char* end;
  errno = 0;
  unsigned long long converted = strtoull(word, &end, base);
  bool whole = *end == '\0' && errno != ERANGE;
  unsigned long long magnitude = word[0] == '-' ? 0 - converted : converted;
  if (errno == ERANGE || magnitude > max) {
    converted = max;
    whole = false;
  }
  value = converted;
  return whole;
}

// Word of at most 15 characters for every integer type.
static constexpr size_t INTEGER_WORD_SIZE = 16;

// Both return true when a word was read: the value is then stored even when
// the conversion fails.
static bool extract_signed(input_stream& stream, long long min, long long max, long long& value) {
  char word[INTEGER_WORD_SIZE];
  if (!read_number_word(stream, word, sizeof word)) return false;
  if (!convert_signed(word, number_base(stream), min, max, value)) stream.setstate(STATE_FAIL);
  return true;
}

static bool extract_unsigned(input_stream& stream, unsigned long long max,
                             unsigned long long& value) {
  char word[INTEGER_WORD_SIZE];
  if (!read_number_word(stream, word, sizeof word)) return false;
  if (!convert_unsigned(word, number_base(stream), max, value)) stream.setstate(STATE_FAIL);
  return true;
}

// 16-bit values go through the 32-bit conversion and are truncated.
input_stream& input_stream::operator>>(short& value) {
  long long converted;
  if (extract_signed(*this, INT32_MIN, INT32_MAX, converted)) value = (short)converted;
  return *this;
}

input_stream& input_stream::operator>>(unsigned short& value) {
  unsigned long long converted;
  if (extract_unsigned(*this, UINT32_MAX, converted)) value = (unsigned short)converted;
  return *this;
}

input_stream& input_stream::operator>>(int& value) {
  long long converted;
  if (extract_signed(*this, INT32_MIN, INT32_MAX, converted)) value = (int)converted;
  return *this;
}

input_stream& input_stream::operator>>(unsigned int& value) {
  unsigned long long converted;
  if (extract_unsigned(*this, UINT32_MAX, converted)) value = (unsigned int)converted;
  return *this;
}

input_stream& input_stream::operator>>(long& value) {
  long long converted;
  if (extract_signed(*this, LONG_MIN, LONG_MAX, converted)) value = (long)converted;
  return *this;
}

input_stream& input_stream::operator>>(unsigned long& value) {
  unsigned long long converted;
  if (extract_unsigned(*this, ULONG_MAX, converted)) value = (unsigned long)converted;
  return *this;
}

input_stream& input_stream::operator>>(long long& value) {
  long long converted;
  if (extract_signed(*this, LLONG_MIN, LLONG_MAX, converted)) value = converted;
  return *this;
}

input_stream& input_stream::operator>>(unsigned long long& value) {
  unsigned long long converted;
  if (extract_unsigned(*this, ULLONG_MAX, converted)) value = converted;
  return *this;
}

// Floating point words: at most 31 characters for float, 63 for the others.
template <typename T>
static input_stream& extract_floating(input_stream& stream, T& value, size_t word_size,
                                      T (*convert)(const char*, char**)) {
  char word[64];
  if (!read_number_word(stream, word, word_size)) return stream;
  char* end;
  value = convert(word, &end);
  if (*end != '\0') stream.setstate(STATE_FAIL);
  return stream;
}

input_stream& input_stream::operator>>(float& value) {
  return extract_floating(*this, value, 32, strtof);
}

input_stream& input_stream::operator>>(double& value) {
  return extract_floating(*this, value, 64, strtod);
}

input_stream& input_stream::operator>>(long double& value) {
  return extract_floating(*this, value, 64, strtold);
}

// --------------------------------------------------------------- file streams

static int open_retrying(const char* path, int flags, mode_t permissions) {
  int fd;
  do {
    fd = open(path, flags, permissions);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

static int no_follow_flags(unsigned mode) {
  return (mode & OPEN_NO_FOLLOW) ? O_NOFOLLOW | O_NONBLOCK : 0;
}

file_input_stream::file_input_stream(const char* path, unsigned mode)
    : stream_base(nullptr), input_stream(nullptr), fd_(-1), file_buffer_(nullptr) {
  int fd = open_retrying(path, O_RDONLY | no_follow_flags(mode), 0);
  if (fd < 0) return;  // bad already: there is no buffer
  fd_ = fd;
  file_buffer_ = new fd_input_buffer(fd);
  rdbuf(file_buffer_);
}

file_input_stream::~file_input_stream() {
  close();
  delete file_buffer_;
}

void file_input_stream::close() {
  if (fd_ < 0) return;
  file_buffer_->drop_descriptor();
  ::close(fd_);
  fd_ = -1;
}

static int output_flags(unsigned mode) {
  int flags = O_WRONLY | O_CREAT | ((mode & OPEN_APPEND) ? O_APPEND : O_TRUNC);
  if (mode & OPEN_EXCLUSIVE) flags |= O_EXCL;
  return flags | no_follow_flags(mode);
}

file_output_stream::file_output_stream(const char* path, unsigned mode)
    : file_output_stream(AT_FDCWD, path, mode) {}

file_output_stream::file_output_stream(int directory_fd, const char* name, unsigned mode)
    : stream_base(nullptr), output_stream(nullptr), fd_(-1), file_buffer_(nullptr) {
  int fd;
  do {
    fd = openat(directory_fd, name, output_flags(mode), 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return;  // bad already: there is no buffer
  fd_ = fd;
  file_buffer_ = new fd_output_buffer(fd);
  rdbuf(file_buffer_);
}

file_output_stream::~file_output_stream() {
  close();
  delete file_buffer_;
}

void file_output_stream::close() {
  if (fd_ < 0) return;
  flush();
  // What could not be written stays behind instead of reaching, from the
  // buffer's destructor, whatever file reuses the descriptor number.
  file_buffer_->drop_descriptor();
  ::close(fd_);
  fd_ = -1;
}

// --------------------------------------------------------------- standard streams

namespace {

// The standard streams and their buffers live in static storage that is never
// destroyed: a destructor would flush at exit, and the programs rely on text
// without endl never reaching the descriptor.
alignas(fd_input_buffer) unsigned char input_buffer_bytes[sizeof(fd_input_buffer)];
alignas(fd_output_buffer) unsigned char output_buffer_bytes[sizeof(fd_output_buffer)];
alignas(fd_output_buffer) unsigned char error_buffer_bytes[sizeof(fd_output_buffer)];
alignas(input_stream) unsigned char input_stream_bytes[sizeof(input_stream)];
alignas(output_stream) unsigned char output_stream_bytes[sizeof(output_stream)];
alignas(output_stream) unsigned char error_stream_bytes[sizeof(output_stream)];

struct standard_streams_setup {
  standard_streams_setup() {
    new (in_place, input_stream_bytes)
        input_stream(new (in_place, input_buffer_bytes) fd_input_buffer(0));
    new (in_place, output_stream_bytes)
        output_stream(new (in_place, output_buffer_bytes) fd_output_buffer(1));
    new (in_place, error_stream_bytes)
        output_stream(new (in_place, error_buffer_bytes) fd_output_buffer(2));
  }
};

// Before every ordinary static constructor, so that those may print too.
standard_streams_setup setup_standard_streams __attribute__((init_priority(101)));

}  // namespace

input_stream& standard_input = *reinterpret_cast<input_stream*>(input_stream_bytes);
output_stream& standard_output = *reinterpret_cast<output_stream*>(output_stream_bytes);
output_stream& standard_error = *reinterpret_cast<output_stream*>(error_stream_bytes);
