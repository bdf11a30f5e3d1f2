// What the parts of kpk share: the commands, messages and argument walking.
// kpk builds, bundles and shows package files for the people who make them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "foundation/string.h"

enum exit_status { EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

int command_build(int argc, char** argv);
int command_bundle(int argc, char** argv);
int command_show(int argc, char** argv);

// One line on standard error: "kpk: " and the parts that are given.
void report(const char* a, const char* b = nullptr, const char* c = nullptr,
            const char* d = nullptr, const char* e = nullptr);
// The same, for a usage error: also points at "--help".
int report_usage(const char* command, const char* problem, const char* argument = nullptr);

// Walks a command's arguments: options first ("--name", "--name=value" or
// "--name value", "-x"), then the operands; "--" ends the options.
class argument_walker {
 public:
  argument_walker(int argc, char** argv) : argc_(argc), argv_(argv) {}
  // The next option, or nullptr when the operands begin.
  const char* next_option();
  // The option's value: after "=", or the next argument; nullptr when none.
  const char* option_value();
  // The operands: what follows the options.
  int operand_count() const { return argc_ - index_; }
  char* operand(int i) const { return argv_[index_ + i]; }

 private:
  int argc_;
  char** argv_;
  int index_ = 0;
  const char* inline_value_ = nullptr;
  char option_[64];
};

// Decimal 0 .. 4294967295, digits only.
[[nodiscard]] bool parse_u32(const char* text, uint32_t* value);
