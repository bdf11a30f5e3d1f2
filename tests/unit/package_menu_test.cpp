// The package list and menu: summaries, install order, display order,
// selection rules, grid geometry, wrapped and centred text, the dependency
// line.
#include "menu/package_menu.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "foundation/streams.h"
#include "menu/screen.h"
#include "support/bytes.h"
#include "support/scratch_file.h"

namespace {

// What the code under test writes to standard output.
class captured_output {
 public:
  captured_output() : saved_(dup(1)) {
    standard_output.flush();
    dup2(file_.fd(), 1);
  }
  ~captured_output() { release(); }
  std::string text() {
    release();
    return file_.contents();
  }

 private:
  void release() {
    if (saved_ < 0) return;
    standard_output.flush();
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
  }
  scratch_file file_;
  int saved_;
};

package_list list_of(const std::vector<std::pair<std::string, std::vector<std::string>>>& rows) {
  package_list list;
  for (const auto& [name, dependencies] : rows) {
    package_entry entry;
    entry.header.name = name.c_str();
    for (const std::string& d : dependencies) {
      requirement_entry r;
      r.name = d.c_str();
      r.minimum = r.maximum = 0;
      entry.header.dependencies.push_back(r);
    }
    list.entries.push_back(entry);
  }
  return list;
}

std::string selection(const package_list& list) {
  std::string marks;
  for (const package_entry& e : list.entries) marks += e.selected ? 'X' : '.';
  return marks;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// A package file with a header, optionally a description, and dependencies.
std::string summary_file(const std::string& name, const std::string& description,
                         const std::vector<std::string>& dependencies) {
  std::string sections = section(1, header_record(name, 0x01000000, 1));
  if (!description.empty()) sections += section(2, description);
  std::vector<requirement_row> rows;
  for (const std::string& d : dependencies) rows.emplace_back(d, 0, 0);
  if (!rows.empty()) sections += section(3, requirement_list(rows));
  return package_bytes(sections);
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

TEST(package_menu, display_order_puts_the_base_packages_first) {
  package_list list = list_of({{"b", {}}, {"system", {}}, {"a", {}}, {"dhcp", {}}, {"a", {}},
                               {"ppp", {}}, {"\xe9t", {}}});
  std::vector<size_t> order;
  for (size_t i : display_order(list)) order.push_back(i);
  EXPECT_EQ(order, (std::vector<size_t>{1, 5, 3, 2, 4, 0, 6}));
}

// The selection rules as a table: start selection, the entry toggled, the
// selection after. Entries: system, net (needs system), vpn (needs net),
// web (needs vpn, missing).
TEST(package_menu, toggling_follows_one_level_of_dependencies) {
  struct {
    const char* before;
    size_t toggled;
    const char* after;
  } cases[] = {
      {"X...", 0, "X..."},  // system stays selected
      {"X...", 2, "XXX."},  // vpn brings net, not net's own dependency again
      {"....", 1, "XX.."},
      {"XXXX", 1, "X..X"},  // net takes vpn along, not web (two levels away)
      {"XXXX", 3, "XXX."},
  };
  for (const auto& c : cases) {
    package_list list =
        list_of({{"system", {}}, {"net", {"system"}}, {"vpn", {"net"}}, {"web", {"vpn", "gone"}}});
    for (size_t i = 0; i < 4; ++i) list.entries[i].selected = c.before[i] == 'X';
    toggle_entry(list, c.toggled);
    EXPECT_EQ(selection(list), c.after) << c.before << " toggle " << c.toggled;
  }
  package_list list = list_of({{"net", {}}, {"system", {}}});
  list.entries[0].selected = true;
  select_minimum(list);
  EXPECT_EQ(selection(list), ".X");
}

TEST(package_menu, grid_of_seven_items_has_three_rows) {
  package_list list = list_of({{"a", {}}, {"b", {}}, {"c", {}}, {"d", {}}, {"e", {}}, {"f", {}},
                               {"g", {}}});
  std::vector<package_entry*> items;
  for (package_entry& e : list.entries) items.push_back(&e);
  item_grid grid;
  grid_init(grid, items.data(), 7, 7);
  EXPECT_EQ(grid.rows, 3);
  captured_output out;
  EXPECT_FALSE(grid_up(grid));
  EXPECT_TRUE(grid_right(grid));   // 0 -> 3
  EXPECT_TRUE(grid_right(grid));   // 3 -> 6
  EXPECT_FALSE(grid_right(grid));
  EXPECT_TRUE(grid_up(grid));      // 6 -> 5
  EXPECT_FALSE(grid_right(grid));  // 5 + 3 is past the end
  EXPECT_EQ(grid.current, 5);
  std::string drawn = out.text();
  // Item 6 sits in column 52 on row 7; the current one is drawn reversed.
  EXPECT_NE(drawn.find("\e[7;52H \e[m\e[7m [ ] g \e[m"), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("\e[9;26H \e[m\e[7m [ ] f \e[m"), std::string::npos);
}

TEST(package_menu, wrapped_and_centred_lines) {
  captured_output out;
  print_line(std::string(79, 'x').c_str(), 79, true);
  print_line("abcd", 4, true);
  print_lines("one\n", true);
  std::string words;
  for (int i = 0; i < 40; ++i) words += "word" + std::to_string(i) + (i % 7 ? " " : "\n");
  print_wrapped((words + std::string(100, 'L') + " tail").c_str(), false);
  std::vector<std::string> lines = lines_of(out.text());
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], std::string(79, 'x'));
  EXPECT_EQ(lines[1], std::string(38, ' ') + "abcd");
  EXPECT_EQ(lines[2], std::string(38, ' ') + "one");
  EXPECT_EQ(lines[3], std::string(40, ' '));
  std::string rejoined;
  for (size_t i = 4; i < lines.size(); ++i) {
    EXPECT_LE(lines[i].size(), 78u) << lines[i];
    rejoined += lines[i];
  }
  EXPECT_NE(rejoined.find("word38 word39 "), std::string::npos);
  EXPECT_NE(rejoined.find(std::string(78, 'L') + "tail "), std::string::npos);
}

TEST(package_menu, dependency_line_fits_its_buffer) {
  package_list list = list_of({{"sixteen-letters!", {}}, {"ppp", {"system", "dhcp"}}});
  char line[160];
  format_dependency_line(list.entries[0], line, sizeof line);
  EXPECT_STREQ(line, "sixteen-letters! (depends on nothing):");
  format_dependency_line(list.entries[1], line, sizeof line);
  EXPECT_STREQ(line, "ppp (depends on system, dhcp):");
  std::vector<std::string> many;
  for (int i = 0; i < 20; ++i) many.push_back("dependency-" + std::to_string(i));
  package_list crowded = list_of({{"big", many}});
  format_dependency_line(crowded.entries[0], line, sizeof line);
  std::string text = line;
  EXPECT_LT(text.size(), 160u);
  EXPECT_EQ(text.substr(text.size() - 5), "...):");
  EXPECT_EQ(text.find("big (depends on dependency-0, dependency-1, "), 0u);
}

TEST(package_menu, default_packages_come_from_defpacks) {
  char directory[] = "/tmp/defpacks-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  package_list list = list_of({{"system", {}}, {"ppp", {}}, {"dhcp", {}}});
  list.directory = directory;
  EXPECT_FALSE(select_default_packages(list));
  std::string path = std::string(directory) + "/defpacks";
  FILE* f = fopen(path.c_str(), "w");
  fputs("dhcp\n  nothing-here ", f);
  fclose(f);
  EXPECT_TRUE(select_default_packages(list));
  EXPECT_EQ(selection(list), "X.X");
  unlink(path.c_str());
  rmdir(directory);
}

TEST(package_list, summaries_with_and_without_description_or_dependencies) {
  scratch_file full(summary_file("ppp", "Point to point", {"system", "dhcp"}));
  package_entry e;
  ASSERT_TRUE(read_package_summary(full.path(), e));
  EXPECT_EQ(to_std(e.header.name), "ppp");
  EXPECT_EQ(to_std(e.description), "Point to point");
  ASSERT_EQ(e.header.dependencies.size(), 2u);
  EXPECT_EQ(to_std(e.header.dependencies[1].name), "dhcp");

  scratch_file no_description(summary_file("sixteen-letters!", "", {"system"}));
  ASSERT_TRUE(read_package_summary(no_description.path(), e));
  EXPECT_EQ(to_std(e.header.name), "sixteen-letters!");
  EXPECT_EQ(to_std(e.description), "");
  EXPECT_EQ(e.header.dependencies.size(), 1u);

  std::string good = summary_file("x", "d", {"y"});
  for (size_t cut : {4u, 12u, 30u, (unsigned)good.size() - 3}) {
    scratch_file broken(good.substr(0, cut));
    EXPECT_FALSE(read_package_summary(broken.path(), e)) << cut;
  }
  EXPECT_FALSE(read_package_summary("/nonexistent.kpk", e));
}

// X needs Y, Y needs Z: Z, Y, X. Dependencies missing from the list are
// left out; each package comes once; unselected dependencies come along.
TEST(package_list, install_order_puts_dependencies_first) {
  package_list list = list_of({{"x", {"y", "missing"}}, {"w", {"z"}}, {"y", {"z"}}, {"z", {}},
                               {"u", {}}});
  for (size_t i : {0, 1, 3}) list.entries[i].selected = true;
  EXPECT_EQ(order_of(list), (std::vector<std::string>{"z", "y", "x", "w"}));

  // A cycle does not loop.
  package_list cycle = list_of({{"a", {"b"}}, {"b", {"a"}}});
  for (package_entry& e : cycle.entries) e.selected = true;
  EXPECT_EQ(order_of(cycle), (std::vector<std::string>{"b", "a"}));
}
