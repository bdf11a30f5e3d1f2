// What the parts of mkmedia share: the commands and their messages. mkmedia
// makes the router's installation media (a CD-ROM image, a hard-disk volume,
// a floppy set) from package files, on an ordinary machine and without root.
#pragma once

#include <signal.h>
#include <stdint.h>

int command_iso(int argc, char** argv);
int command_volume(int argc, char** argv);
int command_floppies(int argc, char** argv);

// One line on standard error: "mkmedia: " and the parts that are given.
void complain(const char* a, const char* b = nullptr, const char* c = nullptr,
              const char* d = nullptr, const char* e = nullptr);
// The same, for a usage error; also points at "mkmedia COMMAND --help".
// Returns the usage exit status.
int complain_usage(const char* command, const char* problem, const char* argument = nullptr);

// Set when SIGINT, SIGTERM or SIGHUP arrives. The commands look at it between
// steps, fail and clean up without a message of their own; the external
// programs get the signal themselves.
extern volatile sig_atomic_t interrupted;
void watch_interrupts();

// Sizes for people: "123 bytes", "4.5 KiB", "12.3 MiB".
void format_size(uint64_t bytes, char* text, unsigned size);
