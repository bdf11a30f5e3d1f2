#include "foundation/byte_buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/alloc_counter.h"

namespace {

std::string text(const byte_buffer& b) {
  return std::string((const char*)b.data(), b.size());
}

}  // namespace

TEST(byte_buffer, reserve_takes_the_largest_of_twice_the_size_the_request_and_sixteen) {
  alloc_scope scope;
  byte_buffer b;
  b.reserve(0);
  EXPECT_EQ(scope.allocations(), 0u);
  b.reserve(1);
  EXPECT_EQ(b.capacity(), 16u);
  b.resize(16, 'a');
  EXPECT_EQ(scope.allocations(), 1u);
  b.append("b", 1);
  EXPECT_EQ(b.capacity(), 32u);
  b.reserve(32);
  b.reserve(33);
  EXPECT_EQ(b.capacity(), 34u);
  b.reserve(500);
  EXPECT_EQ(b.capacity(), 500u);
  EXPECT_EQ(scope.allocations(), 4u);
  EXPECT_EQ(text(b), std::string(16, 'a') + "b");
}

TEST(byte_buffer, constructors_fill_copy_and_zero) {
  const char raw[] = {'x', 0, 'y'};
  byte_buffer zeros(5), sevens(3, 7), range(raw, raw + 3), copy(range), empty(0);
  EXPECT_EQ(text(zeros), std::string(5, '\0'));
  EXPECT_EQ(text(sevens), std::string(3, '\7'));
  EXPECT_EQ(text(copy), std::string(raw, 3));
  EXPECT_EQ(zeros.capacity(), 16u);
  EXPECT_EQ(empty.capacity(), 0u);
}

TEST(byte_buffer, resize_and_insert_fill_and_move_the_tail) {
  byte_buffer b("head", (const char*)"head" + 4);
  b.resize(6);
  EXPECT_EQ(text(b), std::string("head\0\0", 6));
  b.resize(2);
  b.resize(4, '-');
  b.insert(1, 3, '*');
  b.insert(100, "end", (const char*)"end" + 3);  // past the end: appends
  b.insert(0, "<", (const char*)"<" + 1);
  EXPECT_EQ(text(b), "<h***e--end");
}

TEST(byte_buffer, own_bytes_can_be_inserted_and_assigned) {
  byte_buffer b("0123456789abcdef", (const char*)"0123456789abcdef" + 16);
  b.insert(2, b.data() + 10, b.data() + 16);  // full: the block moves
  EXPECT_EQ(text(b), "01abcdef23456789abcdef");
  b.assign(b.data() + 2, b.data() + 8);
  EXPECT_EQ(text(b), "abcdef");
}

TEST(byte_buffer, assignment_reuses_the_block_and_swap_exchanges_it) {
  alloc_scope scope;
  {
    byte_buffer a(20, 1), b(3, 2);
    size_t before = scope.allocations();
    a = b;
    EXPECT_EQ(scope.allocations(), before);
    EXPECT_EQ(text(a), std::string(3, '\2'));
    b.resize(40, 3);
    a.swap(b);
    EXPECT_EQ(a.size(), 40u);
    EXPECT_EQ(b.size(), 3u);
    byte_buffer moved(static_cast<byte_buffer&&>(a));
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(moved[39], 3);
  }
  EXPECT_EQ(scope.live(), 0);
}
