// Lookups in the installed package list, and validity: a package is valid
// while every dependency is met by a valid package, no installed package
// conflicts with it, and the bundle it came in is installed and valid.
#pragma once

#include "foundation/string.h"
#include "installer/package_record.h"

package_record* find_package(const string& name);
// The name of the first package whose file set holds path; empty when none.
string owner_of_path(const string& path);
// The first installed package one of whose conflicts the record meets.
package_record* conflicting_package(const package_header& record);

// Marks invalid every package that is no longer valid, until no flag
// changes: an invalid package can make those that need it invalid too.
void revalidate_packages();
