// mkmedia iso: a CD-ROM image of a package directory, made by xorriso.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "foundation/streams.h"
#include "tools/kpk.h"
#include "tools/mkmedia.h"
#include "tools/mkmedia_check.h"
#include "tools/mkmedia_media.h"
#include "tools/mkmedia_programs.h"
#include "tools/mkmedia_staging.h"

namespace {

const char ISO_HELP[] =
    "usage: mkmedia iso DIR OUT.iso\n"
    "\n"
    "Writes OUT.iso, a CD-ROM image (ISO 9660 with Rock Ridge names) whose root\n"
    "is the directory DIR: its package files, \"defpacks\" when it has one, and\n"
    "whatever else it holds. Symbolic links are stored as the files they point\n"
    "to. Setup's CD-ROM installation shows the package files of the root\n"
    "(names ending in \".kpk\") in its package menu; \"defpacks\" lists the\n"
    "names of the packages the menu may start with.\n"
    "\n"
    "Every package file is checked first; a damaged one, or none at all, is\n"
    "refused and nothing is written. OUT.iso must lie outside DIR; an existing\n"
    "OUT.iso is replaced once the new image is complete.\n"
    "\n"
    "options:\n"
    "  -h, --help   this text\n";

const char VOLUME_ID[] = "TESSARON";
const char IMAGE_NAME[] = "image.iso";

// The image is written beside OUT while xorriso reads DIR: inside DIR it
// would end up in itself.
bool is_outside(const char* directory, const char* output) {
  char directory_path[PATH_MAX], output_folder[PATH_MAX];
  string folder = parent_directory(output);
  if (!realpath(directory, directory_path) || !realpath(folder.c_str(), output_folder)) {
    complain(realpath(directory, directory_path) ? folder.c_str() : directory, ": ",
             strerror(errno));
    return false;
  }
  size_t length = strlen(directory_path);
  bool inside = strncmp(output_folder, directory_path, length) == 0 &&
                (output_folder[length] == '\0' || output_folder[length] == '/' || length == 1);
  if (inside) complain(output, ": must lie outside ", directory);
  return !inside;
}

void print_iso(const char* directory, const char* output, const vector<checked_package>& packages) {
  struct stat st;
  uint64_t size = stat(output, &st) == 0 ? (uint64_t)st.st_size : 0;
  char size_text[32];
  format_size(size, size_text, sizeof size_text);
  standard_output << output << ": CD-ROM image (ISO 9660, Rock Ridge), " << size_text << ", of "
                  << directory << '\n';
  print_package_lines(packages);
  string defaults = string(directory) + "/" + DEFAULT_PACKAGES_FILE;
  if (stat(defaults.c_str(), &st) == 0) standard_output << "  " << DEFAULT_PACKAGES_FILE << '\n';
  standard_output << flush;
}

}  // namespace

int command_iso(int argc, char** argv) {
  argument_walker walker(argc, argv);
  while (const char* option = walker.next_option()) {
    if (strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0) {
      standard_output << ISO_HELP << flush;
      return EXIT_DONE;
    }
    return complain_usage("iso", "unknown option", option);
  }
  if (walker.operand_count() != 2) return complain_usage("iso", "expected DIR and OUT.iso");
  const char* directory = walker.operand(0);
  const char* output = walker.operand(1);
  vector<checked_package> packages;
  if (!find_program(XORRISO) || !is_outside(directory, output) ||
      !check_package_directory(directory, summary_check::menu, packages) || interrupted)
    return EXIT_FAILED;
  warn_about_defaults(directory, packages);
  staging_area staging;
  if (!staging.create(string(output))) return EXIT_FAILED;
  vector<string> arguments;
  const char* fixed[] = {"-as", "mkisofs", "-quiet", "-R", "-f", "-V", VOLUME_ID, "-o"};
  for (const char* argument : fixed) arguments.push_back(string(argument));
  arguments.push_back(staging.path_of(IMAGE_NAME));
  arguments.push_back(program_path_argument(directory));
  if (!run_program(XORRISO, arguments) || interrupted || !staging.publish(IMAGE_NAME, output))
    return EXIT_FAILED;
  print_iso(directory, output, packages);
  return EXIT_DONE;
}
