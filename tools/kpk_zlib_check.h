// A pass-through source for the file data that checks the compressed bytes
// with a second inflater on the way. The inflating stream just ends early on
// corrupt data; this lets kpk show tell a clean end from corrupt or cut-short
// data, and say where.
#pragma once

#include <stdint.h>
#include <zlib.h>

#include "foundation/stream_buffer.h"

// Only xsgetn is served, which is all an inflating buffer asks of its
// source. The source is not owned.
class checking_source : public stream_buffer {
 public:
  explicit checking_source(stream_buffer* source);
  ~checking_source() override;

  size_t xsgetn(char* destination, size_t n) override;
  // Reads and checks whatever the source still holds.
  void drain();

  bool is_complete() const { return status_ == Z_STREAM_END; }
  bool is_corrupt() const { return status_ != Z_OK && status_ != Z_STREAM_END; }
  // Compressed bytes before the point where the data went wrong.
  uint64_t error_offset() const { return error_offset_; }
  const char* zlib_message() const { return message_; }
  // Bytes after the end of the zlib stream.
  uint64_t trailing_bytes() const { return trailing_; }

 private:
  void check(const char* data, size_t n);

  stream_buffer* source_;  // not owned
  z_stream zlib_;
  int status_;
  uint64_t consumed_ = 0;
  uint64_t error_offset_ = 0;
  uint64_t trailing_ = 0;
  char message_[96];
  unsigned char scratch_[4096];
};
