#include "installer/database.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/streams.h"
#include "installer/messages.h"
#include "installer/own_files.h"
#include "installer/paths.h"
#include "installer/repository.h"

namespace {

string record_path(const string& name, const char* file) {
  string path(DATABASE_DIRECTORY);
  path.append('/');
  path.append(name);
  if (file) {
    path.append('/');
    path.append(file);
  }
  return path;
}

// Reads "name minimum maximum" entries up to the end; a name without its
// numbers makes the record invalid and ends the list.
// Opens a file of the record: only a regular file is read (a FIFO would
// stop the run, a link would read another record). A file that is there but
// is not one makes the record invalid; a missing file is for the caller.
void open_record_file(package_record& record, file_input_stream& in) {
  if (in.is_open() && !open_own_file(in)) record.valid = false;
}

void load_requirements(package_record& record, const char* file, vector<requirement_entry>& list) {
  file_input_stream in(record_path(record.name, file).c_str(), OPEN_NO_FOLLOW);
  open_record_file(record, in);
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

// One line of a "files" list, without its "\n": skipped when empty, given
// a leading "/" when it has none. The list is written in set order, so each
// path normally goes after the largest one so far: the end hint costs one
// comparison then, and falls back to the full search for a list that is out
// of order or repeats a path. path is the caller's scratch string.
void add_listed_path(string_set& files, string& path, const char* line, size_t length) {
  if (length == 0) return;
  path.clear();
  if (line[0] != '/') path.append('/');
  path.append(line, length);
  files.insert(files.end(), path);
}

void load_files(package_record& record) {
  file_input_stream in(record_path(record.name, "files").c_str(), OPEN_NO_FOLLOW);
  open_record_file(record, in);
  read_file_list(in, record.files);
}

// Creates or truncates one meta file, lets write fill it, flushes; a failed
// stream reports the item with the error code of the failure. What stands at
// the path and is not a regular file is removed first, never written
// through.
template <class Writer>
bool write_meta_file(const package_record& record, const char* file, const char* item,
                     Writer write) {
  const string path = record_path(record.name, file);
  clear_own_path(path.c_str());
  errno = 0;
  file_output_stream out(path.c_str(), OPEN_NO_FOLLOW);
  if (out.is_open() && !is_regular_file(out.fd())) {
    out.close();
    out.setstate(STATE_BAD);
    errno = EISDIR;
  }
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
    // A record that is not a real directory (a link to another record, a
    // file) is damaged: nothing is read or run through it, and its removal
    // at this start takes away only the entry itself.
    struct stat status;
    if (fstatat(dirfd(directory), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(status.st_mode)) {
      record->damaged = true;
      record->valid = false;
    } else {
      load_package_record(*record);
    }
    repo.packages.push_back(record);
  }
  closedir(directory);
}

void read_file_list(input_stream& in, string_set& files) {
  // Whole lines are taken straight from the chunk; only a line cut by the
  // chunk's end is gathered in partial.
  char chunk[4096];
  string partial;
  string path;
  while (in.good()) {
    in.read(chunk, sizeof chunk);
    const char* next = chunk;
    const char* end = chunk + in.gcount();
    while (const char* newline =
               static_cast<const char*>(memchr(next, '\n', (size_t)(end - next)))) {
      if (partial.empty()) {
        add_listed_path(files, path, next, (size_t)(newline - next));
      } else {
        partial.append(next, newline);
        add_listed_path(files, path, partial.begin(), partial.length());
        partial.clear();
      }
      next = newline + 1;
    }
    partial.append(next, end);
  }
  // A last line without "\n" counts as well.
  add_listed_path(files, path, partial.begin(), partial.length());
}

void load_package_record(package_record& record) {
  {
    file_input_stream in(record_path(record.name, "version").c_str(), OPEN_NO_FOLLOW);
    open_record_file(record, in);
    unsigned int version = 0, build_time = 0;
    if (!(in >> version >> build_time)) record.valid = false;
    record.version = version;
    record.build_time = build_time;
  }
  load_requirements(record, "deps", record.dependencies);
  load_requirements(record, "conflicts", record.conflicts);
  load_files(record);
  file_input_stream in(record_path(record.name, "bundle").c_str(), OPEN_NO_FOLLOW);
  open_record_file(record, in);
  string bundle;
  if (in >> bundle) {
    record.bundle.name = bundle;
    record.bundle.version = 0;
  }
}

bool write_package_record(const package_record& record, record_files files) {
  return write_record_body(record, files) && write_record_version(record);
}

bool write_record_body(const package_record& record, record_files files) {
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
  return files == WITHOUT_FILES ||
         write_meta_file(record, "files", "meta/files", [&](output_stream& out) {
           for (const string& path : record.files)
             out.write(path.c_str() + 1, path.length() - 1).put('\n');
         });
}

bool write_record_version(const package_record& record) {
  // Written last: a record cut short by a crash has no "version", loads as
  // invalid and is removed at the next start. Written last on the disk as
  // well: what the record lists (its other files, the scripts, the placed
  // files) is flushed before, or a power loss could keep "version" and lose
  // what it vouches for.
  sync();
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

namespace {

// Empties the open directory: files, links and (recursively) directories,
// hidden ones included; links are removed, never followed. Closes fd.
void empty_directory(int fd) {
  DIR* directory = fdopendir(fd);
  if (!directory) {
    close(fd);
    return;
  }
  while (dirent* entry = readdir(directory)) {
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (unlinkat(fd, name, 0) == 0) continue;
    const int below = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (below < 0) continue;
    empty_directory(below);
    unlinkat(fd, name, AT_REMOVEDIR);
  }
  closedir(directory);
}

}  // namespace

bool delete_package_record(const package_record& record) {
  const string directory_path = record_path(record.name, nullptr);
  const int fd = open_own_directory(directory_path.c_str());
  if (fd < 0) {
    // Not a directory (a link, a file): the entry goes, never what it names.
    struct stat status;
    return lstat(directory_path.c_str(), &status) != 0 || unlink(directory_path.c_str()) == 0;
  }
  empty_directory(fd);
  if (rmdir(directory_path.c_str()) == 0) return true;
  const int error = errno;
  // A record that cannot be deleted is set aside under a hidden name, which
  // no start loads again: it is reported once, not removed at every start.
  string hidden(DATABASE_DIRECTORY);
  hidden.append("/.");
  hidden.append(record.name);
  if (rename(directory_path.c_str(), hidden.c_str()) != 0) {
    // Then it loads as invalid again at the next start and is tried again.
  }
  log_warning("could not remove the record of %s: %s", package_label(record).c_str(),
              strerror(error));
  return false;
}
