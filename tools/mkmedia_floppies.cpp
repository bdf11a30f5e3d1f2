// mkmedia floppies: one package or bundle file split into the parts of a
// floppy set, each part in its own 1.44 MB FAT floppy image.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "foundation/byte_buffer.h"
#include "foundation/streams.h"
#include "tools/kpk.h"
#include "tools/mkmedia.h"
#include "tools/mkmedia_check.h"
#include "tools/mkmedia_floppy_part.h"
#include "tools/mkmedia_programs.h"
#include "tools/mkmedia_staging.h"

namespace {

const char FLOPPIES_HELP[] =
    "usage: mkmedia floppies [options] PACKAGE OUTDIR\n"
    "\n"
    "Splits the package or bundle file PACKAGE into the parts of a floppy set\n"
    "and writes each part, as \"tessaron.n00\", \"tessaron.n01\", ..., into its own\n"
    "1.44 MB FAT floppy image OUTDIR/floppy-01.img, floppy-02.img, ... Setup\n"
    "boots from a boot floppy of its own and then asks for the \"2nd\" floppy:\n"
    "that is floppy-01.img, the \"3rd\" is floppy-02.img, and so on.\n"
    "\n"
    "Each part is made of groups of blocks; every block carries the CRC-32 of\n"
    "its data, and the last block of a group is the XOR of the others, so setup\n"
    "repairs one damaged block per group. All parts carry one set identifier.\n"
    "OUTDIR is created when missing and must not hold floppy images already.\n"
    "\n"
    "options:\n"
    "  --block-size N   bytes per block, its 4-byte CRC included (default 1024)\n"
    "  --group N        blocks per group, parity included (default 16)\n"
    "  --parity N       parity blocks per group: 1 (default), or 0 for none\n"
    "                   (damaged blocks are then found but not repaired)\n"
    "  -h, --help       this text\n"
    "Block size times blocks per group may be at most 1 MiB.\n";

// A part file fills what a 1.44 MB FAT12 floppy made by mkfs.fat holds for
// one file: 2847 clusters of 512 bytes after the boot sector, two FATs of 9
// sectors and a 14-sector root directory.
constexpr uint64_t FLOPPY_FILE_CAPACITY = 2847 * 512;
constexpr const char* FLOPPY_KIB = "1440";

struct floppies_options {
  uint32_t block_size = 1024;
  uint32_t blocks_per_group = 16;
  uint32_t parity_blocks = 1;
  const char* package = nullptr;
  const char* directory = nullptr;
};

bool parse_number_option(argument_walker& walker, const char* option, uint32_t* value,
                         int* status) {
  const char* text = walker.option_value();
  if (parse_u32(text, value)) return true;
  *status = complain_usage("floppies", "expected a number after", option);
  return false;
}

bool parse_floppies_arguments(int argc, char** argv, floppies_options& options, int* status) {
  argument_walker walker(argc, argv);
  while (const char* option = walker.next_option()) {
    if (strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0) {
      standard_output << FLOPPIES_HELP << flush;
      *status = EXIT_DONE;
      return false;
    }
    uint32_t* target = strcmp(option, "--block-size") == 0 ? &options.block_size
                       : strcmp(option, "--group") == 0    ? &options.blocks_per_group
                       : strcmp(option, "--parity") == 0   ? &options.parity_blocks
                                                           : nullptr;
    if (!target) {
      *status = complain_usage("floppies", "unknown option", option);
      return false;
    }
    if (!parse_number_option(walker, option, target, status)) return false;
  }
  if (walker.operand_count() != 2) {
    *status = complain_usage("floppies", "expected PACKAGE and OUTDIR");
    return false;
  }
  options.package = walker.operand(0);
  options.directory = walker.operand(1);
  if (const char* problem = floppy_layout_problem(options.block_size, options.blocks_per_group,
                                                  options.parity_blocks)) {
    *status = complain_usage("floppies", problem);
    return false;
  }
  return true;
}

// How the package is spread over the parts: every part but the last carries
// as many groups as a floppy holds.
struct floppy_plan {
  floppy_layout layout;
  uint64_t groups_per_floppy;
  uint64_t payload_per_floppy;
  uint32_t part_count;
  uint32_t set_identifier;
};

bool plan_floppies(const floppies_options& options, uint64_t package_size, floppy_plan& plan) {
  plan.layout = {options.block_size, options.blocks_per_group, options.parity_blocks};
  plan.groups_per_floppy =
      (FLOPPY_FILE_CAPACITY - FLOPPY_PART_HEADER_SIZE) / plan.layout.group_size();
  plan.payload_per_floppy = plan.groups_per_floppy * plan.layout.group_payload();
  uint64_t parts = (package_size + plan.payload_per_floppy - 1) / plan.payload_per_floppy;
  if (parts > 0xFFFF) {
    complain(options.package, ": needs more than 65535 floppies");
    return false;
  }
  plan.part_count = (uint32_t)parts;
  return true;
}

// Random, so that a floppy of an older set of the same package is told
// apart; never 0, which a reader might take for "no set yet".
uint32_t new_set_identifier() {
  uint32_t value = 0;
  int fd = open("/dev/urandom", O_RDONLY);
  if (fd >= 0) {
    if (read(fd, &value, sizeof value) != (ssize_t)sizeof value) value = 0;
    close(fd);
  }
  if (value == 0) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    value = (uint32_t)now.tv_sec ^ (uint32_t)now.tv_usec << 12 ^ (uint32_t)getpid() << 20;
  }
  return value ? value : 1;
}

bool is_floppy_image_name(const char* name) {
  size_t length = strlen(name);
  return strncmp(name, "floppy-", 7) == 0 && length > 11 && strcmp(name + length - 4, ".img") == 0;
}

// OUTDIR exists (made here when missing, one level; *created says so) and
// holds no images of an earlier set, which would mix with the new one.
bool prepare_output_directory(const char* directory, bool* created) {
  *created = mkdir(directory, 0777) == 0;
  if (!*created && errno != EEXIST) {
    complain(directory, ": cannot create: ", strerror(errno));
    return false;
  }
  DIR* folder = opendir(directory);
  if (!folder) {
    complain(directory, ": cannot read the directory: ", strerror(errno));
    return false;
  }
  string found;
  while (struct dirent* file = readdir(folder))
    if (found.empty() && is_floppy_image_name(file->d_name)) found = file->d_name;
  closedir(folder);
  if (found.empty()) return true;
  complain(directory, ": holds floppy images already (", found.c_str(),
           "); remove them or choose another directory");
  return false;
}

bool read_exactly(int fd, unsigned char* destination, size_t size) {
  while (size > 0) {
    ssize_t got = read(fd, destination, size);
    if (got < 0 && errno == EINTR && !interrupted) continue;
    if (got <= 0) return false;
    destination += got;
    size -= (size_t)got;
  }
  return true;
}

bool write_exactly(int fd, const unsigned char* source, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, source, size);
    if (written < 0 && errno == EINTR && !interrupted) continue;
    if (written <= 0) return false;
    source += written;
    size -= (size_t)written;
  }
  return true;
}

// Writes one part file: the header, then its groups, the payload read on
// from the package file.
bool write_part(const floppy_plan& plan, const floppy_part_header& header, int package_fd,
                const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) {
    complain("cannot create ", path, ": ", strerror(errno));
    return false;
  }
  unsigned char header_bytes[FLOPPY_PART_HEADER_SIZE];
  encode_floppy_part_header(header, header_bytes);
  bool written = write_exactly(fd, header_bytes, sizeof header_bytes);
  byte_buffer payload(plan.layout.group_payload());
  byte_buffer group(plan.layout.group_size());
  uint64_t left = header.payload_size;
  const char* failure = written ? nullptr : "cannot write";
  while (!failure && left > 0) {
    size_t step = left < plan.layout.group_payload() ? (size_t)left : plan.layout.group_payload();
    if (!read_exactly(package_fd, payload.data(), step)) failure = "cannot read the package for";
    encode_floppy_group(plan.layout, payload.data(), step, group.data());
    if (!failure && !write_exactly(fd, group.data(), group.size())) failure = "cannot write";
    left -= step;
  }
  if (close(fd) != 0 && !failure) failure = "cannot write";
  if (failure && !interrupted) complain(failure, " ", path, ": ", strerror(errno));
  return !failure;
}

const char* ordinal_suffix(unsigned n) {
  return n == 1 ? "st" : n == 2 ? "nd" : n == 3 ? "rd" : "th";
}

// The part into its floppy image: a fresh FAT12 floppy and one file on it.
bool make_floppy(staging_area& staging, const char* part_name, const char* image_name) {
  string image = staging.path_of(image_name);
  vector<string> format;
  const char* format_arguments[] = {"-C", "-n", "TESSARON", image.c_str(), FLOPPY_KIB};
  for (const char* argument : format_arguments) format.push_back(string(argument));
  if (!run_program(MKFS_FAT, format)) return false;
  string part = staging.path_of(part_name);
  vector<string> copy;
  const char* copy_arguments[] = {"-i", image.c_str(), "-Q", part.c_str()};
  for (const char* argument : copy_arguments) copy.push_back(string(argument));
  copy.push_back(string("::/") + part_name);
  return run_program(MCOPY, copy);
}

bool make_floppies(const floppies_options& options, const floppy_plan& plan, uint64_t size,
                   staging_area& staging) {
  int package_fd = open(options.package, O_RDONLY);
  if (package_fd < 0) {
    complain(options.package, ": cannot open: ", strerror(errno));
    return false;
  }
  bool made = true;
  uint64_t left = size;
  for (uint32_t i = 0; made && i < plan.part_count; ++i) {
    floppy_part_header header;
    header.payload_size =
        (uint32_t)(left < plan.payload_per_floppy ? left : plan.payload_per_floppy);
    header.set_identifier = plan.set_identifier;
    header.part_index = (uint16_t)i;
    header.part_count = (uint16_t)plan.part_count;
    header.layout = plan.layout;
    char part_name[24], image_name[32];
    snprintf(part_name, sizeof part_name, "tessaron.n%02u", i);
    snprintf(image_name, sizeof image_name, "floppy-%02u.img", i + 1);
    made = write_part(plan, header, package_fd, staging.path_of(part_name).c_str()) &&
           make_floppy(staging, part_name, image_name) && !interrupted;
    staging.discard(part_name);
    left -= header.payload_size;
  }
  close(package_fd);
  return made;
}

bool publish_floppies(const floppies_options& options, const floppy_plan& plan,
                      staging_area& staging) {
  for (uint32_t i = 0; i < plan.part_count; ++i) {
    char image_name[32];
    snprintf(image_name, sizeof image_name, "floppy-%02u.img", i + 1);
    string destination = string(options.directory) + "/" + image_name;
    if (staging.publish(image_name, destination.c_str())) continue;
    // Half a set is worse than none.
    while (i-- > 0) {
      snprintf(image_name, sizeof image_name, "floppy-%02u.img", i + 1);
      unlink((string(options.directory) + "/" + image_name).c_str());
    }
    return false;
  }
  return true;
}

void print_floppies(const floppies_options& options, const floppy_plan& plan,
                    const checked_package& package) {
  char size_text[32];
  format_size(package.size, size_text, sizeof size_text);
  char identifier[16];
  snprintf(identifier, sizeof identifier, "0x%08X", plan.set_identifier);
  standard_output << options.package << ": " << package_label(package.header) << ", " << size_text
                  << ", on " << plan.part_count << (plan.part_count == 1 ? " floppy" : " floppies")
                  << " in " << options.directory << "\n  set " << identifier << ", "
                  << plan.layout.block_size << "-byte blocks, " << plan.layout.blocks_per_group
                  << " per group, " << plan.layout.parity_blocks << " parity\n";
  uint64_t left = package.size;
  for (uint32_t i = 0; i < plan.part_count; ++i) {
    uint64_t payload = left < plan.payload_per_floppy ? left : plan.payload_per_floppy;
    left -= payload;
    char line[200];
    snprintf(line, sizeof line,
             "  floppy-%02u.img: tessaron.n%02u, part %u of %u, %llu bytes of the package"
             " (asked for as the %u%s floppy)\n",
             i + 1, i, i + 1, plan.part_count, (unsigned long long)payload, i + 2,
             ordinal_suffix(i + 2));
    standard_output << line;
  }
  standard_output << flush;
}

}  // namespace

int command_floppies(int argc, char** argv) {
  floppies_options options;
  int status = EXIT_FAILED;
  if (!parse_floppies_arguments(argc, argv, options, &status)) return status;
  if (!find_program(MKFS_FAT) || !find_program(MCOPY)) return EXIT_FAILED;
  checked_package package;
  if (!check_package_file(options.package, package)) return EXIT_FAILED;
  floppy_plan plan;
  if (!plan_floppies(options, package.size, plan)) return EXIT_FAILED;
  bool created = false;
  if (interrupted || !prepare_output_directory(options.directory, &created)) return EXIT_FAILED;
  plan.set_identifier = new_set_identifier();
  bool made;
  {
    staging_area staging;
    made = staging.create(string(options.directory) + "/") &&
           make_floppies(options, plan, package.size, staging) && !interrupted &&
           publish_floppies(options, plan, staging);
  }
  if (!made) {
    if (created) rmdir(options.directory);
    return EXIT_FAILED;
  }
  print_floppies(options, plan, package);
  return EXIT_DONE;
}
