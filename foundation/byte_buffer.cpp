#include "foundation/byte_buffer.h"

#include <stdlib.h>
#include <string.h>

#include "foundation/require.h"

byte_buffer::byte_buffer(size_t count) : byte_buffer() {
  resize(count, 0);
}

byte_buffer::byte_buffer(size_t count, unsigned char value) : byte_buffer() {
  resize(count, value);
}

byte_buffer::byte_buffer(const void* first, const void* last) : byte_buffer() {
  assign(first, last);
}

byte_buffer::byte_buffer(const byte_buffer& other) : byte_buffer() {
  assign(other.begin_, other.end_);
}

byte_buffer::byte_buffer(byte_buffer&& other)
    : begin_(other.begin_), end_(other.end_), capacity_end_(other.capacity_end_) {
  other.begin_ = other.end_ = other.capacity_end_ = nullptr;
}

byte_buffer::~byte_buffer() {
  operator delete(begin_);
}

byte_buffer& byte_buffer::operator=(const byte_buffer& other) {
  if (this != &other) assign(other.begin_, other.end_);
  return *this;
}

void byte_buffer::reserve(size_t wanted) {
  if (wanted <= capacity()) return;
  size_t length = size();
  size_t new_capacity = 2 * length;
  if (new_capacity < wanted) new_capacity = wanted;
  if (new_capacity < 16) new_capacity = 16;
  unsigned char* block = static_cast<unsigned char*>(operator new(new_capacity));
  if (length) memcpy(block, begin_, length);
  operator delete(begin_);
  begin_ = block;
  end_ = block + length;
  capacity_end_ = block + new_capacity;
}

void byte_buffer::resize(size_t length) {
  resize(length, 0);
}

void byte_buffer::resize(size_t length, unsigned char fill) {
  if (length <= size()) {
    end_ = begin_ + length;
    return;
  }
  insert(size(), length - size(), fill);
}

void byte_buffer::insert(size_t pos, const void* first, const void* last) {
  const unsigned char* source = static_cast<const unsigned char*>(first);
  size_t count = (size_t)(static_cast<const unsigned char*>(last) - source);
  if (count == 0) return;
  if (source < end_ && source + count > begin_) {
    byte_buffer copy(first, last);  // our own bytes, about to move
    insert(pos, copy.begin_, copy.end_);
    return;
  }
  if (pos > size()) pos = size();
  REQUIRE(size() + count >= count);  // the size must not wrap around
  reserve(size() + count);
  memmove(begin_ + pos + count, begin_ + pos, size() - pos);
  memcpy(begin_ + pos, source, count);
  end_ += count;
}

void byte_buffer::insert(size_t pos, size_t count, unsigned char value) {
  if (count == 0) return;
  if (pos > size()) pos = size();
  REQUIRE(size() + count >= count);
  reserve(size() + count);
  memmove(begin_ + pos + count, begin_ + pos, size() - pos);
  memset(begin_ + pos, value, count);
  end_ += count;
}

void byte_buffer::append(const void* data, size_t count) {
  insert(size(), data, static_cast<const unsigned char*>(data) + count);
}

void byte_buffer::assign(const void* first, const void* last) {
  const unsigned char* source = static_cast<const unsigned char*>(first);
  size_t count = (size_t)(static_cast<const unsigned char*>(last) - source);
  if (count <= capacity()) {
    // memmove: the source may be a part of this very buffer.
    if (count) memmove(begin_, source, count);
    end_ = begin_ + count;
    return;
  }
  // Larger than the block, so the source cannot lie inside it.
  clear();
  reserve(count);
  memcpy(begin_, source, count);
  end_ = begin_ + count;
}

void byte_buffer::swap(byte_buffer& other) {
  unsigned char* b = begin_;
  unsigned char* e = end_;
  unsigned char* c = capacity_end_;
  begin_ = other.begin_;
  end_ = other.end_;
  capacity_end_ = other.capacity_end_;
  other.begin_ = b;
  other.end_ = e;
  other.capacity_end_ = c;
}
