#include "tools/mkmedia_check.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "foundation/streams.h"
#include "menu/package_list.h"
#include "package_format/file_data_reader.h"
#include "package_format/package_reader.h"
#include "tools/kpk_zlib_check.h"
#include "tools/mkmedia.h"

namespace {

// The sections an installation reads; all others are skipped by it.
const int INSTALLER_SECTIONS[] = {SECTION_PACKAGE_HEADER, SECTION_BUNDLE_HEADER,
                                  SECTION_ARCHITECTURE,   SECTION_DEPENDENCIES,
                                  SECTION_CONFLICTS,      SECTION_FILE_DATA,
                                  SECTION_INSTALL_SCRIPT, SECTION_UNINSTALL_SCRIPT};

const char ROUTER_ARCHITECTURE[] = "i386";

// One check of one file; every failure prints "mkmedia: PATH: what".
class package_check {
 public:
  package_check(const char* path, checked_package& package) : path_(path), package_(package) {}
  bool run();

 private:
  bool broken(const char* what, const char* detail = nullptr);
  bool check_file_header(const package_reader& reader);
  bool check_layout();
  bool check_contents();
  bool check_header_block(package_reader& reader, package_header& header, const char* kind);
  bool check_package(package_reader& reader, package_header& header);
  bool check_file_data(package_reader& reader, const package_header& header);

  const char* path_;
  checked_package& package_;
};

bool package_check::broken(const char* what, const char* detail) {
  complain(path_, ": ", what, detail ? ": " : nullptr, detail);
  return false;
}

bool package_check::check_file_header(const package_reader& reader) {
  if (!reader.bad()) return true;
  char what[80];
  if (reader.position() < FILE_HEADER_SIZE)
    snprintf(what, sizeof what, "%llu bytes, too short for the 8-byte file header",
             (unsigned long long)reader.position());
  else
    snprintf(what, sizeof what, "bad magic 0x%08X: not a package file", reader.magic());
  return broken(what);
}

// Every section lies inside the file and the last one ends exactly where the
// file header says the file ends, so the reads that follow cannot run out of
// bytes and nothing the installer would take for a clean end is missing.
bool package_check::check_layout() {
  file_input_stream file(path_);
  if (!file.is_open()) return broken("cannot open", strerror(errno));
  package_reader reader(file);
  if (!check_file_header(reader)) return false;
  char what[160];
  if (reader.total_size() != package_.size) {
    snprintf(what, sizeof what, "the file header gives %llu bytes, the file has %llu",
             (unsigned long long)reader.total_size(), (unsigned long long)package_.size);
    return broken(what);
  }
  reader.want_every_type();
  uint64_t end = FILE_HEADER_SIZE;
  while (reader.next_wanted_section() >= 0) {
    uint64_t start = reader.position() - SECTION_HEADER_SIZE;
    end = start + SECTION_HEADER_SIZE + reader.current_length();
    if (end > package_.size) {
      snprintf(what, sizeof what,
               "the section at offset %llu (type %d) of %u bytes runs past the end of the file",
               (unsigned long long)start, reader.current_type(), reader.current_length());
      return broken(what);
    }
  }
  if (end == FILE_HEADER_SIZE) return broken("no section follows the file header");
  if (end != package_.size) {
    snprintf(what, sizeof what, "%llu stray bytes after the last section at offset %llu",
             (unsigned long long)(package_.size - end), (unsigned long long)end);
    return broken(what);
  }
  return true;
}

bool package_check::check_header_block(package_reader& reader, package_header& header,
                                       const char* kind) {
  char what[120];
  if (!read_header_block(reader, header)) {
    snprintf(what, sizeof what,
             "the header block of a %s is damaged (a record or requirement list cut short)", kind);
    return broken(what);
  }
  string label = package_label(header);
  if (!has_valid_names(header)) {
    snprintf(what, sizeof what, "%s %s: a name the package database cannot hold", kind,
             label.c_str());
    return broken(what, "the installer refuses it as broken");
  }
  if (header.architecture != ROUTER_ARCHITECTURE)
    complain("warning: ", path_, ": ", label.c_str(),
             ": not made for i386; the router's installer will refuse it");
  return true;
}

// The zlib stream must decompress to its end into whole entries: the
// installer takes an entry header that does not arrive for the normal end,
// so a file whose data stops early would install only in part, silently.
bool package_check::check_file_data(package_reader& reader, const package_header& header) {
  checking_source check(reader.rdbuf());
  input_stream compressed(&check);
  file_data_reader entries(compressed);
  file_entry entry;
  string name;
  entry_step step;
  while ((step = entries.next_entry(entry, name)) == ENTRY_READ) {
    if (interrupted) return false;
  }
  check.drain();
  string label = package_label(header);
  char what[200];
  if (check.is_corrupt()) {
    snprintf(what, sizeof what, "%s: corrupt compressed file data at byte %llu of the section",
             label.c_str(), (unsigned long long)check.error_offset());
    return broken(what, check.zlib_message());
  }
  if (step == ENTRY_BROKEN) {
    snprintf(what, sizeof what, "%s: bad file entry %u", label.c_str(), entries.entries_read());
    return broken(what, entries.problem());
  }
  const char* problem = nullptr;
  if (!check.is_complete())
    problem = "the compressed file data stops before its end";
  else if (entries.partial_header_bytes() > 0)
    problem = "the file data ends inside an entry header";
  else if (check.trailing_bytes() > 0)
    problem = "bytes follow the end of the compressed file data";
  if (problem) {
    snprintf(what, sizeof what, "%s: %s", label.c_str(), problem);
    return broken(what);
  }
  return true;
}

// A package laid out as the installer reads it: the header block, then an
// install script, an uninstall script and the file data, each optional and
// in this order.
bool package_check::check_package(package_reader& reader, package_header& header) {
  if (!check_header_block(reader, header, "package")) return false;
  if (reader.current_type() == SECTION_INSTALL_SCRIPT) reader.next_wanted_section();
  if (reader.current_type() == SECTION_UNINSTALL_SCRIPT) reader.next_wanted_section();
  if (reader.current_type() == SECTION_FILE_DATA) {
    if (!check_file_data(reader, header)) return false;
    reader.next_wanted_section();
  }
  return true;
}

bool package_check::check_contents() {
  file_input_stream file(path_);
  if (!file.is_open()) return broken("cannot open", strerror(errno));
  package_reader reader(file);
  if (!check_file_header(reader)) return false;
  for (int type : INSTALLER_SECTIONS) reader.add_wanted_type(type);
  int type = reader.next_wanted_section();
  if (type == SECTION_BUNDLE_HEADER) {
    package_.is_bundle = true;
    if (!check_header_block(reader, package_.header, "bundle")) return false;
    while (reader.current_type() == SECTION_PACKAGE_HEADER) {
      package_header member;
      if (!check_package(reader, member)) return false;
      if (package_.members++ == 0) package_.first_member = member.name;
    }
    if (package_.members == 0) return broken("a bundle without packages");
  } else if (type == SECTION_PACKAGE_HEADER) {
    if (!check_package(reader, package_.header)) return false;
  } else {
    return broken("the first section is not a package or bundle header");
  }
  // The installer stops at a section it does not expect where it stands and
  // ignores the rest of the file.
  if (reader.current_type() >= 0) {
    char what[120];
    snprintf(what, sizeof what, "a section of type %d stands out of order at offset %llu",
             reader.current_type(), (unsigned long long)(reader.position() - SECTION_HEADER_SIZE));
    return broken(what, "the installer would ignore it and what follows");
  }
  return true;
}

bool package_check::run() {
  struct stat st;
  if (stat(path_, &st) != 0) return broken("cannot open", strerror(errno));
  if (!S_ISREG(st.st_mode)) return broken("not a regular file");
  package_.path = path_;
  package_.size = (uint64_t)st.st_size;
  return check_layout() && check_contents();
}

void sort_names(vector<string>& names) {
  for (size_t i = 1; i < names.size(); ++i)
    for (size_t j = i; j > 0 && names[j].compare(names[j - 1]) < 0; --j)
      names[j].swap(names[j - 1]);
}

bool list_package_files(const char* directory, vector<string>& names) {
  DIR* folder = opendir(directory);
  if (!folder) {
    complain(directory, ": cannot read the directory: ", strerror(errno));
    return false;
  }
  while (struct dirent* file = readdir(folder))
    if (is_package_file_name(file->d_name)) names.push_back(string(file->d_name));
  closedir(folder);
  sort_names(names);
  return true;
}

}  // namespace

bool is_package_file_name(const char* name) {
  size_t length = strlen(name);
  return length >= 4 && strcmp(name + length - 4, ".kpk") == 0;
}

bool check_package_file(const char* path, checked_package& package) {
  package_check check(path, package);
  return check.run();
}

bool check_menu_summary(const checked_package& package) {
  package_entry entry;
  if (read_package_summary(package.path.c_str(), entry)) return true;
  complain(package.path.c_str(), ": setup's package menu cannot read it and would stop",
           package.is_bundle ? " (a bundle whose own header has dependencies)" : nullptr);
  return false;
}

bool check_package_directory(const char* directory, summary_check summaries,
                             vector<checked_package>& packages) {
  vector<string> names;
  if (!list_package_files(directory, names)) return false;
  if (names.empty()) {
    complain(directory, ": no package files (names ending in \".kpk\")");
    return false;
  }
  bool sound = true;
  for (const string& name : names) {
    checked_package package;
    package.file_name = name;
    string path = string(directory) + "/" + name;
    bool good = check_package_file(path.c_str(), package);
    if (good && summaries == summary_check::menu) good = check_menu_summary(package);
    if (interrupted) return false;
    sound = sound && good;
    packages.push_back(package);
  }
  return sound;
}

void check_default_packages(const char* path, const vector<checked_package>& packages) {
  file_input_stream file(path);
  string word;
  while (file >> word) {
    bool found = false;
    for (const checked_package& package : packages)
      found = found || strncmp(package.header.name.c_str(), word.c_str(), MENU_NAME_SIZE) == 0;
    if (!found)
      complain("warning: ", path, ": \"", word.c_str(), "\" names no package of the medium");
  }
}
