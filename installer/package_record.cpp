#include "installer/package_record.h"

#include "package_format/version.h"

string bundle_label(const string& name, uint32_t version) {
  string label(name);
  if (version != 0) {
    label.append('-');
    label.append(format_version(version));
  }
  return label;
}

string failure_label(const package_record& record) {
  if (!record.bundle.name.empty()) return bundle_label(record.bundle.name, record.bundle.version);
  return package_label(record);
}
