// Text screen primitives for an 80-column console: cursor, clearing,
// attributes, centred and word-wrapped text, the menu keyboard mode, and a
// three-column grid of selectable items.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct package_entry;

constexpr int SCREEN_COLUMNS = 80;
constexpr int GRID_COLUMN_WIDTH = 26;

enum screen_attribute : unsigned {
  ATTRIBUTE_UNDERLINE = 1,
  ATTRIBUTE_REVERSE = 2,
  ATTRIBUTE_BLINK = 4,
  ATTRIBUTE_BOLD = 8,
};

void move_cursor(int column, int row);
void clear_screen();
void show_cursor(bool hide);
void erase_line();
void set_attributes(unsigned bits);

// Prints length bytes of text and a line feed; centred, with (80 - length)
// / 2 spaces in front when that is positive.
void print_line(const char* text, size_t length, bool centre);
// Every piece between line feeds, also the one after the last.
void print_lines(const char* text, bool centre);
// Word-wrapped: lines of at most 78 characters, each word followed by a
// space. A word too long for a line gets a line of its own, cut at 78.
void print_wrapped(const char* text, bool centre);

// Single keys without echo for the menu; Ctrl-C still raises SIGINT.
void enter_menu_keyboard();
// One key from standard input, unbuffered (also safe in a signal handler);
// -1 at the end of input.
int read_key();

// Items fill the first column top to bottom, then the second and third.
// The items are not owned.
struct item_grid {
  package_entry** items = nullptr;
  int count = 0;
  int current = 0;
  int top_row = 0;
  int columns = 3;
  int rows = 0;
};

void grid_init(item_grid& grid, package_entry** items, int count, int top_row);
void grid_draw_item(const item_grid& grid, int index);
void grid_draw(const item_grid& grid);
// Each moves the current item and redraws the old and the new one; false,
// with nothing drawn, when the move would leave the grid.
bool grid_up(item_grid& grid);
bool grid_down(item_grid& grid);
bool grid_left(item_grid& grid);
bool grid_right(item_grid& grid);
