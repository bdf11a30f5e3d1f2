#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "foundation/streams.h"

static int open_retrying(int directory_fd, const char* path, int flags, mode_t permissions) {
  int fd;
  do {
    fd = openat(directory_fd, path, flags, permissions);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

static int no_follow_flags(unsigned mode) {
  return (mode & OPEN_NO_FOLLOW) ? O_NOFOLLOW | O_NONBLOCK : 0;
}

file_input_stream::file_input_stream(const char* path, unsigned mode)
    : stream_base(nullptr), input_stream(nullptr), fd_(-1), file_buffer_(nullptr) {
  int fd = open_retrying(AT_FDCWD, path, O_RDONLY | no_follow_flags(mode), 0);
  if (fd < 0) return;  // bad already: there is no buffer
  fd_ = fd;
  file_buffer_ = new fd_input_buffer(fd);
  rdbuf(file_buffer_);
}

file_input_stream::~file_input_stream() {
  close();
  delete file_buffer_;
}

void file_input_stream::close() {
  if (fd_ < 0) return;
  file_buffer_->drop_descriptor();
  ::close(fd_);
  fd_ = -1;
}

static int output_flags(unsigned mode) {
  int flags = O_WRONLY | O_CREAT | ((mode & OPEN_APPEND) ? O_APPEND : O_TRUNC);
  if (mode & OPEN_EXCLUSIVE) flags |= O_EXCL;
  return flags | no_follow_flags(mode);
}

file_output_stream::file_output_stream(const char* path, unsigned mode)
    : file_output_stream(AT_FDCWD, path, mode) {}

file_output_stream::file_output_stream(int directory_fd, const char* name, unsigned mode)
    : stream_base(nullptr), output_stream(nullptr), fd_(-1), file_buffer_(nullptr) {
  int fd = open_retrying(directory_fd, name, output_flags(mode), 0666);
  if (fd < 0) return;  // bad already: there is no buffer
  fd_ = fd;
  file_buffer_ = new fd_output_buffer(fd);
  rdbuf(file_buffer_);
}

file_output_stream::~file_output_stream() {
  close();
  delete file_buffer_;
}

void file_output_stream::close() {
  if (fd_ < 0) return;
  flush();
  // What could not be written stays behind instead of reaching, from the
  // buffer's destructor, whatever file reuses the descriptor number.
  file_buffer_->drop_descriptor();
  ::close(fd_);
  fd_ = -1;
}
