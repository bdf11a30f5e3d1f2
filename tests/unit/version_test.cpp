// Version numbers: formatting, the order of the 32-bit values, parsing the
// notation people write, and the package predicates built on them.
#include "package_format/version.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "package_format/package_header.h"
#include "support/records.h"

namespace {

version_number parsed(const char* text) {
  version_number v = 0;
  EXPECT_TRUE(parse_version(text, &v)) << text;
  return v;
}

std::vector<std::string> order_table() {
  std::ifstream in(TESS_TEST_DATA "/version_order.txt");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  return lines;
}

}  // namespace

// The notation people write and the value it stands for, both ways; the
// last rows go one way only.
TEST(version, formats_and_parses_every_stage) {
  struct {
    version_number v;
    const char* text;
    bool parses, formats;
  } cases[] = {
      {make_version(2, 9, 'f', 0), "2.9", true, true},
      {make_version(2, 9, 'f', 1), "2.9.1", true, true},
      {make_version(2, 9, 'c', 3), "2.9rc3", true, true},
      {make_version(2, 9, 'a', 0), "2.9alpha", true, true},
      {make_version(2, 9, 'b', 10), "2.9beta10", true, true},
      {make_version(2, 9, 'b', 0), "2.9beta", true, true},
      {make_version(255, 255, 'a', 255), "255.255alpha255", true, true},
      {0, "0.0", false, true},
      {make_version(2, 9, 0, 5), "2.95", false, true},  // an unnamed stage
      {make_version(2, 9, 'z', 0), "2.9", false, true},
      {make_version(2, 9, 'f', 0), "2.9.0", true, false},  // a third component of 0 is none
  };
  for (const auto& c : cases) {
    if (c.formats) {
      EXPECT_STREQ(format_version(c.v), c.text) << std::hex << c.v;
    }
    if (c.parses) {
      EXPECT_EQ(parsed(c.text), c.v) << c.text;
    }
  }
}

TEST(version, table_is_in_release_order_and_round_trips) {
  std::vector<std::string> table = order_table();
  ASSERT_GE(table.size(), 20u);
  version_number previous = 0;
  for (size_t i = 0; i < table.size(); ++i) {
    version_number v = parsed(table[i].c_str());
    EXPECT_STREQ(format_version(v), table[i].c_str());
    if (i > 0) {
      EXPECT_LT(previous, v) << table[i - 1] << " should order below " << table[i];
    }
    previous = v;
  }
}

TEST(version, refuses_what_cannot_be_a_version_number) {
  const char* bad[] = {"",      "2",        "2.",      ".9",       "2.9.",     "256.0",
                       "2.256", "2.9.256",  "2.9rc256", "2.9.1.1", "2.9gamma", "2.9 ",
                       " 2.9",  "2.9rc-1",  "2.9.1rc1", "-1.0",    "2.9RC1",   "2,9",
                       "2.9rc3x", "99999999999.0", "2.9alpha1beta"};
  for (const char* text : bad) {
    version_number v = 0x12345678;
    EXPECT_FALSE(parse_version(text, &v)) << '"' << text << '"';
    EXPECT_EQ(v, 0x12345678u) << "a refused text must leave the result alone: " << text;
  }
  version_number v;
  EXPECT_FALSE(parse_version(nullptr, &v));
}

TEST(version, labels_show_the_minimum_only_when_set) {
  EXPECT_STREQ(requirement_label(requirement("ppp", 0, parsed("3.0"))).c_str(), "ppp");
  EXPECT_STREQ(requirement_label(requirement("ppp", parsed("2.9rc1"), parsed("3.0"))).c_str(),
               "ppp-2.9rc1");
  EXPECT_STREQ(package_label(package("ppp", parsed("2.9.1"))).c_str(), "ppp-2.9.1");
  EXPECT_STREQ(package_label(package("zero", 0)).c_str(), "zero-0.0");
}

TEST(version, satisfies_checks_name_then_both_bounds) {
  version_number v = parsed("2.9");
  package_header ppp = package("ppp", v);
  EXPECT_TRUE(satisfies(ppp, requirement("ppp", 0, 0)));
  EXPECT_TRUE(satisfies(ppp, requirement("ppp", v, v)));
  EXPECT_TRUE(satisfies(ppp, requirement("ppp", parsed("2.9rc7"), 0)));
  EXPECT_FALSE(satisfies(ppp, requirement("ppp", parsed("2.9.1"), 0)));
  EXPECT_FALSE(satisfies(ppp, requirement("ppp", 0, v - 1)));
  EXPECT_FALSE(satisfies(ppp, requirement("PPP", 0, 0)));
  EXPECT_FALSE(satisfies(ppp, requirement("pppd", 0, 0)));
  EXPECT_FALSE(satisfies(ppp, requirement("pp", 0, 0)));
}

TEST(version, is_newer_uses_build_time_only_between_equal_versions) {
  package_header old_late = package("p", parsed("2.9"), 500);
  package_header new_early = package("p", parsed("2.9.1"), 100);
  EXPECT_TRUE(is_newer(new_early, old_late));
  EXPECT_FALSE(is_newer(old_late, new_early));
  package_header rebuilt = package("p", parsed("2.9"), 501);
  EXPECT_TRUE(is_newer(rebuilt, old_late));
  EXPECT_FALSE(is_newer(old_late, rebuilt));
  package_header same = package("p", parsed("2.9"), 500);
  EXPECT_FALSE(is_newer(same, old_late));
  EXPECT_FALSE(is_newer(old_late, same));
}

TEST(version, package_names_that_would_leave_the_database_are_invalid) {
  for (const char* name : {"", ".", "..", ".hidden", "a/b", "/", "../x", "my set", "tab\tname",
                           "line\n", "del\x7f"})
    EXPECT_FALSE(is_valid_package_name(string(name))) << '"' << name << '"';
  for (const char* name : {"a", "ppp", "lib.so", "x..y", "sixteen-bytes-ok"})
    EXPECT_TRUE(is_valid_package_name(string(name))) << name;
}
