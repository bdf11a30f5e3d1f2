// Version numbers: formatting, the order of the 32-bit values, parsing the
// notation people write, and the package predicates built on them.
#include "package_format/version.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package_format/package_header.h"
#include "support/records.h"

// tests/unit/data/version_order.txt
TEST(version, table_is_in_release_order_and_round_trips) {
  std::vector<std::string> table = table_lines("version_order.txt");
  ASSERT_GE(table.size(), 15u);
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_STREQ(format_version(version_of(table[i])), table[i].c_str());
    EXPECT_LT(i ? version_of(table[i - 1]) : 0u, version_of(table[i])) << "before " << table[i];
  }
  // Values that format but are not written that way.
  EXPECT_STREQ(format_version(make_version(2, 9, 0, 5)), "2.95");  // an unnamed stage
  EXPECT_STREQ(format_version(make_version(2, 9, 'z', 0)), "2.9");
  EXPECT_EQ(version_of("2.9.0"), make_version(2, 9, 'f', 0));  // a third component of 0 is none
}

TEST(version, refuses_what_cannot_be_a_version_number) {
  const char* bad[] = {"",      "2",        "2.",      ".9",       "2.9.",     "256.0",
                       "2.256", "2.9.256",  "2.9rc256", "2.9.1.1", "2.9gamma", "2.9 ",
                       " 2.9",  "2.9rc-1",  "2.9.1rc1", "-1.0",    "2.9RC1",   "2,9",
                       "2.9rc3x", "99999999999.0", "2.9alpha1beta", nullptr};
  for (const char* text : bad) {
    version_number v = 0x12345678;
    EXPECT_FALSE(parse_version(text, &v)) << '"' << (text ? text : "(null)") << '"';
    EXPECT_EQ(v, 0x12345678u) << "a refused text must leave the result alone";
  }
}

TEST(version, requirements_labels_and_newer_builds) {
  package_header ppp = package("ppp", version_of("2.9"), 500);
  EXPECT_TRUE(satisfies(ppp, requirement("ppp", 0, 0)));
  EXPECT_TRUE(satisfies(ppp, requirement("ppp", ppp.version, ppp.version)));
  EXPECT_TRUE(satisfies(ppp, requirement("ppp", version_of("2.9rc7"), 0)));
  EXPECT_FALSE(satisfies(ppp, requirement("ppp", version_of("2.9.1"), 0)));
  EXPECT_FALSE(satisfies(ppp, requirement("ppp", 0, ppp.version - 1)));
  for (const char* other : {"PPP", "pppd", "pp"}) EXPECT_FALSE(satisfies(ppp, requirement(other)));
  EXPECT_STREQ(requirement_label(requirement("ppp", 0, version_of("3.0"))).c_str(), "ppp");
  EXPECT_STREQ(requirement_label(requirement("ppp", version_of("2.9rc1"))).c_str(), "ppp-2.9rc1");
  EXPECT_STREQ(package_label(package("zero", 0)).c_str(), "zero-0.0");
  // Build times count only between equal versions.
  package_header newer_early = package("ppp", version_of("2.9.1"), 100);
  package_header rebuilt = package("ppp", version_of("2.9"), 501);
  package_header same = package("ppp", version_of("2.9"), 500);
  EXPECT_TRUE(is_newer(newer_early, ppp) && !is_newer(ppp, newer_early));
  EXPECT_TRUE(is_newer(rebuilt, ppp) && !is_newer(ppp, rebuilt));
  EXPECT_FALSE(is_newer(same, ppp) || is_newer(ppp, same));
}

TEST(version, package_names_that_would_leave_the_database_are_invalid) {
  for (const char* name : {"", ".", "..", ".hidden", "a/b", "/", "../x", "my set", "tab\tname",
                           "line\n", "del\x7f"})
    EXPECT_FALSE(is_valid_package_name(string(name))) << '"' << name << '"';
  for (const char* name : {"a", "ppp", "lib.so", "x..y", "sixteen-bytes-ok"})
    EXPECT_TRUE(is_valid_package_name(string(name))) << name;
}
