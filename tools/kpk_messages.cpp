// Messages and argument walking shared by the kpk commands.
#include <string.h>

#include "foundation/streams.h"
#include "tools/kpk.h"

void report(const char* a, const char* b, const char* c, const char* d, const char* e) {
  standard_error << "kpk: " << a;
  const char* parts[] = {b, c, d, e};
  for (const char* part : parts)
    if (part) standard_error << part;
  standard_error << endl;
}

int report_usage(const char* command, const char* problem, const char* argument) {
  standard_error << "kpk: " << problem;
  if (argument) standard_error << ": " << argument;
  standard_error << endl
                 << "kpk: see \"kpk " << (command ? command : "") << (command ? " " : "")
                 << "--help\"" << endl;
  return EXIT_USAGE;
}

const char* argument_walker::next_option() {
  inline_value_ = nullptr;
  if (index_ >= argc_) return nullptr;
  const char* argument = argv_[index_];
  if (strcmp(argument, "--") == 0) {
    ++index_;
    return nullptr;
  }
  // A lone "-" is an operand: standard input.
  if (argument[0] != '-' || argument[1] == '\0') return nullptr;
  ++index_;
  const char* equals = strchr(argument, '=');
  if (!equals || argument[1] != '-') return argument;
  size_t length = (size_t)(equals - argument);
  if (length >= sizeof option_) length = sizeof option_ - 1;
  memcpy(option_, argument, length);
  option_[length] = '\0';
  inline_value_ = equals + 1;
  return option_;
}

const char* argument_walker::option_value() {
  if (inline_value_) {
    const char* value = inline_value_;
    inline_value_ = nullptr;
    return value;
  }
  if (index_ >= argc_) return nullptr;
  return argv_[index_++];
}

bool parse_u32(const char* text, uint32_t* value) {
  if (!text || *text == '\0') return false;
  uint64_t result = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    result = result * 10 + (uint64_t)(*p - '0');
    if (result > 0xFFFFFFFFu) return false;
  }
  *value = (uint32_t)result;
  return true;
}
