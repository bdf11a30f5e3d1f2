#include "foundation/byte_buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/alloc_counter.h"

static std::string text(const byte_buffer& b) { return std::string((const char*)b.data(), b.size()); }

TEST(byte_buffer, reserve_takes_the_largest_of_twice_the_size_the_request_and_sixteen) {
  alloc_scope scope;
  byte_buffer b, zeros(5), empty(0);
  EXPECT_EQ(zeros.capacity(), 16u);
  EXPECT_EQ(empty.capacity(), 0u);
  b.reserve(0);
  b.reserve(1);
  b.resize(16, 'a');
  b.append("b", 1);
  EXPECT_EQ(b.capacity(), 32u);
  b.reserve(32);  // fits exactly: nothing happens
  b.reserve(33);
  EXPECT_EQ(b.capacity(), 34u);
  b.reserve(500);
  EXPECT_EQ(b.capacity(), 500u);
  EXPECT_EQ(scope.allocations(), 5u);
  EXPECT_EQ(text(b), std::string(16, 'a') + "b");
}
