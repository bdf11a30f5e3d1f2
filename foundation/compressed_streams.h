// Streams that decompress from, or compress into, another stream buffer:
// the file data of package files is one zlib stream.
#pragma once

#include <stdint.h>
#include <zlib.h>

#include "foundation/stream_buffer.h"
#include "foundation/streams.h"

// Pulls compressed bytes from a source buffer and hands out the decompressed
// bytes. Only forward seeks work (by decompressing and discarding); the
// position it reports is total, the count decompressed so far. Corrupt data
// just ends the data early. The source is not owned and must outlive it.
class inflating_buffer : public stream_buffer {
 public:
  static constexpr size_t AREA_SIZE = 4096;  // decompressed bytes per step
  // Compressed bytes taken from the source at a time: from a pipe, 64 KiB
  // reads wake the writer far less often than 4 KiB ones.
  static constexpr size_t INPUT_AREA_SIZE = 65536;
  explicit inflating_buffer(stream_buffer* source);
  ~inflating_buffer() override;

  stream_offset seekoff(stream_offset offset, seek_direction direction, unsigned mode) override;
  stream_offset seekpos(stream_offset position, unsigned mode) override;
  int underflow() override;

  uint32_t total() const { return total_; }

 private:
  // Reads the next compressed bytes from the source; false when it has none.
  bool refill_input();

  char putback_and_output_[1 + AREA_SIZE];
  char input_[INPUT_AREA_SIZE];
  z_stream zlib_;
  stream_buffer* source_;
  uint32_t total_;
};

// Compresses what is written into a destination buffer (zlib format, default
// level). finish() ends the compressed stream; destruction finishes too. The
// destination is not owned and must outlive it.
class deflating_buffer : public stream_buffer {
 public:
  static constexpr size_t PUT_AREA_SIZE = 4095;
  static constexpr size_t AREA_SIZE = 4096;  // compressed output per deflate step
  explicit deflating_buffer(stream_buffer* destination);
  ~deflating_buffer() override;

  int sync_buffer() override;
  int overflow(int c) override;

  // True when the stream was completed and the destination took every byte;
  // false otherwise, and when already finished.
  bool finish();

 private:
  // Moves the put area into the compressor; false when finished, when zlib
  // fails or when the destination refuses output.
  bool compress_pending();
  // False, and remembered, when the destination takes fewer than n bytes.
  bool write_output(const char* bytes, size_t n);

  char put_area_[PUT_AREA_SIZE + 1];
  z_stream zlib_;
  stream_buffer* destination_;
  bool finished_;
  bool lost_output_;  // the destination refused compressed bytes at some point
};

// An input stream over another input stream's buffer, owning its
// inflating_buffer. The other stream is not owned.
class inflating_input_stream : public input_stream {
 public:
  explicit inflating_input_stream(input_stream& source);
  ~inflating_input_stream() override;
  uint32_t total() const;

 private:
  inflating_buffer* buffer_;
};

// An output stream over another output stream's buffer, owning its
// deflating_buffer; destroying it finishes the compressed stream.
class deflating_output_stream : public output_stream {
 public:
  explicit deflating_output_stream(output_stream& destination);
  ~deflating_output_stream() override;
  bool finish();

 private:
  deflating_buffer* buffer_;
};
