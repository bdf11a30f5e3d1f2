#include "tools/mkmedia_staging.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "tools/mkmedia.h"
#include "tools/mkmedia_programs.h"

bool staging_area::create(const string& prefix) {
  // A path the programs given it cannot take for an option.
  string pattern = program_path_argument(prefix.c_str()) + ".mkmedia-XXXXXX";
  if (!mkdtemp(pattern.begin())) {
    complain("cannot create a scratch directory ", pattern.c_str(), ": ", strerror(errno));
    return false;
  }
  directory_ = pattern;
  return true;
}

string staging_area::path_of(const char* name) const {
  return directory_ + "/" + name;
}

bool staging_area::write_file(const char* name, const void* data, size_t size) {
  string path = path_of(name);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd >= 0) size -= write_all(fd, data, size);
  if (fd < 0 || size > 0 || close(fd) != 0) {
    complain("cannot write ", path.c_str(), ": ", strerror(errno));
    if (fd >= 0 && size > 0) close(fd);
    return false;
  }
  return true;
}

bool staging_area::publish(const char* name, const char* destination) {
  string path = path_of(name);
  if (rename(path.c_str(), destination) == 0) return true;
  string target = string(destination) + ": " + strerror(errno);
  complain("cannot move the finished ", name, " to ", target.c_str());
  return false;
}

void staging_area::discard(const char* name) {
  unlink(path_of(name).c_str());
}

// Only mkmedia writes into the directory, and only plain files.
staging_area::~staging_area() {
  if (directory_.empty()) return;
  if (DIR* folder = opendir(directory_.c_str())) {
    while (struct dirent* file = readdir(folder)) {
      if (strcmp(file->d_name, ".") != 0 && strcmp(file->d_name, "..") != 0) discard(file->d_name);
    }
    closedir(folder);
  }
  rmdir(directory_.c_str());
}
