// The install order of waiting package files, on in-memory records, and
// moving a file.
#include "installer/pending.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/records.h"
#include "support/scratch_file.h"

namespace {

pending_package* make_pending(const std::string& text) {
  package_words words = parse_package_words(text);
  pending_package* record = new pending_package;
  static_cast<package_header&>(*record) = words.header;
  for (const package_header& member : words.holds) record->members.push_back(member);
  record->unrecorded = words.unrecorded;
  return record;
}

// The install order of the records, as "name-version" labels with "@" and
// the build time when that is not 0.
std::string install_order(const std::string& records, bool downgrade_mode) {
  linked_list<pending_package> collected, ordered;
  for (const std::string& text : split(records, ",")) collected.push_back(make_pending(text));
  order_pending_packages(collected, ordered, downgrade_mode ? DOWNGRADE_MODE : UPGRADE_MODE);
  EXPECT_TRUE(collected.empty());
  std::string labels;
  for (pending_package* record : ordered) {
    labels += (labels.empty() ? "" : " ") + std::string(package_label(*record).c_str());
    if (record->build_time) labels += "@" + std::to_string(record->build_time);
    delete record;
  }
  return labels;
}

// tests/unit/data/pending_order.txt
TEST(pending_order, table) {
  for (const std::string& line : table_lines("pending_order.txt")) {
    std::vector<std::string> sides = split(line, "=>");
    std::vector<std::string> orders = split(sides[1], "|");
    EXPECT_EQ(install_order(sides[0], false), orders[0]) << line;
    EXPECT_EQ(install_order(sides[0], true), orders.back()) << line << " (downgrade)";
  }
}

// A bundle counts through its members on either side, also where the order
// alone cannot show it.
TEST(pending_relations, bundles_count_through_their_members) {
  pending_package* made[] = {make_pending("f holds:m"), make_pending("h holds:x"), make_pending("g")};
  pending_package &needy = *made[0], &holds_x = *made[1], &g = *made[2];
  needy.members[0].dependencies.push_back(requirement("g"));
  EXPECT_TRUE(depends_on(needy, g));
  EXPECT_FALSE(depends_on(needy, holds_x));
  EXPECT_TRUE(conflicts_with(g, holds_x) == false && provides(holds_x, string("x")));
  for (pending_package* p : made) delete p;
}

// move_file copies, so that it works across file systems, and deletes the
// source only when the copy is complete; it changes nothing when it cannot
// create the target, or the target is the source.
TEST(move_file, copies_then_deletes_and_refuses_the_source_itself) {
  std::string content(100000, 'x');
  content[77777] = '\0';
  scratch_file file(content);
  std::string path = file.path(), same = path + ".same", moved = path + ".moved";
  ASSERT_EQ(link(path.c_str(), same.c_str()), 0);
  for (std::string target : {path + "/below_a_file", std::string(), same, path})
    EXPECT_FALSE(move_file(path.c_str(), target.c_str())) << target;
  EXPECT_FALSE(move_file((path + ".none").c_str(), moved.c_str()));
  EXPECT_TRUE(file.contents() == content && access(moved.c_str(), F_OK) != 0);
  unlink(same.c_str());
  ASSERT_TRUE(move_file(path.c_str(), moved.c_str()));
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  ASSERT_EQ(rename(moved.c_str(), path.c_str()), 0);
  EXPECT_TRUE(file.contents() == content);
}

}  // namespace
