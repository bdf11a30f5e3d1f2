// The root the install fuzz target starts every input from: the package
// "keeper" installed with a file, a configuration file and a link into its
// own record. After each step the target checks what must hold whatever the
// input was, and aborts with the reason so that the fuzzer keeps the input.
#pragma once

#include <ftw.h>

#include "fuzz_root.h"
#include "installer/database.h"
#include "installer/messages.h"
#include "installer/pending.h"
#include "installer/removal.h"
#include "installer/validity.h"

namespace installed_root {

struct seeded_file {
  const char* path;
  const char* content;  // a link's target when is_link
  bool is_link;
};

inline const seeded_file KEEPER_FILES[] = {{"/etc/keeper.conf", "keeper\n", false},
                                           {"/opt/keeper/tool", "tool", false},
                                           {"/opt/keeper/record", "/var/pdb/keeper", true}};
inline const char KEEPER_VERSION[] = "16803328 1600000000\n";
inline const char KEEPER_LIST[] = "etc/keeper.conf\nopt/keeper/record\nopt/keeper/tool\n";

[[noreturn]] inline void fail(const char* what, const char* path) {
  if (write(2, "installed_root: ", 16) < 0 || write(2, what, strlen(what)) < 0 ||
      write(2, " ", 1) < 0 || write(2, path, strlen(path)) < 0 || write(2, "\n", 1) < 0) {
  }
  abort();  // leaves the scratch root first (fuzz_root.h)
}

inline void write_file(const char* path, const char* content) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, content, strlen(content)) != (ssize_t)strlen(content))
    fail("cannot seed", path);
  close(fd);
}

// keeper, its record and the installer's other directories, then the
// database loaded as at a start.
inline void seed() {
  static const char* const DIRECTORIES[] = {"/var/deinstall", "/ram", "/etc", "/opt",
                                            "/opt/keeper", "/var/pdb/keeper"};
  for (const char* directory : DIRECTORIES)
    if (mkdir(directory, 0755) != 0) fail("cannot seed", directory);
  for (const seeded_file& file : KEEPER_FILES) {
    if (file.is_link ? symlink(file.content, file.path) != 0 : false) fail("cannot seed", file.path);
    if (!file.is_link) write_file(file.path, file.content);
  }
  write_file("/var/pdb/keeper/version", KEEPER_VERSION);
  write_file("/var/pdb/keeper/deps", "");
  write_file("/var/pdb/keeper/files", KEEPER_LIST);
  open_repository(true);
}

inline bool has_content(const char* path, const char* content) {
  char buffer[64];
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got = read(fd, buffer, sizeof buffer);
  close(fd);
  return got == (ssize_t)strlen(content) && memcmp(buffer, content, (size_t)got) == 0;
}

inline bool is_keeper_as_seeded() {
  return has_content("/var/pdb/keeper/version", KEEPER_VERSION) &&
         has_content("/var/pdb/keeper/files", KEEPER_LIST);
}

inline bool is_installers_own(const char* path) {
  static const char* const PLACES[] = {"/var/pdb/", "/var/pckg/", "/var/deinstall/", "/ram/",
                                       "/tmp/"};
  for (const char* place : PLACES)
    if (strncmp(path, place, strlen(place)) == 0) return true;
  return strcmp(path, "/postlog") == 0 || strcmp(path, "/DOWNGRADE") == 0;
}

inline int check_owned(const char* path, const struct stat* status, int type, struct FTW*) {
  if (type == FTW_D || type == FTW_DP || S_ISDIR(status->st_mode) || is_installers_own(path))
    return 0;
  if (owner_of_path(string(path)).empty()) fail("a file nobody owns:", path);
  return 0;
}

// On the database as the next start loads it: every valid record lists
// files that exist and that it owns; keeper's files are unchanged while its
// record is; nothing outside the installer's own places is unowned (a write
// through a link). A package without a record may leave files anywhere.
inline void check(bool unrecorded_input) {
  fuzz_root::reset_repository();
  open_repository(true);
  for (package_record* record : the_repository().packages) {
    if (!record->valid) continue;  // loads as invalid: the next start removes it
    for (const string& path : record->files) {
      struct stat status;
      if (lstat(path.c_str(), &status) != 0) fail("a listed file is missing:", path.c_str());
      if (owner_of_path(path) != record->name) fail("a file listed twice:", path.c_str());
    }
  }
  if (unrecorded_input) return;
  if (is_keeper_as_seeded())
    for (const seeded_file& file : KEEPER_FILES) {
      char target[64] = {};
      const bool same = file.is_link ? readlink(file.path, target, sizeof target - 1) > 0 &&
                                           strcmp(target, file.content) == 0
                                     : has_content(file.path, file.content);
      if (!same) fail("keeper's file changed:", file.path);
    }
  nftw("/", check_owned, 16, FTW_PHYS | FTW_MOUNT);
}

// Hostile entries in the installer's own places (links into the database,
// FIFOs, directories that cannot be removed), as the input's last byte
// selects them; the input itself waits in "/var/pckg".
inline void place_hostile_entries(const uint8_t* data, size_t size) {
  const unsigned bits = size ? data[size - 1] : 0;
  switch (bits & 3) {
    case 1: write_file("/var/deinstall/keeper", ""); break;
    case 2: mkdir("/var/deinstall/keeper", 0755); mkdir("/var/deinstall/keeper/left", 0755); break;
    case 3: symlink("/var/pdb/keeper", "/var/deinstall/keeper"); break;
  }
  switch ((bits >> 2) & 3) {
    case 1: mkfifo("/postlog", 0644); break;
    case 2: symlink("/var/pdb/keeper/version", "/postlog"); break;
  }
  if (bits & 16) {
    mkdir("/DOWNGRADE", 0755);
    mkdir("/DOWNGRADE/left", 0755);
  }
  if (bits & 32) mkfifo("/var/pckg/fifo.kpk", 0644);
  if (bits & 64) symlink("/var/pdb/keeper/files", "/ram/input.kpk");
  if (bits & 128) symlink("/var/pdb/keeper/files", "/var/pckg/link.kpk");
  const int fd = open("/var/pckg/input.kpk", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    if (write(fd, data, size) != (ssize_t)size) {
    }
    close(fd);
  }
}

// The queue and pending jobs. A record named "." (no package can have that
// name) keeps the router from being empty, where the pending job halts.
inline void run_jobs() {
  package_record* anchor = new package_record;  // owned by the repository
  anchor->name = ".";
  the_repository().packages.push_back(anchor);
  process_removal_queue();
  process_pending_packages();
  finish_run();
}

}  // namespace installed_root
