#include "installer/placement.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include "foundation/byte_buffer.h"
#include "foundation/streams.h"
#include "foundation/vector.h"
#include "installer/database.h"
#include "installer/files_in_use.h"
#include "installer/messages.h"
#include "installer/own_files.h"
#include "installer/paths.h"
#include "installer/repository.h"
#include "installer/signals.h"
#include "installer/validity.h"
#include "package_format/file_data_reader.h"

namespace {

constexpr size_t COPY_CHUNK = 16384;
// As many symbolic links as the system follows in one path.
constexpr int MAXIMUM_LINKS = 40;

struct created_directory {
  string path;  // its real path, which holds no link and stays valid: directories are never removed
                // here
  uint32_t mtime;
};

// How one entry went: placed, skipped, or failed after reporting why.
enum entry_result { ENTRY_PLACED, ENTRY_SKIPPED, ENTRY_FAILED };

// The path of an entry: "/" in front, empty and "." components dropped.
// False for a name that cannot name a path of the package: a ".." component,
// a zero byte (the system calls would see it cut short), a newline (it would
// split the line of the "files" list into two paths), or a path longer than
// the system's limit. directory_only is set for a name ending in "/": only a
// directory can be made under it.
bool entry_path(const string& name, string& path, bool& directory_only) {
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
      if (path.length() >= PATH_MAX) return false;
    }
    if (p < end) ++p;
  }
  directory_only = path.empty() || (name.length() > 0 && name[name.length() - 1] == '/');
  return true;
}

struct file_identity {
  dev_t device;
  ino_t inode;
};

// The installer's own places: its directories (the database, the queue, the
// pending packages, the RAM disk) and its files in the root ("/postlog",
// "/DOWNGRADE"). A package may have a directory entry for one of the
// directories, nothing inside them and nothing at the files. Directories
// that exist are recognised by device and inode wherever a walk meets them
// (through "/var" as a link, say); the real path of an entry is compared as
// text besides, for the places that do not exist yet.
class own_places {
 public:
  own_places() {
    for (const char* directory : DIRECTORIES) {
      struct stat status;
      if (stat(directory, &status) == 0 && S_ISDIR(status.st_mode))
        identities_.push_back(file_identity{status.st_dev, status.st_ino});
    }
  }
  bool is_own_directory(int fd) const {
    struct stat status;
    if (fstat(fd, &status) != 0) return true;  // cannot tell: refuse
    for (const file_identity& own : identities_)
      if (own.device == status.st_dev && own.inode == status.st_ino) return true;
    return false;
  }
  static bool is_own_path(const string& real, bool is_directory) {
    for (const char* directory : DIRECTORIES) {
      const size_t length = strlen(directory);
      if (real.length() < length || memcmp(real.c_str(), directory, length) != 0) continue;
      if (real.length() == length ? !is_directory : real[length] == '/') return true;
    }
    return real == MESSAGE_LOG_FILE || real == DOWNGRADE_MARKER;
  }

 private:
  static constexpr const char* DIRECTORIES[] = {DATABASE_DIRECTORY, QUEUE_DIRECTORY,
                                                PENDING_DIRECTORY, RAM_DISK};
  vector<file_identity> identities_;
};

// Opens the directories of entry paths from the root, one component at a
// time with openat and O_NOFOLLOW. A symbolic link in the directory part is
// read and its target walked the same way, so the directory an entry is
// created in is the very one whose place was checked, and its real path
// (what the file set records) is known without asking the system to resolve
// text. The directories of the last walk stay open: the next entry usually
// lies in the same directory or below it, so the work is linear in the
// length of the names. Owns its descriptors.
class directory_walker {
 public:
  directory_walker() {
    level root;
    root.fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    root.linked = true;  // its real path, "", is held
    root.links = 0;
    root.own = false;
    levels_.push_back(root);
  }
  ~directory_walker() {
    forget();
    if (levels_[0].fd >= 0) close(levels_[0].fd);
  }
  directory_walker(const directory_walker&) = delete;
  directory_walker& operator=(const directory_walker&) = delete;

  // Opens the directory named by the first length bytes of path (components
  // after "/"). False with error set when a component is missing, is not a
  // directory or a link to one, or the links go round; then real() and
  // is_inside_own() tell about the last directory reached, and failed_at()
  // is the offset in path of the "/" before the component that failed.
  bool walk(const char* path, size_t length, int& error) {
    failed_at_ = 0;
    if (levels_[0].fd < 0) {
      error = EBADF;
      return false;
    }
    const char* p = path;
    const char* end = path + length;
    size_t depth = 1;
    // Keep the levels this path shares with the last one.
    while (p < end && depth < levels_.size()) {
      const char* component = ++p;
      while (p < end && *p != '/') ++p;
      const string& name = levels_[depth].name;
      if ((size_t)(p - component) != name.length() ||
          memcmp(component, name.c_str(), name.length()) != 0) {
        p = component - 1;
        break;
      }
      ++depth;
    }
    truncate_to(depth);
    while (p < end) {
      const char* component = ++p;
      while (p < end && *p != '/') ++p;
      if (!descend(component, (size_t)(p - component), error)) {
        failed_at_ = (size_t)(component - 1 - path);
        return false;
      }
    }
    return true;
  }

  size_t failed_at() const { return failed_at_; }

  int fd() const { return levels_[levels_.size() - 1].fd; }
  // The real path of the directory walked last, "" for the root.
  const string& real() const { return real_; }
  // Whether the directory walked last is one of the installer's own or lies
  // inside one.
  bool is_inside_own() const { return levels_[levels_.size() - 1].own; }

  // Closes every level but the root: placing a link, or removing what stood
  // at a path, can change where a remembered name leads.
  void forget() { truncate_to(1); }

  void set_own_places(const own_places* places) { places_ = places; }

 private:
  struct level {
    string name;  // the component as the entries name it
    int fd;
    bool linked;  // reached through a link: real holds its real path
    string real;
    int links;  // links followed from the root to here
    bool own;
  };

  void truncate_to(size_t depth) {
    while (levels_.size() > depth) {
      close(levels_[levels_.size() - 1].fd);
      levels_.pop_back();
    }
    // The real path of the top: the nearest level reached through a link
    // (or the root), then the names of the levels above it.
    size_t base = levels_.size() - 1;
    while (!levels_[base].linked) --base;
    real_ = levels_[base].real;
    for (size_t i = base + 1; i < levels_.size(); ++i) {
      real_.append('/');
      real_.append(levels_[i].name);
    }
  }

  bool descend(const char* component, size_t length, int& error) {
    level next;
    next.name.append(component, length);
    next.links = levels_[levels_.size() - 1].links;
    string real = real_;
    const int links_before = next.links;
    next.fd = open_component(fd(), next.name.c_str(), real, next.links, error);
    if (next.fd < 0) return false;
    next.linked = next.links != links_before;
    if (next.linked) {
      next.real = real;
      // Reached through a link: any real ancestor may be an own directory.
      next.own = is_below_own(next.fd);
    } else {
      next.own = levels_[levels_.size() - 1].own || (places_ && places_->is_own_directory(next.fd));
    }
    levels_.push_back(next);
    real_ = real;
    return true;
  }

  // Opens name inside the directory at (whose real path is real, updated to
  // the result's); a symbolic link there is followed by walking its target.
  int open_component(int at, const char* name, string& real, int& links, int& error) {
    if (strlen(name) > NAME_MAX) {
      error = ENAMETOOLONG;
      return -1;
    }
    int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      real.append('/');
      real.append(name);
      if (real.length() >= PATH_MAX) {
        close(fd);
        error = ENAMETOOLONG;
        return -1;
      }
      return fd;
    }
    error = errno;
    if (error != ELOOP && error != ENOTDIR) return -1;
    char target[PATH_MAX];
    const ssize_t length = readlinkat(at, name, target, sizeof target - 1);
    if (length < 0) return -1;  // not a link: the error stands
    target[length] = '\0';
    if (++links > MAXIMUM_LINKS) {
      error = ELOOP;
      return -1;
    }
    int current = dup(target[0] == '/' ? levels_[0].fd : at);
    if (current < 0) {
      error = errno;
      return -1;
    }
    if (target[0] == '/') real.clear();
    for (char* p = target; *p;) {
      char* component = p;
      while (*p && *p != '/') ++p;
      if (*p) *p++ = '\0';
      if (component[0] == '\0' || strcmp(component, ".") == 0) continue;
      int next;
      if (strcmp(component, "..") == 0) {
        // ".." of the root is the root itself: the walk stays in it.
        next = openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (next < 0) error = errno;
        const long slash = real.rfind('/');
        real.resize(slash > 0 ? (size_t)slash : 0);
      } else {
        next = open_component(current, component, real, links, error);
      }
      close(current);
      if (next < 0) return -1;
      current = next;
    }
    return current;
  }

  // Whether fd or any directory above it is an own directory.
  bool is_below_own(int fd) const {
    if (!places_) return false;
    struct stat root_status, status;
    if (fstat(levels_[0].fd, &root_status) != 0) return true;
    int current = dup(fd);
    for (int depth = 0; current >= 0 && depth < PATH_MAX; ++depth) {
      if (places_->is_own_directory(current) || fstat(current, &status) != 0) break;
      if (status.st_dev == root_status.st_dev && status.st_ino == root_status.st_ino) {
        close(current);
        return false;
      }
      const int up = openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      close(current);
      current = up;
    }
    if (current >= 0) close(current);
    return true;  // own, or it could not be told
  }

  vector<level> levels_;  // levels_[0] is the root
  string real_;
  size_t failed_at_ = 0;
  const own_places* places_ = nullptr;  // never owned
};

struct entry_context {
  package_record& record;
  file_data_reader& data;
  const file_entry& entry;
  const string& name;  // as stored in the package: the item of failure reports
  const string& path;  // the place as the package names it: shown in warnings
  // The same place with the links of its directory resolved; this is what
  // the file set records. A file placed through a link (its own package's
  // or another's) is then removed and owned where it really is: file
  // collection and the files-in-use scan see real paths, and removing the
  // link first cannot strand the file behind it.
  const string& resolved;
  int directory;     // the open directory the entry goes into
  const char* last;  // the entry's name inside it
};

entry_result broken(entry_context& c) {
  report_broken_package(c.record);
  return ENTRY_FAILED;
}

entry_result cannot_create(entry_context& c, int error) {
  report_write_failure(c.record, c.name.c_str(), error);
  return ENTRY_FAILED;
}

// For an entry refused before any of its data is read: a failure to create
// is reported only when the data is whole, else the package is broken.
entry_result cannot_create_whole(entry_context& c, int error) {
  return c.data.skip_data() ? cannot_create(c, error) : broken(c);
}

void set_attributes(const entry_context& c) {
  // Results are ignored: a file system without owners still gets the file.
  if (fchownat(c.directory, c.last, c.entry.uid, c.entry.gid, AT_SYMLINK_NOFOLLOW) != 0) {
  }
  fchmodat(c.directory, c.last, c.entry.mode & 07777, 0);
  const struct timespec times[2] = {{(time_t)c.entry.mtime, 0}, {(time_t)c.entry.mtime, 0}};
  utimensat(c.directory, c.last, times, AT_SYMLINK_NOFOLLOW);
}

entry_result place_symbolic_link(entry_context& c) {
  if (c.entry.data_size > PATH_MAX) {
    // No system can store such a target.
    return cannot_create_whole(c, ENAMETOOLONG);
  }
  char target[PATH_MAX + 1];
  if (c.data.read_data(target, c.entry.data_size) != c.entry.data_size) return broken(c);
  target[c.entry.data_size] = '\0';
  if (memchr(target, '\0', c.entry.data_size)) return broken(c);
  if (symlinkat(target, c.directory, c.last) != 0) return cannot_create(c, errno);
  c.record.files.insert(c.resolved);
  if (fchownat(c.directory, c.last, c.entry.uid, c.entry.gid, AT_SYMLINK_NOFOLLOW) != 0) {
  }
  return ENTRY_PLACED;
}

// Something exists at the path: keep an existing directory, leave another
// package's file alone, replace a file nobody owns.
entry_result clear_path(entry_context& c, bool& replaced) {
  struct stat existing;
  if (fstatat(c.directory, c.last, &existing, AT_SYMLINK_NOFOLLOW) != 0) return ENTRY_PLACED;
  const bool is_directory_entry = (c.entry.mode & ENTRY_TYPE_MASK) == ENTRY_DIRECTORY;
  if (S_ISDIR(existing.st_mode) && is_directory_entry) return ENTRY_SKIPPED;
  if (!c.record.unrecorded) {
    // Another package's file reached through a link is still its file.
    string owner = owner_of_path(c.path);
    if (owner.empty() && c.resolved != c.path) owner = owner_of_path(c.resolved);
    if (!owner.empty()) {
      log_warning("file %s collides with %s package", c.path.c_str(), owner.c_str());
      return ENTRY_SKIPPED;
    }
    log_warning("ghost file %s", c.path.c_str());
  }
  unlinkat(c.directory, c.last, 0);
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
    if (c.data.read_data(chunk, n) != n) return broken(c);
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
// only a path already taken is examined and cleared. Created exclusively
// both times: nothing that stands there is ever written through.
entry_result place_regular_file(entry_context& c, bool& replaced) {
  {
    errno = 0;
    file_output_stream created(c.directory, c.last, OPEN_EXCLUSIVE | OPEN_NO_FOLLOW);
    if (created.is_open()) return fill_regular_file(c, created);
    if (errno != EEXIST) return cannot_create(c, errno);
  }
  const entry_result cleared = clear_path(c, replaced);
  if (cleared != ENTRY_PLACED) return cleared;
  errno = 0;
  file_output_stream out(c.directory, c.last, OPEN_EXCLUSIVE | OPEN_NO_FOLLOW);
  if (!out.is_open()) return cannot_create(c, errno);
  return fill_regular_file(c, out);
}

entry_result place_node(entry_context& c, vector<created_directory>& directories) {
  const uint32_t type = c.entry.mode & ENTRY_TYPE_MASK;
  switch (type) {
    case ENTRY_SYMBOLIC_LINK:
      return place_symbolic_link(c);
    case ENTRY_DIRECTORY:
      if (mkdirat(c.directory, c.last, c.entry.mode & 07777) != 0) return cannot_create(c, errno);
      directories.push_back(created_directory{c.resolved, c.entry.mtime});
      set_attributes(c);
      return ENTRY_PLACED;
    case ENTRY_CHARACTER_DEVICE:
    case ENTRY_BLOCK_DEVICE: {
      unsigned char bytes[4];  // the reader has checked that there are 4
      if (c.data.read_data((char*)bytes, 4) != 4) return broken(c);
      uint32_t device = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | (uint32_t)bytes[3] << 24;
      if (mknodat(c.directory, c.last, c.entry.mode, (dev_t)device) != 0)
        return cannot_create(c, errno);
      c.record.files.insert(c.resolved);
      set_attributes(c);
      return ENTRY_PLACED;
    }
    case ENTRY_FIFO:
      if (mkfifoat(c.directory, c.last, c.entry.mode & 07777) != 0) return cannot_create(c, errno);
      c.record.files.insert(c.resolved);
      set_attributes(c);
      return ENTRY_PLACED;
    default:
      return broken(c);
  }
}

// Places one entry whose header and name were read. Data a skipped entry
// leaves unread is skipped by the reader's next step, which reports it when
// it is cut short.
entry_result place_entry(package_record& record, file_data_reader& data, const file_entry& entry,
                         const string& name, directory_walker& walker,
                         vector<created_directory>& directories, bool& replaced) {
  string path;
  bool directory_only = false;
  const uint32_t type = entry.mode & ENTRY_TYPE_MASK;
  const bool is_directory_entry = type == ENTRY_DIRECTORY;
  string resolved;
  entry_context c{record, data, entry, name, path, resolved, -1, ""};
  if (!entry_path(name, path, directory_only)) return broken(c);
  if (directory_only && !is_directory_entry) return cannot_create_whole(c, EISDIR);
  if (path.empty()) return ENTRY_SKIPPED;  // the root itself, which is there
  const long slash = path.rfind('/');
  int error = 0;
  if (!walker.walk(path.c_str(), (size_t)slash, error)) {
    // A place of the installer's own is refused as such, whether it exists
    // or not; elsewhere a missing directory or a link that leads nowhere is
    // a place that cannot be created.
    string reached = walker.real();
    reached.append(path.c_str() + walker.failed_at());
    if (walker.is_inside_own() || own_places::is_own_path(reached, is_directory_entry))
      return broken(c);
    return cannot_create_whole(c, error);
  }
  resolved = walker.real();
  resolved.append(path.c_str() + slash);
  // A guard that cannot decide refuses: the walk knows every directory the
  // entry passes, so nothing is judged from text the system resolved.
  if (walker.is_inside_own() || own_places::is_own_path(resolved, is_directory_entry) ||
      resolved.length() >= PATH_MAX)
    return broken(c);
  c.directory = walker.fd();
  c.last = path.c_str() + slash + 1;
  if (type == ENTRY_REGULAR) return place_regular_file(c, replaced);
  const entry_result result = clear_path(c, replaced);
  if (result != ENTRY_PLACED) return result;
  return place_node(c, directories);
}

}  // namespace

bool place_files(package_record& record, package_reader& reader) {
  file_data_reader data(reader);
  vector<created_directory> directories;
  const own_places places;
  directory_walker walker;
  walker.set_own_places(&places);
  const string label = failure_label(record);
  bool ok = true;
  file_entry entry;
  string name;
  for (;;) {
    // A header cut short ends the data as its end would.
    const entry_step step = data.next_entry(entry, name);
    if (step == ENTRIES_DONE) break;
    if (step == ENTRY_BROKEN) {
      report_broken_package(record);
      ok = false;
      break;
    }
    bool replaced = false;
    const entry_result result =
        place_entry(record, data, entry, name, walker, directories, replaced);
    if (result == ENTRY_FAILED) {
      ok = false;
      break;
    }
    if (result == ENTRY_PLACED) {
      if ((entry.mode & ENTRY_TYPE_MASK) == ENTRY_SYMBOLIC_LINK || replaced) walker.forget();
      set_status_line(progress_bar(label, reader).c_str());
    }
  }
  // Creating entries inside the directories changed their times.
  for (const created_directory& directory : directories) {
    const struct timespec times[2] = {{(time_t)directory.mtime, 0}, {(time_t)directory.mtime, 0}};
    utimensat(AT_FDCWD, directory.path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
  return ok;
}

namespace {

string script_path(const package_record& record, const char* script_name) {
  string path(DATABASE_DIRECTORY);
  path.append('/');
  path.append(record.name);
  path.append('/');
  path.append(script_name);
  return path;
}

// Reads the payload whole, then stores it with the header lines at path (a
// regular file or nothing is there; never written through a link).
bool store_script_at(package_record& record, package_reader& reader, uint32_t length,
                     const char* script_name, const char* path) {
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
  clear_own_path(path);
  errno = 0;
  file_output_stream out(path, OPEN_NO_FOLLOW);
  if (out.is_open() && !is_regular_file(out.fd())) {
    out.close();
    out.setstate(STATE_BAD);
    errno = EISDIR;
  }
  out << "#!/bin/bash\n"
      << "\n"
      << ". /kest/lib/install/profile.sh\n"
      << "\n";
  out.write((const char*)body.data(), body.size());
  out.flush();
  int error = errno;
  bool ok = !out.fail();
  if (ok && fchmod(out.fd(), 0755) != 0) {
    ok = false;
    error = errno;
  }
  out.close();
  if (!ok) {
    report_write_failure(record, script_name, error);
    // A script cut short must not be left for the undo to run. The caller
    // reports the failure again with the same error.
    unlink(path);
    errno = error;
  }
  return ok;
}

// The descriptor that receives a script's output and errors: the null
// device, opened here and checked, so that a FIFO, a link or a file a
// package left at its path can neither stop the script nor receive what it
// writes. Without a sound null device the script writes into a descriptor
// open for reading only: its writes fail, nothing waits.
int open_script_output() {
  const int fd = open(NULL_DEVICE, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat status;
  if (fd >= 0 && fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) &&
      status.st_rdev == makedev(1, 3))
    return fd;
  if (fd >= 0) close(fd);
  return open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

bool write_script(package_record& record, package_reader& reader, uint32_t length,
                  const char* script_name) {
  return store_script_at(record, reader, length, script_name,
                         script_path(record, script_name).c_str());
}

bool write_temporary_script(package_record& record, package_reader& reader, uint32_t length,
                            const char* script_name, string& path) {
  char name[] = "/tmp/script.XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) {
    report_write_failure(record, script_name, errno);
    return false;
  }
  close(fd);
  path = name;
  if (store_script_at(record, reader, length, script_name, name)) return true;
  path.clear();
  return false;
}

bool run_script(const package_record& record, const char* script_name) {
  return run_script_file(record, script_path(record, script_name).c_str(), script_name);
}

bool run_script_file(const package_record& record, const char* path, const char* script_name) {
  struct stat status;
  if (lstat(path, &status) != 0) return true;
  pid_t child = -1;
  // Only a regular file is a stored script: through a link the record would
  // run another package's script.
  const int output = S_ISREG(status.st_mode) ? open_script_output() : -1;
  if (output >= 0) child = fork();
  if (child == 0) {
    reset_signals_for_script();
    dup2(output, 1);
    dup2(output, 2);
    // The path is an argument, never part of the command text: no name can
    // be read as shell syntax or as a pattern.
    execl("/bin/bash", "bash", "-c", "\"$0\"", path, (char*)nullptr);
    _exit(127);
  }
  if (output >= 0) close(output);
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
      } while (lstat(parked, &status) == 0);
      if (link(path.c_str(), parked) != 0) log_warning("link failed: %s", strerror(errno));
    }
    unlink(path.c_str());
  }
  record.files.clear();
}

bool remove_package_installation(package_record& record) {
  if (record.unrecorded) {
    remove_package_files(record);
    return true;
  }
  if (record.damaged) return delete_package_record(record);
  invalidate_package_record(record);
  run_script(record, "onuninstall");
  remove_package_files(record);
  return delete_package_record(record);
}
