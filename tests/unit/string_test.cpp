#include "foundation/string.h"

#include <gtest/gtest.h>

#include <set>

#include "support/alloc_counter.h"

namespace {

::string bytes(std::initializer_list<unsigned char> list) {
  ::string s;
  for (unsigned char c : list) s.append((char)c);
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Empty strings and allocation

TEST(string, default_string_gives_empty_text_without_allocating) {
  alloc_scope scope;
  ::string s;
  EXPECT_STREQ(s.c_str(), "");
  EXPECT_EQ(s.length(), 0u);
  ::string copy(s);
  ::string empty_text("");
  EXPECT_STREQ(copy.c_str(), "");
  EXPECT_STREQ(empty_text.c_str(), "");
  EXPECT_EQ(scope.allocations(), 0u);
}

TEST(string, single_byte_appends_allocate_once_for_fifteen_bytes_then_once_per_byte) {
  alloc_scope scope;
  {
    ::string s;
    for (int i = 0; i < 1000; ++i) {
      s.append((char)('a' + i % 26));
      size_t expected = i < 15 ? 1 : 1 + (size_t)(i - 14);
      ASSERT_EQ(scope.allocations(), expected) << "after append " << i + 1;
      ASSERT_EQ(s.capacity(), s.length() < 15 ? 15u : s.length());
    }
    EXPECT_EQ(scope.allocations(), 986u);
    EXPECT_EQ(s.length(), 1000u);
    EXPECT_EQ(s[999], (char)('a' + 999 % 26));
    EXPECT_EQ(s.c_str()[1000], '\0');
  }
  EXPECT_EQ(scope.live(), 0);
}

TEST(string, block_holds_capacity_plus_terminator) {
  alloc_scope scope;
  ::string s("short");
  EXPECT_EQ(scope.bytes(), 16u);
  ::string longer(40, 'x');
  EXPECT_EQ(scope.bytes(), 16u + 41u);
  EXPECT_EQ(longer.capacity(), 40u);
}

// ---------------------------------------------------------------------------
// Comparison order

TEST(string, high_bytes_order_before_ascii) {
  ::string with_e9 = bytes({'c', 'a', 'f', 0xE9});
  ::string with_a("cafa");
  EXPECT_LT(with_e9.compare(with_a), 0);
  EXPECT_GT(with_a.compare(with_e9), 0);
  EXPECT_TRUE(with_e9 < with_a);
}

TEST(string, prefix_orders_first) {
  ::string ab("ab"), abc("abc"), abd("abd");
  EXPECT_EQ(ab.compare(abc), -1);
  EXPECT_EQ(abc.compare(ab), 1);
  EXPECT_EQ(abc.compare(abd), -1);
  EXPECT_EQ(abd.compare("abc"), 1);
  EXPECT_EQ(abc.compare("abc"), 0);
  EXPECT_EQ(::string().compare(""), 0);
  EXPECT_EQ(::string().compare("a"), -1);
}
