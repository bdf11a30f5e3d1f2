#include "setup/child_programs.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

const char* log_device = "/dev/tty9";

const char* const boot_modules[] = {"fat",     "vfat",     "isofs",    "cdrom", "ide-cd",
                                    "usbcore", "usb-uhci", "usb-ohci", "hid",   nullptr};

const char* const network_modules[] = {
    "crc32",   "mii",     "slhc",     "8390",      "hp100",       "ne2k-pci",    "lance",
    "3c509",   "3c59x",   "sis900",   "8139too",   "pcnet32",     "winbond-840", "dmfe",
    "tulip",   "ns83820", "sundance", "via-rhine", "e100",        "e1000",       "sk98lin",
    "tg3",     "natsemi", "b44",      "tlan",      "velocityget", "il",          "r8169",
    "rtl8150", "pegasus", nullptr};

namespace {

// The open pipe program, or -1.
pid_t pipe_program = -1;

// SIGCHLD stays blocked from the fork of a child that setup waits for until
// that wait has its status, so the reaper can never take it: it runs only
// when no such child exists. Counted, since a program may run while the
// pipe program is open.
int protected_children = 0;
sigset_t mask_before_protection;

void protect_children() {
  if (protected_children++ > 0) return;
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGCHLD);
  sigprocmask(SIG_BLOCK, &block, &mask_before_protection);
}

void unprotect_children() {
  if (--protected_children > 0) return;
  sigprocmask(SIG_SETMASK, &mask_before_protection, nullptr);
}

// In a child before exec: the signal mask and the dispositions setup changed
// are not the program's business.
void reset_signals_for_child() {
  signal(SIGPIPE, SIG_DFL);
  signal(SIGALRM, SIG_DFL);
  signal(SIGCHLD, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

int wait_for(pid_t pid) {
  int status;
  for (;;) {
    if (waitpid(pid, &status, 0) == pid) return status;
    if (errno != EINTR) return -1;
  }
}

// The argument vector of a call's list after path, up to the null.
bool vector_from_list(argument_vector& vector, const char* path, va_list list) {
  const char* arguments[MAX_PROGRAM_ARGUMENTS + 2];
  int count = 0;
  for (;;) {
    const char* argument = va_arg(list, const char*);
    if (!argument) break;
    // One more than fits is kept to be refused by build_argument_vector.
    if (count > MAX_PROGRAM_ARGUMENTS) return false;
    arguments[count++] = argument;
  }
  arguments[count] = nullptr;
  return build_argument_vector(vector, path, arguments);
}

[[noreturn]] void exec_program(const argument_vector& vector) {
  execv(vector.items[0], const_cast<char* const*>(vector.items));
  _exit(127);
}

// A child's output never goes to whatever descriptor the program opens
// first (a disk, say): without the log device it goes nowhere.
int open_log_device() {
  int fd = open(log_device, O_WRONLY | O_NOCTTY);
  return fd >= 0 ? fd : open("/dev/null", O_WRONLY);
}

}  // namespace

bool build_argument_vector(argument_vector& vector, const char* path,
                           const char* const* arguments) {
  vector.count = 0;
  vector.output_to_log = false;
  vector.items[vector.count++] = path;
  for (const char* const* argument = arguments; *argument; ++argument) {
    if (strcmp(*argument, ">null") == 0) {
      vector.output_to_log = true;
      continue;
    }
    if (vector.count > MAX_PROGRAM_ARGUMENTS) return false;
    vector.items[vector.count++] = *argument;
  }
  vector.items[vector.count] = nullptr;
  return true;
}

int run_program(const char* new_root, const char* path, ...) {
  argument_vector vector;
  va_list list;
  va_start(list, path);
  bool built = vector_from_list(vector, path, list);
  va_end(list);
  if (!built) return -1;

  protect_children();
  pid_t pid = fork();
  if (pid < 0) {
    unprotect_children();
    return -1;
  }
  if (pid == 0) {
    reset_signals_for_child();
    for (int fd = 0; fd < 16; ++fd) close(fd);
    open("/dev/null", O_RDONLY);
    open_log_device();
    dup(1);
    if (new_root && chroot(new_root) != 0) _exit(127);
    exec_program(vector);
  }
  int status = wait_for(pid);
  unprotect_children();
  return status;
}

// ------------------------------------------------------------ pipe programs

void close_descriptor(int fd) {
  if (fd >= 0) close(fd);
}

namespace {

enum class pipe_direction { from_program, to_program };

// Starts the pipe program; returns our end of the pipe, or -1.
int start_pipe_program(pipe_direction direction, const argument_vector& vector) {
  if (pipe_program >= 0) return -1;
  int ends[2];
  if (pipe(ends) != 0) return -1;
  protect_children();
  pid_t pid = fork();
  if (pid < 0) {
    unprotect_children();
    close(ends[0]);
    close(ends[1]);
    return -1;
  }
  if (pid == 0) {
    reset_signals_for_child();
    if (direction == pipe_direction::from_program) {
      dup2(ends[1], 1);
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      int log = open_log_device();
      dup2(log, 2);
    } else {
      dup2(ends[0], 0);
      if (vector.output_to_log) {
        int log = open_log_device();
        dup2(log, 1);
        dup2(log, 2);
      }
    }
    for (int fd = 3; fd < 16; ++fd) close(fd);
    exec_program(vector);
  }
  pipe_program = pid;
  if (direction == pipe_direction::from_program) {
    close(ends[1]);
    return ends[0];
  }
  close(ends[0]);
  return ends[1];
}

int finish_pipe_program() {
  pid_t pid = pipe_program;
  pipe_program = -1;
  int status = wait_for(pid);
  unprotect_children();
  return status;
}

}  // namespace

namespace {

// Starts the pipe program of a call's argument list; our end, or -1.
int start_from_list(pipe_direction direction, const char* path, va_list list) {
  argument_vector vector;
  if (!vector_from_list(vector, path, list)) return -1;
  return start_pipe_program(direction, vector);
}

}  // namespace

program_reader* open_program_reader(const char* path, ...) {
  va_list list;
  va_start(list, path);
  int fd = start_from_list(pipe_direction::from_program, path, list);
  va_end(list);
  return fd < 0 ? nullptr : new program_reader(fd);
}

program_writer* open_program_writer(const char* path, ...) {
  va_list list;
  va_start(list, path);
  int fd = start_from_list(pipe_direction::to_program, path, list);
  va_end(list);
  return fd < 0 ? nullptr : new program_writer(fd);
}

int close_program(program_reader* reader) {
  if (pipe_program < 0 || !reader) return -1;
  delete reader;
  return finish_pipe_program();
}

int close_program(program_writer* writer) {
  if (pipe_program < 0 || !writer) return -1;
  writer->flush();
  bool written = !writer->fail();
  delete writer;
  int status = finish_pipe_program();
  return written ? status : -1;
}

void load_modules(const char* const* modules) {
  for (const char* const* module = modules; *module; ++module)
    run_program(nullptr, "/sbin/insmod", *module, nullptr);
}

void child_reaper(int) {
  int saved = errno;
  int status;
  while (waitpid(-1, &status, WNOHANG) > 0) {
  }
  errno = saved;
}
