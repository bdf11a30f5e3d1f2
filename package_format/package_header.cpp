#include "package_format/package_header.h"

string package_label(const package_header& package) {
  string label(package.name);
  label.append('-');
  label.append(format_version(package.version));
  return label;
}

bool satisfies(const package_header& package, const requirement_entry& entry) {
  if (package.name != entry.name) return false;
  if (package.version < entry.minimum) return false;
  if (entry.maximum != 0 && package.version > entry.maximum) return false;
  return true;
}

bool is_newer(const package_header& a, const package_header& b) {
  if (a.version != b.version) return a.version > b.version;
  return a.build_time > b.build_time;
}

bool is_valid_package_name(const string& name) {
  if (name.empty() || name[0] == '.') return false;  // also "." and ".."
  // The database stores names as words of its text files: a blank or a
  // control byte would read back as another name.
  for (unsigned char c : name)
    if (c <= ' ' || c == 0x7F || c == '/') return false;
  return true;
}

bool has_valid_names(const package_header& header) {
  if (!is_valid_package_name(header.name)) return false;
  for (const requirement_entry& entry : header.dependencies)
    if (!is_valid_package_name(entry.name)) return false;
  for (const requirement_entry& entry : header.conflicts)
    if (!is_valid_package_name(entry.name)) return false;
  return true;
}
