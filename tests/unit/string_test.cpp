#include "foundation/string.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/alloc_counter.h"
#include "support/bytes.h"
#include "support/records.h"

// ---------------------------------------------------------------------------
// Growth: exact, with a block of at least 15 bytes

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

// ---------------------------------------------------------------------------
// Order: signed bytes, a prefix first

// tests/unit/data/string_order.txt: one name per line, \xHH for a byte.
TEST(string, names_from_the_order_table_compare_in_table_order) {
  std::vector<std::string> names;
  for (const std::string& line : table_lines("string_order.txt")) {
    std::string name;
    for (size_t i = 0; i < line.size(); ++i) {
      bool escape = line.compare(i, 2, "\\x") == 0;
      name += escape ? (char)std::stoi(line.substr(i + 2, 2), nullptr, 16) : line[i];
      i += escape ? 3 : 0;
    }
    names.push_back(name);
  }
  ASSERT_GT(names.size(), 20u);
  for (size_t i = 0; i < names.size(); ++i) {
    for (size_t j = 0; j < names.size(); ++j) {
      ASSERT_EQ(from_std(names[i]).compare(from_std(names[j])), i < j ? -1 : i > j ? 1 : 0)
          << "line " << i << " against line " << j;
      ASSERT_EQ(from_std(names[i]) == from_std(names[j]), i == j);
    }
  }
  ::string prefix("lib");
  EXPECT_EQ(::string("lib\0a", 5).compare("lib"), 1);  // the text stops at its zero
  EXPECT_TRUE(prefix == "lib" && !(prefix == "li") && ::string() == "");
}

TEST(string, the_first_differing_byte_decides_at_every_offset) {
  // A difference at each offset of a word and past several words, with
  // later bytes that would order the other way, bytes of either sign, and
  // a prefix ending at each offset.
  for (size_t at = 0; at < 40; ++at) {
    std::string low(48, '/'), high(48, '/');
    low[at] = '\xE9';  // negative as a signed byte
    high[at] = 'a';
    for (size_t k = at + 1; k < 48; ++k) low[k] = 'z', high[k] = '\x01';
    EXPECT_EQ(from_std(low).compare(from_std(high)), -1) << at;
    EXPECT_EQ(from_std(high).compare(from_std(low)), 1) << at;
    high[at] = '\xEA';
    EXPECT_EQ(from_std(low).compare(from_std(high)), -1) << at;
    EXPECT_EQ(from_std(low.substr(0, at)).compare(from_std(low)), -1) << at;
    EXPECT_EQ(from_std(low).compare(from_std(low.substr(0, at))), 1) << at;
  }
}

// ---------------------------------------------------------------------------
// Parts, counts and positions

TEST(string, counts_past_the_end_are_clamped_and_zeros_are_bytes) {
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
}

TEST(string, sources_inside_the_string_itself_survive_growth) {
  ::string s("abcdefghijklm");  // 13 of 15 bytes
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
  EXPECT_EQ(s.find("ab", 2, 1), 3);
  EXPECT_EQ(s.find("\0a", 2, 0), 2);
  EXPECT_EQ(s.find("", 0, 4), 4);
  EXPECT_EQ(s.find("", 0, 5), -1);
  EXPECT_EQ(s.find('b', 5), -1);
  EXPECT_EQ(s.rfind("ab", 2, ::string::npos), 3);
  EXPECT_EQ(s.rfind("ab", 2, 2), 0);
  EXPECT_EQ(s.rfind('a', 0), 0);
  EXPECT_EQ(s.rfind("", 0, 9), 4);
  EXPECT_EQ(::string().rfind("", 0, 0), -1);
  EXPECT_EQ(s.find_first_of("b", 2), 4);
  EXPECT_EQ(s.find_first_not_of("ab", 0), 2);
  EXPECT_EQ(s.find_first_not_of("ab", 3), -1);
  EXPECT_EQ(s.find_last_of("a", ::string::npos), 3);
  EXPECT_EQ(s.find_last_of("a", 2), 0);
  EXPECT_EQ(s.find_last_not_of("b", 1), 0);
  EXPECT_EQ(s.find_last_not_of("ab", ::string::npos), 2);
  EXPECT_EQ(::string("bbb").find_last_not_of("b", 2), -1);
}
