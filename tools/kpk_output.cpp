#include "tools/kpk_output.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/kpk.h"

namespace {

// The temporary file of the command, removed when an interrupt ends it.
// Only one output is open at a time.
char pending_path[4096];

void remove_pending_and_die(int signal_number) {
  if (pending_path[0]) unlink(pending_path);
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void watch_interrupts(const string& path) {
  if (path.length() >= sizeof pending_path) return;
  memcpy(pending_path, path.c_str(), path.length() + 1);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  for (int s : signals) signal(s, remove_pending_and_die);
}

void stop_watching() {
  pending_path[0] = '\0';
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  for (int s : signals) signal(s, SIG_DFL);
}

mode_t current_umask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

}  // namespace

bool output_file::open(const char* path) {
  final_path_ = path;
  temporary_path_ = final_path_ + ".tmp-XXXXXX";
  fd_ = mkstemp(temporary_path_.begin());
  if (fd_ < 0) {
    report(path, ": cannot create: ", strerror(errno));
    return false;
  }
  watch_interrupts(temporary_path_);
  struct stat st;
  if (fstat(fd_, &st) == 0) {
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
  buffer_ = new fd_output_buffer(fd_);
  stream_.rdbuf(buffer_);
  return true;
}

bool output_file::is_output(dev_t device, ino_t inode) const {
  return fd_ >= 0 && device == device_ && inode == inode_;
}

bool output_file::commit() {
  const char* failure = nullptr;
  if (!stream_.flush())
    failure = "cannot write";
  else if (fchmod(fd_, 0666 & ~current_umask()) != 0)
    failure = "cannot set the mode of";
  else {
    int closed = close(fd_);
    fd_ = -1;
    if (closed != 0) failure = "cannot write";
  }
  if (!failure && rename(temporary_path_.c_str(), final_path_.c_str()) != 0)
    failure = "cannot rename the finished file to";
  if (failure) {
    report(final_path_.c_str(), ": ", failure, ": ", strerror(errno));
    discard();
    return false;
  }
  temporary_path_.clear();
  stop_watching();
  stream_.rdbuf(nullptr);
  delete buffer_;
  buffer_ = nullptr;
  return true;
}

void output_file::discard() {
  stream_.rdbuf(nullptr);
  delete buffer_;  // its flush may fail; the file goes anyway
  buffer_ = nullptr;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temporary_path_.empty()) unlink(temporary_path_.c_str());
  temporary_path_.clear();
  stop_watching();
}

output_file::~output_file() {
  discard();
}
