#include "foundation/compressed_streams.h"

#include <string.h>

// Forward skips decompress and discard in steps of this size.
static constexpr size_t SKIP_CHUNK_SIZE = 1024;

// ------------------------------------------------------------ inflating_buffer

inflating_buffer::inflating_buffer(stream_buffer* source) : source_(source), total_(0) {
  char* output = putback_and_output_ + 1;
  set_get_area(output, output, output);
  memset(&zlib_, 0, sizeof zlib_);
  zlib_.next_in = (Bytef*)input_;
  zlib_.avail_in = 0;
  // A failed set-up is not checked here: every inflate then fails, which
  // reads as end of data.
  (void)inflateInit(&zlib_);
}

inflating_buffer::~inflating_buffer() {
  inflateEnd(&zlib_);
}

bool inflating_buffer::refill_input() {
  size_t got = source_ ? source_->xsgetn(input_, INPUT_AREA_SIZE) : 0;
  if (got == 0) return false;
  zlib_.next_in = (Bytef*)input_;
  zlib_.avail_in = (uInt)got;
  return true;
}

int inflating_buffer::underflow() {
  if (get_read_ < get_end_) return (unsigned char)*get_read_;
  char* output = putback_and_output_ + 1;
  // The last byte handed out stays available to put back across the refill.
  bool has_putback = get_begin_ == putback_and_output_;
  if (get_read_ > output) {
    putback_and_output_[0] = get_read_[-1];
    has_putback = true;
  }
  zlib_.next_out = (Bytef*)output;
  zlib_.avail_out = AREA_SIZE;
  // A step can consume input without producing output (a block header that
  // ends the input, an empty block); that is not the end of the data, so
  // keep feeding zlib until it produces, ends or fails.
  for (;;) {
    if (zlib_.avail_in == 0 && !refill_input()) return END_OF_DATA;
    int result = inflate(&zlib_, Z_PARTIAL_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END) return END_OF_DATA;
    if (zlib_.avail_out < AREA_SIZE || result == Z_STREAM_END) break;
  }
  size_t produced = AREA_SIZE - zlib_.avail_out;
  total_ += (uint32_t)produced;
  set_get_area(has_putback ? putback_and_output_ : output, output, output + produced);
  if (produced == 0) return END_OF_DATA;
  return (unsigned char)*output;
}

stream_offset inflating_buffer::seekoff(stream_offset offset, seek_direction direction, unsigned) {
  uint64_t distance;
  if (direction == SEEK_FROM_BEGIN) {
    if (offset < (stream_offset)total_) return -1;
    distance = (uint64_t)(offset - (stream_offset)total_);
  } else if (direction == SEEK_FROM_CURRENT) {
    // Backwards is impossible; refusing at once keeps the position, where
    // skipping a huge unsigned distance would consume all the data.
    if (offset < 0) return -1;
    distance = (uint64_t)offset;
  } else {
    return -1;
  }
  char discard[SKIP_CHUNK_SIZE];
  while (distance > 0) {
    size_t chunk = distance < SKIP_CHUNK_SIZE ? (size_t)distance : SKIP_CHUNK_SIZE;
    if (xsgetn(discard, chunk) < chunk) return -1;
    distance -= chunk;
  }
  return (stream_offset)total_;
}

stream_offset inflating_buffer::seekpos(stream_offset position, unsigned mode) {
  return seekoff(position, SEEK_FROM_BEGIN, mode);
}

// ------------------------------------------------------------ deflating_buffer

deflating_buffer::deflating_buffer(stream_buffer* destination)
    : destination_(destination), finished_(false), lost_output_(false) {
  set_put_area(put_area_, put_area_, put_area_ + PUT_AREA_SIZE);
  memset(&zlib_, 0, sizeof zlib_);
  // A failed set-up shows later: every deflate fails, and so do the writes.
  (void)deflateInit(&zlib_, Z_DEFAULT_COMPRESSION);
}

deflating_buffer::~deflating_buffer() {
  (void)finish();
  // A finish refused by the destination leaves the state allocated.
  if (!finished_) deflateEnd(&zlib_);
}

bool deflating_buffer::write_output(const char* bytes, size_t n) {
  if (n == 0) return true;
  if (destination_ && destination_->xsputn(bytes, n) == n) return true;
  lost_output_ = true;
  return false;
}

bool deflating_buffer::compress_pending() {
  if (finished_) return false;
  size_t pending = (size_t)(put_write_ - put_begin_);
  if (pending == 0) return true;
  zlib_.next_in = (Bytef*)put_area_;
  zlib_.avail_in = (uInt)pending;
  bool ok = true;
  do {
    char output[AREA_SIZE];
    zlib_.next_out = (Bytef*)output;
    zlib_.avail_out = AREA_SIZE;
    if (deflate(&zlib_, Z_NO_FLUSH) != Z_OK || !write_output(output, AREA_SIZE - zlib_.avail_out)) {
      ok = false;
      break;
    }
  } while (zlib_.avail_in > 0);
  // What zlib took leaves the put area; after a failure the rest stays at the
  // front, so the area never reaches past its spare byte.
  size_t remaining = zlib_.avail_in;
  memmove(put_area_, put_area_ + (pending - remaining), remaining);
  set_put_area(put_area_, put_area_ + remaining, put_area_ + PUT_AREA_SIZE);
  zlib_.avail_in = 0;
  return ok;
}

int deflating_buffer::sync_buffer() {
  return compress_pending() ? 0 : -1;
}

int deflating_buffer::overflow(int c) {
  if (c == END_OF_DATA || finished_) return END_OF_DATA;
  // The spare byte behind the put area takes c when the area is full.
  *put_write_++ = (char)c;
  if (!compress_pending()) {
    if (put_write_ > put_end_) --put_write_;  // c refused: nothing was taken
    return END_OF_DATA;
  }
  return c;
}

bool deflating_buffer::finish() {
  if (finished_) return false;
  (void)sync_buffer();
  for (;;) {
    char output[AREA_SIZE];
    zlib_.next_out = (Bytef*)output;
    zlib_.avail_out = AREA_SIZE;
    (void)deflate(&zlib_, Z_FINISH);
    if (!write_output(output, AREA_SIZE - zlib_.avail_out)) return false;
    if (zlib_.avail_out != 0) break;
  }
  bool ended = deflateEnd(&zlib_) == Z_OK;
  finished_ = true;
  // Nothing more can be compressed: later writes must fail, not vanish into
  // the put area.
  set_put_area(put_area_, put_area_, put_area_);
  return ended && !lost_output_;
}

// -------------------------------------------------------------------- streams

inflating_input_stream::inflating_input_stream(input_stream& source)
    : stream_base(nullptr), input_stream(nullptr), buffer_(nullptr) {
  if (!source.rdbuf()) return;  // bad: there is nothing to read from
  buffer_ = new inflating_buffer(source.rdbuf());
  rdbuf(buffer_);
}

inflating_input_stream::~inflating_input_stream() {
  delete buffer_;
}

uint32_t inflating_input_stream::total() const {
  return buffer_ ? buffer_->total() : 0;
}

deflating_output_stream::deflating_output_stream(output_stream& destination)
    : stream_base(nullptr), output_stream(nullptr), buffer_(nullptr) {
  if (!destination.rdbuf()) return;  // bad: there is nowhere to write
  buffer_ = new deflating_buffer(destination.rdbuf());
  rdbuf(buffer_);
}

deflating_output_stream::~deflating_output_stream() {
  delete buffer_;
}

bool deflating_output_stream::finish() {
  return buffer_ ? buffer_->finish() : false;
}
