// The same bytes handed out three ways, as readers meet them: from memory,
// from a file (which can seek) and from a pipe (which cannot, and delivers
// in pieces).
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <string>

#include "foundation/streams.h"

enum source_kind { FROM_MEMORY, FROM_FILE, FROM_PIPE };
const source_kind ALL_SOURCES[] = {FROM_MEMORY, FROM_FILE, FROM_PIPE};
const char* kind_name(source_kind kind);

class byte_source {
 public:
  byte_source(source_kind kind, const std::string& bytes);
  ~byte_source();
  byte_source(const byte_source&) = delete;
  byte_source& operator=(const byte_source&) = delete;
  input_stream& stream() { return *stream_; }

 private:
  stream_buffer* buffer_ = nullptr;
  input_stream* stream_ = nullptr;
  std::string path_;
  int fd_ = -1;
  pid_t writer_ = -1;
};

// Runs body in a child process after a pause of delay_ms; the caller waits
// for the returned process.
template <typename F>
pid_t later_in_child(F body, int delay_ms = 200);

#include <unistd.h>

template <typename F>
pid_t later_in_child(F body, int delay_ms) {
  pid_t child = fork();
  if (child == 0) {
    usleep(delay_ms * 1000);
    body();
    _exit(0);
  }
  return child;
}
