// The package menu's order, selection, grid and texts; the package list.
#include "menu/package_menu.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "foundation/streams.h"
#include "menu/screen.h"
#include "support/bytes.h"
#include "support/scratch_file.h"

namespace {

// What draw writes to standard output.
std::string output_of(const std::function<void()>& draw) {
  scratch_file file;
  standard_output.flush();
  int saved = dup(1);
  dup2(file.fd(), 1);
  draw();
  standard_output.flush();
  dup2(saved, 1);
  close(saved);
  return file.contents();
}

package_list list_of(const std::vector<std::pair<std::string, std::vector<std::string>>>& rows) {
  package_list list;
  for (const auto& [name, dependencies] : rows) {
    package_entry entry;
    entry.header.name = name.c_str();
    for (const auto& d : dependencies) entry.header.dependencies.push_back({d.c_str(), 0, 0});
    list.entries.push_back(entry);
  }
  return list;
}

std::string selection(const package_list& list) {
  std::string marks;
  for (const package_entry& e : list.entries) marks += e.selected ? 'X' : '.';
  return marks;
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
  package_list list = list_of(
      {{"b", {}}, {"system", {}}, {"a", {}}, {"dhcp", {}}, {"a", {}}, {"ppp", {}}, {"\xe9t", {}}});
  vector<size_t> order = display_order(list);
  EXPECT_EQ(std::vector<size_t>(order.begin(), order.end()),
            std::vector<size_t>({1, 5, 3, 2, 4, 0, 6}));
}

// Start selection, the entry toggled, the selection after, of system, net
// (needs system), vpn (needs net) and web (needs vpn and a missing one).
TEST(package_menu, toggling_follows_one_level_of_dependencies) {
  struct {
    const char* before;
    size_t toggled;
    const char* after;
  } cases[] = {
      {"X...", 0, "X..."},                       // system stays selected
      {"X...", 2, "XXX."},                       // vpn brings net, not net's own dependency again
      {"....", 1, "XX.."}, {"XXXX", 1, "X..X"},  // net takes vpn along, not web (two levels away)
      {"XXXX", 3, "XXX."},
  };
  for (const auto& c : cases) {
    package_list list =
        list_of({{"system", {}}, {"net", {"system"}}, {"vpn", {"net"}}, {"web", {"vpn", "gone"}}});
    for (size_t i = 0; i < 4; ++i) list.entries[i].selected = c.before[i] == 'X';
    toggle_entry(list, c.toggled);
    EXPECT_EQ(selection(list), c.after) << c.before << " toggle " << c.toggled;
  }
}

// "defpacks" makes the selection the minimum and the names it lists.
TEST(package_menu, default_packages_come_from_defpacks) {
  char directory[] = "/tmp/defpacks-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  package_list list = list_of({{"system", {}}, {"ppp", {}}, {"dhcp", {}}});
  list.directory = directory;
  list.entries[1].selected = true;
  EXPECT_FALSE(select_default_packages(list));
  std::ofstream(std::string(directory) + "/defpacks") << "dhcp\n  nothing-here ";
  EXPECT_TRUE(select_default_packages(list));
  EXPECT_EQ(selection(list), "X.X");
  std::filesystem::remove_all(directory);
}

TEST(package_menu, grid_of_seven_items_has_three_rows) {
  package_list list =
      list_of({{"a", {}}, {"b", {}}, {"c", {}}, {"d", {}}, {"e", {}}, {"f", {}}, {"g", {}}});
  std::vector<package_entry*> items;
  for (package_entry& e : list.entries) items.push_back(&e);
  item_grid grid;
  grid_init(grid, items.data(), 7, 7);
  std::string drawn = output_of([&] {
    EXPECT_FALSE(grid_up(grid));
    EXPECT_TRUE(grid_right(grid));  // 0 -> 3
    EXPECT_TRUE(grid_right(grid));  // 3 -> 6
    EXPECT_FALSE(grid_right(grid));
    EXPECT_TRUE(grid_up(grid));      // 6 -> 5
    EXPECT_FALSE(grid_right(grid));  // 5 + 3 is past the end
  });
  // Item 6 sits in column 52 on row 7; the current one is drawn reversed.
  EXPECT_NE(drawn.find("\e[7;52H \e[m\e[7m [ ] g \e[m"), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("\e[9;26H \e[m\e[7m [ ] f \e[m"), std::string::npos);
}

// Centred lines, and wrapped ones of at most 78 columns in which a word
// longer than a line is cut.
TEST(package_menu, wrapped_and_centred_lines) {
  std::string words;
  for (int i = 0; i < 40; ++i) words += "word" + std::to_string(i) + (i % 7 ? " " : "\n");
  std::string text = output_of([&] {
    print_line(std::string(79, 'x').c_str(), 79, true);
    print_lines("one\n", true);
    print_wrapped((words + std::string(100, 'L') + " tail").c_str(), false);
  });
  EXPECT_EQ(text.substr(0, 163), std::string(79, 'x') + "\n" + std::string(38, ' ') + "one\n" +
                                     std::string(40, ' ') + "\n");
  std::string rejoined;
  for (size_t start = 163, end; (end = text.find('\n', start)) < text.size(); start = end + 1) {
    EXPECT_LE(end - start, 78u) << text.substr(start, end - start);
    rejoined += text.substr(start, end - start);
  }
  EXPECT_NE(rejoined.find("word38 word39 "), std::string::npos);
  EXPECT_NE(rejoined.find(std::string(78, 'L') + "tail "), std::string::npos);
}

TEST(package_menu, dependency_line_fits_its_buffer) {
  // 16 + 13 + 7 x 18 = 155 bytes: the seventh long piece leaves no room for "...):".
  std::vector<std::string> many = {"thirteen-char"};
  for (int i = 0; i < 9; ++i) many.push_back("cut-at-sixteen-letters-" + std::to_string(i));
  package_list list =
      list_of({{"sixteen-letters!", {}}, {"ppp", {"system", "dhcp"}}, {"big", many}});
  char line[160];
  format_dependency_line(list.entries[0], line, sizeof line);
  EXPECT_STREQ(line, "sixteen-letters! (depends on nothing):");
  format_dependency_line(list.entries[1], line, sizeof line);
  EXPECT_STREQ(line, "ppp (depends on system, dhcp):");
  format_dependency_line(list.entries[2], line, sizeof line);
  std::string expected = "big (depends on thirteen-char";
  for (int i = 0; i < 6; ++i) expected += ", cut-at-sixteen-l";
  EXPECT_EQ(line, expected + "...):");
}

// Summaries with and without description and dependencies, read one after
// the other into the same entry; a cut file fails.
TEST(package_list, summaries) {
  std::string full =
      package_bytes(section(1, header_record("ppp", 0x01000000, 1)) + section(2, "Point to point") +
                    section(3, requirement_list({{"system", 0, 0}, {"dhcp", 0, 0}})));
  scratch_file file(full), bare(package_bytes(section(1, header_record("x", 1, 1)))),
      cut(full.substr(0, full.size() - 3));
  package_entry e;
  ASSERT_TRUE(read_package_summary(file.path(), e));
  EXPECT_EQ(to_std(e.header.name) + "/" + to_std(e.description), "ppp/Point to point");
  ASSERT_EQ(e.header.dependencies.size(), 2u);
  EXPECT_EQ(to_std(e.header.dependencies[1].name), "dhcp");
  ASSERT_TRUE(read_package_summary(bare.path(), e));
  EXPECT_EQ(to_std(e.header.name) + to_std(e.description), "x");
  EXPECT_EQ(e.header.dependencies.size(), 0u);
  EXPECT_FALSE(read_package_summary(cut.path(), e));
}

// Dependencies first, each package once, unselected dependencies too,
// missing ones left out; a cycle does not loop.
TEST(package_list, install_order_puts_dependencies_first) {
  package_list list =
      list_of({{"x", {"y", "missing"}}, {"w", {"z"}}, {"y", {"z"}}, {"z", {}}, {"u", {}}});
  for (size_t i : {0, 1, 3}) list.entries[i].selected = true;
  EXPECT_EQ(order_of(list), (std::vector<std::string>{"z", "y", "x", "w"}));
  package_list cycle = list_of({{"a", {"b"}}, {"b", {"a"}}});
  for (package_entry& e : cycle.entries) e.selected = true;
  EXPECT_EQ(order_of(cycle), (std::vector<std::string>{"b", "a"}));
}
