// The full-screen package selection menu: the packages in a three-column
// grid, the selection rules, and the person's choice of install here,
// install a remote router, or cancel.
#pragma once

#include <stddef.h>

#include "foundation/vector.h"
#include "menu/package_list.h"

// A list on a directory whose menu will be shown: the keyboard goes into
// the menu mode at once.
void package_list_init(package_list& list, const char* directory);

// "system", "ppp", "dhcp" first, then by name; equal names keep their
// directory order. Indexes into the list's entries.
vector<size_t> display_order(const package_list& list);

// Space on an entry: "system" stays selected; deselecting takes the entries
// that depend on it directly along; selecting brings its direct
// dependencies that are in the list.
void toggle_entry(package_list& list, size_t index);
// Only "system" selected.
void select_minimum(package_list& list);
// Selects the entries named in "<directory>/defpacks" (words separated by
// white space); false when there is no such file.
bool select_default_packages(package_list& list);

// "name (depends on a, b):" in at most size - 1 characters; a list of
// dependencies that does not fit ends with "..." before "):".
void format_dependency_line(const package_entry& entry, char* line, size_t size);

// Shows the menu until the person decides: true to install (remote_chosen
// tells whether a remote router), false to cancel. The end of input cancels.
bool run_menu(package_list& list);
inline bool remote_chosen(const package_list& list) {
  return list.remote;
}
