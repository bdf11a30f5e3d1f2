// kpk bundle: a bundle file from a bundle description and package files.
#include <errno.h>
#include <string.h>
#include <time.h>

#include "package_format/package_reader.h"
#include "package_format/package_writer.h"
#include "tools/kpk.h"
#include "tools/kpk_description.h"
#include "tools/kpk_output.h"

namespace {

const char BUNDLE_HELP[] =
    "usage: kpk bundle [options] DESCRIPTION OUTPUT PACKAGE...\n"
    "\n"
    "Builds the bundle file OUTPUT: a bundle header from the bundle description\n"
    "DESCRIPTION, then every section of each PACKAGE file, copied unchanged and\n"
    "in the order given. The members must be single packages (not bundles),\n"
    "all recorded or all unrecorded; the bundle takes their kind. On any error\n"
    "no OUTPUT is left behind.\n"
    "\n"
    "options:\n"
    "  --build-time SECONDS   record this build time (Unix seconds) instead of\n"
    "                         the description's build-time or the current time\n"
    "  -h, --help             this text\n"
    "\n"
    "The bundle description has one \"key: value\" per line, as for \"kpk build\":\n"
    "  name: NAME, version: VERSION (both required), build-time: SECONDS,\n"
    "  architecture: ARCH, depends: NAME [>= VERSION] [<= VERSION] and\n"
    "  conflicts: NAME [>= VERSION] [<= VERSION] (both repeatable).\n"
    "Any other key is an error.\n";

struct bundle_options {
  bool has_build_time = false;
  uint32_t build_time = 0;
  const char* description_path = nullptr;
  const char* output = nullptr;
  int member_count = 0;
  char** members = nullptr;
};

bool parse_bundle_arguments(int argc, char** argv, bundle_options& options, int* status) {
  argument_walker walker(argc, argv);
  while (const char* option = walker.next_option()) {
    if (strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0) {
      standard_output << BUNDLE_HELP << flush;
      *status = EXIT_DONE;
      return false;
    } else if (strcmp(option, "--build-time") == 0) {
      const char* value = walker.option_value();
      if (!parse_u32(value, &options.build_time)) {
        *status = report_usage("bundle", "--build-time needs Unix seconds", value);
        return false;
      }
      options.has_build_time = true;
    } else {
      *status = report_usage("bundle", "unknown option", option);
      return false;
    }
  }
  if (walker.operand_count() < 3) {
    *status = report_usage("bundle", "expected DESCRIPTION OUTPUT PACKAGE...");
    return false;
  }
  options.description_path = walker.operand(0);
  options.output = walker.operand(1);
  options.member_count = walker.operand_count() - 2;
  options.members = &argv[argc - options.member_count];
  return true;
}

bool member_problem(const char* member, const char* what, const char* detail = nullptr) {
  report(member, ": ", what, detail);
  return false;
}

// Every section of one member, copied. The member must read cleanly to its
// end: a damaged package is not passed on inside a bundle.
bool copy_member(const char* member, package_writer& writer, uint32_t bundle_magic,
                 const char* output) {
  file_input_stream input(member);
  if (!input.is_open()) return member_problem(member, "cannot open: ", strerror(errno));
  package_reader reader(input);
  if (reader.bad()) return member_problem(member, "not a package file (bad magic or too short)");
  if (reader.magic() != bundle_magic)
    return member_problem(member, "recorded and unrecorded packages cannot share a bundle");
  reader.want_every_type();
  if (reader.next_wanted_section() != SECTION_PACKAGE_HEADER)
    return member_problem(member,
                          "does not begin with a package header (a bundle cannot be a member)");
  do {
    if (reader.current_type() == SECTION_BUNDLE_HEADER)
      return member_problem(member, "holds a bundle header: a bundle cannot be a member");
    if (!writer.copy_section(reader)) {
      if (reader.fail()) return member_problem(member, "damaged: a section is cut short");
      report(output, ": cannot write the bundle: ", writer.error());
      return false;
    }
  } while (reader.next_wanted_section() >= 0);
  if (reader.position() != reader.total_size())
    return member_problem(member, "damaged: its length does not match its file header");
  return true;
}

// The kind of the first member decides the bundle's magic.
bool first_member_magic(const char* member, uint32_t* magic) {
  file_input_stream input(member);
  if (!input.is_open()) return member_problem(member, "cannot open: ", strerror(errno));
  package_reader reader(input);
  if (reader.bad()) return member_problem(member, "not a package file (bad magic or too short)");
  *magic = reader.magic();
  return true;
}

bool write_bundle(const bundle_options& options, const package_description& d) {
  uint32_t magic;
  if (!first_member_magic(options.members[0], &magic)) return false;
  output_file output;
  if (!output.open(options.output)) return false;
  package_writer writer(output.stream());
  const package_header& h = d.header;
  if (!writer.begin_file(magic) || !writer.write_header_record(SECTION_BUNDLE_HEADER, h) ||
      (d.has_architecture && !writer.write_section(SECTION_ARCHITECTURE, h.architecture.c_str(),
                                                   h.architecture.length())) ||
      (!h.dependencies.empty() &&
       !writer.write_requirement_list(SECTION_DEPENDENCIES, h.dependencies)) ||
      (!h.conflicts.empty() && !writer.write_requirement_list(SECTION_CONFLICTS, h.conflicts))) {
    report(options.output, ": cannot write the bundle: ", writer.error());
    return false;
  }
  for (int i = 0; i < options.member_count; ++i)
    if (!copy_member(options.members[i], writer, magic, options.output)) return false;
  if (!writer.end_file()) {
    report(options.output, ": cannot write the bundle: ", writer.error());
    return false;
  }
  return output.commit();
}

}  // namespace

int command_bundle(int argc, char** argv) {
  bundle_options options;
  int status = EXIT_FAILED;
  if (!parse_bundle_arguments(argc, argv, options, &status)) return status;
  package_description description;
  if (!read_description(options.description_path, BUNDLE_DESCRIPTION, description))
    return EXIT_FAILED;
  if (options.has_build_time)
    description.header.build_time = options.build_time;
  else if (!description.has_build_time)
    description.header.build_time = (uint32_t)time(nullptr);
  if (!write_bundle(options, description)) return EXIT_FAILED;
  return EXIT_DONE;
}
