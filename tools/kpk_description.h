// Package and bundle description files: what kpk reads beside a tree.
//
// One "key: value" per line; blank lines and lines beginning with "#" are
// ignored; white space around keys and values is dropped. Keys:
//   name: NAME             required; 1-16 bytes, not beginning with ".",
//                          without "/" or white space
//   version: VERSION       required; MAJOR.MINOR, MAJOR.MINOR.N or
//                          MAJOR.MINOR{alpha|beta|rc}[N], numbers 0-255
//   build-time: SECONDS    Unix time; default: the time of the build
//   architecture: ARCH     without it the file has no architecture section
//                          and is taken to be for "i386"
//   description: TEXT      repeatable: one line of the description each
//   depends: NAME [>= VERSION] [<= VERSION]     repeatable; "= VERSION"
//   conflicts: NAME [>= VERSION] [<= VERSION]   sets both bounds
//   install-script: FILE   relative to the description file's folder
//   uninstall-script: FILE
//   recorded: yes|no       no: placed without a database record; default yes
// A bundle description takes name, version, build-time, architecture,
// depends and conflicts only. Any other key is refused.
#pragma once

#include "foundation/string.h"
#include "package_format/package_header.h"

enum description_kind { PACKAGE_DESCRIPTION, BUNDLE_DESCRIPTION };

struct package_description {
  package_header header;  // architecture empty when not given
  bool has_build_time = false;
  bool has_architecture = false;
  bool has_description = false;
  string description;
  string install_script;  // paths as resolved; empty when none
  string uninstall_script;
  bool unrecorded = false;
};

// Prints "kpk: FILE:LINE: what" for the first problem and returns false.
[[nodiscard]] bool read_description(const char* path, description_kind kind,
                                    package_description& description);

// "NAME [>= VERSION] [<= VERSION]" or "NAME = VERSION"; on failure *problem
// says why.
[[nodiscard]] bool parse_requirement(const char* text, requirement_entry& entry,
                                     const char** problem);
// The same notation back, for listings.
string format_requirement(const requirement_entry& entry);

// Why a name cannot be a package name, or nullptr when it can.
const char* package_name_problem(const string& name);
