// Package headers and requirements built in one call.
#pragma once

#include <stdint.h>

#include "package_format/package_header.h"

requirement_entry requirement(const char* name, version_number minimum = 0,
                              version_number maximum = 0);
package_header package(const char* name, version_number version, uint32_t build_time = 0);
