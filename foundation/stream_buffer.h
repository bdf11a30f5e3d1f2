// Base of all stream buffers: a get area and a put area over some source or
// destination of bytes, with the virtual operations the streams call.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef int64_t stream_offset;

enum seek_direction { SEEK_FROM_BEGIN = 0, SEEK_FROM_CURRENT = 1, SEEK_FROM_END = 2 };
enum open_mode_bits : unsigned { OPEN_INPUT = 8, OPEN_OUTPUT = 16 };

// End of data; bytes are returned as unsigned values 0-255.
constexpr int END_OF_DATA = -1;

// Owned by whoever created it, usually a stream.
class stream_buffer {
 public:
  stream_buffer();
  stream_buffer(const stream_buffer&) = delete;
  stream_buffer& operator=(const stream_buffer&) = delete;

  // The virtual operations, in slot order, with the base behaviour.
  virtual ~stream_buffer();
  virtual stream_buffer* setbuf(char* buffer, size_t size);  // returns this
  virtual stream_offset seekoff(stream_offset offset, seek_direction direction, unsigned mode);
  virtual stream_offset seekpos(stream_offset position, unsigned mode);
  virtual int sync_buffer();  // 0 success, -1 failure
  virtual long showmanyc();   // 0
  virtual size_t xsgetn(char* destination, size_t n);
  virtual int underflow();  // END_OF_DATA
  virtual int uflow();
  virtual int pbackfail(int c);  // END_OF_DATA
  virtual size_t xsputn(const char* source, size_t n);
  virtual int overflow(int c);  // END_OF_DATA

  // Non-virtual operations.
  long available();     // unread bytes in the get area, else showmanyc
  int next_byte();      // take from the get area, else uflow
  int peek_byte();      // from the get area, else underflow
  int put_byte(int c);  // into the put area, else overflow
  int put_back(int c);
  int unget();

 protected:
  void set_get_area(char* begin, char* read, char* end) {
    get_begin_ = begin;
    get_read_ = read;
    get_end_ = end;
  }
  void set_put_area(char* begin, char* write, char* end) {
    put_begin_ = begin;
    put_write_ = write;
    put_end_ = end;
  }

  char* get_begin_;
  char* get_read_;
  char* get_end_;
  char* put_begin_;
  char* put_write_;
  char* put_end_;
};
