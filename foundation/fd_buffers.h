// Stream buffers over a file descriptor they do not close.
#pragma once

#include <sys/types.h>

#include "foundation/stream_buffer.h"

// One read, repeated while a signal interrupts it: the count, 0 at the end
// of the file, -1 on failure.
ssize_t read_retrying(int fd, void* destination, size_t n);
// Writes until everything is written, a call fails or a call writes nothing;
// interrupted calls are repeated. Returns the count written.
size_t write_all(int fd, const void* data, size_t n);
// Reads until n bytes have come, the end of the file or an error;
// interrupted calls are repeated. Returns the count read.
size_t read_all(int fd, void* data, size_t n);

// One putback byte directly in front of a 4096-byte buffer. Reads of 1024
// bytes or more bypass the buffer. Interrupted reads are repeated.
class fd_input_buffer : public stream_buffer {
 public:
  static constexpr size_t BUFFER_SIZE = 4096;
  explicit fd_input_buffer(int fd);
  ~fd_input_buffer() override;

  stream_offset seekoff(stream_offset offset, seek_direction direction, unsigned mode) override;
  stream_offset seekpos(stream_offset position, unsigned mode) override;
  size_t xsgetn(char* destination, size_t n) override;
  int underflow() override;

  int fd() const { return fd_; }
  // Forgets the descriptor (which the owner is about to close) and what is
  // buffered, so nothing is read later from a number reused by another file.
  void drop_descriptor();

 private:
  void empty_get_area();

  char storage_[1 + BUFFER_SIZE];  // putback byte, then the buffer
  int fd_;
};

// A put area of 4095 bytes followed by one spare byte for overflow. Writes of
// 1024 bytes or more flush and then go straight to the descriptor. Partial
// and interrupted writes are continued. The destructor flushes.
class fd_output_buffer : public stream_buffer {
 public:
  static constexpr size_t PUT_AREA_SIZE = 4095;
  explicit fd_output_buffer(int fd);
  ~fd_output_buffer() override;

  stream_offset seekoff(stream_offset offset, seek_direction direction, unsigned mode) override;
  stream_offset seekpos(stream_offset position, unsigned mode) override;
  int sync_buffer() override;
  size_t xsputn(const char* source, size_t n) override;
  int overflow(int c) override;

  int fd() const { return fd_; }
  // Forgets the descriptor (which the owner is about to close) and any bytes
  // not yet written, so the destructor cannot write to a number reused by
  // another file.
  void drop_descriptor();

 private:
  bool flush_put_area();
  // Flushes until the put area is empty; false when a flush writes nothing.
  bool drain_put_area();

  char storage_[PUT_AREA_SIZE + 1];
  int fd_;
};
