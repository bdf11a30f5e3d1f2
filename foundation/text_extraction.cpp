// Extraction of words and numbers from input streams.
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include "foundation/give_back.h"
#include "foundation/streams.h"
#include "foundation/string.h"

// Skips white space and puts the first other byte back; at end of data sets
// eof and returns false.
static bool skip_spaces(input_stream& stream) {
  for (;;) {
    int c = stream.rdbuf()->next_byte();
    if (c == END_OF_DATA) {
      stream.setstate(STATE_EOF);
      return false;
    }
    if (!isspace(c)) {
      give_back(stream, c);
      return true;
    }
  }
}

input_stream& input_stream::skip_whitespace() {
  if (!good()) {
    setstate(STATE_FAIL);
    return *this;
  }
  skip_spaces(*this);
  return *this;
}

// Reads at most max bytes of a word, stopping before white space (put back)
// or at end of data (eof set); ended tells whether one of those stopped it.
static size_t read_word_bytes(input_stream& stream, char* destination, size_t max, bool& ended) {
  ended = false;
  size_t count = 0;
  while (count < max) {
    int c = stream.rdbuf()->next_byte();
    if (c == END_OF_DATA) {
      stream.setstate(STATE_EOF);
      ended = true;
      break;
    }
    if (isspace(c)) {
      give_back(stream, c);
      ended = true;
      break;
    }
    destination[count++] = (char)c;
  }
  return count;
}

input_stream& input_stream::operator>>(string& word) {
  if (!good() || !skip_spaces(*this)) {
    setstate(STATE_FAIL);
    return *this;
  }
  word.clear();
  size_t limit = width() > 0 ? (size_t)width() : (size_t)-1;
  size_t total = 0;
  char chunk[256];
  while (total < limit) {
    size_t wanted = limit - total < sizeof chunk ? limit - total : sizeof chunk;
    bool ended;
    size_t got = read_word_bytes(*this, chunk, wanted, ended);
    word.append(chunk, got);
    total += got;
    if (ended) break;
  }
  if (total == 0) setstate(STATE_FAIL);
  return *this;
}

input_stream& input_stream::operator>>(char& c) {
  if (!good() || !skip_spaces(*this)) {
    setstate(STATE_FAIL);
    return *this;
  }
  return get(c);
}

// The word of a numeric extraction: at most size - 1 bytes, fewer when the
// stream's width asks for fewer, zero-terminated. False (fail set) when
// there is no word.
static bool read_number_word(input_stream& stream, char* word, size_t size) {
  if (!stream.good() || !skip_spaces(stream)) {
    stream.setstate(STATE_FAIL);
    return false;
  }
  size_t max = size - 1;
  if (stream.width() > 0 && (size_t)stream.width() < max) max = (size_t)stream.width();
  bool ended;
  size_t count = read_word_bytes(stream, word, max, ended);
  word[count] = '\0';
  return true;
}

static int number_base(const input_stream& stream) {
  if (stream.flags() & FLAG_OCT) return 8;
  if (stream.flags() & FLAG_HEX) return 16;
  return 10;
}

// The integer conversions run in 64 bits on both builds and narrow to the
// target's range, so the i386 and native builds agree: a value out of range
// stores the nearest limit and fails, as strtol does with a 32-bit long.
static bool convert_signed(const char* word, int base, long long min, long long max,
                           long long& value) {
  char* end;
  errno = 0;
  long long converted = strtoll(word, &end, base);
  bool whole = *end == '\0' && errno != ERANGE;
  if (converted < min) {
    converted = min;
    whole = false;
  } else if (converted > max) {
    converted = max;
    whole = false;
  }
  value = converted;
  return whole;
}

// A negative word wraps within the target's width as strtoul does ("-1" is
// the largest value; the caller's narrowing does the wrap); a magnitude
// beyond the width stores max and fails.
static bool convert_unsigned(const char* word, int base, unsigned long long max,
                             unsigned long long& value) {
  char* end;
  errno = 0;
  unsigned long long converted = strtoull(word, &end, base);
  bool whole = *end == '\0' && errno != ERANGE;
  unsigned long long magnitude = word[0] == '-' ? 0 - converted : converted;
  if (errno == ERANGE || magnitude > max) {
    converted = max;
    whole = false;
  }
  value = converted;
  return whole;
}

// Word of at most 15 characters for every integer type.
static constexpr size_t INTEGER_WORD_SIZE = 16;

// Both return true when a word was read: the value is then stored even when
// the conversion fails.
static bool extract_signed(input_stream& stream, long long min, long long max, long long& value) {
  char word[INTEGER_WORD_SIZE];
  if (!read_number_word(stream, word, sizeof word)) return false;
  if (!convert_signed(word, number_base(stream), min, max, value)) stream.setstate(STATE_FAIL);
  return true;
}

static bool extract_unsigned(input_stream& stream, unsigned long long max,
                             unsigned long long& value) {
  char word[INTEGER_WORD_SIZE];
  if (!read_number_word(stream, word, sizeof word)) return false;
  if (!convert_unsigned(word, number_base(stream), max, value)) stream.setstate(STATE_FAIL);
  return true;
}

// 16-bit values go through the 32-bit conversion and are truncated.
input_stream& input_stream::operator>>(short& value) {
  long long converted;
  if (extract_signed(*this, INT32_MIN, INT32_MAX, converted)) value = (short)converted;
  return *this;
}

input_stream& input_stream::operator>>(unsigned short& value) {
  unsigned long long converted;
  if (extract_unsigned(*this, UINT32_MAX, converted)) value = (unsigned short)converted;
  return *this;
}

input_stream& input_stream::operator>>(int& value) {
  long long converted;
  if (extract_signed(*this, INT32_MIN, INT32_MAX, converted)) value = (int)converted;
  return *this;
}

input_stream& input_stream::operator>>(unsigned int& value) {
  unsigned long long converted;
  if (extract_unsigned(*this, UINT32_MAX, converted)) value = (unsigned int)converted;
  return *this;
}

input_stream& input_stream::operator>>(long& value) {
  long long converted;
  if (extract_signed(*this, LONG_MIN, LONG_MAX, converted)) value = (long)converted;
  return *this;
}

input_stream& input_stream::operator>>(unsigned long& value) {
  unsigned long long converted;
  if (extract_unsigned(*this, ULONG_MAX, converted)) value = (unsigned long)converted;
  return *this;
}

input_stream& input_stream::operator>>(long long& value) {
  long long converted;
  if (extract_signed(*this, LLONG_MIN, LLONG_MAX, converted)) value = converted;
  return *this;
}

input_stream& input_stream::operator>>(unsigned long long& value) {
  unsigned long long converted;
  if (extract_unsigned(*this, ULLONG_MAX, converted)) value = converted;
  return *this;
}

// Floating point words: at most 31 characters for float, 63 for the others.
template <typename T>
static input_stream& extract_floating(input_stream& stream, T& value, size_t word_size,
                                      T (*convert)(const char*, char**)) {
  char word[64];
  if (!read_number_word(stream, word, word_size)) return stream;
  char* end;
  value = convert(word, &end);
  if (*end != '\0') stream.setstate(STATE_FAIL);
  return stream;
}

input_stream& input_stream::operator>>(float& value) {
  return extract_floating(*this, value, 32, strtof);
}

input_stream& input_stream::operator>>(double& value) {
  return extract_floating(*this, value, 64, strtod);
}

input_stream& input_stream::operator>>(long double& value) {
  return extract_floating(*this, value, 64, strtold);
}
