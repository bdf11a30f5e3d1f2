// Owned, length-counted byte string: names, paths and messages.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Three pointers owning one heap block of capacity + 1 bytes. The byte at
// end is always 0 while a block exists, so c_str() can go to system calls.
// An empty string may own no block at all; c_str() then gives "".
//
// Growth is exact: a change that needs more room allocates exactly the needed
// capacity, but at least 15 bytes (plus the terminator). There is no spare
// room beyond that; the package database and the file sets rely on strings
// staying small.
//
// Positions and counts are byte offsets; a count reaching past the end is
// clamped to the end. Every search returns the position or -1.
//
// Comparison treats bytes as signed 8-bit values (0x80-0xFF order before
// 0x00-0x7F) and a prefix orders first. This is the order of every ordered
// set of names and paths, including the file lists stored in the database.
class string {
 public:
  static constexpr size_t npos = (size_t)-1;

  string() : begin_(nullptr), end_(nullptr), capacity_end_(nullptr) {}
  string(const char* text);
  string(const char* first, const char* last);
  string(const char* data, size_t count);
  string(size_t count, char c);
  string(const string& other);
  string(const string& other, size_t pos, size_t count);
  string(string&& other);
  ~string();

  string& operator=(const string& other);
  string& operator=(string&& other);
  string& operator=(const char* text);
  string& assign(const char* first, const char* last);
  string& assign(const char* data, size_t count);
  string& assign(const string& other, size_t pos, size_t count);

  string& append(char c);
  string& append(size_t count, char c);
  string& append(const char* first, const char* last);
  string& append(const char* data, size_t count);
  string& append(const char* text);
  string& append(const string& other);
  string& append(const string& other, size_t pos, size_t count);
  void push_back(char c) { append(c); }
  string& operator+=(const string& other) { return append(other); }
  string& operator+=(const char* text) { return append(text); }
  string& operator+=(char c) { return append(c); }

  string& insert(size_t pos, const char* first, const char* last);
  string& insert(size_t pos, const char* text);
  string& insert(size_t pos, const string& other, size_t other_pos, size_t count);
  string& insert(size_t pos, size_t count, char c);

  string& erase(size_t pos, size_t count = npos);
  string& erase_at(size_t pos);  // one byte
  void clear();                  // length 0, block kept

  string& replace(size_t pos, size_t count, const char* first, const char* last);
  string& replace(size_t pos, size_t count, const char* text);
  string& replace(size_t pos, size_t count, const string& other);
  string& replace(size_t pos, size_t count, size_t copies, char c);

  void resize(size_t length, char fill = '\0');
  void reserve(size_t capacity);

  int compare(const string& other) const;  // -1, 0, 1
  int compare(const char* text) const;

  long find(const char* data, size_t count, size_t pos) const;
  long find(const char* text, size_t pos = 0) const;
  long find(const string& other, size_t pos = 0) const;
  long find(char c, size_t pos = 0) const;
  long rfind(const char* data, size_t count, size_t pos) const;
  long rfind(const char* text, size_t pos = npos) const;
  long rfind(char c, size_t pos = npos) const;
  long find_first_of(const char* set, size_t pos = 0) const;
  long find_first_not_of(const char* set, size_t pos = 0) const;
  long find_last_of(const char* set, size_t pos = npos) const;
  long find_last_not_of(const char* set, size_t pos = npos) const;

  string substr(size_t pos, size_t count = npos) const;
  size_t copy(char* destination, size_t count, size_t pos = 0) const;
  void swap(string& other);

  size_t length() const { return (size_t)(end_ - begin_); }
  size_t size() const { return length(); }
  bool empty() const { return begin_ == end_; }
  size_t capacity() const { return (size_t)(capacity_end_ - begin_); }
  const char* c_str() const { return begin_ ? begin_ : ""; }
  const char* data() const { return c_str(); }
  char* begin() { return begin_; }
  char* end() { return end_; }
  const char* begin() const { return begin_; }
  const char* end() const { return end_; }
  char& operator[](size_t i) { return begin_[i]; }
  char operator[](size_t i) const { return begin_[i]; }
  bool starts_with(const char* text) const;
  bool ends_with(const char* text) const;

 private:
  char* begin_;
  char* end_;
  char* capacity_end_;
};

// Equality compares the lengths first, then the bytes.
bool operator==(const string& a, const string& b);
bool operator==(const string& a, const char* b);
inline bool operator!=(const string& a, const string& b) {
  return !(a == b);
}
inline bool operator!=(const string& a, const char* b) {
  return !(a == b);
}
inline bool operator<(const string& a, const string& b) {
  return a.compare(b) < 0;
}
string operator+(const string& a, const string& b);
string operator+(const string& a, const char* b);

// Three-way comparison of byte ranges as signed bytes, prefix first.
int compare_signed_bytes(const char* a, size_t a_length, const char* b, size_t b_length);
