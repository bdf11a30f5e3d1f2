// Test doubles for stream buffers: a sink that records what it accepts and
// counts the calls it receives, and a source over fixed bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "foundation/stream_buffer.h"

// Unbuffered sink: every write reaches it. It can accept fewer bytes than
// offered, at most per_call bytes per xsputn and capacity bytes in all.
class recording_buffer : public stream_buffer {
 public:
  std::string bytes;                // what it accepted, in order
  std::vector<size_t> write_sizes;  // bytes offered by each xsputn
  size_t overflow_calls = 0;
  size_t sync_calls = 0;
  size_t per_call = SIZE_MAX;
  size_t capacity = SIZE_MAX;

  size_t xsputn(const char* source, size_t n) override;
  int overflow(int c) override;
  int sync_buffer() override;
};

// Hands out fixed bytes from a get area, at most chunk bytes per xsgetn (a
// source that trickles), and counts those calls.
class memory_source : public stream_buffer {
 public:
  explicit memory_source(std::string data, size_t chunk = SIZE_MAX);
  size_t xsgetn(char* destination, size_t n) override;
  int underflow() override;
  size_t xsgetn_calls = 0;

 private:
  std::string data_;
  size_t chunk_;
};
