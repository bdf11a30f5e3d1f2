// The packages of an installation medium's directory: their summaries
// (header, description, dependencies), the selection, and the install order
// in which every selected package follows what it depends on.
#pragma once

#include <stddef.h>

#include "foundation/string.h"
#include "foundation/vector.h"
#include "package_format/package_header.h"

// Package names are compared over at most this many bytes.
constexpr size_t MENU_NAME_SIZE = 16;

struct package_entry {
  string path;            // directory, "/", file name
  package_header header;  // name and dependencies; versions are not used here
  string description;     // empty when the package has none
  bool selected = false;
};

struct package_list {
  const char* directory = nullptr;  // not owned
  vector<package_entry> entries;    // in directory order
  bool remote = false;              // the menu ended with 'r'
};

// A list on a directory, for installing without the menu.
void package_list_setup(package_list& list, const char* directory);

// Reads the summary of every ".kpk" file of the directory, in directory
// order, each selected or not. Prints "FATAL ERROR: No packages found" or
// "FATAL ERROR: Bad package <path>" and fails.
[[nodiscard]] bool load_packages(package_list& list, bool selected);

// Reads one package file's header record, description and dependencies.
[[nodiscard]] bool read_package_summary(const char* path, package_entry& entry);
class input_stream;
[[nodiscard]] bool read_package_summary(input_stream& file, package_entry& entry);

// The entry named name (compared over 16 bytes), or -1.
long find_package(const package_list& list, const string& name);

// The selected packages, each after every package it depends on directly or
// indirectly (selected or not); dependencies missing from the list are left
// out; each package once.
struct install_order {
  const package_list* list = nullptr;  // not owned
  vector<size_t> indexes;
  size_t cursor = 0;
  long current = -1;  // entry last handed out
};

void install_order_init(install_order& order, const package_list& list);
// Path of the next package, or none at the end.
const char* next_package_path(install_order& order);
// Name of the package last handed out by next_package_path.
const char* current_package_name(const install_order& order);
// Back to the start, for a second pass over the same order.
void install_order_rewind(install_order& order);
size_t install_order_length(const install_order& order);
