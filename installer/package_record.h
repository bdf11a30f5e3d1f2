// One installed package as the installer knows it: the header block of its
// package file plus its files, its validity and the bundle it came in.
#pragma once

#include <stdint.h>

#include "foundation/string.h"
#include "foundation/tree.h"
#include "package_format/package_header.h"

// Which of two versions of a package wins: the newer one, or in downgrade
// mode ("-down", or the "/DOWNGRADE" marker at start) the older one.
enum version_mode { UPGRADE_MODE, DOWNGRADE_MODE };

// The bundle a member package came in; an empty name for a standalone
// package. Records loaded from the database have version 0 (only the name is
// stored).
struct bundle_reference {
  string name;
  uint32_t version = 0;
};

struct package_record : package_header {
  string_set files;  // absolute paths; directories are never members
  bool valid = true;
  bundle_reference bundle;
  // Placed from an unrecorded package file: it has no database directory
  // and no stored scripts of its own (one of its name may belong to a
  // recorded package), so removing it removes its files only.
  bool unrecorded = false;
  // Its entry in the database is not a directory (a link, a file): nothing
  // was read through it, and removing the package removes that entry only.
  bool damaged = false;
};

// The bundle's name, and "-" with its version when that is not 0.
string bundle_label(const string& name, uint32_t version);

// How failures name a package: its package label, or for a member of a
// bundle the bundle's label.
string failure_label(const package_record& record);
