#include "menu/screen.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "foundation/streams.h"
#include "menu/package_list.h"

namespace {

constexpr size_t WRAP_WIDTH = 78;

void put(const char* text) {
  standard_output << text;
}

bool grid_move(item_grid& grid, int step) {
  int target = grid.current + step;
  if (target < 0 || target >= grid.count) return false;
  int old = grid.current;
  grid.current = target;
  grid_draw_item(grid, old);
  grid_draw_item(grid, target);
  standard_output.flush();
  return true;
}

}  // namespace

void move_cursor(int column, int row) {
  char text[24];
  snprintf(text, sizeof text, "\e[%u;%uH", (unsigned)(uint8_t)row, (unsigned)(uint8_t)column);
  put(text);
}

void clear_screen() {
  put("\e[2J\e[H");
}

void show_cursor(bool hide) {
  put(hide ? "\e[?25l" : "\e[?25h");
}

void erase_line() {
  put("\e[2K");
}

void set_attributes(unsigned bits) {
  put("\e[m");
  if (bits & ATTRIBUTE_UNDERLINE) put("\e[4m");
  if (bits & ATTRIBUTE_REVERSE) put("\e[7m");
  if (bits & ATTRIBUTE_BLINK) put("\e[5m");
  if (bits & ATTRIBUTE_BOLD) put("\e[1m");
}

void print_line(const char* text, size_t length, bool centre) {
  if (centre && length < SCREEN_COLUMNS) {
    for (size_t i = 0; i < (SCREEN_COLUMNS - length) / 2; ++i) standard_output << ' ';
  }
  standard_output.write(text, length);
  standard_output << '\n';
}

void print_lines(const char* text, bool centre) {
  for (;;) {
    const char* end = strchr(text, '\n');
    if (!end) {
      print_line(text, strlen(text), centre);
      return;
    }
    print_line(text, (size_t)(end - text), centre);
    text = end + 1;
  }
}

void print_wrapped(const char* text, bool centre) {
  char line[SCREEN_COLUMNS];
  size_t length = 0;
  const char* separators = " \n";
  for (const char* word = text + strspn(text, separators); *word;
       word += strspn(word, separators)) {
    size_t word_length = strcspn(word, separators);
    if (length + word_length + 1 > WRAP_WIDTH) {
      print_line(line, length, centre);
      length = 0;
    }
    if (word_length + 1 > WRAP_WIDTH) {
      // Longer than any line: a line of its own, cut.
      print_line(word, WRAP_WIDTH, centre);
    } else {
      memcpy(line + length, word, word_length);
      length += word_length;
      line[length++] = ' ';
    }
    word += word_length;
  }
  print_line(line, length, centre);
}

int read_key() {
  for (;;) {
    unsigned char c;
    return read_retrying(0, &c, 1) == 1 ? c : -1;
  }
}

void enter_menu_keyboard() {
  struct termios attributes;
  if (tcgetattr(0, &attributes) != 0) return;
  attributes.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
  tcsetattr(0, TCSANOW, &attributes);
}

void grid_init(item_grid& grid, package_entry** items, int count, int top_row) {
  grid.items = items;
  grid.count = count;
  grid.current = 0;
  grid.top_row = top_row;
  grid.columns = 3;
  grid.rows = count / 3 + (count % 3 ? 1 : 0);
}

void grid_draw_item(const item_grid& grid, int index) {
  move_cursor(index / grid.rows * GRID_COLUMN_WIDTH, index % grid.rows + grid.top_row);
  standard_output << ' ';
  if (index == grid.current) set_attributes(ATTRIBUTE_REVERSE);
  const package_entry& item = *grid.items[index];
  char text[32];
  snprintf(text, sizeof text, " [%c] %.16s ", item.selected ? 'X' : ' ', item.header.name.c_str());
  put(text);
  if (index == grid.current) set_attributes(0);
}

void grid_draw(const item_grid& grid) {
  for (int i = 0; i < grid.count; ++i) grid_draw_item(grid, i);
  standard_output.flush();
}

bool grid_up(item_grid& grid) {
  return grid_move(grid, -1);
}
bool grid_down(item_grid& grid) {
  return grid_move(grid, 1);
}
bool grid_left(item_grid& grid) {
  return grid_move(grid, -grid.rows);
}
bool grid_right(item_grid& grid) {
  return grid_move(grid, grid.rows);
}
