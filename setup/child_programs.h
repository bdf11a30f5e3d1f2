// The one place where setup starts other programs: run to completion,
// read a program's output, write a program's input, and load kernel modules.
#pragma once

#include "foundation/fd_buffers.h"
#include "foundation/streams.h"

// Where child programs' output goes: a spare virtual console, or "/dev/null"
// on a machine with a serial console.
extern const char* log_device;

// At most 14 arguments besides the program path.
constexpr int MAX_PROGRAM_ARGUMENTS = 14;

// Builds an argument vector of the program path and the arguments up to the
// first null, leaving out every ">null" (and saying whether there was one).
// False when there are more arguments than the vector holds; arguments is
// the rest of a call's list, vector has room for MAX_PROGRAM_ARGUMENTS + 2.
struct argument_vector {
  const char* items[MAX_PROGRAM_ARGUMENTS + 2];
  int count = 0;
  bool output_to_log = false;
};
[[nodiscard]] bool build_argument_vector(argument_vector& vector, const char* path,
                                         const char* const* arguments);

// Closes a descriptor that is open (not -1).
void close_descriptor(int fd);

// One end of the pipe to a running program: its standard output to read
// (program_reader) or its standard input to write (program_writer). Owns
// its buffer and descriptor; ended by close_program, which deletes it.
template <class stream_type, class buffer_type>
class program_stream : public stream_type {
 public:
  explicit program_stream(int fd)
      : stream_base(nullptr), stream_type(nullptr), fd_(fd), buffer_(new buffer_type(fd)) {
    this->rdbuf(buffer_);
  }
  ~program_stream() override {
    buffer_->drop_descriptor();
    close_descriptor(fd_);
    delete buffer_;
  }

 private:
  int fd_;
  buffer_type* buffer_;  // owned
};
using program_reader = program_stream<input_stream, fd_input_buffer>;
using program_writer = program_stream<output_stream, fd_output_buffer>;

// Runs a program to completion, inside new_root when it is not null, with
// "/dev/null" as input and the log device as output. Returns the raw wait
// status (exit code 127 when it could not be started) or -1. The argument
// list ends with a null.
int run_program(const char* new_root, const char* path, ...) __attribute__((sentinel));

// One pipe program at a time: a second open while one runs gives none.
program_reader* open_program_reader(const char* path, ...) __attribute__((sentinel));
// With the word ">null" among the arguments the program's output goes to the
// log device, otherwise it stays on the console.
program_writer* open_program_writer(const char* path, ...) __attribute__((sentinel));

// Closes the pipe (end of input, or a broken pipe for a reader) and waits
// for the program. Deletes the stream. Raw wait status, or -1.
int close_program(program_reader* reader);
int close_program(program_writer* writer);

// Runs "/sbin/insmod NAME" for each name of a null-terminated list; failures
// are not reported.
void load_modules(const char* const* modules);
extern const char* const boot_modules[];
extern const char* const network_modules[];

// SIGCHLD handler: collects finished children that nobody waits for. The
// programs started here are protected from it until their own wait.
void child_reaper(int signal_number);
