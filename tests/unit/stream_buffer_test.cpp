#include "foundation/stream_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

// Hands out its text through underflow in pieces of `piece` bytes, and keeps
// a small put area whose overflow takes `room` more bytes, then refuses.
class piecewise_buffer : public stream_buffer {
 public:
  piecewise_buffer(std::string text, size_t piece) : text_(std::move(text)), piece_(piece) {
    set_put_area(area_, area_, area_ + sizeof area_);
  }
  int underflow() override {
    ++underflow_calls;
    if (get_read_ < get_end_) return (unsigned char)*get_read_;
    if (offset_ >= text_.size()) return END_OF_DATA;
    size_t n = std::min(piece_, text_.size() - offset_);
    char* begin = &text_[offset_];
    offset_ += n;
    set_get_area(begin, begin, begin + n);
    return (unsigned char)*begin;
  }
  int overflow(int c) override {
    if (room == 0) return END_OF_DATA;
    --room;
    overflowed.push_back((char)c);
    return c;
  }
  int pbackfail(int c) override {
    refused.push_back(c);
    return END_OF_DATA;
  }
  std::string put_area() const { return std::string(area_, put_write_ - area_); }

  size_t room = 0;
  size_t underflow_calls = 0;
  std::string overflowed;
  std::vector<int> refused;

 private:
  std::string text_;
  size_t piece_;
  size_t offset_ = 0;
  char area_[4];
};

TEST(stream_buffer, base_has_no_data_no_room_and_cannot_seek) {
  stream_buffer base;
  char byte;
  EXPECT_EQ(base.seekoff(0, SEEK_FROM_CURRENT, OPEN_INPUT) + base.seekpos(0, OPEN_OUTPUT), -2);
  EXPECT_EQ(base.sync_buffer() + base.available() + base.xsgetn(&byte, 1) + base.xsputn("a", 1), 0);
  EXPECT_EQ(base.next_byte() + base.peek_byte() + base.put_byte('a') + base.unget(), -4);
}

TEST(stream_buffer, xsgetn_crosses_refills_and_stops_at_end_of_data) {
  piecewise_buffer buffer("abcdefgh", 3);
  char out[16] = {};
  EXPECT_EQ(buffer.xsgetn(out, 5), 5u);
  EXPECT_EQ(std::string(out, 5), "abcde");
  EXPECT_EQ(buffer.available(), 1);
  EXPECT_EQ(buffer.xsgetn(out, 16), 3u);
  EXPECT_EQ(std::string(out, 3), "fgh");
  EXPECT_EQ(buffer.next_byte(), END_OF_DATA);
}

TEST(stream_buffer, byte_ff_is_a_byte_not_end_of_data) {
  piecewise_buffer buffer("\xff\xfe", 1);
  EXPECT_EQ(buffer.peek_byte(), 0xff);
  EXPECT_EQ(buffer.next_byte(), 0xff);
  EXPECT_EQ(buffer.next_byte(), 0xfe);
  EXPECT_EQ(buffer.put_byte((char)0xff), 0xff);
  buffer.room = 1;
  EXPECT_EQ(buffer.xsputn("\xff\xff\xff\xff", 4), 4u);  // the 4th goes through overflow
  EXPECT_EQ(buffer.overflowed, "\xff");
}

TEST(stream_buffer, xsputn_fills_the_area_then_overflows_byte_by_byte_until_refused) {
  piecewise_buffer buffer("", 1);
  buffer.room = 2;
  EXPECT_EQ(buffer.xsputn("abcdefgh", 8), 6u);
  EXPECT_EQ(buffer.put_area(), "abcd");
  EXPECT_EQ(buffer.overflowed, "ef");
}

TEST(stream_buffer, put_back_steps_back_only_over_the_same_byte) {
  piecewise_buffer buffer("abcd", 2);
  EXPECT_EQ(buffer.put_back('z'), END_OF_DATA);  // nothing read yet
  EXPECT_EQ(buffer.next_byte(), 'a');
  EXPECT_EQ(buffer.next_byte(), 'b');
  EXPECT_EQ(buffer.put_back('x'), END_OF_DATA);  // mismatch: position kept
  EXPECT_EQ(buffer.put_back('b'), 'b');
  EXPECT_EQ(buffer.unget(), 'a');
  EXPECT_EQ(buffer.unget(), END_OF_DATA);  // at the start of the get area
  EXPECT_EQ(buffer.refused, (std::vector<int>{'z', 'x', END_OF_DATA}));
  EXPECT_EQ(buffer.next_byte(), 'a');
}

}  // namespace
