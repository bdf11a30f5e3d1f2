#include "installer/placement.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include "foundation/byte_buffer.h"
#include "foundation/compressed_streams.h"
#include "foundation/streams.h"
#include "foundation/vector.h"
#include "installer/database.h"
#include "installer/files_in_use.h"
#include "installer/messages.h"
#include "installer/repository.h"

namespace {

constexpr size_t COPY_CHUNK = 16384;

struct created_directory {
  string path;
  uint32_t mtime;
};

// How one entry went: placed, skipped, or failed after reporting why.
enum entry_result { ENTRY_PLACED, ENTRY_SKIPPED, ENTRY_FAILED };

struct entry_context {
  package_record& record;
  input_stream& data;
  const file_entry& entry;
  const string& name;      // as stored in the package: the item of failure reports
  const string& path;      // the place as the package names it
  // The same place with the links of its directory resolved; this is what
  // the file set records. A file placed through a link (its own package's
  // or another's) is then removed and owned where it really is: file
  // collection and the files-in-use scan see real paths, and removing the
  // link first cannot strand the file behind it.
  const string& resolved;
};

// The path of an entry: "/" in front, empty and "." components dropped.
// False for a name that cannot name a path of the package: a ".." component,
// a zero byte (the system calls would see it cut short) or a newline (it
// would split the line of the "files" list into two paths).
bool entry_path(const string& name, string& path) {
  path.clear();
  const char* p = name.begin();
  const char* end = name.end();
  while (p < end) {
    const char* component = p;
    while (p < end && *p != '/') {
      if (*p == '\0' || *p == '\n') return false;
      ++p;
    }
    const size_t length = (size_t)(p - component);
    if (length == 2 && component[0] == '.' && component[1] == '.') return false;
    if (length > 0 && !(length == 1 && component[0] == '.')) {
      path.append('/');
      path.append(component, length);
    }
    if (p < end) ++p;
  }
  // A trailing "/" stays: only a directory can be made under such a name.
  if (path.empty() || (name.length() > 0 && name[name.length() - 1] == '/')) path.append('/');
  return true;
}

// Resolves the links in the directory part of entry paths. Directories
// found free of links are remembered, so a new directory below one of them
// costs a single lstat; only a directory reached through a link goes
// through realpath. Placing a link, or removing what stood in the way, may
// change what a remembered directory resolves to; then the memory goes.
class directory_resolver {
 public:
  const string& resolve(const string& path) {
    const long slash = path.rfind('/');
    const string parent(path.c_str(), slash > 0 ? (size_t)slash : 1);
    if (is_free_of_links(parent)) {
      result_ = path;
      return result_;
    }
    char real[PATH_MAX];
    // A directory that does not exist resolves to itself: nothing can be
    // created below it anyway.
    result_ = realpath(parent.c_str(), real) ? real : parent.c_str();
    if (result_.length() > 1) result_.append('/');
    result_.append(path.c_str() + slash + 1);
    return result_;
  }
  void forget() { free_of_links_.clear(); }

 private:
  bool is_free_of_links(const string& directory) {
    if (directory.length() == 1 || free_of_links_.contains(directory)) return true;
    const long slash = directory.rfind('/');
    const string above(directory.c_str(), slash > 0 ? (size_t)slash : 1);
    struct stat status;
    if (!is_free_of_links(above) || lstat(directory.c_str(), &status) != 0 ||
        !S_ISDIR(status.st_mode))
      return false;
    free_of_links_.insert(directory);
    return true;
  }

  string_set free_of_links_;
  string result_;
};

// The package database belongs to the installer: an entry placed in it
// would let a package write or delete records through its own links.
bool is_in_database(const string& resolved, uint32_t type) {
  static const char DATABASE[] = "/var/pdb";
  const size_t length = sizeof DATABASE - 1;
  if (resolved.length() < length || memcmp(resolved.c_str(), DATABASE, length) != 0) return false;
  if (resolved.length() == length) return type != ENTRY_DIRECTORY;
  return resolved[length] == '/';
}

bool skip_data(input_stream& data, uint32_t size) {
  char chunk[1024];
  while (size > 0) {
    uint32_t n = size < sizeof chunk ? size : (uint32_t)sizeof chunk;
    if (data.read(chunk, n).fail()) return false;
    size -= n;
  }
  return true;
}

entry_result broken(entry_context& c) {
  report_broken_package(c.record);
  return ENTRY_FAILED;
}

entry_result cannot_create(entry_context& c, int error) {
  report_write_failure(c.record, c.name.c_str(), error);
  return ENTRY_FAILED;
}

void set_attributes(const entry_context& c) {
  // Results are ignored: a file system without owners still gets the file.
  if (chown(c.path.c_str(), c.entry.uid, c.entry.gid) != 0) {
  }
  chmod(c.path.c_str(), c.entry.mode & 07777);
  struct utimbuf times = {(time_t)c.entry.mtime, (time_t)c.entry.mtime};
  utime(c.path.c_str(), &times);
}

entry_result place_symbolic_link(entry_context& c) {
  if (c.entry.data_size > PATH_MAX) {
    // No system can store such a target; the bytes must still be there.
    if (!skip_data(c.data, c.entry.data_size)) return broken(c);
    return cannot_create(c, ENAMETOOLONG);
  }
  char target[PATH_MAX + 1];
  if (c.data.read(target, c.entry.data_size).fail()) return broken(c);
  target[c.entry.data_size] = '\0';
  if (memchr(target, '\0', c.entry.data_size)) return broken(c);
  if (symlink(target, c.path.c_str()) != 0) return cannot_create(c, errno);
  c.record.files.insert(c.resolved);
  if (lchown(c.path.c_str(), c.entry.uid, c.entry.gid) != 0) {
  }
  return ENTRY_PLACED;
}

// Something exists at the path: keep an existing directory, leave another
// package's file alone, replace a file nobody owns.
entry_result clear_path(entry_context& c, bool unrecorded, bool& replaced) {
  struct stat existing;
  if (lstat(c.path.c_str(), &existing) != 0) return ENTRY_PLACED;
  const bool is_directory_entry = (c.entry.mode & ENTRY_TYPE_MASK) == ENTRY_DIRECTORY;
  if (S_ISDIR(existing.st_mode) && is_directory_entry) {
    if (!skip_data(c.data, c.entry.data_size)) return broken(c);
    return ENTRY_SKIPPED;
  }
  if (!unrecorded) {
    // Another package's file reached through a link is still its file.
    string owner = owner_of_path(c.path);
    if (owner.empty() && c.resolved != c.path) owner = owner_of_path(c.resolved);
    if (!owner.empty()) {
      log_warning("file %s collides with %s package", c.path.c_str(), owner.c_str());
      if (!skip_data(c.data, c.entry.data_size)) return broken(c);
      return ENTRY_SKIPPED;
    }
    log_warning("ghost file %s", c.path.c_str());
  }
  unlink(c.path.c_str());
  replaced = true;
  return ENTRY_PLACED;
}

// Copies a regular file's data into the opened file, then sets its owner,
// mode and times on the descriptor: the path is looked up once per file.
entry_result fill_regular_file(entry_context& c, file_output_stream& out) {
  c.record.files.insert(c.resolved);
  static char chunk[COPY_CHUNK];
  uint32_t left = c.entry.data_size;
  while (left > 0) {
    size_t n = left < COPY_CHUNK ? left : COPY_CHUNK;
    if (c.data.read(chunk, n).fail()) return broken(c);
    errno = 0;
    if (out.write(chunk, n).fail()) return cannot_create(c, errno);
    left -= (uint32_t)n;
  }
  errno = 0;
  if (out.flush().fail()) return cannot_create(c, errno);
  // Results are ignored: a file system without owners still gets the file.
  if (fchown(out.fd(), c.entry.uid, c.entry.gid) != 0) {
  }
  fchmod(out.fd(), c.entry.mode & 07777);
  const struct timespec times[2] = {{(time_t)c.entry.mtime, 0}, {(time_t)c.entry.mtime, 0}};
  futimens(out.fd(), times);
  return ENTRY_PLACED;
}

// Nothing at the path is the common case, so the file is created first and
// only a path already taken is examined and cleared.
entry_result place_regular_file(entry_context& c, bool unrecorded, bool& replaced) {
  {
    errno = 0;
    file_output_stream created(c.path.c_str(), OPEN_EXCLUSIVE);
    if (created.is_open()) return fill_regular_file(c, created);
    if (errno != EEXIST) return cannot_create(c, errno);
  }
  const entry_result cleared = clear_path(c, unrecorded, replaced);
  if (cleared != ENTRY_PLACED) return cleared;
  errno = 0;
  file_output_stream out(c.path.c_str());
  if (!out.is_open()) return cannot_create(c, errno);
  return fill_regular_file(c, out);
}

entry_result place_node(entry_context& c, vector<created_directory>& directories) {
  const uint32_t type = c.entry.mode & ENTRY_TYPE_MASK;
  switch (type) {
    case ENTRY_SYMBOLIC_LINK:
      return place_symbolic_link(c);
    case ENTRY_DIRECTORY:
      if (!skip_data(c.data, c.entry.data_size)) return broken(c);
      if (mkdir(c.path.c_str(), c.entry.mode & 07777) != 0) return cannot_create(c, errno);
      directories.push_back(created_directory{c.path, c.entry.mtime});
      set_attributes(c);
      return ENTRY_PLACED;
    case ENTRY_CHARACTER_DEVICE:
    case ENTRY_BLOCK_DEVICE: {
      if (c.entry.data_size != 4) return broken(c);
      unsigned char bytes[4];
      if (c.data.read((char*)bytes, 4).fail()) return broken(c);
      uint32_t device = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | (uint32_t)bytes[3] << 24;
      if (mknod(c.path.c_str(), c.entry.mode, (dev_t)device) != 0) return cannot_create(c, errno);
      c.record.files.insert(c.resolved);
      set_attributes(c);
      return ENTRY_PLACED;
    }
    case ENTRY_FIFO:
      if (!skip_data(c.data, c.entry.data_size)) return broken(c);
      if (mkfifo(c.path.c_str(), c.entry.mode & 07777) != 0) return cannot_create(c, errno);
      c.record.files.insert(c.resolved);
      set_attributes(c);
      return ENTRY_PLACED;
    default:
      return broken(c);
  }
}

}  // namespace

string progress_bar(const string& label, const package_reader& reader) {
  string text("installing ");
  text.append(label);
  text.append(" [");
  const uint64_t width = text.length() < 76 ? 76 - text.length() : 0;
  uint64_t filled = reader.total_size() ? width * reader.position() / reader.total_size() : 0;
  // A file header that understates the size must not overrun the bar.
  if (filled > width) filled = width;
  text.append((size_t)filled, '#');
  text.append((size_t)(width - filled), ' ');
  text.append(']');
  return text;
}

bool place_files(package_record& record, package_reader& reader, bool unrecorded) {
  inflating_input_stream data(reader);
  vector<created_directory> directories;
  directory_resolver resolver;
  const string label = failure_label(record);
  bool ok = true;
  for (;;) {
    unsigned char header[FILE_ENTRY_HEADER_SIZE];
    if (data.fail() || data.read((char*)header, sizeof header).fail()) break;
    const file_entry entry = decode_file_entry(header);
    string name;
    name.resize(entry.name_length);
    if (entry.name_length && data.read(name.begin(), entry.name_length).fail()) {
      report_broken_package(record);
      ok = false;
      break;
    }
    string path;
    const bool usable = entry_path(name, path);
    const string& resolved = resolver.resolve(path);
    entry_context c{record, data, entry, name, path, resolved};
    const uint32_t type = entry.mode & ENTRY_TYPE_MASK;
    if (!usable || is_in_database(resolved, type)) {
      broken(c);
      ok = false;
      break;
    }
    bool replaced = false;
    entry_result result;
    if (type == ENTRY_REGULAR) {
      result = place_regular_file(c, unrecorded, replaced);
    } else {
      result = clear_path(c, unrecorded, replaced);
      if (result == ENTRY_PLACED) result = place_node(c, directories);
    }
    if (result == ENTRY_FAILED) {
      ok = false;
      break;
    }
    if (result == ENTRY_PLACED) {
      if (type == ENTRY_SYMBOLIC_LINK || replaced) resolver.forget();
      set_status_line(progress_bar(label, reader).c_str());
    }
  }
  // Creating entries inside the directories changed their times.
  for (const created_directory& directory : directories) {
    struct utimbuf times = {(time_t)directory.mtime, (time_t)directory.mtime};
    utime(directory.path.c_str(), &times);
  }
  return ok;
}

namespace {

string script_path(const package_record& record, const char* script_name) {
  string path("/var/pdb/");
  path.append(record.name);
  path.append('/');
  path.append(script_name);
  return path;
}

}  // namespace

bool write_script(package_record& record, package_reader& reader, uint32_t length,
                  const char* script_name) {
  // The body grows only as its bytes arrive, so a forged length cannot size
  // an allocation; it is whole before the script file exists.
  if (length > reader.file_remaining()) {
    report_broken_package(record);
    return false;
  }
  byte_buffer body;
  char chunk[4096];
  uint32_t left = length;
  while (left > 0) {
    uint32_t n = left < sizeof chunk ? left : (uint32_t)sizeof chunk;
    if (reader.read(chunk, n).fail()) {
      report_broken_package(record);
      return false;
    }
    body.append(chunk, n);
    left -= n;
  }
  const string path = script_path(record, script_name);
  errno = 0;
  file_output_stream out(path.c_str());
  out << "#!/bin/bash\n" << "\n" << ". /kest/lib/install/profile.sh\n" << "\n";
  out.write((const char*)body.data(), body.size());
  out.flush();
  int error = errno;
  bool ok = !out.fail();
  out.close();
  if (ok && chmod(path.c_str(), 0755) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    report_write_failure(record, script_name, error);
    // A script cut short must not be left for the undo to run. The caller
    // reports the failure again with the same error.
    unlink(path.c_str());
    errno = error;
  }
  return ok;
}

bool run_script(const package_record& record, const char* script_name) {
  const string path = script_path(record, script_name);
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return true;
  string command(path);
  command.append(" >/dev/null 2>&1");
  pid_t child = fork();
  if (child == 0) {
    execl("/bin/bash", "bash", "-c", command.c_str(), (char*)nullptr);
    _exit(127);
  }
  if (child > 0) {
    int exit_word = 0;
    pid_t waited;
    do {
      waited = waitpid(child, &exit_word, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == child && exit_word == 0) return true;
  }
  log_warning("package %s %s script failed", package_label(record).c_str(), script_name);
  return false;
}

namespace {

unsigned parked_file_counter = 0;

}  // namespace

void remove_package_files(package_record& record) {
  for (const string& path : record.files) {
    if (is_file_in_use(path)) {
      // Keeps the file reachable for the process that uses it.
      char parked[32];
      struct stat status;
      do {
        snprintf(parked, sizeof parked, "/tmp/inst%u", ++parked_file_counter);
      } while (stat(parked, &status) == 0);
      if (link(path.c_str(), parked) != 0) log_warning("link failed: %s", strerror(errno));
    }
    unlink(path.c_str());
  }
  record.files.clear();
}

void remove_package_installation(package_record& record) {
  if (record.unrecorded) {
    remove_package_files(record);
    return;
  }
  invalidate_package_record(record);
  run_script(record, "onuninstall");
  remove_package_files(record);
  delete_package_record(record);
}
