// kpk build: a package file from a directory tree and a package description.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "package_format/package_writer.h"
#include "tools/kpk.h"
#include "tools/kpk_description.h"
#include "tools/kpk_output.h"
#include "tools/kpk_tree.h"

namespace {

const char BUILD_HELP[] =
    "usage: kpk build [options] DESCRIPTION TREE OUTPUT\n"
    "\n"
    "Builds the package file OUTPUT from the directory TREE and the package\n"
    "description DESCRIPTION. Every regular file, symbolic link, directory,\n"
    "device and FIFO below TREE becomes an entry with its mode, owner, group and\n"
    "modification time, named by its path below TREE with a leading \"/\" (TREE\n"
    "itself is not an entry). Entries are sorted by name, a directory before\n"
    "its contents. A socket or an unreadable entry stops the build, and no\n"
    "OUTPUT is left behind.\n"
    "\n"
    "options:\n"
    "  --root-owner           record user and group 0 (root) for every entry\n"
    "  --build-time SECONDS   record this build time (Unix seconds) instead of\n"
    "                         the description's build-time or the current time\n"
    "  --reproducible         --root-owner, and the build time must be fixed by\n"
    "                         --build-time or build-time: the same description\n"
    "                         and tree then give the same bytes\n"
    "  -h, --help             this text\n"
    "\n"
    "The description has one \"key: value\" per line; blank lines and lines\n"
    "beginning with \"#\" are ignored:\n"
    "  name: NAME               required; 1-16 bytes, not beginning with \".\",\n"
    "                           without \"/\" or white space\n"
    "  version: VERSION         required; 2.9, 2.9.1, 2.9rc3, 2.9beta10, 2.9alpha\n"
    "                           (each number 0-255)\n"
    "  build-time: SECONDS      Unix time; default: the time of the build\n"
    "  architecture: ARCH       default: none recorded, which means \"i386\"\n"
    "  description: TEXT        repeatable: one line of the description each\n"
    "  depends: NAME [>= VERSION] [<= VERSION]     repeatable; NAME = VERSION\n"
    "  conflicts: NAME [>= VERSION] [<= VERSION]   fixes both bounds\n"
    "  install-script: FILE     run after installing; relative to the\n"
    "                           description's folder\n"
    "  uninstall-script: FILE   run when the package is removed\n"
    "  recorded: yes|no         no: the installer places the files without a\n"
    "                           database record or collision checks; default yes\n"
    "Any other key is an error.\n";

struct build_options {
  bool root_owner = false;
  bool reproducible = false;
  bool has_build_time = false;
  uint32_t build_time = 0;
  const char* description_path = nullptr;
  const char* tree = nullptr;
  const char* output = nullptr;
};

// Prints the help or a usage error itself; *status is the exit status then.
bool parse_build_arguments(int argc, char** argv, build_options& options, int* status) {
  argument_walker walker(argc, argv);
  while (const char* option = walker.next_option()) {
    if (strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0) {
      standard_output << BUILD_HELP << flush;
      *status = EXIT_DONE;
      return false;
    } else if (strcmp(option, "--root-owner") == 0) {
      options.root_owner = true;
    } else if (strcmp(option, "--reproducible") == 0) {
      options.reproducible = options.root_owner = true;
    } else if (strcmp(option, "--build-time") == 0) {
      const char* value = walker.option_value();
      if (!parse_u32(value, &options.build_time)) {
        *status = report_usage("build", "--build-time needs Unix seconds", value);
        return false;
      }
      options.has_build_time = true;
    } else {
      *status = report_usage("build", "unknown option", option);
      return false;
    }
  }
  if (walker.operand_count() != 3) {
    *status = report_usage("build", "expected DESCRIPTION TREE OUTPUT");
    return false;
  }
  options.description_path = walker.operand(0);
  options.tree = walker.operand(1);
  options.output = walker.operand(2);
  return true;
}

// The option wins over the description; without either, the current time,
// which --reproducible refuses.
bool settle_build_time(const build_options& options, package_description& description) {
  if (options.has_build_time) {
    description.header.build_time = options.build_time;
  } else if (!description.has_build_time) {
    if (options.reproducible) {
      report("--reproducible needs --build-time or a build-time: line in ",
             options.description_path);
      return false;
    }
    description.header.build_time = (uint32_t)time(nullptr);
  }
  return true;
}

bool writer_failed(const build_options& options, package_writer& writer) {
  report(options.output, ": cannot write the package: ", writer.error());
  return false;
}

// A script goes in whole, read in chunks from its file.
bool write_script(package_writer& writer, int type, const string& path, const char* output) {
  int fd = open(path.c_str(), O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    report(path.c_str(), ": cannot read the script: ", fd < 0 ? strerror(errno) : "not a file");
    if (fd >= 0) close(fd);
    return false;
  }
  bool done = writer.begin_section(type);
  char chunk[16384];
  ssize_t got;
  while (done && ((got = read_retrying(fd, chunk, sizeof chunk)) != 0)) {
    if (got < 0) {
      report(path.c_str(), ": cannot read the script: ", strerror(errno));
      close(fd);
      return false;
    }
    done = writer.write_payload(chunk, (size_t)got);
  }
  close(fd);
  if (done && writer.end_section()) return true;
  report(output, ": cannot write the package: ", writer.error());
  return false;
}

// The header block and the scripts, in the order the readers expect.
bool write_package_sections(const build_options& options, const package_description& d,
                            package_writer& writer) {
  const package_header& h = d.header;
  if (!writer.write_header_record(SECTION_PACKAGE_HEADER, h) ||
      (d.has_description &&
       !writer.write_section(SECTION_DESCRIPTION, d.description.c_str(), d.description.length())) ||
      (d.has_architecture && !writer.write_section(SECTION_ARCHITECTURE, h.architecture.c_str(),
                                                   h.architecture.length())) ||
      (!h.dependencies.empty() &&
       !writer.write_requirement_list(SECTION_DEPENDENCIES, h.dependencies)) ||
      (!h.conflicts.empty() && !writer.write_requirement_list(SECTION_CONFLICTS, h.conflicts)))
    return writer_failed(options, writer);
  if (!d.install_script.empty() &&
      !write_script(writer, SECTION_INSTALL_SCRIPT, d.install_script, options.output))
    return false;
  if (!d.uninstall_script.empty() &&
      !write_script(writer, SECTION_UNINSTALL_SCRIPT, d.uninstall_script, options.output))
    return false;
  return true;
}

bool write_file_data(const build_options& options, const output_file& output,
                     package_writer& writer) {
  if (!writer.begin_file_data()) return writer_failed(options, writer);
  tree_options walk;
  walk.root_owner = options.root_owner;
  walk.output = &output;
  tree_counts counts;
  if (!write_tree(writer, options.tree, walk, counts)) return false;
  if (!writer.end_file_data()) return writer_failed(options, writer);
  return true;
}

bool build_package(const build_options& options, const package_description& description) {
  output_file output;
  if (!output.open(options.output)) return false;
  package_writer writer(output.stream());
  uint32_t magic = description.unrecorded ? PACKAGE_MAGIC_UNRECORDED : PACKAGE_MAGIC_RECORDED;
  if (!writer.begin_file(magic)) return writer_failed(options, writer);
  if (!write_package_sections(options, description, writer)) return false;
  if (!write_file_data(options, output, writer)) return false;
  if (!writer.end_file()) return writer_failed(options, writer);
  return output.commit();
}

}  // namespace

int command_build(int argc, char** argv) {
  build_options options;
  int status = EXIT_FAILED;
  if (!parse_build_arguments(argc, argv, options, &status)) return status;
  package_description description;
  if (!read_description(options.description_path, PACKAGE_DESCRIPTION, description))
    return EXIT_FAILED;
  if (!settle_build_time(options, description)) return EXIT_FAILED;
  if (!build_package(options, description)) return EXIT_FAILED;
  return EXIT_DONE;
}
