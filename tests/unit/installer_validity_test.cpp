// Validity of installed packages and the order in which a set is removed,
// on in-memory records of the run's repository (nothing touches the disk).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/package_record.h"
#include "installer/removal.h"
#include "installer/repository.h"
#include "installer/validity.h"
#include "support/records.h"

namespace {

package_record* make_record(const std::string& text) {
  package_words words = parse_package_words(text);
  package_record* record = new package_record;
  static_cast<package_header&>(*record) = words.header;
  record->bundle.name = words.bundle.c_str();
  record->valid = !words.invalid;
  return record;
}

std::string names(const linked_list<package_record>& list, bool invalid_only) {
  std::string text;
  for (const package_record* record : list)
    if (!invalid_only || !record->valid) text += (text.empty() ? "" : " ") + std::string(record->name.c_str());
  return text.empty() ? "-" : text;
}

// Each line of tests/unit/data/<file>: the records, in the repository's
// list, then step, then the names that line expects.
void run_table(const char* file, bool invalid_only, void (*step)(linked_list<package_record>&)) {
  linked_list<package_record>& list = the_repository().packages;
  for (const std::string& line : table_lines(file)) {
    std::vector<std::string> sides = split(line, "=>");
    for (const std::string& text : split(sides[0], ",")) list.push_back(make_record(text));
    step(list);
    EXPECT_EQ(names(list, invalid_only), sides[1]) << file << ": " << line;
    for (package_record* record : list) delete record;
    list.clear();
  }
}

TEST(repository, revalidation_and_removal_order_tables) {
  the_repository().quiet = true;
  run_table("validity.txt", true, [](linked_list<package_record>&) { revalidate_packages(); });
  run_table("removal_order.txt", false, order_for_removal);
}

TEST(labels, bundle_members_are_named_by_their_bundle_in_failures) {
  package_record member;
  member.name = "m1";
  member.version = make_version(1, 2, 'f', 0);
  EXPECT_STREQ(failure_label(member).c_str(), "m1-1.2");
  member.bundle.name = "suite";
  EXPECT_STREQ(failure_label(member).c_str(), "suite");
  member.bundle.version = make_version(2, 0, 'b', 3);
  EXPECT_STREQ(failure_label(member).c_str(), "suite-2.0beta3");
}

}  // namespace
