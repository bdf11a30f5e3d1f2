// The packages of a medium: summaries read with the shared package reader,
// and the install order that puts dependencies first.
#include "menu/package_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/bytes.h"
#include "support/scratch_file.h"

namespace {

std::string section(uint16_t type, const std::string& payload) {
  return le16(type) + le32((uint32_t)payload.size()) + payload;
}

std::string name_field(const std::string& name) {
  return name + std::string(16 - name.size(), '\0');
}

// A package file with a header, optionally a description, and dependencies.
std::string package(const std::string& name, const std::string& description,
                    const std::vector<std::string>& dependencies) {
  std::string body = section(1, name_field(name) + le32(0x01000000) + le32(1) + std::string(8, 0));
  if (!description.empty()) body += section(2, description);
  if (!dependencies.empty()) {
    std::string list = le16((uint32_t)dependencies.size());
    for (const std::string& d : dependencies) list += name_field(d) + std::string(16, '\0');
    body += section(3, list);
  }
  return le32(0xBAD0F11Eu) + le32((uint32_t)body.size()) + body;
}

package_entry entry(const std::string& name, const std::vector<std::string>& dependencies,
                    bool selected) {
  package_entry e;
  e.header.name = name.c_str();
  e.path = ("/m/" + name + ".kpk").c_str();
  for (const std::string& d : dependencies) {
    requirement_entry r;
    r.name = d.c_str();
    r.minimum = r.maximum = 0;
    e.header.dependencies.push_back(r);
  }
  e.selected = selected;
  return e;
}

std::vector<std::string> order_of(const package_list& list) {
  install_order order;
  install_order_init(order, list);
  std::vector<std::string> names;
  while (next_package_path(order)) names.push_back(current_package_name(order));
  install_order_rewind(order);
  EXPECT_NE(next_package_path(order), nullptr);  // a second pass starts over
  return names;
}

}  // namespace

TEST(package_list, summaries_with_and_without_description_or_dependencies) {
  scratch_file full(package("ppp", "Point to point", {"system", "dhcp"}));
  package_entry e;
  ASSERT_TRUE(read_package_summary(full.path(), e));
  EXPECT_EQ(to_std(e.header.name), "ppp");
  EXPECT_EQ(to_std(e.description), "Point to point");
  ASSERT_EQ(e.header.dependencies.size(), 2u);
  EXPECT_EQ(to_std(e.header.dependencies[1].name), "dhcp");

  scratch_file no_description(package("sixteen-letters!", "", {"system"}));
  ASSERT_TRUE(read_package_summary(no_description.path(), e));
  EXPECT_EQ(to_std(e.header.name), "sixteen-letters!");
  EXPECT_EQ(to_std(e.description), "");
  EXPECT_EQ(e.header.dependencies.size(), 1u);

  std::string good = package("x", "d", {"y"});
  for (size_t cut : {4u, 12u, 30u, (unsigned)good.size() - 3}) {
    scratch_file broken(good.substr(0, cut));
    EXPECT_FALSE(read_package_summary(broken.path(), e)) << cut;
  }
  EXPECT_FALSE(read_package_summary("/nonexistent.kpk", e));
}

// X needs Y, Y needs Z: Z, Y, X. Dependencies missing from the list are
// left out; each package comes once; unselected dependencies come along.
TEST(package_list, install_order_puts_dependencies_first) {
  package_list list;
  list.entries.push_back(entry("x", {"y", "missing"}, true));
  list.entries.push_back(entry("w", {"z"}, true));
  list.entries.push_back(entry("y", {"z"}, false));
  list.entries.push_back(entry("z", {}, true));
  list.entries.push_back(entry("u", {}, false));
  EXPECT_EQ(order_of(list), (std::vector<std::string>{"z", "y", "x", "w"}));

  // A cycle does not loop.
  package_list cycle;
  cycle.entries.push_back(entry("a", {"b"}, true));
  cycle.entries.push_back(entry("b", {"a"}, true));
  EXPECT_EQ(order_of(cycle), (std::vector<std::string>{"b", "a"}));
}
