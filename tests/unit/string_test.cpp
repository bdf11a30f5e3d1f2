#include "foundation/string.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/alloc_counter.h"
#include "support/bytes.h"

namespace {

// Reads tests/unit/data/string_order.txt: one name per line, \xHH for a byte.
std::vector<std::string> read_ordered_names() {
  std::ifstream in(TESS_TEST_DATA "/string_order.txt");
  EXPECT_TRUE(in) << "cannot open string_order.txt";
  std::vector<std::string> names;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::string name;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line.compare(i, 2, "\\x") == 0) {
        name += (char)std::stoi(line.substr(i + 2, 2), nullptr, 16);
        i += 3;
      } else {
        name += line[i];
      }
    }
    names.push_back(name);
  }
  return names;
}

}  // namespace

// ---------------------------------------------------------------------------
// Allocation

TEST(string, default_string_gives_empty_text_without_allocating) {
  alloc_scope scope;
  ::string s, copy(s), empty_text(""), moved(static_cast<::string&&>(copy));
  EXPECT_STREQ(s.c_str(), "");
  EXPECT_STREQ(empty_text.c_str(), "");
  EXPECT_STREQ(moved.c_str(), "");
  s.erase(0);
  s.clear();
  EXPECT_EQ(s.length(), 0u);
  EXPECT_EQ(scope.allocations(), 0u);
}

TEST(string, single_byte_appends_allocate_once_for_fifteen_bytes_then_once_per_byte) {
  alloc_scope scope;
  {
    ::string s;
    for (int i = 0; i < 1000; ++i) {
      s.append((char)('a' + i % 26));
      ASSERT_EQ(scope.allocations(), i < 15 ? 1u : (size_t)i - 13) << "after append " << i + 1;
      ASSERT_EQ(s.capacity(), s.length() < 15 ? 15u : s.length());
      ASSERT_EQ(s.c_str()[s.length()], '\0');
    }
    EXPECT_EQ(scope.allocations(), 986u);
  }
  EXPECT_EQ(scope.live(), 0);
}

TEST(string, block_is_exact_capacity_plus_terminator_and_reused_when_large_enough) {
  alloc_scope scope;
  ::string s("short");
  EXPECT_EQ(scope.bytes(), 16u);
  s = "a text of thirty bytes exactly";
  EXPECT_EQ(scope.allocations(), 2u);
  EXPECT_EQ(s.capacity(), 30u);
  s = "shorter";
  s.assign("0123456789", 10);
  s.replace(0, 3, "abcdefgh");
  s.insert(0, 5, '-');
  EXPECT_EQ(s, "-----abcdefgh3456789");
  EXPECT_EQ(scope.allocations(), 2u);
  s.reserve(31);
  EXPECT_EQ(s.capacity(), 31u);
  EXPECT_EQ(s, "-----abcdefgh3456789");
  EXPECT_EQ(scope.bytes(), 16u + 31u + 32u);
  {
    ::string a("some/path"), b(a, 2, 3), c(a + "/file" + b);
    c.swap(a);
    a = static_cast<::string&&>(c);
    b = a.substr(4);
  }
  EXPECT_EQ(scope.live(), 1);  // s alone
}

// ---------------------------------------------------------------------------
// Order and equality

TEST(string, names_from_the_order_table_compare_in_table_order) {
  std::vector<std::string> names = read_ordered_names();
  ASSERT_GT(names.size(), 20u);
  for (size_t i = 0; i < names.size(); ++i) {
    for (size_t j = 0; j < names.size(); ++j) {
      int expected = i < j ? -1 : i > j ? 1 : 0;
      ASSERT_EQ(from_std(names[i]).compare(from_std(names[j])), expected)
          << "line " << i << " against line " << j;
    }
    EXPECT_EQ(::string().compare(from_std(names[i])), -1);
  }
}

TEST(string, compare_and_equality_see_embedded_zeros_and_lengths) {
  ::string a("lib\0a", 5), b("lib\0b", 5), prefix("lib");
  EXPECT_EQ(a.compare(b), -1);
  EXPECT_FALSE(a == b);
  EXPECT_FALSE(prefix == a);
  EXPECT_EQ(a.compare("lib"), 1);  // the text stops at its zero
  EXPECT_EQ(prefix.compare("lib"), 0);
  EXPECT_TRUE(prefix == "lib");
  EXPECT_FALSE(prefix == "li");
  EXPECT_TRUE(::string() == "");
  EXPECT_EQ(compare_signed_bytes("\xE9", 1, "a", 1), -1);
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
    EXPECT_EQ(from_std(low).compare(from_std(low)), 0) << at;
  }
}

// ---------------------------------------------------------------------------
// Parts, counts and positions

TEST(string, counts_past_the_end_are_clamped) {
  ::string s("abcdef");
  EXPECT_EQ(s.substr(4, 100), "ef");
  EXPECT_EQ(s.substr(6), "");
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
}

TEST(string, edits_keep_embedded_zeros_and_the_terminator) {
  ::string s("a\0b", 3);
  s.insert(1, 2, '\0');
  s.append(std::string("\0c", 2).data(), 2);
  s.replace(0, 1, ::string("\0\0", 2));
  EXPECT_EQ(to_std(s), std::string("\0\0\0\0\0b\0c", 8));
  EXPECT_EQ(s.find('b'), 5);
  EXPECT_EQ(s.find("\0c", 2, 0), 6);
  s.erase(1, 5);
  EXPECT_EQ(to_std(s), std::string("\0\0c", 3));
  EXPECT_EQ(s.c_str()[3], '\0');
  s.resize(5, 'x');
  s.resize(4);
  EXPECT_EQ(to_std(s), std::string("\0\0cx", 4));
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

// ---------------------------------------------------------------------------
// Searches

// Every search against positions found by a plain walk: embedded zeros,
// empty texts and needles, starts past the end and npos. A start at or past
// the length never matches, not even the empty text.
TEST(string, random_searches_agree_with_a_reference) {
  std::mt19937 random(7);
  for (int round = 0; round < 4000; ++round) {
    std::string text, needle, set;
    for (int i = random() % 12; i > 0; --i) text += "ab\0"[random() % 3];
    for (int i = random() % 3; i > 0; --i) needle += "ab\0"[random() % 3];
    for (int i = random() % 3; i > 0; --i) set += "abc"[random() % 3];
    size_t pos = random() % 15;
    if (pos == 14) pos = ::string::npos;
    long find = -1, rfind = -1, first_of = -1, first_not_of = -1, last_of = -1, last_not_of = -1;
    for (size_t i = 0; i < text.size(); ++i) {
      bool match = i + needle.size() <= text.size() && text.compare(i, needle.size(), needle) == 0;
      bool in_set = set.find(text[i]) != std::string::npos;
      if (i >= pos && match && find < 0) find = (long)i;
      if (i >= pos && in_set && first_of < 0) first_of = (long)i;
      if (i >= pos && !in_set && first_not_of < 0) first_not_of = (long)i;
      if (i <= pos && match) rfind = (long)i;
      if (i <= pos && in_set) last_of = (long)i;
      if (i <= pos && !in_set) last_not_of = (long)i;
    }
    ::string s = from_std(text);
    SCOPED_TRACE(round);
    ASSERT_EQ(s.find(needle.data(), needle.size(), pos), find);
    ASSERT_EQ(s.rfind(needle.data(), needle.size(), pos), rfind);
    if (needle.size() == 1) {
      ASSERT_EQ(s.find(needle[0], pos), find);
      ASSERT_EQ(s.rfind(needle[0], pos), rfind);
    }
    ASSERT_EQ(s.find_first_of(set.c_str(), pos), first_of);
    ASSERT_EQ(s.find_first_not_of(set.c_str(), pos), first_not_of);
    ASSERT_EQ(s.find_last_of(set.c_str(), pos), last_of);
    ASSERT_EQ(s.find_last_not_of(set.c_str(), pos), last_not_of);
  }
}
