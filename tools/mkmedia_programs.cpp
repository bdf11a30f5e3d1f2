#include "tools/mkmedia_programs.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "foundation/streams.h"
#include "tools/mkmedia.h"

external_program XORRISO = {"xorriso", "xorriso", string()};
external_program MKFS_FAT = {"mkfs.fat", "dosfstools", string()};
external_program MCOPY = {"mcopy", "mtools", string()};

namespace {

// What a failed program printed is shown up to this many bytes, its end kept.
constexpr size_t OUTPUT_SHOWN = 4096;

bool is_executable_file(const string& path) {
  return access(path.c_str(), X_OK) == 0;
}

bool search_directories(const char* list, const char* name, string& found) {
  while (list && *list) {
    const char* colon = strchr(list, ':');
    size_t length = colon ? (size_t)(colon - list) : strlen(list);
    string candidate = length ? string(list, length) : string(".");
    candidate += "/";
    candidate += name;
    if (is_executable_file(candidate)) {
      found = candidate;
      return true;
    }
    list = colon ? colon + 1 : nullptr;
  }
  return false;
}

// In the child: the pipe becomes standard output and error, /dev/null
// standard input. Only async-signal-safe calls from here on.
[[noreturn]] void exec_child(const char* path, char* const* argv, int output) {
  int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) _exit(126);
  execv(path, argv);
  _exit(127);
}

// Everything the child prints, keeping only the last OUTPUT_SHOWN bytes.
void collect_output(int fd, string& kept) {
  char chunk[4096];
  for (;;) {
    ssize_t got = read_retrying(fd, chunk, sizeof chunk);
    if (got <= 0) break;
    kept.append(chunk, (size_t)got);
    if (kept.length() > 2 * OUTPUT_SHOWN) kept.erase(0, kept.length() - OUTPUT_SHOWN);
  }
  if (kept.length() > OUTPUT_SHOWN) kept.erase(0, kept.length() - OUTPUT_SHOWN);
}

int wait_for(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

void report_failure(const external_program& program, int status, const string& output) {
  char how[64];
  if (status < 0)
    snprintf(how, sizeof how, "could not be waited for");
  else if (WIFSIGNALED(status))
    snprintf(how, sizeof how, "was ended by signal %d", WTERMSIG(status));
  else if (WEXITSTATUS(status) == 127)
    snprintf(how, sizeof how, "could not be started");
  else
    snprintf(how, sizeof how, "failed with exit status %d", WEXITSTATUS(status));
  complain(program.path.c_str(), " ", how, output.empty() ? nullptr : "; it printed:");
  if (!output.empty()) {
    standard_error << output;
    if (output.c_str()[output.length() - 1] != '\n') standard_error << '\n';
    standard_error << flush;
  }
}

}  // namespace

bool find_program(external_program& program) {
  if (!program.path.empty()) return true;
  if (search_directories(getenv("PATH"), program.name, program.path) ||
      search_directories("/usr/sbin:/sbin", program.name, program.path))
    return true;
  complain("cannot find ", program.name, " (install the Debian package ", program.package, ")");
  return false;
}

string program_path_argument(const char* path) {
  return path[0] == '-' ? string("./") + path : string(path);
}

bool run_program(const external_program& program, const vector<string>& arguments) {
  vector<char*> argv;
  argv.push_back((char*)program.path.c_str());
  for (const string& argument : arguments) argv.push_back((char*)argument.c_str());
  argv.push_back(nullptr);
  int output[2];
  if (pipe(output) != 0) {
    complain("cannot run ", program.name, ": ", strerror(errno));
    return false;
  }
  standard_output.flush();
  standard_error.flush();
  pid_t child = fork();
  if (child < 0) {
    complain("cannot run ", program.name, ": ", strerror(errno));
    close(output[0]);
    close(output[1]);
    return false;
  }
  if (child == 0) {
    close(output[0]);
    exec_child(program.path.c_str(), argv.begin(), output[1]);
  }
  close(output[1]);
  string printed;
  collect_output(output[0], printed);
  close(output[0]);
  int status = wait_for(child);
  if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  if (!interrupted) report_failure(program, status, printed);
  return false;
}
