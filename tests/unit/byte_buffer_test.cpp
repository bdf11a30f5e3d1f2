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

// The programs only append; the other edits get one quick check.
TEST(byte_buffer, library_functions_the_programs_do_not_call) {
  alloc_scope scope;
  {
    byte_buffer b("head", (const char*)"head" + 4), sevens(3, 7);
    b.resize(6);
    b.resize(5);
    b.resize(7, '-');
    b.insert(1, 2, '*');
    b.insert(100, "end", (const char*)"end" + 3);  // past the end: appends
    b.insert(0, b.data() + 3, b.data() + 6);  // its own bytes, while the block moves
    EXPECT_EQ(text(b), std::string("eadh**ead\0--end", 15));
    b.assign(b.data() + 4, b.data() + 9);
    size_t before = scope.allocations();
    sevens = b;  // fits: the block is reused
    EXPECT_EQ(scope.allocations(), before);
    byte_buffer copy(sevens);
    copy.swap(b);
    byte_buffer moved(static_cast<byte_buffer&&>(copy));
    EXPECT_EQ(copy.size(), 0u);
    EXPECT_EQ(text(moved) + text(b), "**ead**ead");
  }
  EXPECT_EQ(scope.live(), 0);
}
