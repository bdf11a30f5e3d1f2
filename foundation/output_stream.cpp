#include <stdio.h>
#include <string.h>

#include "foundation/streams.h"
#include "foundation/string.h"

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

output_stream& endl(output_stream& stream) {
  return stream.put('\n').flush();
}

output_stream& flush(output_stream& stream) {
  return stream.flush();
}

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
