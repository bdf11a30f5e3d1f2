#include "foundation/stream_buffer.h"

#include <string.h>

// Every byte crosses the interface as an unsigned value, so that 0xFF is never
// mistaken for END_OF_DATA.
static inline int as_byte(char c) {
  return (unsigned char)c;
}

stream_buffer::stream_buffer()
    : get_begin_(nullptr),
      get_read_(nullptr),
      get_end_(nullptr),
      put_begin_(nullptr),
      put_write_(nullptr),
      put_end_(nullptr) {}

// Out of line so the vtable is emitted once.
stream_buffer::~stream_buffer() {}

stream_buffer* stream_buffer::setbuf(char*, size_t) {
  return this;
}

stream_offset stream_buffer::seekoff(stream_offset, seek_direction, unsigned) {
  return -1;
}

stream_offset stream_buffer::seekpos(stream_offset, unsigned) {
  return -1;
}

int stream_buffer::sync_buffer() {
  return 0;
}

long stream_buffer::showmanyc() {
  return 0;
}

size_t stream_buffer::xsgetn(char* destination, size_t n) {
  size_t done = 0;
  while (done < n) {
    size_t unread = (size_t)(get_end_ - get_read_);
    if (unread > 0) {
      size_t chunk = unread < n - done ? unread : n - done;
      memcpy(destination + done, get_read_, chunk);
      get_read_ += chunk;
      done += chunk;
      continue;
    }
    int c = uflow();
    if (c == END_OF_DATA) break;
    destination[done++] = (char)c;
  }
  return done;
}

int stream_buffer::underflow() {
  return END_OF_DATA;
}

int stream_buffer::uflow() {
  if (underflow() == END_OF_DATA || get_read_ >= get_end_) return END_OF_DATA;
  return as_byte(*get_read_++);
}

int stream_buffer::pbackfail(int) {
  return END_OF_DATA;
}

size_t stream_buffer::xsputn(const char* source, size_t n) {
  size_t done = 0;
  while (done < n) {
    size_t room = (size_t)(put_end_ - put_write_);
    if (room > 0) {
      size_t chunk = room < n - done ? room : n - done;
      memcpy(put_write_, source + done, chunk);
      put_write_ += chunk;
      done += chunk;
      continue;
    }
    if (overflow(as_byte(source[done])) == END_OF_DATA) break;
    ++done;
  }
  return done;
}

int stream_buffer::overflow(int) {
  return END_OF_DATA;
}

long stream_buffer::available() {
  if (get_read_ < get_end_) return (long)(get_end_ - get_read_);
  return showmanyc();
}

int stream_buffer::next_byte() {
  if (get_read_ < get_end_) return as_byte(*get_read_++);
  return uflow();
}

int stream_buffer::peek_byte() {
  if (get_read_ < get_end_) return as_byte(*get_read_);
  return underflow();
}

int stream_buffer::put_byte(int c) {
  if (put_write_ < put_end_) {
    *put_write_++ = (char)c;
    return as_byte((char)c);
  }
  return overflow(as_byte((char)c));
}

int stream_buffer::put_back(int c) {
  if (get_read_ > get_begin_) {
    --get_read_;
    if (*get_read_ == (char)c) return as_byte(*get_read_);
    ++get_read_;
  }
  return pbackfail(c);
}

int stream_buffer::unget() {
  if (get_read_ > get_begin_) return as_byte(*--get_read_);
  return pbackfail(END_OF_DATA);
}
