#include "foundation/fd_buffers.h"

#include <errno.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

// Transfers of this size or more skip the buffers: copying them through
// memory first would only add work.
static constexpr size_t DIRECT_TRANSFER_SIZE = 1024;

ssize_t read_retrying(int fd, void* destination, size_t n) {
  ssize_t got;
  do {
    got = read(fd, destination, n);
  } while (got < 0 && errno == EINTR);
  return got;
}

size_t write_all(int fd, const void* data, size_t n) {
  const char* source = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    ssize_t wrote = write(fd, source + done, n - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += (size_t)wrote;
  }
  return done;
}

size_t read_all(int fd, void* data, size_t n) {
  char* destination = static_cast<char*>(data);
  size_t done = 0;
  while (done < n) {
    ssize_t got = read_retrying(fd, destination + done, n - done);
    if (got <= 0) break;
    done += (size_t)got;
  }
  return done;
}

// lseek with a 64-bit offset; an offset the build's off_t cannot hold fails
// instead of being cut to a different position.
static stream_offset seek_descriptor(int fd, stream_offset offset, int whence) {
  off_t narrow = (off_t)offset;
  if ((stream_offset)narrow != offset) return -1;
  off_t result = lseek(fd, narrow, whence);
  return result < 0 ? -1 : (stream_offset)result;
}

fd_input_buffer::fd_input_buffer(int fd) : fd_(fd) {
  char* buffer = storage_ + 1;
  set_get_area(buffer, buffer, buffer);
}

fd_input_buffer::~fd_input_buffer() {}

void fd_input_buffer::drop_descriptor() {
  fd_ = -1;
  empty_get_area();
}

void fd_input_buffer::empty_get_area() {
  char* buffer = storage_ + 1;
  set_get_area(buffer, buffer, buffer);
}

int fd_input_buffer::underflow() {
  if (get_read_ < get_end_) return (unsigned char)*get_read_;
  char* buffer = storage_ + 1;
  // Keep the last byte handed out, so that one byte can always be put back
  // across a refill. A putback byte saved by an earlier empty refill stays.
  bool has_putback = get_begin_ == storage_;
  if (get_read_ > buffer) {
    storage_[0] = get_read_[-1];
    has_putback = true;
  }
  char* begin = has_putback ? storage_ : buffer;
  ssize_t got = fd_ < 0 ? -1 : read_retrying(fd_, buffer, BUFFER_SIZE);
  if (got <= 0) {
    set_get_area(begin, buffer, buffer);
    return END_OF_DATA;
  }
  set_get_area(begin, buffer, buffer + got);
  return (unsigned char)*buffer;
}

size_t fd_input_buffer::xsgetn(char* destination, size_t n) {
  if (n < DIRECT_TRANSFER_SIZE) return stream_buffer::xsgetn(destination, n);
  size_t buffered = (size_t)(get_end_ - get_read_);
  if (buffered >= n) {
    memcpy(destination, get_read_, n);
    get_read_ += n;
    return n;
  }
  memcpy(destination, get_read_, buffered);
  get_read_ += buffered;
  size_t done = buffered;
  while (done < n && fd_ >= 0) {
    ssize_t got = read_retrying(fd_, destination + done, n - done);
    if (got <= 0) break;
    done += (size_t)got;
  }
  if (done > 0) {
    storage_[0] = destination[done - 1];
    char* buffer = storage_ + 1;
    set_get_area(storage_, buffer, buffer);
  }
  return done;
}

stream_offset fd_input_buffer::seekoff(stream_offset offset, seek_direction direction, unsigned) {
  // The descriptor stands after the buffered bytes; the caller's position is
  // before the unread ones.
  if (direction == SEEK_FROM_CURRENT) offset -= (stream_offset)(get_end_ - get_read_);
  stream_offset result = seek_descriptor(fd_, offset, direction);
  if (result >= 0) empty_get_area();
  return result;
}

stream_offset fd_input_buffer::seekpos(stream_offset position, unsigned) {
  stream_offset result = seek_descriptor(fd_, position, SEEK_SET);
  if (result >= 0) empty_get_area();
  return result;
}

fd_output_buffer::fd_output_buffer(int fd) : fd_(fd) {
  set_put_area(storage_, storage_, storage_ + PUT_AREA_SIZE);
}

fd_output_buffer::~fd_output_buffer() {
  (void)flush_put_area();
}

void fd_output_buffer::drop_descriptor() {
  fd_ = -1;
  set_put_area(storage_, storage_, storage_ + PUT_AREA_SIZE);
}

bool fd_output_buffer::flush_put_area() {
  size_t pending = (size_t)(put_write_ - put_begin_);
  if (pending == 0) return true;
  size_t written = fd_ < 0 ? 0 : write_all(fd_, put_begin_, pending);
  if (written == 0) return false;
  // What the descriptor did not take yet goes first in the next flush.
  memmove(storage_, storage_ + written, pending - written);
  set_put_area(storage_, storage_ + (pending - written), storage_ + PUT_AREA_SIZE);
  return true;
}

bool fd_output_buffer::drain_put_area() {
  // Each successful flush writes at least one byte, so this ends.
  while (put_write_ > put_begin_) {
    if (!flush_put_area()) return false;
  }
  return true;
}

int fd_output_buffer::sync_buffer() {
  return flush_put_area() ? 0 : -1;
}

int fd_output_buffer::overflow(int c) {
  if (c == END_OF_DATA) return END_OF_DATA;
  // The spare byte behind the put area takes c when the area is full.
  *put_write_++ = (char)c;
  if (!flush_put_area()) {
    // Nothing was written: c is refused, and the area must not stay past
    // its spare byte.
    --put_write_;
    return END_OF_DATA;
  }
  return c;
}

size_t fd_output_buffer::xsputn(const char* source, size_t n) {
  if (n < DIRECT_TRANSFER_SIZE) return stream_buffer::xsputn(source, n);
  // Bytes still buffered after a partial flush must reach the descriptor
  // before the direct write, or the output would come out of order.
  if (!drain_put_area()) return 0;
  return write_all(fd_, source, n);
}

stream_offset fd_output_buffer::seekoff(stream_offset offset, seek_direction direction, unsigned) {
  if (!drain_put_area()) return -1;
  return seek_descriptor(fd_, offset, direction);
}

stream_offset fd_output_buffer::seekpos(stream_offset position, unsigned) {
  if (!drain_put_area()) return -1;
  return seek_descriptor(fd_, position, SEEK_SET);
}
