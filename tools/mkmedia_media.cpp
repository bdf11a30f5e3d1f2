#include "tools/mkmedia_media.h"

#include <stdio.h>
#include <sys/stat.h>

#include "foundation/streams.h"
#include "tools/mkmedia.h"

string parent_directory(const char* path) {
  string text(path);
  long slash = text.rfind('/');
  if (slash < 0) return string(".");
  if (slash == 0) return string("/");
  return text.substr(0, (size_t)slash);
}

void warn_about_defaults(const char* directory, const vector<checked_package>& packages) {
  string path = string(directory) + "/" + DEFAULT_PACKAGES_FILE;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) check_default_packages(path.c_str(), packages);
}

void print_package_lines(const vector<checked_package>& packages) {
  for (const checked_package& package : packages) {
    char size_text[32];
    format_size(package.size, size_text, sizeof size_text);
    string label = package_label(package.header);
    standard_output << "  " << package.file_name << ": " << (package.is_bundle ? "bundle " : "")
                    << label;
    if (package.is_bundle)
      standard_output << " (" << package.members << " packages; the menu shows it as "
                      << package.first_member << ")";
    standard_output << ", " << size_text << '\n';
  }
}
