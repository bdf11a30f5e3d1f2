// Streams: error state and formatting over a stream buffer, file streams and
// the three standard streams of the process.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "foundation/stream_buffer.h"

class string;
class fd_input_buffer;
class fd_output_buffer;

enum stream_flags : uint32_t {
  FLAG_BOOLALPHA = 0x001,
  FLAG_DEC = 0x002,
  FLAG_HEX = 0x004,
  FLAG_OCT = 0x008,
  FLAG_LEFT = 0x010,
  FLAG_RIGHT = 0x040,
  FLAG_ADJUSTFIELD = 0x070,
  FLAG_SHOWBASE = 0x080,
  FLAG_SCIENTIFIC = 0x200,
};

enum stream_state : uint32_t { STATE_BAD = 1, STATE_EOF = 2, STATE_FAIL = 4 };

// Virtual base of every stream. Does not own its buffer.
class stream_base {
 public:
  stream_base(const stream_base&) = delete;
  stream_base& operator=(const stream_base&) = delete;

  uint32_t flags() const { return flags_; }
  uint32_t flags(uint32_t f) {
    uint32_t old = flags_;
    flags_ = f;
    return old;
  }
  uint32_t setf(uint32_t f) {
    uint32_t old = flags_;
    flags_ |= f;
    return old;
  }
  uint32_t setf(uint32_t f, uint32_t mask) {
    uint32_t old = flags_;
    flags_ = (flags_ & ~mask) | (f & mask);
    return old;
  }
  void unsetf(uint32_t f) { flags_ &= ~f; }
  int32_t precision() const { return precision_; }
  int32_t precision(int32_t p) {
    int32_t old = precision_;
    precision_ = p;
    return old;
  }
  int32_t width() const { return width_; }
  int32_t width(int32_t w) {
    int32_t old = width_;
    width_ = w;
    return old;
  }
  char fill() const { return fill_; }
  char fill(char c) {
    char old = fill_;
    fill_ = c;
    return old;
  }

  uint32_t rdstate() const { return state_; }
  void clear(uint32_t state = 0);  // adds bad when there is no buffer
  void setstate(uint32_t bits) { clear(state_ | bits); }
  bool good() const { return state_ == 0; }
  bool bad() const { return state_ & STATE_BAD; }
  bool eof() const { return state_ & STATE_EOF; }
  bool fail() const { return state_ & (STATE_FAIL | STATE_BAD); }
  explicit operator bool() const { return !fail(); }

  stream_buffer* rdbuf() const { return buffer_; }
  // Attaches a buffer and clears the state (to bad when buffer is none).
  stream_buffer* rdbuf(stream_buffer* buffer);

  // Per-stream words: index i grows the array to i + 1 entries (new ones 0).
  static int allocate_word_index();
  uint32_t& word(int index);

 protected:
  explicit stream_base(stream_buffer* buffer = nullptr);
  virtual ~stream_base();

 private:
  uint32_t flags_;
  int32_t precision_;
  int32_t width_;
  char fill_;
  uint32_t state_;
  stream_buffer* buffer_;
  uint32_t* words_;
  size_t word_count_;
};

class output_stream : virtual public stream_base {
 public:
  explicit output_stream(stream_buffer* buffer = nullptr);
  ~output_stream() override;

  output_stream& write(const char* data, size_t n);
  output_stream& put(char c);
  output_stream& flush();
  output_stream& seekp(stream_offset position);
  output_stream& seekp(stream_offset offset, seek_direction direction);
  stream_offset tellp();

  output_stream& operator<<(const char* text);
  output_stream& operator<<(const string& text);
  output_stream& operator<<(char c);
  output_stream& operator<<(bool value);
  output_stream& operator<<(int value);
  output_stream& operator<<(unsigned int value);
  output_stream& operator<<(long value);
  output_stream& operator<<(unsigned long value);
  output_stream& operator<<(long long value);
  output_stream& operator<<(unsigned long long value);
  output_stream& operator<<(double value);
  output_stream& operator<<(stream_buffer* source);  // all of it
  output_stream& operator<<(output_stream& (*manipulator)(output_stream&)) {
    return manipulator(*this);
  }
  // Saves the flags, sets showbase and hex, inserts, restores the flags.
  output_stream& insert_hex(uint32_t value);

  // Write of n bytes padded to the pending width; resets width and adjustment.
  void padded_write(const char* text, size_t n);
};

output_stream& endl(output_stream& stream);  // "\n", then flush
output_stream& flush(output_stream& stream);

class input_stream : virtual public stream_base {
 public:
  explicit input_stream(stream_buffer* buffer = nullptr);
  ~input_stream() override;

  input_stream& read(char* destination, size_t n);
  size_t readsome(char* destination, size_t n);
  int get();
  input_stream& get(char& c);
  input_stream& get(char* buffer, size_t n, char delimiter = '\n');
  input_stream& getline(char* buffer, size_t n, char delimiter = '\n');
  input_stream& getline(string& line, char delimiter = '\n');
  input_stream& ignore(size_t n = 1, int delimiter = END_OF_DATA);
  int peek();
  input_stream& putback(char c);
  input_stream& unget();
  int sync();
  input_stream& seekg(stream_offset position);
  input_stream& seekg(stream_offset offset, seek_direction direction);
  stream_offset tellg();
  size_t gcount() const { return last_count_; }  // bytes taken by the last read

  input_stream& skip_whitespace();
  input_stream& operator>>(string& word);
  input_stream& operator>>(char& c);
  input_stream& operator>>(short& value);
  input_stream& operator>>(unsigned short& value);
  input_stream& operator>>(int& value);
  input_stream& operator>>(unsigned int& value);
  input_stream& operator>>(long& value);
  input_stream& operator>>(unsigned long& value);
  input_stream& operator>>(long long& value);
  input_stream& operator>>(unsigned long long& value);
  input_stream& operator>>(float& value);
  input_stream& operator>>(double& value);
  input_stream& operator>>(long double& value);

 private:
  size_t last_count_ = 0;
};

// Open-mode bits for the file streams: append instead of truncate; create
// only, failing with EEXIST when something is at the path already; fail with
// ELOOP when the path's last component is a symbolic link, and open a FIFO
// or device without waiting for its other end (the caller checks with fstat
// what it opened).
constexpr unsigned OPEN_APPEND = 1;
constexpr unsigned OPEN_EXCLUSIVE = 2;
constexpr unsigned OPEN_NO_FOLLOW = 4;

// Opens a path read-only (OPEN_NO_FOLLOW is the one mode bit it takes); bad
// with descriptor -1 when it cannot be opened. Owns its buffer and closes its
// descriptor.
class file_input_stream : public input_stream {
 public:
  explicit file_input_stream(const char* path, unsigned mode = 0);
  ~file_input_stream() override;
  void close();
  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }

 private:
  int fd_;
  fd_input_buffer* file_buffer_;  // owned
};

// Opens a path write-only, created (0666 before the umask) and truncated, or
// appended to with OPEN_APPEND, or newly created with OPEN_EXCLUSIVE; bad
// with descriptor -1 when it cannot be opened. Owns its buffer; close flushes and closes the
// descriptor.
class file_output_stream : public output_stream {
 public:
  explicit file_output_stream(const char* path, unsigned mode = 0);
  // The same for name inside the open directory directory_fd (openat).
  file_output_stream(int directory_fd, const char* name, unsigned mode);
  ~file_output_stream() override;
  void close();
  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }

 private:
  int fd_;
  fd_output_buffer* file_buffer_;  // owned
};

// Descriptors 0, 1 and 2. Never flushed implicitly, not even at exit: every
// printed line ends with endl.
extern input_stream& standard_input;
extern output_stream& standard_output;
extern output_stream& standard_error;
