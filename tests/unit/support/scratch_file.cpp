#include "support/scratch_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

scratch_file::scratch_file(const std::string& bytes) {
  strcpy(path_, "/tmp/unit_test.XXXXXX");
  fd_ = mkstemp(path_);
  EXPECT_GE(fd_, 0);
  EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), (ssize_t)bytes.size());
  lseek(fd_, 0, SEEK_SET);
}

scratch_file::~scratch_file() {
  close(fd_);
  unlink(path_);
}

std::string scratch_file::contents() const {
  std::string out;
  int fd = open(path_, O_RDONLY);
  char chunk[65536];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) out.append(chunk, (size_t)n);
  close(fd);
  return out;
}
