#include "setup/disk_preparation.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "foundation/string.h"
#include "setup/boot/boot_program.h"
#include "setup/child_programs.h"
#include "setup/config_snapshot.h"
#include "setup/console.h"

namespace {

constexpr int DRIVE_TABLE_SIZE = 4;
constexpr size_t SECTOR_SIZE = 512;
// Dump lines of the partitioning tool longer than this are not ones setup reads.
constexpr size_t DUMP_LINE_MAX = 255;

disk_record* drive_table = nullptr;  // allocated on the first search, kept for the run

// "/dev/hda" and 1 give "/dev/hda1".
struct partition_name {
  char text[sizeof(disk_record::device) + 4];
  partition_name(const disk_record& disk, int number) {
    snprintf(text, sizeof text, "%s%d", disk.device, number);
  }
};

bool write_text_file(const char* path, const char* text, size_t length, mode_t mode) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return false;
  bool written = write_all(fd, text, length) == length;
  written = close(fd) == 0 && written;
  return written && chmod(path, mode) == 0;
}

// "%s/etc/<name>" below root, with "%s/etc" created first.
bool write_etc_file(const char* root, const char* name, const char* text, size_t length) {
  char path[256];
  snprintf(path, sizeof path, "%s/etc", root);
  mkdir(path, 0755);
  if ((size_t)snprintf(path, sizeof path, "%s/etc/%s", root, name) >= sizeof path) return false;
  return length > 0 && write_text_file(path, text, length, 0644);
}

int count_table_entries(const disk_record& disk) {
  program_reader* dump = open_program_reader("/sbin/sfdisk", "-d", "-uC", disk.device, nullptr);
  if (!dump) return -1;
  int entries = 0;
  string line;
  while (dump->getline(line)) {
    if (line.length() <= DUMP_LINE_MAX && line.starts_with("/dev/")) ++entries;
  }
  close_program(dump);
  return entries;
}

bool mount_partition(const disk_record& disk, int number, const char* mount_point,
                     const char* type) {
  partition_name partition(disk, number);
  return mount(partition.text, mount_point, type, 0, nullptr) == 0;
}

void make_base_directory(const char* path, const char* label) {
  if (mkdir(path, 0755) != 0 && errno != EEXIST) perror(label);
}

// Takes "/mnt/kest/store" from the old system, if it mounts and has one.
snapshot_chunk* read_old_configuration(install_context& context) {
  snapshot_chunk* snapshot = nullptr;
  struct stat status;
  if (mount_target(context.disk, "/mnt", false) && lstat("/mnt/kest/store", &status) == 0) {
    busy_start(context, "Reading old configuration...");
    snapshot = take_snapshot("/mnt/kest/store");
    busy_stop(context);
    if (!snapshot) console_print("ERROR: couldn't keep config - probably not enough memory\n");
  }
  umount("/mnt/boot");
  umount("/mnt");
  return snapshot;
}

}  // namespace

disk_record* detect_drives() {
  if (!drive_table) drive_table = new disk_record[DRIVE_TABLE_SIZE]();
  program_reader* listing = open_program_reader("/sbin/sfdisk", "-g", nullptr);
  if (!listing) return nullptr;
  int found = parse_geometry_listing(*listing, drive_table, DRIVE_TABLE_SIZE);
  close_program(listing);
  return found > 0 ? &drive_table[0] : nullptr;
}

bool find_target_disk(install_context& context) {
  console_print("\n");
  busy_start(context, "Looking for harddrives...");
  disk_record* disk = detect_drives();
  busy_stop(context);
  if (!disk) {
    console_print("\nFATAL ERROR: no harddrives found\n");
    return false;
  }
  context.disk = *disk;
  console_print("\nFound harddrive as %s\n", drive_display_name(context.disk.device));
  return true;
}

bool create_partitions(const disk_record& disk) {
  int old_entries = count_table_entries(disk);
  if (old_entries < 0) return false;
  char layout[512];
  size_t length = format_partition_layout(disk, old_entries, layout, sizeof layout);
  if (length == 0) return false;
  program_writer* tool =
      open_program_writer("/sbin/sfdisk", "-q", "-uC", disk.device, ">null", nullptr);
  if (!tool) return false;
  tool->write(layout, length);
  close_program(tool);  // the tool's status is not used
  return true;
}

bool format_partitions(const disk_record& disk) {
  partition_name first(disk, 1);
  bool journaled_first = disk.journaled && !disk.separate_boot;
  int status = journaled_first ? run_program(nullptr, "/sbin/mke2fs", "-j", first.text, nullptr)
                               : run_program(nullptr, "/sbin/mke2fs", first.text, nullptr);
  if (status != 0) return false;
  if (!disk.separate_boot) return true;
  partition_name second(disk, 2);
  status = disk.journaled ? run_program(nullptr, "/sbin/mke2fs", "-j", second.text, nullptr)
                          : run_program(nullptr, "/sbin/mke2fs", second.text, nullptr);
  return status == 0;
}

bool mount_target(const disk_record& disk, const char* mount_point, bool with_boot) {
  // A root on partition 2 means the layout with a boot partition; a single
  // root partition is recognised by partition 2 not mounting.
  bool root_on_second = mount_partition(disk, 2, mount_point, "ext3");
  if (!root_on_second) {
    if (mount_partition(disk, 1, mount_point, "ext3")) return true;
    root_on_second = mount_partition(disk, 2, mount_point, "ext2");
    if (!root_on_second) return mount_partition(disk, 1, mount_point, "ext2");
  }
  if (!with_boot) return true;
  char boot[256];
  snprintf(boot, sizeof boot, "%s/boot", mount_point);
  mkdir(boot, 0755);
  if (mount_partition(disk, 1, boot, "ext2")) return true;
  umount(mount_point);
  return false;
}

bool write_lilo_conf(const disk_record& disk, const char* root) {
  char text[512];
  size_t length = format_lilo_conf(disk, text, sizeof text);
  return write_etc_file(root, "lilo.conf", text, length);
}

bool write_fstab(const disk_record& disk, const char* root) {
  char text[512];
  size_t length = format_fstab(disk, text, sizeof text);
  if (!write_etc_file(root, "fstab", text, length)) return false;
  if (disk.journaled) {
    char marker[256];
    snprintf(marker, sizeof marker, "%s/.nofsck", root);
    int fd = open(marker, O_WRONLY | O_CREAT, 0666);
    if (fd >= 0) close(fd);
  }
  return true;
}

void place_boot_program(unsigned char* sector) {
  memcpy(sector, boot_program, BOOT_PROGRAM_SIZE);
  memset(sector + BOOT_PROGRAM_SIZE, 0, 256 - BOOT_PROGRAM_SIZE);
  memset(sector + 336, 0, 446 - 336);
}

bool write_boot_program(const disk_record& disk) {
  unsigned char sector[SECTOR_SIZE];
  int fd = open(disk.device, O_RDONLY);
  if (fd < 0) {
    perror("could not open MBR");
    return false;
  }
  ssize_t n = pread(fd, sector, sizeof sector, 0);
  close(fd);
  if (n != (ssize_t)sizeof sector) {
    perror("could not read MBR");
    return false;
  }
  place_boot_program(sector);
  fd = open(disk.device, O_WRONLY);
  if (fd < 0) {
    perror("could not open MBR");
    return false;
  }
  n = pwrite(fd, sector, sizeof sector, 0);
  bool written = n == (ssize_t)sizeof sector && fsync(fd) == 0;
  if (!written) perror("could not write MBR");
  close(fd);
  return written;
}

bool prepare_disk(install_context& context, keep_config keep, boot_sector sector) {
  snapshot_chunk* snapshot = keep == keep_config::yes ? read_old_configuration(context) : nullptr;
  if (sector == boot_sector::write && !write_boot_program(context.disk)) {
    // reported; a disk without our boot program can still be installed
  }
  busy_start(context, "Creating partition...");
  bool done = create_partitions(context.disk);
  busy_stop(context);
  if (!done) {
    console_print("ERROR: could not create partitions\n");
    free_snapshot(snapshot);
    return false;
  }
  busy_start(context, "Formatting disk...");
  done = format_partitions(context.disk);
  busy_stop(context);
  const char* failure = nullptr;
  if (!done)
    failure = "ERROR: could not format partitions\n";
  else if (!mount_target(context.disk, "/mnt", true))
    failure = "ERROR: could not mount filesystem\n";
  else if (!write_lilo_conf(context.disk, "/mnt"))
    failure = "ERROR: could not create lilo.conf\n";
  else if (!write_fstab(context.disk, "/mnt"))
    failure = "ERROR: could not create fstab\n";
  if (failure) {
    console_print("%s", failure);
    free_snapshot(snapshot);
    return false;
  }
  make_base_directory("/mnt/proc", "/proc");
  make_base_directory("/mnt/kest", "/kest");
  make_base_directory("/mnt/kest/etc", "/kest/etc");
  make_base_directory("/mnt/var", "/var");
  make_base_directory("/mnt/var/pdb", "/var/pdb");
  if (snapshot) {
    busy_start(context, "Writing back old configuration...");
    done = restore_snapshot(snapshot);
    busy_stop(context);
    if (!done)
      console_print(
          "ERROR: couldn't write old configuration - proboably not enough space on the disk\n");
  }
  return true;
}

void finish_installation(install_context& context) {
  run_program("/mnt", "/bin/bash", "-c", "/etc/rc.d/rc.postinstall", nullptr);
  sync();
  umount("/mnt/boot");
  // The source of a remount is not used, so the name serves any target disk.
  if (!context.disk.separate_boot &&
      mount("/dev/hda1", "/mnt", "ext3", MS_REMOUNT | MS_RDONLY, nullptr) == 0) {
    busy_start(context, "Checking disk integrity...");
    run_program("/mnt", "/sbin/fsck", "-d", "-v", nullptr);
    busy_stop(context);
  }
  umount("/mnt");
}
