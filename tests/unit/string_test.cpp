#include "foundation/string.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/alloc_counter.h"
#include "support/bytes.h"

// The order of strings (signed bytes, a prefix first) is checked by the tree
// test against a reference order. Growth is exact, with a block of at least
// 15 bytes.
TEST(string, single_byte_appends_allocate_once_for_fifteen_bytes_then_once_per_byte) {
  alloc_scope scope;
  {
    ::string s, copy(s), empty_text("");
    EXPECT_EQ(scope.allocations(), 0u) << "an empty string has no block";
    EXPECT_STREQ(copy.c_str(), "");
    for (int i = 0; i < 1000; ++i) {
      s.append((char)('a' + i % 26));
      ASSERT_EQ(scope.allocations(), i < 15 ? 1u : (size_t)i - 13) << "after append " << i + 1;
      ASSERT_EQ(s.capacity(), s.length() < 15 ? 15u : s.length());
      ASSERT_EQ(s.c_str()[s.length()], '\0');
    }
  }
  EXPECT_EQ(scope.live(), 0);
}

// Counts and starts past the end are clamped, zeros are bytes, and a source
// inside the string itself survives the block's growth.
TEST(string, parts_clamp_keep_zeros_and_may_come_from_the_string_itself) {
  ::string s("abcdef");
  EXPECT_EQ(s.substr(4, 100), "ef");
  EXPECT_EQ(s.substr(9), "");
  EXPECT_EQ(::string(s, 2, 1000), "cdef");
  char buffer[8] = {};
  EXPECT_EQ(s.copy(buffer, 50, 3), 3u);
  EXPECT_STREQ(buffer, "def");
  EXPECT_EQ(s.copy(buffer, 5, 7), 0u);
  EXPECT_EQ(::string(s).append(s, 4, 99), "abcdefef");
  EXPECT_EQ(::string(s).insert(1, s, 5, 99), "afbcdef");
  EXPECT_EQ(::string(s).replace(2, 99, "XY"), "abXY");
  EXPECT_EQ(::string(s).erase(3, 1000), "abc");
  EXPECT_EQ(::string(s).erase(10, 2), "abcdef");
  ::string z("a\0b", 3);
  z.insert(1, 2, '\0');
  z.replace(0, 1, ::string("\0\0", 2));
  z.resize(7, 'x');
  EXPECT_EQ(to_std(z), std::string("\0\0\0\0\0bx", 7));
  s = "abcdefghijklm";  // 13 of 15 bytes
  s.append(s);
  EXPECT_EQ(s, "abcdefghijklmabcdefghijklm");
  s = "0123456789abcde";
  s.insert(3, s.c_str() + 10);
  EXPECT_EQ(s, "012abcde3456789abcde");
  s.replace(0, 2, s.begin() + 15, s.end());
  EXPECT_EQ(s, "abcde2abcde3456789abcde");
  s = s.c_str() + 18;
  EXPECT_EQ(s, "abcde");
}

// The searches, which the programs hardly use, at their boundaries: a start
// at or past the length never matches, not even the empty text; npos means
// the end; zeros are bytes.
TEST(string, searches_at_their_boundaries) {
  ::string s("ab\0ab", 5);
  long found[] = {s.find("ab", 2, 1), s.find("\0a", 2, 0), s.find("", 0, 4), s.find("", 0, 5),
                  s.find('b', 5), s.rfind("ab", 2, ::string::npos), s.rfind("ab", 2, 2),
                  s.rfind("", 0, 9), ::string().rfind("", 0, 0), s.find_first_of("b", 2),
                  s.find_first_not_of("ab", 3), s.find_last_of("a", 2),
                  s.find_last_not_of("b", 1), s.find_last_not_of("ab", ::string::npos)};
  EXPECT_EQ(std::vector<long>(found, found + 14),
            (std::vector<long>{3, 2, 4, -1, -1, 3, 0, 4, -1, 4, -1, 0, 0, 2}));
}
