// The file a kpk command writes: created under a temporary name beside the
// final one and renamed into place only when complete, so a failed command
// leaves no partial file behind.
#pragma once

#include <sys/types.h>

#include "foundation/fd_buffers.h"
#include "foundation/streams.h"
#include "foundation/string.h"

class output_file {
 public:
  output_file() = default;
  // Removes the temporary file unless commit() succeeded.
  ~output_file();
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;

  // Prints the reason and returns false when the file cannot be created.
  [[nodiscard]] bool open(const char* path);
  output_stream& stream() { return stream_; }
  // True for the file being written: a tree walk must not package it.
  bool is_output(dev_t device, ino_t inode) const;
  // Flushes, sets the mode (0666 less the umask) and renames the file into
  // place; prints the reason and returns false when that fails.
  [[nodiscard]] bool commit();

 private:
  void discard();

  string final_path_;
  string temporary_path_;
  int fd_ = -1;
  fd_output_buffer* buffer_ = nullptr;  // owned
  output_stream stream_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};
