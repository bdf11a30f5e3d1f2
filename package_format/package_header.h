// What the header block of a package or bundle says about it: identity and
// requirements. The installer's database record and the pending-package
// record extend it.
#pragma once

#include <stdint.h>

#include "foundation/string.h"
#include "foundation/vector.h"
#include "package_format/version.h"

struct package_header {
  string name;
  version_number version = 0;
  uint32_t build_time = 0;
  string architecture;
  vector<requirement_entry> dependencies;
  vector<requirement_entry> conflicts;
};

// The name, "-", and the formatted version (also for version 0).
string package_label(const package_header& package);

// The names are equal (exact bytes), the version is at least the minimum and,
// when the maximum is not 0, at most the maximum.
bool satisfies(const package_header& package, const requirement_entry& entry);

// a's version is greater, or equal with a later build time.
bool is_newer(const package_header& a, const package_header& b);

// False for names that would place or delete database directories outside
// "/var/pdb/" (empty, ".", "..", beginning with ".", containing "/") or that
// the database's text files cannot hold (a blank or a control byte).
bool is_valid_package_name(const string& name);

// The package's name and the names in its requirements are all names the
// database can hold: any other would place a record outside "/var/pdb/", or
// read back from the record's text files as other entries.
bool has_valid_names(const package_header& header);
