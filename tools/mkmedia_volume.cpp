// mkmedia volume: a hard-disk installation volume, a FAT file system that
// fills a whole disk image, made by mkfs.fat and filled by mcopy.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "foundation/streams.h"
#include "setup/boot/boot_program.h"
#include "tools/kpk.h"
#include "tools/mkmedia.h"
#include "tools/mkmedia_check.h"
#include "tools/mkmedia_media.h"
#include "tools/mkmedia_programs.h"
#include "tools/mkmedia_staging.h"

namespace {

const char VOLUME_HELP[] =
    "usage: mkmedia volume [options] DIR OUT.img\n"
    "\n"
    "Writes OUT.img, a disk image holding one FAT file system from its first\n"
    "sector on (no partition table), for setup's hard-disk installation. The\n"
    "volume holds the package files of DIR (names ending in \".kpk\"), DIR's\n"
    "\"defpacks\" when it has one, DIR's \"autorun.scr\" (the configuration\n"
    "script the installed router runs first; required), \"mbr\" (512 bytes:\n"
    "setup's boot program, zeros and the 0x55 0xAA signature) and, with\n"
    "--choose, an empty \"CHOOSE\". Without \"CHOOSE\" setup installs every\n"
    "package of the volume without asking, at most 50 of them; with it setup\n"
    "shows its package menu.\n"
    "\n"
    "The image is a whole number of cylinders of 16 heads and 63 sectors, so it\n"
    "can serve as a disk; by default just large enough for the files (at least\n"
    "32 cylinders). Every package file is checked first; a damaged one, none at\n"
    "all, or a missing \"autorun.scr\" is refused and nothing is written. An\n"
    "existing OUT.img is replaced once the new image is complete.\n"
    "\n"
    "options:\n"
    "  --choose     let the person at the console choose packages in a menu\n"
    "  --size MIB   an image of MIB mebibytes, rounded down to whole cylinders\n"
    "  -h, --help   this text\n";

constexpr uint64_t SECTOR_SIZE = 512;
constexpr uint64_t CYLINDER_SIZE = 16 * 63 * SECTOR_SIZE;
// Below this mkfs.fat makes a FAT12 file system, unusual on a hard disk.
constexpr uint64_t MINIMUM_CYLINDERS = 32;
constexpr uint32_t LARGEST_SIZE_MIB = 1024 * 1024;
// Setup reads every package of a volume without "CHOOSE" into a table of 50.
constexpr size_t PACKAGE_LIMIT = 50;
// A FAT file holds less than 4 GiB.
constexpr uint64_t LARGEST_FILE = 0xFFFFFFFFu;
// The most bytes of a cluster mkfs.fat chooses for the volumes made here.
constexpr uint64_t LARGEST_CLUSTER = 32768;

constexpr const char* AUTORUN_FILE = "autorun.scr";
constexpr const char* CHOOSE_FILE = "CHOOSE";
constexpr const char* MBR_FILE = "mbr";
constexpr size_t MBR_SIZE = 512;
const char IMAGE_NAME[] = "volume.img";
const char VOLUME_LABEL[] = "TESSARON";

struct volume_options {
  bool choose = false;
  uint32_t size_mib = 0;  // 0: as large as the files need
  const char* directory = nullptr;
  const char* output = nullptr;
};

// A file of the volume: its name there and where its bytes come from.
struct volume_file {
  string name;
  string source;
  uint64_t size;
};

bool parse_volume_arguments(int argc, char** argv, volume_options& options, int* status) {
  argument_walker walker(argc, argv);
  while (const char* option = walker.next_option()) {
    if (strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0) {
      standard_output << VOLUME_HELP << flush;
      *status = EXIT_DONE;
      return false;
    } else if (strcmp(option, "--choose") == 0) {
      options.choose = true;
    } else if (strcmp(option, "--size") == 0) {
      const char* value = walker.option_value();
      if (!parse_u32(value, &options.size_mib) || options.size_mib == 0 ||
          options.size_mib > LARGEST_SIZE_MIB) {
        *status = complain_usage("volume", "--size takes mebibytes, 1 to 1048576", value);
        return false;
      }
    } else {
      *status = complain_usage("volume", "unknown option", option);
      return false;
    }
  }
  if (walker.operand_count() != 2) {
    *status = complain_usage("volume", "expected DIR and OUT.img");
    return false;
  }
  options.directory = walker.operand(0);
  options.output = walker.operand(1);
  return true;
}

// A name mtools stores as it is and setup opens by it: printable ASCII
// without the characters FAT names cannot hold.
bool is_portable_fat_name(const string& name) {
  for (const char* p = name.c_str(); *p; ++p)
    if (*p < 0x20 || *p > 0x7E || strchr("\"*/:<>?\\|", *p)) return false;
  return true;
}

bool same_fat_name(const string& a, const string& b) {
  return a.length() == b.length() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool check_package_names(const volume_options& options, const vector<checked_package>& packages) {
  if (!options.choose && packages.size() > PACKAGE_LIMIT) {
    char count[64];
    snprintf(count, sizeof count, ": %u packages; setup installs at most %u",
             (unsigned)packages.size(), (unsigned)PACKAGE_LIMIT);
    complain(options.directory, count, " from a volume without a menu (--choose gives the menu)");
    return false;
  }
  bool sound = true;
  for (size_t i = 0; i < packages.size(); ++i) {
    const checked_package& package = packages[i];
    if (!is_portable_fat_name(package.file_name)) {
      complain(package.path.c_str(), ": a name a FAT volume cannot hold as it is");
      sound = false;
    }
    for (size_t j = 0; j < i; ++j) {
      if (!same_fat_name(packages[j].file_name, package.file_name)) continue;
      complain(package.path.c_str(), ": has the same FAT name as ", packages[j].file_name.c_str(),
               " (FAT names ignore case)");
      sound = false;
    }
    if (package.size > LARGEST_FILE) {
      complain(package.path.c_str(), ": 4 GiB or more, larger than a FAT file can be");
      sound = false;
    }
  }
  return sound;
}

// A file of DIR that goes onto the volume as it is. Missing is fine only for
// a file that is not required.
enum class presence { required, optional };
bool add_directory_file(const volume_options& options, const char* name, presence need,
                        vector<volume_file>& files) {
  string source = string(options.directory) + "/" + name;
  struct stat st;
  if (stat(source.c_str(), &st) != 0) {
    if (errno == ENOENT && need == presence::optional) return true;
    if (errno == ENOENT)
      complain(options.directory, ": has no ", name,
               "; setup's hard-disk installation stops without it");
    else
      complain(source.c_str(), ": ", strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode) || (uint64_t)st.st_size > LARGEST_FILE) {
    complain(source.c_str(), ": not a regular file a FAT volume can hold");
    return false;
  }
  if (st.st_size == 0 && strcmp(name, AUTORUN_FILE) == 0)
    complain("warning: ", source.c_str(), ": empty; the installed router gets no configuration");
  files.push_back(volume_file{string(name), source, (uint64_t)st.st_size});
  return true;
}

bool collect_files(const volume_options& options, const vector<checked_package>& packages,
                   vector<volume_file>& files) {
  for (const checked_package& package : packages)
    files.push_back(volume_file{package.file_name, package.path, package.size});
  return add_directory_file(options, DEFAULT_PACKAGES_FILE, presence::optional, files) &&
         add_directory_file(options, AUTORUN_FILE, presence::required, files);
}

// The first sector setup writes over the volume's own before it installs:
// the boot program, then zeros, then the boot signature.
void build_mbr(unsigned char sector[MBR_SIZE]) {
  memset(sector, 0, MBR_SIZE);
  memcpy(sector, boot_program, BOOT_PROGRAM_SIZE);
  sector[510] = 0x55;
  sector[511] = 0xAA;
}

bool stage_generated_files(const volume_options& options, staging_area& staging,
                           vector<volume_file>& files) {
  unsigned char sector[MBR_SIZE];
  build_mbr(sector);
  if (!staging.write_file(MBR_FILE, sector, sizeof sector)) return false;
  files.push_back(volume_file{string(MBR_FILE), staging.path_of(MBR_FILE), MBR_SIZE});
  if (!options.choose) return true;
  if (!staging.write_file(CHOOSE_FILE, "", 0)) return false;
  files.push_back(volume_file{string(CHOOSE_FILE), staging.path_of(CHOOSE_FILE), 0});
  return true;
}

// Root directory entries: one per file plus its long-name entries (13
// characters each), and the volume label.
uint64_t root_entries(const vector<volume_file>& files) {
  uint64_t entries = 1;
  for (const volume_file& file : files) entries += 1 + (file.name.length() + 12) / 13;
  return entries < 512 ? 512 : (entries + 15) / 16 * 16;
}

uint64_t round_up(uint64_t value, uint64_t unit) {
  return (value + unit - 1) / unit * unit;
}

// Enough for the files in clusters as large as mkfs.fat makes them here,
// the root directory, two FATs and the reserved sectors, with room to spare.
uint64_t space_needed(const vector<volume_file>& files) {
  uint64_t data = round_up(root_entries(files) * 32, LARGEST_CLUSTER);
  for (const volume_file& file : files) data += round_up(file.size, LARGEST_CLUSTER);
  return data + data / 64 + 1024 * 1024;
}

bool choose_cylinders(const volume_options& options, const vector<volume_file>& files,
                      uint64_t* cylinders) {
  if (options.size_mib == 0) {
    uint64_t needed = (space_needed(files) + CYLINDER_SIZE - 1) / CYLINDER_SIZE;
    *cylinders = needed < MINIMUM_CYLINDERS ? MINIMUM_CYLINDERS : needed;
    return true;
  }
  *cylinders = (uint64_t)options.size_mib * 1024 * 1024 / CYLINDER_SIZE;
  uint64_t content = 0;
  for (const volume_file& file : files) content += file.size;
  if (*cylinders > 0 && *cylinders * CYLINDER_SIZE > content) return true;
  char text[96];
  snprintf(text, sizeof text, "--size %u: too small for %llu bytes of files", options.size_mib,
           (unsigned long long)content);
  complain(text);
  return false;
}

bool make_volume(const volume_options& options, uint64_t cylinders,
                 const vector<volume_file>& files, staging_area& staging) {
  string image = staging.path_of(IMAGE_NAME);
  char kib[24], entries[24];
  snprintf(kib, sizeof kib, "%llu", (unsigned long long)(cylinders * CYLINDER_SIZE / 1024));
  snprintf(entries, sizeof entries, "%llu", (unsigned long long)root_entries(files));
  vector<string> format;
  const char* format_arguments[] = {"-C", "-g",    "16/63",       "-n", VOLUME_LABEL,
                                    "-r", entries, image.c_str(), kib};
  for (const char* argument : format_arguments) format.push_back(string(argument));
  if (!run_program(MKFS_FAT, format) || interrupted) return false;
  // Files go on in this order, which is the volume's directory order.
  vector<string> copy;
  const char* copy_arguments[] = {"-i", image.c_str(), "-Q", "-m"};
  for (const char* argument : copy_arguments) copy.push_back(string(argument));
  for (const volume_file& file : files) copy.push_back(program_path_argument(file.source.c_str()));
  copy.push_back(string("::/"));
  if (run_program(MCOPY, copy)) return true;
  if (!interrupted && options.size_mib)
    complain("the files may not fit in ", options.output, "; try a larger --size");
  return false;
}

void print_volume(const volume_options& options, uint64_t cylinders,
                  const vector<checked_package>& packages) {
  char size_text[32];
  format_size(cylinders * CYLINDER_SIZE, size_text, sizeof size_text);
  standard_output << options.output << ": hard-disk volume (FAT), " << size_text << ", "
                  << (unsigned long long)cylinders << " cylinders of 16 heads and 63 sectors\n";
  print_package_lines(packages);
  string defaults = string(options.directory) + "/" + DEFAULT_PACKAGES_FILE;
  struct stat st;
  if (stat(defaults.c_str(), &st) == 0) standard_output << "  " << DEFAULT_PACKAGES_FILE << '\n';
  standard_output << "  " << AUTORUN_FILE << "\n  " << MBR_FILE
                  << ": the boot program and the boot signature\n";
  if (options.choose)
    standard_output << "  " << CHOOSE_FILE << ": setup shows its package menu\n";
  else
    standard_output << "  setup installs all " << (unsigned)packages.size()
                    << (packages.size() == 1 ? " package" : " packages") << " without asking\n";
  standard_output << flush;
}

}  // namespace

int command_volume(int argc, char** argv) {
  volume_options options;
  int status = EXIT_FAILED;
  if (!parse_volume_arguments(argc, argv, options, &status)) return status;
  if (!find_program(MKFS_FAT) || !find_program(MCOPY)) return EXIT_FAILED;
  vector<checked_package> packages;
  bool checked = check_package_directory(options.directory, summary_check::menu, packages);
  if (interrupted || !checked || !check_package_names(options, packages)) return EXIT_FAILED;
  vector<volume_file> files;
  if (!collect_files(options, packages, files)) return EXIT_FAILED;
  warn_about_defaults(options.directory, packages);
  staging_area staging;
  uint64_t cylinders = 0;
  if (!staging.create(string(options.output)) || !stage_generated_files(options, staging, files) ||
      !choose_cylinders(options, files, &cylinders) ||
      !make_volume(options, cylinders, files, staging) || interrupted ||
      !staging.publish(IMAGE_NAME, options.output))
    return EXIT_FAILED;
  print_volume(options, cylinders, packages);
  return EXIT_DONE;
}
