// The checks mkmedia makes of package files before it writes anything: each
// file read whole the way the installer reads it, and, for the media with a
// package menu, the summary that setup's menu reads.
#pragma once

#include <stdint.h>

#include "foundation/string.h"
#include "foundation/vector.h"
#include "package_format/package_header.h"

struct checked_package {
  string file_name;       // within its directory
  string path;            // as opened
  package_header header;  // of the package, or of the bundle
  bool is_bundle = false;
  uint32_t members = 0;  // packages in a bundle
  string first_member;   // name of a bundle's first package
  uint64_t size = 0;     // bytes of the file
};

// A file setup's package list takes for a package: at least four characters
// ending in ".kpk" (".kpk" itself counts).
bool is_package_file_name(const char* name);

// Reads the whole file as the installer would (every section inside the
// file, the header blocks, the scripts, every entry of the file data with
// its compressed bytes checked to their end) and fills in what it found.
// Prints "mkmedia: PATH: reason" and returns false for a file the installer
// would refuse or install only in part.
[[nodiscard]] bool check_package_file(const char* path, checked_package& package);

// Reads the header, description and dependencies the way setup's package
// menu does; a file it cannot read there ends the whole installation.
// Prints the reason and returns false.
[[nodiscard]] bool check_menu_summary(const checked_package& package);

// Finds the package files at the top of a directory, in name order, and
// checks each (check_menu_summary too when the medium has a menu). Prints
// every problem found, or that there is no package, and returns false then;
// nothing has been written at that point.
enum class summary_check { none, menu };
[[nodiscard]] bool check_package_directory(const char* directory, summary_check summaries,
                                           vector<checked_package>& packages);

// Warns about words of a "defpacks" file that name no package of the list.
void check_default_packages(const char* path, const vector<checked_package>& packages);
