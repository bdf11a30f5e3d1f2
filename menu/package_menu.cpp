#include "menu/package_menu.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "foundation/streams.h"
#include "menu/screen.h"

namespace {

constexpr int GRID_TOP_ROW = 7;
constexpr int DESCRIPTION_ROW = 21;
constexpr int BOTTOM_ROW = 25;
constexpr size_t DEPENDENCY_LINE_SIZE = 160;
const char* const FIRST_PACKAGES[] = {"system", "ppp", "dhcp"};

const char* const HELP_TEXT =
    "Move around menu using 'p' and 'n' or arrow keys, select with 'spacebar'. Select all with "
    "'a', minimum with 'm'. Press 'i' to install locally or 'r' to install remote router or 'q' "
    "to cancel and reboot.";

int name_order(const package_entry& a, const package_entry& b) {
  return strncmp(a.header.name.c_str(), b.header.name.c_str(), MENU_NAME_SIZE);
}

bool depends_on(const package_entry& entry, const string& name) {
  for (const requirement_entry& dependency : entry.header.dependencies) {
    if (strncmp(dependency.name.c_str(), name.c_str(), MENU_NAME_SIZE) == 0) return true;
  }
  return false;
}

void show_description(const package_entry& entry) {
  for (int row = DESCRIPTION_ROW; row < DESCRIPTION_ROW + 3; ++row) {
    move_cursor(0, row);
    erase_line();
  }
  move_cursor(0, DESCRIPTION_ROW);
  char line[DEPENDENCY_LINE_SIZE];
  format_dependency_line(entry, line, sizeof line);
  print_line(line, strlen(line), false);
  print_wrapped(entry.description.c_str(), false);
  standard_output.flush();
}

void draw_screen(package_list& list, item_grid& grid) {
  clear_screen();
  show_cursor(true);
  set_attributes(ATTRIBUTE_BOLD);
  print_lines("Welcome to Tessaron Router Software installation\n", true);
  set_attributes(0);
  print_wrapped(HELP_TEXT, false);
  grid_draw(grid);
  // "defpacks" marks the default selection; without it the menu starts from
  // the minimum.
  if (!select_default_packages(list)) select_minimum(list);
  grid_draw(grid);
  show_description(*grid.items[grid.current]);
}

// An Escape sequence "[" and a letter moves the cursor; returns the key to
// handle as an ordinary one, or 0 when the sequence is used up.
int handle_escape(item_grid& grid) {
  int c = read_key();
  if (c != '[') return c;
  bool moved = false;
  switch (read_key()) {
    case 'A':
      moved = grid_up(grid);
      break;
    case 'B':
      moved = grid_down(grid);
      break;
    case 'C':
      moved = grid_right(grid);
      break;
    case 'D':
      moved = grid_left(grid);
      break;
    default:
      break;
  }
  if (moved) show_description(*grid.items[grid.current]);
  return 0;
}

void leave_menu() {
  move_cursor(0, BOTTOM_ROW);
  standard_output.flush();
}

}  // namespace

void package_list_init(package_list& list, const char* directory) {
  package_list_setup(list, directory);
  enter_menu_keyboard();
}

vector<size_t> display_order(const package_list& list) {
  vector<size_t> order;
  for (const char* name : FIRST_PACKAGES) {
    for (size_t i = 0; i < list.entries.size(); ++i) {
      if (strncmp(list.entries[i].header.name.c_str(), name, MENU_NAME_SIZE) == 0) {
        order.push_back(i);
        break;
      }
    }
  }
  size_t first_rest = order.size();
  for (size_t i = 0; i < list.entries.size(); ++i) {
    bool placed = false;
    for (size_t k = 0; k < first_rest; ++k) placed = placed || order[k] == i;
    if (placed) continue;
    // Insertion after every entry that is not greater: equal names keep
    // their directory order.
    size_t at = order.size();
    while (at > first_rest && name_order(list.entries[order[at - 1]], list.entries[i]) > 0) --at;
    order.insert(at, &i, 1);
  }
  return order;
}

void toggle_entry(package_list& list, size_t index) {
  package_entry& entry = list.entries[index];
  if (entry.selected) {
    if (entry.header.name == "system") return;
    entry.selected = false;
    for (package_entry& other : list.entries) {
      if (depends_on(other, entry.header.name)) other.selected = false;
    }
    return;
  }
  entry.selected = true;
  for (const requirement_entry& dependency : entry.header.dependencies) {
    long found = find_package(list, dependency.name);
    if (found >= 0) list.entries[(size_t)found].selected = true;
  }
}

void select_minimum(package_list& list) {
  for (package_entry& entry : list.entries) entry.selected = entry.header.name == "system";
}

bool select_default_packages(package_list& list) {
  char path[512];
  if ((size_t)snprintf(path, sizeof path, "%s/defpacks", list.directory) >= sizeof path)
    return false;
  file_input_stream file(path);
  if (!file.is_open()) return false;
  select_minimum(list);
  string word;
  while (file >> word) {
    if (word.length() > 79) continue;
    for (package_entry& entry : list.entries) {
      if (entry.header.name == word) {
        entry.selected = true;
        break;
      }
    }
  }
  return true;
}

void format_dependency_line(const package_entry& entry, char* line, size_t size) {
  static const char ELLIPSIS_END[] = "...):";
  int length = snprintf(line, size, "%.16s (depends on ", entry.header.name.c_str());
  size_t used = (size_t)length < size ? (size_t)length : size - 1;
  const vector<requirement_entry>& dependencies = entry.header.dependencies;
  if (dependencies.empty()) {
    snprintf(line + used, size - used, "nothing):");
    return;
  }
  for (size_t i = 0; i < dependencies.size(); ++i) {
    char piece[24];
    int n = snprintf(piece, sizeof piece, "%s%.16s", i ? ", " : "", dependencies[i].name.c_str());
    // Room for this piece and, should a later one not fit, for "...):".
    size_t needed = (size_t)n + (i + 1 < dependencies.size() ? sizeof ELLIPSIS_END - 1 : 2);
    if (used + needed >= size) {
      snprintf(line + used, size - used, "%s", ELLIPSIS_END);
      return;
    }
    memcpy(line + used, piece, (size_t)n);
    used += (size_t)n;
  }
  snprintf(line + used, size - used, "):");
}

bool run_menu(package_list& list) {
  vector<size_t> order = display_order(list);
  vector<package_entry*> items;
  for (size_t index : order) items.push_back(&list.entries[index]);
  item_grid grid;
  grid_init(grid, items.begin(), (int)items.size(), GRID_TOP_ROW);
  draw_screen(list, grid);
  list.remote = false;
  for (int key = read_key();; key = read_key()) {
    if (key == 27) key = handle_escape(grid);
    bool moved = false;
    switch (key) {
      case -1:
      case 'q':
      case 'Q':
        leave_menu();
        return false;
      case 'i':
      case 'I':
        leave_menu();
        return true;
      case 'r':
      case 'R':
        list.remote = true;
        leave_menu();
        return true;
      case 'p':
      case 'P':
        moved = grid_up(grid);
        break;
      case 'n':
      case 'N':
        moved = grid_down(grid);
        break;
      case 'a':
      case 'A':
        for (package_entry& entry : list.entries) entry.selected = true;
        grid_draw(grid);
        break;
      case 'm':
      case 'M':
        select_minimum(list);
        grid_draw(grid);
        break;
      case ' ':
        toggle_entry(list, order[(size_t)grid.current]);
        grid_draw(grid);
        break;
      default:
        break;
    }
    if (moved) show_description(*grid.items[grid.current]);
  }
}
