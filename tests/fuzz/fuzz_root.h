// The scratch root of the fuzz targets that run installer code: a tmpfs of
// the process's own, mounted without devices, programs or set-user-id bits
// in a private mount namespace, then detached so that no path leads to it.
// Each input runs chrooted into it; between inputs (and before a crash
// report) the process is back in the real root, where the fuzzer writes its
// artifacts. When any of that fails, the process aborts.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <initializer_list>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "installer/repository.h"

// The installer syncs after each package; a tmpfs needs none.
void sync() noexcept {}

namespace fuzz_root {

inline int real_root = -1, real_cwd = -1, scratch_root = -1;
inline volatile sig_atomic_t inside = 0;
inline struct sigaction chained[NSIG];

// Writes the texts to standard error, then aborts (leaving the scratch root
// first: see on_signal). Only write(2): this may run in a signal handler.
[[noreturn]] inline void fail(const char* a, const char* b = "", const char* c = "", const char* d = "",
                              const char* e = "") {
  for (const char* text : {a, b, c, d, e, "\n"})
    if (write(2, text, strlen(text)) < 0) break;
  abort();
}

[[noreturn]] inline void refuse(const char* what) {
  fail("fuzz_root: ", what, ": ", strerror(errno), "; refusing to run");
}

// Writes a whole file; false when that fails.
inline bool write_file(const char* path, const void* data, size_t size) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = write(fd, data, size) == (ssize_t)size;
  close(fd);
  return written;
}

inline void enter() {
  if (fchdir(scratch_root) != 0 || chroot(".") != 0 || chdir("/") != 0) {
    (void)!fchdir(real_cwd);
    refuse("cannot chroot into the scratch root");
  }
  inside = 1;
}

inline void leave() {
  if (fchdir(real_root) != 0 || chroot(".") != 0 || fchdir(real_cwd) != 0)
    refuse("cannot leave the scratch root");
  inside = 0;
}

// Leaves the scratch root for the fuzzer's handler; when that returns (a
// timer tick that is not yet a time-out), the input goes on inside.
inline void on_signal(int signal, siginfo_t* info, void* context) {
  const bool was_inside = inside;
  if (was_inside) leave();
  const struct sigaction& next = chained[signal];
  if (next.sa_flags & SA_SIGINFO) {
    next.sa_sigaction(signal, info, context);
  } else if (next.sa_handler == SIG_DFL) {
    ::signal(signal, SIG_DFL);
    raise(signal);
  } else if (next.sa_handler != SIG_IGN) {
    next.sa_handler(signal);
  }
  if (was_inside) enter();
}

// At the first input, once the fuzzer has installed its handlers for abort,
// illegal instruction and the time-out timer.
inline void chain_fatal_signals() {
  for (int signal : {SIGABRT, SIGILL, SIGALRM}) {
    if (sigaction(signal, nullptr, &chained[signal]) != 0) refuse("sigaction");
    struct sigaction ours = chained[signal];
    ours.sa_flags |= SA_SIGINFO;
    ours.sa_sigaction = on_signal;
    if (sigaction(signal, &ours, nullptr) != 0) refuse("sigaction");
  }
}

// Empties the scratch root (from inside, once sure that "/" is it) and makes
// the base directories. False when something was left behind (a tree deeper
// than a path can name, built through links).
inline bool empty_tree() {
  struct stat root, expected;
  if (stat("/", &root) != 0 || fstat(scratch_root, &expected) != 0 || root.st_dev != expected.st_dev ||
      root.st_ino != expected.st_ino) {
    errno = EXDEV;
    refuse("\"/\" is not the scratch root");
  }
  auto remove_entry = [](const char* path, const struct stat*, int, FTW* at) {
    if (at->level > 0) remove(path);
    return 0;
  };
  nftw("/", remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  DIR* listing = opendir("/");
  if (!listing) return false;
  bool empty = true;
  while (const dirent* entry = readdir(listing))
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) empty = false;
  closedir(listing);
  for (const char* directory : {"/var", "/var/pdb", "/var/pckg", "/tmp"})
    if (empty && mkdir(directory, 0755) != 0) return false;
  return empty;
}

// A new scratch root (from outside); the previous one, if any, goes with its descriptor.
inline void mount_scratch() {
  char directory[] = "/tmp/fuzz_root.XXXXXX";
  if (!mkdtemp(directory)) refuse("mkdtemp");
  if (mount("fuzz_root", directory, "tmpfs", MS_NODEV | MS_NOEXEC | MS_NOSUID, "size=64m,mode=755"))
    refuse("cannot mount the scratch root");
  const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) refuse("cannot open the scratch root");
  if (umount2(directory, MNT_DETACH) != 0 || rmdir(directory) != 0) refuse("cannot detach the scratch root");
  if (scratch_root >= 0) close(scratch_root);
  scratch_root = fd;
}

// Frees the records and forgets everything a run of the installer keeps.
inline void reset_repository() {
  repository& repo = the_repository();
  for (package_record* record : repo.packages) delete record;
  repo.packages.clear();
  repo.files_in_use.clear();
  repo.status_line.clear();
  repo.message_log.clear();
  repo.quiet = true;
}

// One input's stay in the scratch root: entered empty, left with the
// repository freed, so the leak checker sees only what the code lost.
struct scope {
  scope() {
    static bool chained_once = false;
    if (!chained_once) chain_fatal_signals();
    chained_once = true;
    enter();
    if (!empty_tree()) {
      leave();
      mount_scratch();
      enter();
      if (!empty_tree()) refuse("cannot make the base directories");
    }
    reset_repository();
  }
  ~scope() {
    reset_repository();
    leave();
  }
};

}  // namespace fuzz_root

// The crash input is written after this report, in the real root.
extern "C" void __sanitizer_report_error_summary(const char* summary) {
  if (fuzz_root::inside) fuzz_root::leave();
  (void)!(write(2, summary, strlen(summary)) < 0 || write(2, "\n", 1) < 0);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (geteuid() != 0) {
    errno = EPERM;
    fuzz_root::refuse("chroot needs root");
  }
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    fuzz_root::refuse("cannot make a private mount namespace");
  // Opened in the new namespace, so that leaving returns to its mounts.
  fuzz_root::real_root = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  fuzz_root::real_cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fuzz_root::real_root < 0 || fuzz_root::real_cwd < 0) fuzz_root::refuse("cannot open the real root");
  fuzz_root::mount_scratch();
  fuzz_root::enter();
  fuzz_root::leave();
  return 0;
}
