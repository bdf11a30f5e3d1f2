#include "support/recording_buffer.h"

#include <algorithm>
#include <utility>

size_t recording_buffer::xsputn(const char* source, size_t n) {
  write_sizes.push_back(n);
  size_t room = capacity > bytes.size() ? capacity - bytes.size() : 0;
  size_t taken = std::min({n, per_call, room});
  bytes.append(source, taken);
  return taken;
}

int recording_buffer::overflow(int c) {
  ++overflow_calls;
  if (c == END_OF_DATA || bytes.size() >= capacity) return END_OF_DATA;
  bytes.push_back((char)c);
  return c;
}

int recording_buffer::sync_buffer() {
  ++sync_calls;
  return 0;
}

memory_source::memory_source(std::string data, size_t chunk) : data_(std::move(data)), chunk_(chunk) {
  char* begin = &data_[0];
  set_get_area(begin, begin, begin + data_.size());
}

size_t memory_source::xsgetn(char* destination, size_t n) {
  ++xsgetn_calls;
  return stream_buffer::xsgetn(destination, std::min(n, chunk_));
}

int memory_source::underflow() {
  return get_read_ < get_end_ ? (unsigned char)*get_read_ : END_OF_DATA;
}
