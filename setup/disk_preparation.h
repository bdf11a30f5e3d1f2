// Preparing the target disk: finding it, the boot program in sector 0,
// partitions, file systems, the new system's "lilo.conf" and "fstab", and
// finishing the installation once the packages are in.
#pragma once

#include "setup/disk_layout.h"
#include "setup/install_context.h"

// Runs "/sbin/sfdisk -g" and keeps up to four disks; the first, or none.
disk_record* detect_drives();

// The first disk of the geometry listing becomes the target.
[[nodiscard]] bool find_target_disk(install_context& context);

[[nodiscard]] bool create_partitions(const disk_record& disk);
[[nodiscard]] bool format_partitions(const disk_record& disk);
// Mounts the root file system at mount_point and, with with_boot and a
// separate boot partition, the boot file system below it.
[[nodiscard]] bool mount_target(const disk_record& disk, const char* mount_point, bool with_boot);
[[nodiscard]] bool write_lilo_conf(const disk_record& disk, const char* root);
[[nodiscard]] bool write_fstab(const disk_record& disk, const char* root);

// Puts the system's boot program into a sector 0 read from the disk: bytes
// 0-183 the program, 184-255 and 336-445 zero, the rest (bytes 256-335,
// the partition table and the signature) kept.
void place_boot_program(unsigned char* sector);
// Reads sector 0 of the disk, places the boot program, writes it back.
[[nodiscard]] bool write_boot_program(const disk_record& disk);

// Whether prepare_disk carries "/kest/store" of the old system across, and
// whether sector 0 was already written by the mode.
enum class keep_config { no, yes };
enum class boot_sector { write, already_provided };

// Old configuration read (when kept), boot program written, disk
// partitioned, formatted and mounted at "/mnt", texts and base directories
// created, configuration written back.
[[nodiscard]] bool prepare_disk(install_context& context, keep_config keep, boot_sector sector);

// The new system's post-install script, the file system check of a single
// root partition, and the unmounts.
void finish_installation(install_context& context);
