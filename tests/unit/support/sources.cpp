#include "support/sources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include "foundation/fd_buffers.h"
#include "support/recording_buffer.h"

const char* kind_name(source_kind kind) {
  return kind == FROM_MEMORY ? "memory" : kind == FROM_FILE ? "file" : "pipe";
}

byte_source::byte_source(source_kind kind, const std::string& bytes) {
  if (kind == FROM_MEMORY) {
    buffer_ = new memory_source(bytes);
  } else if (kind == FROM_FILE) {
    char path[] = "/tmp/unit_source.XXXXXX";
    fd_ = mkstemp(path);
    path_ = path;
    EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    lseek(fd_, 0, SEEK_SET);
  } else {
    // A child writes in pieces, so the reader meets short reads, and the
    // pipe may carry more than it holds.
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    writer_ = later_in_child(
        [&] {
          close(ends[0]);
          for (size_t done = 0; done < bytes.size();) {
            ssize_t n = write(ends[1], bytes.data() + done, std::min<size_t>(bytes.size() - done, 1000));
            if (n <= 0) _exit(1);
            done += (size_t)n;
          }
        },
        0);
    close(ends[1]);
    fd_ = ends[0];
  }
  if (!buffer_) buffer_ = new fd_input_buffer(fd_);
  stream_ = new input_stream(buffer_);
}

byte_source::~byte_source() {
  delete stream_;
  delete buffer_;
  if (fd_ >= 0) close(fd_);
  if (!path_.empty()) unlink(path_.c_str());
  if (writer_ > 0) kill(writer_, SIGKILL), waitpid(writer_, nullptr, 0);
}
