// Package headers and requirements built in one call, and packages written
// in the tables' notation: a name with an optional "=version", then words
// "@<build time>", "needs:<name>[>=<version>][<=<version>]", "conflicts:"
// with the same bounds, "holds:<name>[=<version>]" (a bundle member),
// "in:<bundle>", "invalid" and "unrecorded".
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "package_format/package_header.h"

requirement_entry requirement(const char* name, version_number minimum = 0,
                              version_number maximum = 0);
package_header package(const char* name, version_number version, uint32_t build_time = 0);
version_number version_of(const std::string& text);  // parsed; a failure fails the test

struct package_words {
  package_header header;                 // version 1.0 when none is written
  std::vector<package_header> holds;     // members, for a bundle
  std::string bundle;                    // from "in:"
  bool invalid = false, unrecorded = false;
};
package_words parse_package_words(const std::string& text);

// A table line split at a separator; the pieces are trimmed.
std::vector<std::string> split(const std::string& text, const std::string& separator);

// The lines of tests/unit/data/<name> that are neither empty nor comments.
std::vector<std::string> table_lines(const char* name);
