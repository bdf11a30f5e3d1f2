// A file under /tmp for one test, open read-write, created empty or holding
// bytes with the offset back at 0; removed with the object.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

class scratch_file {
 public:
  explicit scratch_file(const std::string& bytes = std::string()) {
    strcpy(path_, "/tmp/unit_test.XXXXXX");
    fd_ = mkstemp(path_);
    EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    lseek(fd_, 0, SEEK_SET);
  }
  ~scratch_file() { close(fd_), unlink(path_); }
  scratch_file(const scratch_file&) = delete;
  scratch_file& operator=(const scratch_file&) = delete;

  const char* path() const { return path_; }
  int fd() const { return fd_; }
  // Everything in the file now, whoever wrote it.
  std::string contents() const {
    std::string out(1 << 16, '\0');
    int fd = open(path_, O_RDONLY);
    ssize_t n, done = 0;
    while ((n = pread(fd, &out[done], out.size() - done, done)) > 0)
      if ((done += n) == (ssize_t)out.size()) out.resize(2 * out.size());
    close(fd);
    return out.substr(0, done);
  }

 private:
  char path_[32];
  int fd_;
};
