#include "support/records.h"

requirement_entry requirement(const char* name, version_number minimum, version_number maximum) {
  requirement_entry entry;
  entry.name = name;
  entry.minimum = minimum;
  entry.maximum = maximum;
  return entry;
}

package_header package(const char* name, version_number version, uint32_t build_time) {
  package_header header;
  header.name = name;
  header.version = version;
  header.build_time = build_time;
  return header;
}
