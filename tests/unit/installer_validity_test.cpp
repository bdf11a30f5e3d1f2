// Validity of installed packages and the order in which a set is removed,
// on in-memory records of the run's repository (nothing touches the disk).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/database.h"
#include "installer/package_record.h"
#include "installer/removal.h"
#include "installer/repository.h"
#include "support/records.h"

namespace {

version_number v(unsigned major, unsigned minor) { return make_version(major, minor, 'f', 0); }

class repository_test : public ::testing::Test {
 protected:
  void SetUp() override { the_repository().quiet = true; }
  void TearDown() override {
    linked_list<package_record>& packages = the_repository().packages;
    for (package_record* record : packages) delete record;
    packages.clear();
  }

  package_record* add(const char* name, version_number version = 0x01006600) {
    package_record* record = new package_record;
    record->name = name;
    record->version = version;
    the_repository().packages.push_back(record);
    return record;
  }

  std::vector<std::string> invalid_names() {
    std::vector<std::string> names;
    for (package_record* record : the_repository().packages)
      if (!record->valid) names.push_back(record->name.c_str());
    return names;
  }
};

TEST_F(repository_test, one_pass_spreads_invalidity_along_chains_in_any_list_order) {
  // a needs b needs c; c is missing. Listed so that a pass meets a first.
  package_record* a = add("a");
  package_record* b = add("b");
  a->dependencies.push_back(requirement("b"));
  b->dependencies.push_back(requirement("c"));
  add("unrelated");
  revalidate_packages();
  EXPECT_EQ(invalid_names(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(repository_test, dependency_ranges_and_invalid_providers) {
  package_record* lib = add("lib", v(2, 0));
  package_record* in_range = add("in_range");
  in_range->dependencies.push_back(requirement("lib", v(1, 0), v(2, 0)));
  package_record* too_new = add("too_new");
  too_new->dependencies.push_back(requirement("lib", 0, v(1, 9)));
  package_record* too_old = add("too_old");
  too_old->dependencies.push_back(requirement("lib", v(2, 1)));
  package_record* case_differs = add("case_differs");
  case_differs->dependencies.push_back(requirement("Lib"));
  revalidate_packages();
  EXPECT_EQ(invalid_names(), (std::vector<std::string>{"too_new", "too_old", "case_differs"}));

  lib->valid = false;  // an invalid provider counts as missing
  revalidate_packages();
  EXPECT_FALSE(in_range->valid);
}

TEST_F(repository_test, conflicts_count_only_in_the_direction_of_the_installed_list) {
  package_record* x = add("x");
  x->conflicts.push_back(requirement("p", v(1, 0), v(1, 5)));
  package_record* p = add("p", v(1, 2));
  package_record* q = add("q", v(1, 0));
  q->conflicts.push_back(requirement("x"));  // q's own conflicts are not consulted for x
  EXPECT_EQ(conflicting_package(*p), x);
  EXPECT_EQ(conflicting_package(*q), nullptr);
  revalidate_packages();
  EXPECT_FALSE(p->valid);
  EXPECT_FALSE(x->valid);  // q lists x: x meets q's conflict
  EXPECT_TRUE(q->valid);
}

TEST_F(repository_test, members_fall_with_their_bundle) {
  package_record* bundle = add("suite");
  package_record* member = add("m1");
  member->bundle.name = "suite";
  package_record* orphan = add("m2");
  orphan->bundle.name = "gone";
  revalidate_packages();
  EXPECT_TRUE(member->valid);
  EXPECT_FALSE(orphan->valid);
  bundle->valid = false;
  revalidate_packages();
  EXPECT_FALSE(member->valid);
}

TEST_F(repository_test, lookups_take_the_first_in_list_order) {
  package_record* first = add("dup", v(1, 0));
  add("dup", v(2, 0));
  first->files.insert(string("/usr/bin/tool"));
  package_record* other = add("other");
  other->files.insert(string("/usr/bin/tool"));
  EXPECT_EQ(find_package(string("dup")), first);
  EXPECT_EQ(find_package(string("du")), nullptr);
  EXPECT_STREQ(owner_of_path(string("/usr/bin/tool")).c_str(), "dup");
  EXPECT_TRUE(owner_of_path(string("/usr/bin/tool2")).empty());
}

TEST_F(repository_test, revalidation_follows_the_first_record_of_a_name) {
  package_record* old_lib = add("lib", v(1, 0));
  add("lib", v(2, 0));
  package_record* wants_new = add("wants_new");
  wants_new->dependencies.push_back(requirement("lib", v(2, 0)));  // only the second lib would do
  package_record* broken_suite = add("suite");
  broken_suite->valid = false;
  add("suite");
  package_record* member = add("member");
  member->bundle.name = "suite";
  package_record* fine = add("fine");
  fine->dependencies.push_back(requirement("lib", v(1, 0), v(1, 0)));
  revalidate_packages();
  EXPECT_EQ(invalid_names(), (std::vector<std::string>{"wants_new", "suite", "member"}));
  EXPECT_TRUE(old_lib->valid);
}

TEST_F(repository_test, a_conflict_counts_from_any_record_of_any_name) {
  // Both records named x list p; only the second one's range meets p.
  add("x")->conflicts.push_back(requirement("p", v(3, 0)));
  package_record* second_x = add("x");
  second_x->conflicts.push_back(requirement("q"));
  second_x->conflicts.push_back(requirement("p", v(1, 0), v(1, 5)));
  package_record* p = add("p", v(1, 2));
  revalidate_packages();
  EXPECT_FALSE(p->valid);
  EXPECT_EQ(conflicting_package(*p), second_x);
}

// Random repositories with repeated names, version ranges, conflicts and
// bundles: revalidation must mark exactly what repeated list walks mark.
TEST_F(repository_test, revalidation_matches_passes_of_list_walks) {
  srandom(7);
  const char* names[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "lib"};
  const size_t name_count = sizeof names / sizeof names[0];
  for (int round = 0; round < 200; ++round) {
    TearDown();
    std::vector<package_record*> records;
    for (int n = random() % 40; n >= 0; --n) {
      package_record* record = add(names[random() % name_count], v(1, random() % 4));
      record->valid = random() % 10 != 0;
      for (int d = random() % 3; d > 0; --d)
        record->dependencies.push_back(
            requirement(names[random() % name_count], v(1, random() % 3), random() % 2 ? v(1, 2) : 0));
      if (random() % 4 == 0)
        record->conflicts.push_back(requirement(names[random() % name_count], v(1, random() % 4)));
      if (random() % 5 == 0) record->bundle.name = names[random() % name_count];
      records.push_back(record);
    }
    std::vector<bool> before;
    for (package_record* record : records) before.push_back(record->valid);
    revalidate_packages();
    std::vector<bool> indexed;
    for (size_t i = 0; i < records.size(); ++i) {
      indexed.push_back(records[i]->valid);
      records[i]->valid = before[i];
    }
    for (bool changed = true; changed;) {
      changed = false;
      for (package_record* record : records)
        if (record->valid && !is_package_valid(*record)) changed = true;
    }
    for (size_t i = 0; i < records.size(); ++i)
      ASSERT_EQ(indexed[i], records[i]->valid) << "round " << round << ", record " << i;
  }
}

std::vector<std::string> removal_order(const std::vector<package_record*>& input) {
  linked_list<package_record> list;
  for (package_record* record : input) list.push_back(record);
  order_for_removal(list);
  std::vector<std::string> names;
  for (package_record* record : list) names.push_back(record->name.c_str());
  return names;
}

// Removal goes against the dependencies, in one insertion pass.
TEST(removal_order, a_package_goes_before_what_it_depends_on_in_one_pass) {
  package_record a, b, c, x, y;
  a.name = "a", b.name = "b", c.name = "c", x.name = "x", y.name = "y";
  a.dependencies.push_back(requirement("b"));
  b.dependencies.push_back(requirement("c"));
  EXPECT_EQ(removal_order({&c, &b, &a}), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(removal_order({&a, &b, &c}), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(removal_order({&b, &c, &a}), (std::vector<std::string>{"a", "b", "c"}));
  // c goes in first, b finds nothing it needs and goes to the end, a goes
  // in front of c: b, which needs a, ends up after it.
  a.dependencies[0] = requirement("c");
  b.dependencies[0] = requirement("a");
  EXPECT_EQ(removal_order({&a, &b, &c}), (std::vector<std::string>{"a", "c", "b"}));
  y.version = v(3, 0);
  x.dependencies.push_back(requirement("y", 0, v(2, 0)));  // not met by y-3.0
  EXPECT_EQ(removal_order({&x, &y}), (std::vector<std::string>{"y", "x"}));
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
