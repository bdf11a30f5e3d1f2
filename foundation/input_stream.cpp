#include <string.h>

#include "foundation/give_back.h"
#include "foundation/streams.h"
#include "foundation/string.h"

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
