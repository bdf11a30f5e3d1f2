// What the CD-ROM image and the hard-disk volume share: the names of the
// files setup looks for on them, and the listing of what was written.
#pragma once

#include "foundation/string.h"
#include "foundation/vector.h"
#include "tools/mkmedia_check.h"

// The default selection of the package menu, one package name per word.
constexpr const char* DEFAULT_PACKAGES_FILE = "defpacks";

// The folder of a path: what comes before its last "/", or ".".
string parent_directory(const char* path);

// When the directory has a "defpacks", warns about its words that name no
// package of the medium.
void warn_about_defaults(const char* directory, const vector<checked_package>& packages);

// One line per package: file name, label (and a bundle's members), size.
void print_package_lines(const vector<checked_package>& packages);
