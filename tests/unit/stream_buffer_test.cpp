#include "foundation/stream_buffer.h"

#include <gtest/gtest.h>

#include "support/recording_buffer.h"

// Transfers across fills and the put area are the descriptor and compressed
// buffers' tests; this is what only the base decides.
TEST(stream_buffer, put_back_steps_back_only_over_the_same_byte_and_ff_is_a_byte) {
  memory_source buffer("ab\xff");
  EXPECT_EQ(buffer.put_back('z'), END_OF_DATA);  // nothing read yet
  EXPECT_EQ(buffer.next_byte(), 'a');
  EXPECT_EQ(buffer.next_byte(), 'b');
  EXPECT_EQ(buffer.put_back('x'), END_OF_DATA);  // mismatch: position kept
  EXPECT_EQ(buffer.peek_byte(), 0xff);
  EXPECT_EQ(buffer.put_back('b'), 'b');
  EXPECT_EQ(buffer.unget(), 'a');
  EXPECT_EQ(buffer.unget(), END_OF_DATA);  // at the start of the get area
  char out[4];
  EXPECT_EQ(buffer.xsgetn(out, 4), 3u);
  EXPECT_EQ(out[2], '\xff');
  EXPECT_EQ(buffer.next_byte(), END_OF_DATA);
  stream_buffer base;
  EXPECT_EQ(base.next_byte() + base.put_byte('a') + base.seekoff(0, SEEK_FROM_CURRENT, OPEN_INPUT), -3);
}
