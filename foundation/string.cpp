#include "foundation/string.h"

#include <stdlib.h>
#include <string.h>

#include "foundation/require.h"

// Every change of length goes through open_gap(), which is the one place that
// applies the exact growth rule. A source range that lies inside this
// string's own block is copied out first, because open_gap() may free the
// block or shift the bytes the range points at.

namespace {

// Smallest capacity a string's block ever has; single-byte appends to short
// names then cost one allocation instead of one per byte.
constexpr size_t MINIMUM_CAPACITY = 15;

size_t clamp_count(size_t length, size_t pos, size_t count) {
  size_t remaining = length - pos;
  return count < remaining ? count : remaining;
}

bool contains_byte(const char* set, char c) {
  for (; *set; ++set) {
    if (*set == c) return true;
  }
  return false;
}

}  // namespace

int compare_signed_bytes(const char* a, size_t a_length, const char* b, size_t b_length) {
  size_t common = a_length < b_length ? a_length : b_length;
  // Paths share long prefixes. Equal words are skipped whole; the byte loop
  // then finds the first byte that differs, whose signed order decides.
  size_t i = 0;
  for (; i + sizeof(size_t) <= common; i += sizeof(size_t)) {
    size_t x, y;
    memcpy(&x, a + i, sizeof x);
    memcpy(&y, b + i, sizeof y);
    if (x != y) break;
  }
  for (; i < common; ++i) {
    signed char x = (signed char)a[i];
    signed char y = (signed char)b[i];
    if (x != y) return x < y ? -1 : 1;
  }
  if (a_length == b_length) return 0;
  return a_length < b_length ? -1 : 1;
}

// ---------------------------------------------------------------------------
// The one place that moves bytes and allocates.

// Removes count bytes at pos and opens a gap of n bytes there; returns the
// gap for the caller to fill. pos and count must already be clamped.
static char* open_gap_in(char*& begin, char*& end, char*& capacity_end, size_t pos, size_t count,
                         size_t n) {
  size_t length = (size_t)(end - begin);
  size_t tail = length - pos - count;
  size_t new_length = length - count + n;
  REQUIRE(new_length >= n);  // the length must not wrap around
  if (new_length > (size_t)(capacity_end - begin)) {
    size_t capacity = new_length > MINIMUM_CAPACITY ? new_length : MINIMUM_CAPACITY;
    char* block = static_cast<char*>(operator new(capacity + 1));
    if (begin) {
      memcpy(block, begin, pos);
      memcpy(block + pos + n, begin + pos + count, tail);
      operator delete(begin);
    }
    begin = block;
    capacity_end = block + capacity;
  } else if (tail && n != count) {
    memmove(begin + pos + n, begin + pos + count, tail);
  }
  if (!begin) return nullptr;  // still empty and without a block
  end = begin + new_length;
  *end = '\0';
  return begin + pos;
}

// ---------------------------------------------------------------------------
// Construction and assignment

string::string(const char* text) : string() {
  append(text, strlen(text));
}

string::string(const char* first, const char* last) : string() {
  append(first, (size_t)(last - first));
}

string::string(const char* data, size_t count) : string() {
  append(data, count);
}

string::string(size_t count, char c) : string() {
  append(count, c);
}

string::string(const string& other) : string() {
  append(other.begin_, other.length());
}

string::string(const string& other, size_t pos, size_t count) : string() {
  append(other, pos, count);
}

string::string(string&& other)
    : begin_(other.begin_), end_(other.end_), capacity_end_(other.capacity_end_) {
  other.begin_ = other.end_ = other.capacity_end_ = nullptr;
}

string::~string() {
  operator delete(begin_);
}

string& string::operator=(const string& other) {
  if (this == &other) return *this;
  return assign(other.begin_, other.length());
}

string& string::operator=(string&& other) {
  if (this != &other) {
    string gone(static_cast<string&&>(*this));
    swap(other);
  }
  return *this;
}

string& string::operator=(const char* text) {
  return assign(text, strlen(text));
}

string& string::assign(const char* first, const char* last) {
  return assign(first, (size_t)(last - first));
}

string& string::assign(const char* data, size_t count) {
  return replace(0, length(), data, data + count);
}

string& string::assign(const string& other, size_t pos, size_t count) {
  if (pos > other.length()) pos = other.length();
  count = clamp_count(other.length(), pos, count);
  return assign(other.begin_ + pos, count);
}

// ---------------------------------------------------------------------------
// Append and insert

string& string::append(char c) {
  return append(1, c);
}

string& string::append(size_t count, char c) {
  return replace(length(), 0, count, c);
}

string& string::append(const char* first, const char* last) {
  return replace(length(), 0, first, last);
}

string& string::append(const char* data, size_t count) {
  return replace(length(), 0, data, data + count);
}

string& string::append(const char* text) {
  return append(text, strlen(text));
}

string& string::append(const string& other) {
  return append(other.begin_, other.length());
}

string& string::append(const string& other, size_t pos, size_t count) {
  return insert(length(), other, pos, count);
}

string& string::insert(size_t pos, const char* first, const char* last) {
  return replace(pos, 0, first, last);
}

string& string::insert(size_t pos, const char* text) {
  return replace(pos, 0, text, text + strlen(text));
}

string& string::insert(size_t pos, const string& other, size_t other_pos, size_t count) {
  if (other_pos > other.length()) other_pos = other.length();
  count = clamp_count(other.length(), other_pos, count);
  const char* first = other.begin_ + other_pos;
  return replace(pos, 0, first, first + count);
}

string& string::insert(size_t pos, size_t count, char c) {
  return replace(pos, 0, count, c);
}

// ---------------------------------------------------------------------------
// Erase and replace

string& string::erase(size_t pos, size_t count) {
  return replace(pos, count, (const char*)nullptr, (const char*)nullptr);
}

string& string::erase_at(size_t pos) {
  return erase(pos, 1);
}

void string::clear() {
  end_ = begin_;
  if (begin_) *begin_ = '\0';
}

string& string::replace(size_t pos, size_t count, const char* first, const char* last) {
  size_t n = (size_t)(last - first);
  if (n && first >= begin_ && first < capacity_end_) {
    string copy(first, n);  // the source is our own block
    return replace(pos, count, copy.begin_, copy.end_);
  }
  if (pos > length()) pos = length();
  count = clamp_count(length(), pos, count);
  char* gap = open_gap_in(begin_, end_, capacity_end_, pos, count, n);
  if (n) memcpy(gap, first, n);
  return *this;
}

string& string::replace(size_t pos, size_t count, const char* text) {
  return replace(pos, count, text, text + strlen(text));
}

string& string::replace(size_t pos, size_t count, const string& other) {
  return replace(pos, count, other.begin_, other.end_);
}

string& string::replace(size_t pos, size_t count, size_t copies, char c) {
  if (pos > length()) pos = length();
  count = clamp_count(length(), pos, count);
  char* gap = open_gap_in(begin_, end_, capacity_end_, pos, count, copies);
  if (copies) memset(gap, c, copies);
  return *this;
}

void string::resize(size_t new_length, char fill) {
  if (new_length < length()) {
    erase(new_length);
  } else {
    append(new_length - length(), fill);
  }
}

void string::reserve(size_t new_capacity) {
  if (new_capacity <= capacity()) return;
  size_t old_length = length();
  // Open a gap that reaches the wanted capacity, then take it back: the
  // block stays, exactly as large as asked.
  open_gap_in(begin_, end_, capacity_end_, old_length, 0, new_capacity - old_length);
  end_ = begin_ + old_length;
  *end_ = '\0';
}

// ---------------------------------------------------------------------------
// Comparison

int string::compare(const string& other) const {
  return compare_signed_bytes(begin_, length(), other.begin_, other.length());
}

int string::compare(const char* text) const {
  return compare_signed_bytes(begin_, length(), text, strlen(text));
}

bool operator==(const string& a, const string& b) {
  return a.length() == b.length() &&
         (a.length() == 0 || memcmp(a.begin(), b.begin(), a.length()) == 0);
}

bool operator==(const string& a, const char* b) {
  size_t length = strlen(b);
  return a.length() == length && (length == 0 || memcmp(a.begin(), b, length) == 0);
}

string operator+(const string& a, const string& b) {
  string result;
  result.reserve(a.length() + b.length());
  result.append(a);
  result.append(b);
  return result;
}

string operator+(const string& a, const char* b) {
  size_t length = strlen(b);
  string result;
  result.reserve(a.length() + length);
  result.append(a);
  result.append(b, length);
  return result;
}

bool string::starts_with(const char* text) const {
  size_t n = strlen(text);
  return n <= length() && (n == 0 || memcmp(begin_, text, n) == 0);
}

bool string::ends_with(const char* text) const {
  size_t n = strlen(text);
  return n <= length() && (n == 0 || memcmp(end_ - n, text, n) == 0);
}

// ---------------------------------------------------------------------------
// Searches. A match starts at a byte of the string: a position at or beyond
// the length never matches, not even for an empty sequence.

long string::find(const char* data, size_t count, size_t pos) const {
  size_t length = this->length();
  if (pos >= length || count > length - pos) return -1;
  for (size_t i = pos; i + count <= length; ++i) {
    if (count == 0 || memcmp(begin_ + i, data, count) == 0) return (long)i;
  }
  return -1;
}

long string::find(const char* text, size_t pos) const {
  return find(text, strlen(text), pos);
}

long string::find(const string& other, size_t pos) const {
  return find(other.begin_, other.length(), pos);
}

long string::find(char c, size_t pos) const {
  return find(&c, 1, pos);
}

long string::rfind(const char* data, size_t count, size_t pos) const {
  size_t length = this->length();
  if (length == 0 || count > length) return -1;
  size_t last_start = length - count;
  if (last_start == length) last_start = length - 1;  // empty sequence
  size_t i = pos < last_start ? pos : last_start;
  for (;; --i) {
    if (count == 0 || memcmp(begin_ + i, data, count) == 0) return (long)i;
    if (i == 0) return -1;
  }
}

long string::rfind(const char* text, size_t pos) const {
  return rfind(text, strlen(text), pos);
}

long string::rfind(char c, size_t pos) const {
  return rfind(&c, 1, pos);
}

long string::find_first_of(const char* set, size_t pos) const {
  for (size_t i = pos; i < length(); ++i) {
    if (contains_byte(set, begin_[i])) return (long)i;
  }
  return -1;
}

long string::find_first_not_of(const char* set, size_t pos) const {
  for (size_t i = pos; i < length(); ++i) {
    if (!contains_byte(set, begin_[i])) return (long)i;
  }
  return -1;
}

long string::find_last_of(const char* set, size_t pos) const {
  if (empty()) return -1;
  for (size_t i = pos < length() ? pos : length() - 1;; --i) {
    if (contains_byte(set, begin_[i])) return (long)i;
    if (i == 0) return -1;
  }
}

long string::find_last_not_of(const char* set, size_t pos) const {
  if (empty()) return -1;
  for (size_t i = pos < length() ? pos : length() - 1;; --i) {
    if (!contains_byte(set, begin_[i])) return (long)i;
    if (i == 0) return -1;
  }
}

// ---------------------------------------------------------------------------
// Parts and swap

string string::substr(size_t pos, size_t count) const {
  return string(*this, pos, count);
}

size_t string::copy(char* destination, size_t count, size_t pos) const {
  if (pos > length()) return 0;
  count = clamp_count(length(), pos, count);
  if (count) memcpy(destination, begin_ + pos, count);
  return count;
}

void string::swap(string& other) {
  char* b = begin_;
  char* e = end_;
  char* c = capacity_end_;
  begin_ = other.begin_;
  end_ = other.end_;
  capacity_end_ = other.capacity_end_;
  other.begin_ = b;
  other.end_ = e;
  other.capacity_end_ = c;
}
