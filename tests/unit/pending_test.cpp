// The install order of waiting package files, on in-memory records, and
// moving a file.
#include "installer/pending.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/records.h"
#include "support/scratch_file.h"

namespace {

const version_number V1 = make_version(1, 0, STAGE_FINAL, 0);
const version_number V2 = make_version(2, 0, STAGE_FINAL, 0);

version_number major_version(const std::string& text) {
  return make_version((unsigned)std::stoul(text), 0, STAGE_FINAL, 0);
}

// One waiting package file written as words: its name, then "=2" for
// version 2.0 (1.0 otherwise), "@200" for a build time, "needs:lib",
// "needs:lib>=2", "conflicts:old", "holds:lib=2" for a bundle member, and
// "unrecorded".
pending_package* parse_record(const std::string& text) {
  pending_package* record = new pending_package;
  std::istringstream words(text);
  std::string word;
  words >> word;
  size_t equals = word.find('=');
  record->name = word.substr(0, equals).c_str();
  record->version = equals == std::string::npos ? V1 : major_version(word.substr(equals + 1));
  record->path = ("/var/pckg/" + word + ".kpk").c_str();
  while (words >> word) {
    std::string value = word.substr(word.find(':') + 1);
    size_t at = value.find_first_of(">=");
    std::string name = value.substr(0, at);
    version_number version = at == std::string::npos ? 0 : major_version(value.substr(value.rfind('=') + 1));
    if (word[0] == '@') {
      record->build_time = (uint32_t)std::stoul(word.substr(1));
    } else if (word.rfind("needs:", 0) == 0) {
      record->dependencies.push_back(requirement(name.c_str(), version));
    } else if (word.rfind("conflicts:", 0) == 0) {
      record->conflicts.push_back(requirement(name.c_str()));
    } else if (word.rfind("holds:", 0) == 0) {
      record->members.push_back(package(name.c_str(), version ? version : V1));
    } else {
      EXPECT_EQ(word, "unrecorded");
      record->unrecorded = true;
    }
  }
  return record;
}

// The install order of the records, as "name-version" labels with "@" and
// the build time when that is not 0.
std::string install_order(const std::vector<std::string>& records, bool downgrade_mode) {
  linked_list<pending_package> collected, ordered;
  for (const std::string& text : records) collected.push_back(parse_record(text));
  order_pending_packages(collected, ordered, downgrade_mode);
  EXPECT_TRUE(collected.empty());
  std::string labels;
  for (pending_package* record : ordered) {
    labels += (labels.empty() ? "" : " ") + std::string(package_label(*record).c_str());
    if (record->build_time) labels += "@" + std::to_string(record->build_time);
    delete record;
  }
  ordered.clear();
  return labels;
}

TEST(pending_order, follows_dependencies_conflicts_versions_and_unrecorded_files) {
  struct {
    std::vector<std::string> records;  // in collection order
    const char* order;
    const char* downgrade_order;  // when it differs
  } cases[] = {
      {{"app needs:lib", "lib"}, "lib-1.0 app-1.0", nullptr},
      {{"top needs:mid", "mid needs:base", "base"}, "base-1.0 mid-1.0 top-1.0", nullptr},
      {{"a", "b", "c"}, "a-1.0 b-1.0 c-1.0", nullptr},
      // lib-1.0 does not meet "lib >= 2.0": nothing ties them.
      {{"app needs:lib>=2", "lib"}, "app-1.0 lib-1.0", nullptr},
      {{"app needs:lib", "suite holds:lib"}, "suite-1.0 app-1.0", nullptr},
      // Of two files of one name the newer goes first, the older with downgrade.
      {{"p", "p=2"}, "p-2.0 p-1.0", "p-1.0 p-2.0"},
      {{"p=2", "p"}, "p-2.0 p-1.0", "p-1.0 p-2.0"},
      {{"p @100", "p @200"}, "p-1.0@200 p-1.0@100", "p-1.0@100 p-1.0@200"},
      {{"p", "suite holds:p=2"}, "suite-1.0 p-1.0", nullptr},
      {{"new conflicts:old", "old"}, "old-1.0 new-1.0", nullptr},
      // An unrecorded file is appended without tests of its own (a recorded
      // "tool" would go first); files placed after it may follow it.
      {{"tool unrecorded", "app needs:tool"}, "app-1.0 tool-1.0", nullptr},
      {{"app needs:tool", "tool unrecorded", "other"}, "other-1.0 tool-1.0 app-1.0", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.order);
    EXPECT_EQ(install_order(c.records, false), c.order);
    EXPECT_EQ(install_order(c.records, true), c.downgrade_order ? c.downgrade_order : c.order);
  }
}

// The relations themselves, where the order alone cannot show them.

TEST(pending_relations, preferred_over_without_a_package_of_that_name) {
  pending_package f, g;
  f.name = "f";
  g.name = "g";
  g.version = V1;
  EXPECT_FALSE(preferred_over(f, g, false));
  EXPECT_TRUE(preferred_over(f, g, true));
  f.members.push_back(package("g", V2));
  EXPECT_TRUE(preferred_over(f, g, false));
  EXPECT_FALSE(preferred_over(f, g, true));
}

TEST(pending_relations, depends_on_covers_members_of_either_side) {
  pending_package f, g;
  f.name = "f";
  g.name = "g";
  EXPECT_FALSE(depends_on(f, g));
  package_header needy = package("m", V1);
  needy.dependencies.push_back(requirement("g"));
  f.members.push_back(needy);
  EXPECT_TRUE(depends_on(f, g));
  pending_package h;
  h.name = "h";
  h.members.push_back(package("x", V1));
  EXPECT_FALSE(depends_on(f, h));
  f.dependencies.push_back(requirement("x"));
  EXPECT_TRUE(depends_on(f, h));
}

TEST(pending_relations, conflicts_with_a_bundle_that_holds_the_name) {
  pending_package f, g;
  f.name = "f";
  g.name = "g";
  EXPECT_FALSE(conflicts_with(f, g));
  g.members.push_back(package("f", V1));
  EXPECT_TRUE(conflicts_with(f, g));
  EXPECT_TRUE(provides(g, string("f")));
  EXPECT_FALSE(provides(f, string("g")));
}

// move_file on scratch files: it copies, so that it works across file
// systems, and deletes the source only when the copy is complete.

std::string contents_of(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  std::string content;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, n);
  fclose(f);
  return content;
}

TEST(move_file, copies_and_deletes_the_source) {
  std::string content(100000, 'x');
  content[77777] = '\0';
  scratch_file file(content);
  std::string target = std::string(file.path()) + ".moved";
  ASSERT_TRUE(move_file(file.path(), target.c_str()));
  EXPECT_EQ(contents_of(target), content);
  EXPECT_EQ(contents_of(file.path()), "<missing>");
  unlink(target.c_str());
}

TEST(move_file, changes_nothing_when_it_cannot_create_the_target_or_it_is_the_source) {
  scratch_file file("data");
  std::string path = file.path(), same = path + ".same", other = path + ".other";
  ASSERT_EQ(link(path.c_str(), same.c_str()), 0);
  for (std::string target : {path + "/below_a_file", std::string(), same, path})
    EXPECT_FALSE(move_file(path.c_str(), target.c_str())) << target;
  EXPECT_FALSE(move_file((path + ".none").c_str(), other.c_str()));
  EXPECT_EQ(contents_of(path), "data");
  EXPECT_EQ(contents_of(other), "<missing>");
  unlink(same.c_str());
}

}  // namespace
