// A file under /tmp for one test, open read-write, created empty or holding
// bytes with the offset back at 0; removed with the object.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
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
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  char path_[32];
  int fd_;
};
