// The install order of waiting package files, on in-memory records, and
// moving a file.
#include "installer/pending.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const version_number V1 = make_version(1, 0, STAGE_FINAL, 0);
const version_number V2 = make_version(2, 0, STAGE_FINAL, 0);

requirement_entry requirement(const char* name, version_number minimum = 0,
                              version_number maximum = 0) {
  requirement_entry entry;
  entry.name = name;
  entry.minimum = minimum;
  entry.maximum = maximum;
  return entry;
}

package_header member(const char* name, version_number version, uint32_t build_time = 0) {
  package_header header;
  header.name = name;
  header.version = version;
  header.build_time = build_time;
  return header;
}

// Records in collection order; the fixture owns them.
class pending_order : public ::testing::Test {
 protected:
  ~pending_order() override {
    for (pending_package* record : records_) delete record;
  }

  pending_package& add(const char* name, version_number version = V1, uint32_t build_time = 0) {
    pending_package* record = new pending_package;
    record->name = name;
    record->version = version;
    record->build_time = build_time;
    record->path = std::string("/var/pckg/").append(name).append(".kpk").c_str();
    records_.push_back(record);
    return *record;
  }

  // The install order of the records added so far, as "name-version" labels
  // with "@" and the build time when that is not 0.
  std::vector<std::string> order(bool downgrade_mode = false) {
    linked_list<pending_package> collected, ordered;
    for (pending_package* record : records_) collected.push_back(record);
    order_pending_packages(collected, ordered, downgrade_mode);
    EXPECT_TRUE(collected.empty());
    std::vector<std::string> labels;
    for (pending_package* record : ordered) {
      std::string label = package_label(*record).c_str();
      if (record->build_time) label += "@" + std::to_string(record->build_time);
      labels.push_back(label);
    }
    ordered.clear();
    return labels;
  }

 private:
  std::vector<pending_package*> records_;
};

typedef std::vector<std::string> labels;

TEST_F(pending_order, dependency_goes_first_whatever_the_collection_order) {
  add("app").dependencies.push_back(requirement("lib"));
  add("lib");
  EXPECT_EQ(order(), (labels{"lib-1.0", "app-1.0"}));
}

TEST_F(pending_order, chain_is_ordered_when_collected_backwards) {
  add("top").dependencies.push_back(requirement("mid"));
  add("mid").dependencies.push_back(requirement("base"));
  add("base");
  EXPECT_EQ(order(), (labels{"base-1.0", "mid-1.0", "top-1.0"}));
}

TEST_F(pending_order, unrelated_files_keep_collection_order) {
  add("a");
  add("b");
  add("c");
  EXPECT_EQ(order(), (labels{"a-1.0", "b-1.0", "c-1.0"}));
}

TEST_F(pending_order, dependency_outside_the_version_range_does_not_order) {
  add("app").dependencies.push_back(requirement("lib", V2));
  add("lib", V1);
  // lib-1.0 does not meet "lib >= 2.0": nothing ties them, collection order stays.
  EXPECT_EQ(order(), (labels{"app-1.0", "lib-1.0"}));
}

TEST_F(pending_order, dependency_met_by_a_bundle_member_orders_after_the_bundle) {
  add("app").dependencies.push_back(requirement("lib"));
  add("suite").members.push_back(member("lib", V1));
  EXPECT_EQ(order(), (labels{"suite-1.0", "app-1.0"}));
}

TEST_F(pending_order, newer_of_two_files_of_one_name_goes_first_older_with_downgrade) {
  add("p", V1);
  add("p", V2);
  EXPECT_EQ(order(), (labels{"p-2.0", "p-1.0"}));
  EXPECT_EQ(order(true), (labels{"p-1.0", "p-2.0"}));
}

TEST_F(pending_order, newer_first_also_when_collected_first) {
  add("p", V2);
  add("p", V1);
  EXPECT_EQ(order(), (labels{"p-2.0", "p-1.0"}));
  EXPECT_EQ(order(true), (labels{"p-1.0", "p-2.0"}));
}

TEST_F(pending_order, build_time_decides_between_equal_versions) {
  add("p", V1, 100);
  add("p", V1, 200);
  EXPECT_EQ(order(), (labels{"p-1.0@200", "p-1.0@100"}));
  EXPECT_EQ(order(true), (labels{"p-1.0@100", "p-1.0@200"}));
}

TEST_F(pending_order, bundle_with_a_newer_member_goes_before_the_single_file) {
  add("p", V1);
  add("suite").members.push_back(member("p", V2));
  EXPECT_EQ(order(), (labels{"suite-1.0", "p-1.0"}));
}

TEST_F(pending_order, conflicting_file_goes_after_the_one_it_conflicts_with) {
  add("new").conflicts.push_back(requirement("old"));
  add("old");
  EXPECT_EQ(order(), (labels{"old-1.0", "new-1.0"}));
}

TEST_F(pending_order, unrecorded_file_is_appended_without_tests_of_its_own) {
  // A recorded "tool" would go to the front, before "app" that needs it.
  pending_package& tool = add("tool");
  tool.unrecorded = true;
  add("app").dependencies.push_back(requirement("tool"));
  EXPECT_EQ(order(), (labels{"app-1.0", "tool-1.0"}));
}

TEST_F(pending_order, files_placed_after_an_unrecorded_one_may_follow_it) {
  add("app").dependencies.push_back(requirement("tool"));
  pending_package& tool = add("tool");
  tool.unrecorded = true;
  add("other");
  EXPECT_EQ(order(), (labels{"other-1.0", "tool-1.0", "app-1.0"}));
}

// The relations themselves, where the order alone cannot show them.

TEST(pending_relations, preferred_over_without_a_package_of_that_name) {
  pending_package f, g;
  f.name = "f";
  g.name = "g";
  g.version = V1;
  EXPECT_FALSE(preferred_over(f, g, false));
  EXPECT_TRUE(preferred_over(f, g, true));
  f.members.push_back(member("g", V2));
  EXPECT_TRUE(preferred_over(f, g, false));
  EXPECT_FALSE(preferred_over(f, g, true));
}

TEST(pending_relations, depends_on_covers_members_of_either_side) {
  pending_package f, g;
  f.name = "f";
  g.name = "g";
  EXPECT_FALSE(depends_on(f, g));
  package_header needy = member("m", V1);
  needy.dependencies.push_back(requirement("g"));
  f.members.push_back(needy);
  EXPECT_TRUE(depends_on(f, g));
  pending_package h;
  h.name = "h";
  h.members.push_back(member("x", V1));
  EXPECT_FALSE(depends_on(f, h));
  f.dependencies.push_back(requirement("x"));
  EXPECT_TRUE(depends_on(f, h));
}

TEST(pending_relations, conflicts_with_a_bundle_that_holds_the_name) {
  pending_package f, g;
  f.name = "f";
  g.name = "g";
  EXPECT_FALSE(conflicts_with(f, g));
  g.members.push_back(member("f", V1));
  EXPECT_TRUE(conflicts_with(f, g));
  EXPECT_TRUE(provides(g, string("f")));
  EXPECT_FALSE(provides(f, string("g")));
}

// move_file on scratch files.

class scratch_files : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pending_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + directory_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  std::string path(const char* name) const { return directory_ + "/" + name; }
  void write(const char* name, const std::string& content) {
    FILE* f = fopen(path(name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
  }
  std::string read(const char* name) {
    std::string content;
    FILE* f = fopen(path(name).c_str(), "rb");
    if (!f) return "<missing>";
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, n);
    fclose(f);
    return content;
  }

  std::string directory_;
};

TEST_F(scratch_files, move_file_copies_and_deletes_the_source) {
  std::string content(100000, 'x');
  content[77777] = '\0';
  write("a.kpk", content);
  ASSERT_TRUE(move_file(path("a.kpk").c_str(), path("b.kpk").c_str()));
  EXPECT_EQ(read("b.kpk"), content);
  EXPECT_EQ(read("a.kpk"), "<missing>");
}

TEST_F(scratch_files, move_file_changes_nothing_when_it_cannot_create_the_target) {
  write("a.kpk", "data");
  EXPECT_FALSE(move_file(path("a.kpk").c_str(), path("missing/b.kpk").c_str()));
  EXPECT_FALSE(move_file(path("a.kpk").c_str(), ""));
  EXPECT_FALSE(move_file(path("none.kpk").c_str(), path("c.kpk").c_str()));
  EXPECT_EQ(read("a.kpk"), "data");
  EXPECT_EQ(read("c.kpk"), "<missing>");
}

TEST_F(scratch_files, move_file_onto_itself_keeps_the_file) {
  write("a.kpk", "data");
  ASSERT_EQ(link(path("a.kpk").c_str(), path("same.kpk").c_str()), 0);
  EXPECT_FALSE(move_file(path("a.kpk").c_str(), path("same.kpk").c_str()));
  EXPECT_FALSE(move_file(path("a.kpk").c_str(), path("a.kpk").c_str()));
  EXPECT_EQ(read("a.kpk"), "data");
}

}  // namespace
