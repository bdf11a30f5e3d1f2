// kpk show: what a package or bundle file holds, section by section, and
// where and how a damaged file is damaged.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "package_format/file_data_reader.h"
#include "package_format/package_reader.h"
#include "tools/kpk.h"
#include "tools/kpk_description.h"
#include "tools/kpk_listing.h"
#include "tools/kpk_zlib_check.h"

namespace {

const char SHOW_HELP[] =
    "usage: kpk show [options] FILE\n"
    "\n"
    "Shows the package or bundle file FILE (\"-\" reads standard input): the\n"
    "header, description, architecture, dependencies and conflicts with their\n"
    "versions, the scripts' sizes, and the file list with type, mode, owner and\n"
    "group, size (major,minor for devices), modification time (UTC) and path.\n"
    "A bundle shows its own header, then each member package.\n"
    "\n"
    "A damaged file is shown up to the damage; then a message on standard error\n"
    "gives the offset and what is wrong (bad magic, a section cut short, corrupt\n"
    "compressed data, a bad entry) and the exit status is 1.\n"
    "\n"
    "options:\n"
    "  --scripts    also print the text of the install and uninstall scripts\n"
    "  --no-files   leave out the file list (the file data is still checked)\n"
    "  -h, --help   this text\n";

struct show_options {
  bool scripts = false;
  bool files = true;
  const char* path = nullptr;
};

bool parse_show_arguments(int argc, char** argv, show_options& options, int* status) {
  argument_walker walker(argc, argv);
  while (const char* option = walker.next_option()) {
    if (strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0) {
      standard_output << SHOW_HELP << flush;
      *status = EXIT_DONE;
      return false;
    } else if (strcmp(option, "--scripts") == 0) {
      options.scripts = true;
    } else if (strcmp(option, "--no-files") == 0) {
      options.files = false;
    } else {
      *status = report_usage("show", "unknown option", option);
      return false;
    }
  }
  if (walker.operand_count() != 1) {
    *status = report_usage("show", "expected one FILE");
    return false;
  }
  options.path = walker.operand(0);
  return true;
}

const char* section_name(int type) {
  switch (type) {
    case SECTION_PACKAGE_HEADER:
      return "package header";
    case SECTION_DESCRIPTION:
      return "description";
    case SECTION_DEPENDENCIES:
      return "dependencies";
    case SECTION_FILE_DATA:
      return "file data";
    case SECTION_INSTALL_SCRIPT:
      return "install script";
    case SECTION_UNINSTALL_SCRIPT:
      return "uninstall script";
    case SECTION_ARCHITECTURE:
      return "architecture";
    case SECTION_CONFLICTS:
      return "conflicts";
    case SECTION_BUNDLE_HEADER:
      return "bundle header";
    default:
      return "unknown";
  }
}

// One run of show over one reader. Prints the listing on standard output
// and the first damage found on standard error.
class package_show {
 public:
  package_show(const show_options& options, package_reader& reader)
      : options_(options), reader_(reader), out_(standard_output) {}
  // False when the file is damaged.
  bool run();

 private:
  bool damaged(uint64_t offset, const char* what, const char* detail = nullptr);
  bool section_cut_short(const char* content_problem);
  bool show_section(int type);
  bool show_header_record(int type);
  bool show_requirements(int type);
  bool show_architecture();
  bool show_text(const char* label, bool print_text);
  bool show_unknown(int type);
  bool show_file_data();
  void close_header_block();
  bool check_end(uint64_t expected);
  bool report_file_data(const checking_source& check, entry_step step,
                        const file_data_reader& entries, const string& name);

  const show_options& options_;
  package_reader& reader_;
  output_stream& out_;
  uint64_t section_offset_ = 0;  // where the current section's header begins
  bool block_open_ = false;      // in a header block, before its architecture
  bool architecture_seen_ = false;
  int last_type_ = -1;
  uint32_t last_length_ = 0;
};

bool package_show::damaged(uint64_t offset, const char* what, const char* detail) {
  out_ << flush;
  char where[48];
  snprintf(where, sizeof where, ": offset %llu: ", (unsigned long long)offset);
  report(options_.path, where, what, detail ? ": " : nullptr, detail);
  return false;
}

// A read inside the current section came back short: either the file ended
// or the section's own content claims more than its length holds.
bool package_show::section_cut_short(const char* content_problem) {
  char what[160];
  uint64_t payload_start = section_offset_ + SECTION_HEADER_SIZE;
  uint64_t present = reader_.position() - payload_start;
  int type = reader_.current_type();
  if (reader_.remaining() == 0 && present == reader_.current_length()) {
    snprintf(what, sizeof what, "%s section (type %d): %s", section_name(type), type,
             content_problem);
  } else {
    snprintf(what, sizeof what,
             "%s section (type %d) of %u bytes is cut short: the file ends after %llu",
             section_name(type), type, reader_.current_length(), (unsigned long long)present);
  }
  return damaged(section_offset_, what);
}

void package_show::close_header_block() {
  if (block_open_ && !architecture_seen_) out_ << "architecture: i386 (none recorded)\n";
  block_open_ = false;
}

bool package_show::show_header_record(int type) {
  close_header_block();
  package_header header;
  if (!read_header_record(reader_, header))
    return section_cut_short("shorter than the 32-byte header record");
  char when[48];
  format_time(header.build_time, true, when, sizeof when);
  out_ << '\n' << (type == SECTION_BUNDLE_HEADER ? "bundle: " : "package: ");
  string label = package_label(header);
  write_escaped(out_, label.c_str(), label.length(), false);
  out_ << "\nbuild time: " << when << " (" << header.build_time << ")\n";
  if (const char* problem = package_name_problem(header.name))
    out_ << "note: the installer refuses this name: " << problem << '\n';
  block_open_ = true;
  architecture_seen_ = false;
  return true;
}

bool package_show::show_requirements(int type) {
  vector<requirement_entry> list;
  if (!read_requirement_list(reader_, list))
    return section_cut_short("holds fewer entries than its count says");
  const char* label = type == SECTION_DEPENDENCIES ? "depends: " : "conflicts: ";
  if (list.empty()) out_ << label << "(none)\n";
  for (const requirement_entry& entry : list) {
    string text = format_requirement(entry);
    out_ << label;
    write_escaped(out_, text.c_str(), text.length(), false);
    out_ << '\n';
  }
  return true;
}

bool package_show::show_architecture() {
  string architecture;
  if (!read_payload_text(reader_, architecture)) return section_cut_short("");
  out_ << "architecture: ";
  write_escaped(out_, architecture.c_str(), architecture.length(), false);
  out_ << '\n';
  architecture_seen_ = true;
  return true;
}

// The description and the scripts: streamed in chunks, however long, with
// each line indented.
bool package_show::show_text(const char* label, bool print_text) {
  out_ << label << ": " << reader_.current_length() << " bytes\n";
  if (print_text && reader_.current_length() > 0) out_ << "  ";
  char chunk[1024];
  bool line_start = false;
  while (reader_.remaining() > 0) {
    size_t step = reader_.remaining() < sizeof chunk ? reader_.remaining() : sizeof chunk;
    if (!reader_.read(chunk, step)) return section_cut_short("");
    for (size_t i = 0; print_text && i < step; ++i) {
      if (line_start) out_ << "  ";
      write_escaped(out_, chunk + i, 1, true);
      line_start = chunk[i] == '\n';
    }
  }
  if (print_text && reader_.current_length() > 0 && !line_start) out_ << '\n';
  return true;
}

bool package_show::show_unknown(int type) {
  out_ << "section of type " << type << ": " << reader_.current_length()
       << " bytes (not read by the installer)\n";
  return true;  // skipped by the next step, which notices a short skip
}

bool package_show::show_section(int type) {
  if (type != SECTION_DESCRIPTION && type != SECTION_ARCHITECTURE && type != SECTION_DEPENDENCIES &&
      type != SECTION_CONFLICTS)
    close_header_block();
  switch (type) {
    case SECTION_PACKAGE_HEADER:
    case SECTION_BUNDLE_HEADER:
      return show_header_record(type);
    case SECTION_DESCRIPTION:
      return show_text("description", true);
    case SECTION_ARCHITECTURE:
      return show_architecture();
    case SECTION_DEPENDENCIES:
    case SECTION_CONFLICTS:
      return show_requirements(type);
    case SECTION_INSTALL_SCRIPT:
      return show_text("install script", options_.scripts);
    case SECTION_UNINSTALL_SCRIPT:
      return show_text("uninstall script", options_.scripts);
    case SECTION_FILE_DATA:
      return show_file_data();
    default:
      return show_unknown(type);
  }
}

// After the last section. A clean end stops right after the last payload,
// exactly where the file header says the file ends.
bool package_show::check_end(uint64_t expected) {
  uint64_t position = reader_.position();
  char what[120];
  if (position < expected) {
    int type = last_type_;
    snprintf(what, sizeof what, "%s section (type %d) of %u bytes is cut short", section_name(type),
             type, last_length_);
    return damaged(section_offset_, what);
  }
  if (position > expected) {
    snprintf(what, sizeof what, "a section header is cut short (%llu of 6 bytes)",
             (unsigned long long)(position - expected));
    return damaged(expected, what);
  }
  if (expected == FILE_HEADER_SIZE) return damaged(expected, "no section follows the file header");
  if (position != reader_.total_size()) {
    snprintf(what, sizeof what, "the file header gives %llu bytes, the sections end at %llu",
             (unsigned long long)reader_.total_size(), (unsigned long long)position);
    return damaged(position, what);
  }
  return true;
}

bool package_show::run() {
  out_ << (reader_.is_unrecorded() ? "unrecorded" : "recorded") << " package file, "
       << (unsigned long long)reader_.total_size() << " bytes by its file header\n";
  reader_.want_every_type();
  bool sound = true;
  int type = reader_.next_wanted_section();
  if (type >= 0 && type != SECTION_PACKAGE_HEADER && type != SECTION_BUNDLE_HEADER)
    sound = damaged(FILE_HEADER_SIZE, "the first section is not a package or bundle header");
  uint64_t next_offset = FILE_HEADER_SIZE;
  while (type >= 0) {
    section_offset_ = reader_.position() - SECTION_HEADER_SIZE;
    last_type_ = type;
    last_length_ = reader_.current_length();
    if (!show_section(type)) return false;
    next_offset = section_offset_ + SECTION_HEADER_SIZE + last_length_;
    type = reader_.next_wanted_section();
  }
  close_header_block();
  out_ << flush;
  return check_end(next_offset) && sound;
}

// Reads what a listing line shows of an entry's data: a link's target (up to
// a page; longer ones are described) and a device's number.
bool read_entry_extra(file_data_reader& entries, const file_entry& entry, string& target,
                      uint32_t* device) {
  uint32_t type = entry.mode & ENTRY_TYPE_MASK;
  if (type == ENTRY_SYMBOLIC_LINK) {
    char page[4096];
    if (entry.data_size > sizeof page) {
      char note[48];
      snprintf(note, sizeof note, "[a target of %u bytes]", entry.data_size);
      target = note;
      return true;
    }
    size_t got = entries.read_data(page, entry.data_size);
    target.assign(page, got);
    return got == entry.data_size;
  }
  if (type == ENTRY_CHARACTER_DEVICE || type == ENTRY_BLOCK_DEVICE) {
    unsigned char number[4];
    if (entries.read_data((char*)number, sizeof number) != sizeof number) return false;
    *device = decode_u32(number);
  }
  return true;
}

// The entries come through the same inflating stream the installer uses,
// while a second inflater checks the compressed bytes on the way.
bool package_show::show_file_data() {
  checking_source check(reader_.rdbuf());
  input_stream compressed(&check);
  file_data_reader entries(compressed);
  if (options_.files) out_ << "files:\n";
  file_entry entry;
  string name, target;
  uint64_t data_bytes = 0;
  entry_step step;
  while ((step = entries.next_entry(entry, name)) == ENTRY_READ) {
    data_bytes += entry.data_size;
    uint32_t device = 0;
    if (!read_entry_extra(entries, entry, target, &device)) {
      step = ENTRY_BROKEN;
      break;
    }
    uint32_t type = entry.mode & ENTRY_TYPE_MASK;
    if (options_.files)
      print_entry_line(out_, entry, name, type == ENTRY_SYMBOLIC_LINK ? &target : nullptr, device);
  }
  check.drain();
  if (!report_file_data(check, step, entries, name)) return false;
  out_ << entries.entries_read() << " entries, " << (unsigned long long)data_bytes
       << " bytes of data\n";
  return true;
}

// The most basic fault first: a file that ends early also leaves the zlib
// stream incomplete, and corrupt data also cuts entries short.
bool package_show::report_file_data(const checking_source& check, entry_step step,
                                    const file_data_reader& entries, const string& name) {
  char what[200];
  uint64_t payload_start = section_offset_ + SECTION_HEADER_SIZE;
  uint64_t present = reader_.position() - payload_start;
  if (present < last_length_) {
    snprintf(what, sizeof what,
             "file data section of %u bytes is cut short: the file ends after %llu", last_length_,
             (unsigned long long)present);
    return damaged(section_offset_, what);
  }
  if (check.is_corrupt()) {
    snprintf(what, sizeof what,
             "file data: corrupt compressed data at byte %llu of the section (%s)",
             (unsigned long long)check.error_offset(), check.zlib_message());
    return damaged(payload_start + check.error_offset(), what);
  }
  if (step == ENTRY_BROKEN) {
    string shown = escaped_text(name);
    snprintf(what, sizeof what, "file data: bad entry %u (/%s)", entries.entries_read(),
             shown.c_str()[0] == '/' ? shown.c_str() + 1 : shown.c_str());
    return damaged(section_offset_, what, entries.problem());
  }
  if (!check.is_complete())
    return damaged(section_offset_, "file data: the compressed data stops before its end");
  if (entries.partial_header_bytes() > 0) {
    snprintf(what, sizeof what, "file data: ends inside an entry header (%u of 30 bytes)",
             (unsigned)entries.partial_header_bytes());
    return damaged(section_offset_, what);
  }
  if (check.trailing_bytes() > 0) {
    snprintf(what, sizeof what, "file data: %llu bytes follow the end of the compressed data",
             (unsigned long long)check.trailing_bytes());
    return damaged(section_offset_, what);
  }
  return true;
}

// What is wrong when the 8-byte file header is refused.
bool diagnose_file_header(const char* path, const package_reader& reader) {
  char what[80];
  if (reader.position() < FILE_HEADER_SIZE)
    snprintf(what, sizeof what, ": offset 0: %llu bytes, too short for the 8-byte file header",
             (unsigned long long)reader.position());
  else
    snprintf(what, sizeof what, ": offset 0: bad magic 0x%08X: not a package file", reader.magic());
  report(path, what);
  return false;
}

bool show_package(const show_options& options, input_stream& input) {
  package_reader reader(input);
  if (reader.bad()) return diagnose_file_header(options.path, reader);
  package_show show(options, reader);
  bool sound = show.run();
  if (!standard_output.flush()) {
    report("cannot write the listing to standard output");
    return false;
  }
  return sound;
}

}  // namespace

int command_show(int argc, char** argv) {
  show_options options;
  int status = EXIT_FAILED;
  if (!parse_show_arguments(argc, argv, options, &status)) return status;
  if (strcmp(options.path, "-") == 0)
    return show_package(options, standard_input) ? EXIT_DONE : EXIT_FAILED;
  file_input_stream input(options.path);
  if (!input.is_open()) {
    report(options.path, ": cannot open: ", strerror(errno));
    return EXIT_FAILED;
  }
  return show_package(options, input) ? EXIT_DONE : EXIT_FAILED;
}
