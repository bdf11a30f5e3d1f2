#include "installer/database.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/streams.h"
#include "installer/messages.h"
#include "installer/repository.h"

namespace {

const char DATABASE_DIRECTORY[] = "/var/pdb/";

string record_path(const string& name, const char* file) {
  string path(DATABASE_DIRECTORY);
  path.append(name);
  if (file) {
    path.append('/');
    path.append(file);
  }
  return path;
}

// Reads "name minimum maximum" entries up to the end; a name without its
// numbers makes the record invalid and ends the list.
void load_requirements(package_record& record, const char* file, vector<requirement_entry>& list) {
  file_input_stream in(record_path(record.name, file).c_str());
  for (;;) {
    requirement_entry entry;
    entry.minimum = entry.maximum = 0;
    if (!(in >> entry.name)) return;
    unsigned int minimum = 0, maximum = 0;
    if (!(in >> minimum >> maximum)) {
      record.valid = false;
      return;
    }
    entry.minimum = minimum;
    entry.maximum = maximum;
    list.push_back(entry);
  }
}

void load_files(package_record& record) {
  file_input_stream in(record_path(record.name, "files").c_str());
  string line;
  while (in.good()) {
    in.getline(line);
    if (line.empty()) continue;
    if (line[0] != '/') line.insert(0, "/");
    record.files.insert(line);
  }
}

// Creates or truncates one meta file, lets write fill it, flushes; a failed
// stream reports the item with the error code of the failure.
template <class Writer>
bool write_meta_file(const package_record& record, const char* file, const char* item,
                     Writer write) {
  errno = 0;
  file_output_stream out(record_path(record.name, file).c_str());
  if (!out.bad()) {
    write(out);
    out.flush();
  }
  if (out.fail()) {
    int error = errno;
    report_write_failure(record, item, error);
    return false;
  }
  out.close();
  return true;
}

void write_requirements(output_stream& out, const vector<requirement_entry>& list) {
  for (const requirement_entry& entry : list)
    out << entry.name << ' ' << entry.minimum << ' ' << entry.maximum << '\n';
}

}  // namespace

void open_repository(bool quiet) {
  repository& repo = the_repository();
  repo.quiet = quiet;
  DIR* directory = opendir(DATABASE_DIRECTORY);
  if (!directory) {
    log_warning("could not open repo");
    return;
  }
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    package_record* record = new package_record;
    record->name = entry->d_name;
    load_package_record(*record);
    repo.packages.push_back(record);
  }
  closedir(directory);
}

void load_package_record(package_record& record) {
  {
    file_input_stream in(record_path(record.name, "version").c_str());
    unsigned int version = 0, build_time = 0;
    if (!(in >> version >> build_time)) record.valid = false;
    record.version = version;
    record.build_time = build_time;
  }
  load_requirements(record, "deps", record.dependencies);
  load_requirements(record, "conflicts", record.conflicts);
  load_files(record);
  file_input_stream in(record_path(record.name, "bundle").c_str());
  string bundle;
  if (in >> bundle) {
    record.bundle.name = bundle;
    record.bundle.version = 0;
  }
}

bool write_package_record(const package_record& record, bool without_files) {
  return write_record_body(record, without_files) && write_record_version(record);
}

bool write_record_body(const package_record& record, bool without_files) {
  if (!write_meta_file(record, "deps", "meta/deps",
                       [&](output_stream& out) { write_requirements(out, record.dependencies); }))
    return false;
  if (!record.conflicts.empty() &&
      !write_meta_file(record, "conflicts", "meta/conflicts",
                       [&](output_stream& out) { write_requirements(out, record.conflicts); }))
    return false;
  if (record.bundle.name.empty()) {
    unlink(record_path(record.name, "bundle").c_str());
  } else if (!write_meta_file(record, "bundle", "meta/bundle",
                              [&](output_stream& out) { out << record.bundle.name << '\n'; })) {
    return false;
  }
  return without_files ||
         write_meta_file(record, "files", "meta/files", [&](output_stream& out) {
           for (const string& path : record.files)
             out.write(path.c_str() + 1, path.length() - 1).put('\n');
         });
}

bool write_record_version(const package_record& record) {
  // Written last: a record cut short by a crash has no "version", loads as
  // invalid and is removed at the next start.
  return write_meta_file(record, "version", "meta/version", [&](output_stream& out) {
    out << record.version << ' ' << record.build_time << '\n';
  });
}

void invalidate_package_record(const package_record& record) {
  unlink(record_path(record.name, "version").c_str());
}

bool create_package_directory(const package_record& record) {
  string path = record_path(record.name, nullptr);
  struct stat status;
  // Only a real directory will do: records are never written through a link.
  if (lstat(path.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return true;
    report_write_failure(record, "meta", ENOTDIR);
    return false;
  }
  if (mkdir(path.c_str(), 0770) == 0) return true;
  report_write_failure(record, "meta", errno);
  return false;
}

void delete_package_record(const package_record& record) {
  string directory_path = record_path(record.name, nullptr);
  struct stat status;
  if (lstat(directory_path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
    // Never empty what a link points to.
    unlink(directory_path.c_str());
    return;
  }
  DIR* directory = opendir(directory_path.c_str());
  if (directory) {
    while (dirent* entry = readdir(directory)) {
      if (entry->d_name[0] == '.') continue;
      unlink(record_path(record.name, entry->d_name).c_str());
    }
    closedir(directory);
  }
  rmdir(directory_path.c_str());
}

package_record* find_package(const string& name) {
  for (package_record* record : the_repository().packages)
    if (record->name == name) return record;
  return nullptr;
}

string owner_of_path(const string& path) {
  for (package_record* record : the_repository().packages)
    if (record->files.contains(path)) return record->name;
  return string();
}

package_record* conflicting_package(const package_header& record) {
  for (package_record* installed : the_repository().packages)
    for (const requirement_entry& conflict : installed->conflicts)
      if (satisfies(record, conflict)) return installed;
  return nullptr;
}

bool is_package_valid(package_record& record) {
  if (!record.valid) return false;
  for (const requirement_entry& dependency : record.dependencies) {
    package_record* provider = find_package(dependency.name);
    if (!provider || !provider->valid || !satisfies(*provider, dependency)) {
      record.valid = false;
      break;
    }
  }
  if (record.valid && conflicting_package(record)) record.valid = false;
  if (record.valid && !record.bundle.name.empty()) {
    package_record* bundle = find_package(record.bundle.name);
    if (!bundle || !bundle->valid) record.valid = false;
  }
  return record.valid;
}

void revalidate_packages() {
  bool changed = true;
  while (changed) {
    changed = false;
    for (package_record* record : the_repository().packages)
      if (record->valid && !is_package_valid(*record)) changed = true;
  }
}

void report_write_failure(const package_record& record, const char* item, int error) {
  string label = failure_label(record);
  if (error == ENOSPC)
    log_error("installation of %s failed: disk is too small", label.c_str());
  else if (error == EIO)
    log_error("installation of %s failed: disk error", label.c_str());
  else
    log_error("installation of %s failed: could not create %s: %s", label.c_str(), item,
              strerror(error));
}

void report_broken_package(const package_record& record) {
  log_error("installation of %s failed: broken package", failure_label(record).c_str());
}
