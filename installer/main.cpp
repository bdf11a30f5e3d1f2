// installer: the router's package manager. One run does one job: install the
// package read from standard input, install one package file, process the
// removal queue and the pending packages, or collect unowned files.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/streams.h"
#include "foundation/vector.h"
#include "installer/database.h"
#include "installer/files_in_use.h"
#include "installer/install.h"
#include "installer/messages.h"
#include "installer/pending.h"
#include "installer/removal.h"
#include "installer/signals.h"
#include "installer/validity.h"

namespace {

constexpr int PIPE_SIZE = 1 << 20;

struct command_line {
  string root;
  string package_file;
  bool file_collection = false;
  bool standard_input_job = false;
  version_mode mode = UPGRADE_MODE;
  bool quiet = false;
  vector<const char*> collect_paths;
};

bool is_package_file_name(const char* argument) {
  size_t length = strlen(argument);
  return length >= 4 && strcmp(argument + length - 4, ".kpk") == 0;
}

// Arguments are taken left to right; anything not understood prints the
// usage line and the run ends with status 0 without touching anything.
bool parse_command_line(int argc, char** argv, command_line& line) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (strcmp(argument, "--filegc") == 0) {
      line.file_collection = true;
      for (++i; i < argc; ++i) line.collect_paths.push_back(argv[i]);
      return true;
    }
    // The root is changed before anything is opened, so a package file
    // named on the command line is looked up inside the root; a file
    // outside it comes on standard input ("-r R - < file.kpk").
    if (strcmp(argument, "-r") == 0 && i + 1 < argc) {
      line.root = argv[++i];
    } else if (strcmp(argument, "-") == 0) {
      line.standard_input_job = true;
      return true;
    } else if (strcmp(argument, "-q") == 0) {
      line.quiet = true;
    } else if (strcmp(argument, "-down") == 0) {
      line.mode = DOWNGRADE_MODE;
    } else if (strcmp(argument, "-b") == 0 || strcmp(argument, "--force") == 0 ||
               strcmp(argument, "-i") == 0) {
      // accepted and ignored
    } else if (is_package_file_name(argument) && line.package_file.empty()) {
      line.package_file = argument;
    } else {
      standard_output << "usage: installer [-q] [--filegc] [-r <root>] [-]" << endl;
      return false;
    }
  }
  return true;
}

// Whether any component of the absolute path is a symbolic link: through a
// link in the middle of an argument, collection would reach what the link
// names (a record of the database, another package's directory).
bool has_symbolic_link(const string& path) {
  string prefix;
  for (size_t i = 1; i <= path.length(); ++i) {
    if (i < path.length() && path[i] != '/') continue;
    prefix.assign(path.c_str(), i);
    struct stat status;
    if (lstat(prefix.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) return true;
  }
  return false;
}

// Collection deletes everything below its argument that no package owns,
// and a file is owned only when the path formed for it equals a path of a
// package's file list. The argument must therefore name a directory the way
// the file lists do: absolute, without "." or ".." components. Repeated and
// trailing "/" are dropped, so "/" collects the whole root (handed on as "").
// As inside the collection, a symbolic link is not followed.
void collect_argument(const char* argument) {
  if (argument[0] != '/') {
    log_error("file collection needs an absolute path: %s", argument);
    return;
  }
  string directory;
  const char* component = argument;
  for (;;) {
    while (*component == '/') ++component;
    if (*component == '\0') break;
    const char* end = component;
    while (*end != '\0' && *end != '/') ++end;
    const size_t length = (size_t)(end - component);
    if (component[0] == '.' && (length == 1 || (length == 2 && component[1] == '.'))) {
      log_error("file collection needs a path without . or ..: %s", argument);
      return;
    }
    directory.append('/');
    directory.append(component, length);
    component = end;
  }
  if (has_symbolic_link(directory)) {
    log_error("file collection does not follow the symbolic link %s", argument);
    return;
  }
  collect_files(directory.c_str());
}

// setup feeds every package through a pipe: a large one lets the
// installer take 64 KiB at a time without waking the writer for each read.
// The system may refuse; then the pipe stays as it is.
void enlarge_input_pipe() {
  struct stat status;
  if (fstat(0, &status) == 0 && S_ISFIFO(status.st_mode)) fcntl(0, F_SETPIPE_SZ, PIPE_SIZE);
}

int run_job(const command_line& line) {
  if (line.standard_input_job) {
    enlarge_input_pipe();
    return install_package_stream(standard_input, line.mode);
  }
  if (!line.package_file.empty()) {
    file_input_stream package(line.package_file.c_str());
    if (!package.is_open()) return 1;
    int status = install_package_stream(package, line.mode);
    package.close();
    return status;
  }
  process_removal_queue();
  process_pending_packages();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  command_line line;
  if (!parse_command_line(argc, argv, line)) return 0;
  ignore_broken_pipes();
  if (!line.root.empty() && chroot(line.root.c_str()) != 0) {
    // Going on in the current root would install into the wrong system.
    perror("chroot");
    return 1;
  }
  if (chdir("/") != 0) perror("chdir");
  open_repository(line.quiet);
  if (line.file_collection) {
    for (const char* path : line.collect_paths) collect_argument(path);
    return 0;
  }
  scan_files_in_use();
  revalidate_packages();
  remove_invalid_packages(REPORT_REMOVALS);
  int status = run_job(line);
  finish_run();
  return status;
}
