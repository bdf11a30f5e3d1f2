// A file under /tmp for one test: open read-write, removed with the object.
#pragma once

#include <string>

class scratch_file {
 public:
  // Created empty, or holding bytes with the offset back at 0.
  explicit scratch_file(const std::string& bytes = std::string());
  ~scratch_file();
  scratch_file(const scratch_file&) = delete;
  scratch_file& operator=(const scratch_file&) = delete;

  const char* path() const { return path_; }
  int fd() const { return fd_; }
  // Everything in the file now, whoever wrote it.
  std::string contents() const;

 private:
  char path_[32];
  int fd_;
};
