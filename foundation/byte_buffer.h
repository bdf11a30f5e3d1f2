// Growable block of raw bytes, without terminator.
#pragma once

#include <stddef.h>

// Three pointers owning one heap block. Reserving room does nothing when the
// capacity suffices; otherwise the new capacity is the largest of twice the
// current size, the requested size, and 16 bytes.
class byte_buffer {
 public:
  byte_buffer() : begin_(nullptr), end_(nullptr), capacity_end_(nullptr) {}
  explicit byte_buffer(size_t count);  // count zero bytes
  byte_buffer(size_t count, unsigned char value);
  byte_buffer(const void* first, const void* last);
  byte_buffer(const byte_buffer& other);
  byte_buffer(byte_buffer&& other);
  ~byte_buffer();
  byte_buffer& operator=(const byte_buffer& other);

  void reserve(size_t capacity);
  void resize(size_t length);  // zero fill
  void resize(size_t length, unsigned char fill);
  void insert(size_t pos, const void* first, const void* last);
  void insert(size_t pos, size_t count, unsigned char value);
  void append(const void* data, size_t count);
  void assign(const void* first, const void* last);
  void clear() { end_ = begin_; }
  void swap(byte_buffer& other);

  size_t size() const { return (size_t)(end_ - begin_); }
  bool empty() const { return begin_ == end_; }
  size_t capacity() const { return (size_t)(capacity_end_ - begin_); }
  unsigned char* data() { return begin_; }
  const unsigned char* data() const { return begin_; }
  unsigned char& operator[](size_t i) { return begin_[i]; }
  unsigned char operator[](size_t i) const { return begin_[i]; }

 private:
  unsigned char* begin_;
  unsigned char* end_;
  unsigned char* capacity_end_;
};
