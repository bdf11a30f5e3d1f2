// The Debian programs mkmedia builds media with (xorriso, mkfs.fat, mcopy),
// found on the search path and run with fork and exec, never through a shell.
#pragma once

#include "foundation/string.h"
#include "foundation/vector.h"

struct external_program {
  const char* name;     // as on the command line
  const char* package;  // the Debian package that ships it
  string path;          // found by find_program
};

extern external_program XORRISO;
extern external_program MKFS_FAT;
extern external_program MCOPY;

// Looks the program up in PATH, then in /usr/sbin and /sbin (where Debian
// puts mkfs.fat, often outside an ordinary user's PATH). Prints which Debian
// package to install and returns false when it is nowhere.
[[nodiscard]] bool find_program(external_program& program);

// A path as an argument of a program: "./" in front of one that begins with
// "-", which the program would take for an option.
string program_path_argument(const char* path);

// Runs the program (found before) with the arguments, standard input from
// /dev/null and its output collected. Returns true when it exits with status
// 0; otherwise prints how it ended and what it printed, and returns false.
[[nodiscard]] bool run_program(const external_program& program, const vector<string>& arguments);
