// mkmedia: makes the router's installation media from package files.
#include "tools/mkmedia.h"

#include <stdio.h>
#include <string.h>

#include "foundation/streams.h"
#include "tools/kpk.h"

volatile sig_atomic_t interrupted = 0;

namespace {

const char MAIN_HELP[] =
    "usage: mkmedia <command> [options] [arguments]\n"
    "\n"
    "Makes installation media for the router from package files (\".kpk\"),\n"
    "without root and without mounting anything.\n"
    "\n"
    "commands:\n"
    "  iso        a CD-ROM image (ISO 9660, Rock Ridge) of a package directory\n"
    "  volume     a hard-disk volume: a FAT file system filling a disk image\n"
    "  floppies   a floppy set: one package or bundle split over 1.44 MB floppies\n"
    "\n"
    "Every package file is read whole with the installer's own reader first; a\n"
    "damaged one, or a directory without packages, is refused with its reason\n"
    "and nothing is written. Needs xorriso, dosfstools and mtools.\n"
    "\n"
    "options:\n"
    "  -h, --help   this text; \"mkmedia <command> --help\" describes a command\n"
    "\n"
    "Exit status: 0 done, 1 refused or failed, 2 wrong usage.\n";

struct command {
  const char* name;
  int (*run)(int argc, char** argv);
};

const command COMMANDS[] = {
    {"iso", command_iso},
    {"volume", command_volume},
    {"floppies", command_floppies},
};

bool is_help(const char* argument) {
  return strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0 ||
         strcmp(argument, "help") == 0;
}

void note_interrupt(int) {
  interrupted = 1;
}

}  // namespace

void complain(const char* a, const char* b, const char* c, const char* d, const char* e) {
  standard_output.flush();
  standard_error << "mkmedia: " << a;
  const char* parts[] = {b, c, d, e};
  for (const char* part : parts)
    if (part) standard_error << part;
  standard_error << endl;
}

int complain_usage(const char* command, const char* problem, const char* argument) {
  standard_error << "mkmedia: " << problem;
  if (argument) standard_error << ": " << argument;
  standard_error << endl
                 << "mkmedia: see \"mkmedia " << (command ? command : "") << (command ? " " : "")
                 << "--help\"" << endl;
  return EXIT_USAGE;
}

// No SA_RESTART: a wait for a program or a read returns, and the command
// notices the flag at its next step.
void watch_interrupts() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = note_interrupt;
  sigemptyset(&action.sa_mask);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int s : signals) sigaction(s, &action, nullptr);
}

void format_size(uint64_t bytes, char* text, unsigned size) {
  if (bytes < 1024)
    snprintf(text, size, "%llu bytes", (unsigned long long)bytes);
  else if (bytes < 1024 * 1024)
    snprintf(text, size, "%.1f KiB", (double)bytes / 1024);
  else
    snprintf(text, size, "%.1f MiB", (double)bytes / (1024 * 1024));
}

int main(int argc, char** argv) {
  if (argc < 2) return complain_usage(nullptr, "a command is needed");
  if (is_help(argv[1])) {
    standard_output << MAIN_HELP << flush;
    return EXIT_DONE;
  }
  const command* chosen = nullptr;
  for (const command& c : COMMANDS)
    if (strcmp(c.name, argv[1]) == 0) chosen = &c;
  if (!chosen) return complain_usage(nullptr, "unknown command", argv[1]);
  watch_interrupts();
  int status = chosen->run(argc - 2, argv + 2);
  // A signal after the medium was moved into place does not undo it.
  if (interrupted && status != EXIT_DONE) {
    complain("interrupted; nothing was written");
    status = EXIT_FAILED;
  }
  standard_output.flush();
  standard_error.flush();
  return status;
}
