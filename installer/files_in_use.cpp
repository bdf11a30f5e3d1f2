#include "installer/files_in_use.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/vector.h"
#include "installer/database.h"
#include "installer/messages.h"
#include "installer/paths.h"
#include "installer/repository.h"
#include "installer/validity.h"

namespace {

bool is_below_proc(const char* path) {
  return strncmp(path, "/proc", 5) == 0;
}

void enter_in_use(const char* path) {
  if (is_below_proc(path)) return;
  the_repository().files_in_use.insert(string(path));
}

// A line of "maps": address, permissions, offset, device, inode, path. The
// inode and the path's first word (at most size - 1 bytes) are taken; false
// when the line has no path. Parsed by hand: the scanf family would double
// the size of the router's static installer.
bool parse_maps_line(const char* line, unsigned long long& inode, char* path, size_t size) {
  const char* blanks = " \t\n";
  for (int field = 0; field < 4; ++field) {
    line += strspn(line, blanks);
    line += strcspn(line, blanks);
  }
  line += strspn(line, blanks);
  char* end;
  inode = strtoull(line, &end, 10);
  if (end == line) return false;
  line = end + strspn(end, blanks);
  size_t length = strcspn(line, blanks);
  if (length == 0) return false;
  if (length >= size) length = size - 1;
  memcpy(path, line, length);
  path[length] = '\0';
  return true;
}

void scan_process_maps(const char* process) {
  char maps_path[128];
  if (snprintf(maps_path, sizeof maps_path, "/proc/%s/maps", process) >= (int)sizeof maps_path)
    return;
  FILE* maps = fopen(maps_path, "r");
  if (!maps) return;
  // A line longer than the buffer is read in pieces; a continuation piece
  // parses as a line of its own and normally yields nothing.
  char line[256];
  while (fgets(line, sizeof line, maps)) {
    // Inode numbers are read whole: one cut to 32 bits could read as 0 and
    // let a mapped file be removed from under its process.
    unsigned long long inode = 0;
    char path[256];
    if (!parse_maps_line(line, inode, path, sizeof path) || inode == 0) continue;
    enter_in_use(path);
  }
  fclose(maps);
}

void scan_process_fds(const char* process) {
  char fd_directory[256];
  if (snprintf(fd_directory, sizeof fd_directory, "/proc/%s/fd", process) >=
      (int)sizeof fd_directory)
    return;
  DIR* descriptors = opendir(fd_directory);
  if (!descriptors) return;
  while (dirent* entry = readdir(descriptors)) {
    char link_path[512];
    snprintf(link_path, sizeof link_path, "%s/%s", fd_directory, entry->d_name);
    char target[256];
    ssize_t length = readlink(link_path, target, 255);
    if (length < 0) continue;
    target[length] = '\0';
    struct stat status;
    // Pipes, sockets and deleted files have targets that are not paths.
    if (lstat(target, &status) != 0 || S_ISLNK(status.st_mode)) continue;
    enter_in_use(target);
  }
  closedir(descriptors);
}

}  // namespace

void scan_files_in_use() {
  DIR* proc = opendir("/proc");
  if (!proc) {
    log_warning("could not open /proc");
    return;
  }
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    scan_process_maps(entry->d_name);
    scan_process_fds(entry->d_name);
  }
  closedir(proc);
}

bool is_file_in_use(const string& path) {
  return the_repository().files_in_use.contains(path);
}

namespace {

// What file collection never deletes: the package database, which is the
// record of ownership itself (without it the next start would remove every
// package as invalid), and the installer's own state (the queue, the
// pending packages, the downgrade marker, the message log). Recognised by
// device and inode, whatever path the walk reaches them by.
class spared_places {
 public:
  spared_places() {
    static const char* const PLACES[] = {DATABASE_DIRECTORY, QUEUE_DIRECTORY, PENDING_DIRECTORY,
                                         DOWNGRADE_MARKER, MESSAGE_LOG_FILE};
    for (const char* place : PLACES) {
      struct stat status;
      if (lstat(place, &status) == 0) places_.push_back(status);
    }
  }
  bool is_spared(const struct stat& status) const {
    for (const struct stat& place : places_)
      if (place.st_dev == status.st_dev && place.st_ino == status.st_ino) return true;
    return false;
  }

 private:
  vector<struct stat> places_;
};

void collect_below(const char* directory, const spared_places& spared) {
  // The root comes as "", so that its entries are formed as "/<name>".
  DIR* listing = opendir(directory[0] != '\0' ? directory : "/");
  if (!listing) return;
  while (dirent* entry = readdir(listing)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    char path[512];
    if (snprintf(path, sizeof path, "%s/%s", directory, entry->d_name) >= (int)sizeof path)
      continue;  // a path cut short could name another file
    struct stat status;
    if (lstat(path, &status) != 0 || spared.is_spared(status)) continue;
    if (S_ISDIR(status.st_mode)) {
      collect_below(path, spared);
    } else if (owner_of_path(string(path)).empty()) {
      unlink(path);
    }
  }
  closedir(listing);
}

}  // namespace

void collect_files(const char* directory) {
  const spared_places spared;
  struct stat status;
  if (lstat(directory[0] != '\0' ? directory : "/", &status) == 0 && spared.is_spared(status))
    return;
  collect_below(directory, spared);
}
