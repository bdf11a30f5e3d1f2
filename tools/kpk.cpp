// kpk: builds, bundles and shows package files (".kpk").
#include "tools/kpk.h"

#include <string.h>

#include "foundation/streams.h"

namespace {

const char MAIN_HELP[] =
    "usage: kpk <command> [options] [arguments]\n"
    "\n"
    "Builds, bundles and shows package files (\".kpk\") for the router's installer.\n"
    "\n"
    "commands:\n"
    "  build    a package file from a directory tree and a package description\n"
    "  bundle   a bundle file from a bundle description and package files\n"
    "  show     the header, requirements, scripts and file list of a package file,\n"
    "           and where and how a damaged file is damaged\n"
    "\n"
    "options:\n"
    "  -h, --help   this text; \"kpk <command> --help\" describes a command\n"
    "\n"
    "Exit status: 0 done, 1 failed or damaged file, 2 wrong usage.\n";

struct command {
  const char* name;
  int (*run)(int argc, char** argv);
};

const command COMMANDS[] = {
    {"build", command_build},
    {"bundle", command_bundle},
    {"show", command_show},
};

bool is_help(const char* argument) {
  return strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0 ||
         strcmp(argument, "help") == 0;
}

int print_main_help() {
  standard_output << MAIN_HELP << flush;
  return EXIT_DONE;
}

const command* find_command(const char* name) {
  for (const command& c : COMMANDS)
    if (strcmp(c.name, name) == 0) return &c;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return report_usage(nullptr, "a command is needed");
  if (is_help(argv[1])) return print_main_help();
  const command* chosen = find_command(argv[1]);
  if (!chosen) return report_usage(nullptr, "unknown command", argv[1]);
  int status = chosen->run(argc - 2, argv + 2);
  standard_output.flush();
  standard_error.flush();
  return status;
}
