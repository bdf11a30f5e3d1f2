// Installs arbitrary bytes as a package file into a scratch root (fuzz_root.h)
// where "keeper" has a file, a configuration file and a link into its record:
// from a stream that cannot seek; with the database reloaded, in downgrade
// mode from a seekable descriptor; then through the queue and pending jobs,
// with hostile entries in the installer's own places. After each step check()
// aborts when a property that holds whatever the input was is broken.
#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>

#include "foundation/fd_buffers.h"
#include "fuzz_root.h"
#include "installer/database.h"
#include "installer/install.h"
#include "installer/messages.h"
#include "installer/pending.h"
#include "installer/removal.h"
#include "installer/validity.h"
#include "memory_buffer.h"

namespace {

struct seeded_file {
  const char* path;
  const char* content;  // a link's target when is_link
  bool is_link;
};

const seeded_file KEEPER_FILES[] = {{"/etc/keeper.conf", "keeper\n", false},
                                    {"/opt/keeper/tool", "tool", false},
                                    {"/opt/keeper/record", "/var/pdb/keeper", true}};
const char KEEPER_VERSION[] = "16803328 1600000000\n";
const char KEEPER_LIST[] = "etc/keeper.conf\nopt/keeper/record\nopt/keeper/tool\n";

void seed_file(const char* path, const char* content) {
  if (!fuzz_root::write_file(path, content, strlen(content))) fuzz_root::fail("cannot seed ", path);
}

// keeper, its record and the installer's other directories, then the
// database loaded as at a start.
void seed() {
  for (const char* directory : {"/var/deinstall", "/ram", "/etc", "/opt", "/opt/keeper", "/var/pdb/keeper"})
    if (mkdir(directory, 0755) != 0) fuzz_root::fail("cannot seed ", directory);
  for (const seeded_file& file : KEEPER_FILES) {
    if (!file.is_link) seed_file(file.path, file.content);
    else if (symlink(file.content, file.path) != 0) fuzz_root::fail("cannot seed ", file.path);
  }
  seed_file("/var/pdb/keeper/version", KEEPER_VERSION);
  seed_file("/var/pdb/keeper/deps", "");
  seed_file("/var/pdb/keeper/files", KEEPER_LIST);
  open_repository(true);
}

bool has_content(const char* path, const char* content) {
  char buffer[64];
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t got = read(fd, buffer, sizeof buffer);
  close(fd);
  return got == (ssize_t)strlen(content) && memcmp(buffer, content, (size_t)got) == 0;
}

bool is_installers_own(const char* path) {
  for (const char* place : {"/var/pdb/", "/var/pckg/", "/var/deinstall/", "/ram/", "/tmp/"})
    if (strncmp(path, place, strlen(place)) == 0) return true;
  return strcmp(path, "/postlog") == 0 || strcmp(path, "/DOWNGRADE") == 0;
}

// On the database as the next start loads it: every valid record lists
// files that exist and that it owns; keeper's files are unchanged while its
// record is; nothing outside the installer's own places is unowned (a write
// through a link). A package without a record may leave files anywhere.
void check(bool unrecorded_input) {
  fuzz_root::reset_repository();
  open_repository(true);
  for (package_record* record : the_repository().packages) {
    if (!record->valid) continue;  // loads as invalid: the next start removes it
    for (const string& path : record->files) {
      struct stat status;
      if (lstat(path.c_str(), &status) != 0) fuzz_root::fail("a listed file is missing: ", path.c_str());
      if (owner_of_path(path) != record->name) fuzz_root::fail("a file listed twice: ", path.c_str());
    }
  }
  if (unrecorded_input) return;
  if (has_content("/var/pdb/keeper/version", KEEPER_VERSION) && has_content("/var/pdb/keeper/files", KEEPER_LIST))
    for (const seeded_file& file : KEEPER_FILES) {
      char target[64] = {};
      if (file.is_link ? readlink(file.path, target, sizeof target - 1) <= 0 || strcmp(target, file.content) != 0
                       : !has_content(file.path, file.content))
        fuzz_root::fail("keeper's file changed: ", file.path);
    }
  auto check_owned = [](const char* path, const struct stat* status, int, FTW*) {
    if (!S_ISDIR(status->st_mode) && !is_installers_own(path) && owner_of_path(string(path)).empty())
      fuzz_root::fail("a file nobody owns: ", path);
    return 0;
  };
  nftw("/", check_owned, 16, FTW_PHYS | FTW_MOUNT);
}

// Hostile entries (links into the database, FIFOs, directories that cannot be
// removed) as the input's last byte selects; the input waits in "/var/pckg".
// A record "." (no package's name) keeps the router from being empty, where
// the pending job halts.
void run_jobs(const uint8_t* data, size_t size) {
  const unsigned bits = size ? data[size - 1] : 0;
  switch (bits & 3) {
    case 1: seed_file("/var/deinstall/keeper", ""); break;
    case 2: mkdir("/var/deinstall/keeper", 0755); mkdir("/var/deinstall/keeper/left", 0755); break;
    case 3: symlink("/var/pdb/keeper", "/var/deinstall/keeper"); break;
  }
  switch ((bits >> 2) & 3) {
    case 1: mkfifo("/postlog", 0644); break;
    case 2: symlink("/var/pdb/keeper/version", "/postlog"); break;
  }
  if (bits & 16) mkdir("/DOWNGRADE", 0755), mkdir("/DOWNGRADE/left", 0755);
  if (bits & 32) mkfifo("/var/pckg/fifo.kpk", 0644);
  if (bits & 64) symlink("/var/pdb/keeper/files", "/ram/input.kpk");
  if (bits & 128) symlink("/var/pdb/keeper/files", "/var/pckg/link.kpk");
  fuzz_root::write_file("/var/pckg/input.kpk", data, size);
  package_record* anchor = new package_record;  // owned by the repository
  anchor->name = ".";
  the_repository().packages.push_back(anchor);
  process_removal_queue();
  process_pending_packages();
  finish_run();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_root::scope root;
  seed();
  const bool unrecorded = size >= 4 && memcmp(data, "\x1E\xF1\x0B\xDA", 4) == 0;
  memory_buffer source(data, size);
  input_stream piped(&source);
  install_package_stream(piped, UPGRADE_MODE);
  check(unrecorded);

  revalidate_packages();
  remove_invalid_packages(REPORT_REMOVALS);
  // The seekable copy: a memory file, which no path inside the scratch root reaches.
  static const int fd = memfd_create("fuzz_install", MFD_CLOEXEC);
  if (fd < 0) fuzz_root::refuse("memfd_create");
  fd_input_buffer file_buffer(fd);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size ||
      file_buffer.seekpos(0, OPEN_INPUT) != 0)
    return 0;
  input_stream file(&file_buffer);
  install_package_stream(file, DOWNGRADE_MODE);
  check(unrecorded);

  run_jobs(data, size);
  check(unrecorded);
  return 0;
}
