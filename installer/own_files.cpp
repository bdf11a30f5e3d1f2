#include "installer/own_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool is_regular_file(int fd) {
  struct stat status;
  return fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

void clear_own_path(const char* path) {
  struct stat status;
  if (lstat(path, &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))
    unlink(path);
}

bool open_own_file(file_input_stream& in) {
  if (is_regular_file(in.fd())) return true;
  in.close();
  in.setstate(STATE_BAD);
  return false;
}

int open_own_directory(const char* path) {
  return open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}
