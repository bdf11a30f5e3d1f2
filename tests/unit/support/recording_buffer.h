// Test doubles for stream buffers: a sink that records what it accepts and
// counts the calls it receives, and a source over fixed bytes.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "foundation/stream_buffer.h"

// Unbuffered sink: every write reaches it; it accepts capacity bytes in all.
class recording_buffer : public stream_buffer {
 public:
  std::string bytes;                // what it accepted, in order
  std::vector<size_t> write_sizes;  // bytes offered by each xsputn
  size_t overflow_calls = 0, sync_calls = 0;
  size_t capacity = SIZE_MAX;

  size_t xsputn(const char* source, size_t n) override {
    write_sizes.push_back(n);
    size_t taken = std::min(n, capacity > bytes.size() ? capacity - bytes.size() : 0);
    bytes.append(source, taken);
    return taken;
  }
  int overflow(int c) override {
    ++overflow_calls;
    if (c == END_OF_DATA || bytes.size() >= capacity) return END_OF_DATA;
    bytes.push_back((char)c);
    return c;
  }
  int sync_buffer() override { return ++sync_calls, 0; }
};

// Hands out fixed bytes from a get area, at most chunk bytes per xsgetn (a
// source that trickles).
class memory_source : public stream_buffer {
 public:
  explicit memory_source(std::string data, size_t chunk = SIZE_MAX) : data_(std::move(data)), chunk_(chunk) {
    set_get_area(&data_[0], &data_[0], &data_[0] + data_.size());
  }
  size_t xsgetn(char* destination, size_t n) override {
    return stream_buffer::xsgetn(destination, std::min(n, chunk_));
  }
  int underflow() override { return get_read_ < get_end_ ? (unsigned char)*get_read_ : END_OF_DATA; }

 private:
  std::string data_;
  size_t chunk_;
};
