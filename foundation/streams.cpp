#include "foundation/streams.h"

#include "foundation/require.h"

stream_base::stream_base(stream_buffer* buffer)
    : flags_(FLAG_DEC),
      precision_(6),
      width_(0),
      fill_(' '),
      state_(buffer ? 0u : (uint32_t)STATE_BAD),
      buffer_(buffer),
      words_(nullptr),
      word_count_(0) {}

stream_base::~stream_base() {
  delete[] words_;
}

void stream_base::clear(uint32_t state) {
  state_ = buffer_ ? state : (state | STATE_BAD);
}

stream_buffer* stream_base::rdbuf(stream_buffer* buffer) {
  stream_buffer* old = buffer_;
  buffer_ = buffer;
  clear(0);
  return old;
}

int stream_base::allocate_word_index() {
  // Process-wide; the programs are single-threaded.
  static int next_index = 0;
  return next_index++;
}

uint32_t& stream_base::word(int index) {
  REQUIRE(index >= 0);  // allocate_word_index hands out no negative index
  size_t wanted = (size_t)index + 1;
  if (wanted > word_count_) {
    uint32_t* grown = new uint32_t[wanted];
    for (size_t i = 0; i < wanted; ++i) grown[i] = i < word_count_ ? words_[i] : 0;
    delete[] words_;
    words_ = grown;
    word_count_ = wanted;
  }
  return words_[index];
}
