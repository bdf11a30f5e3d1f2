// The target disk as setup sees it: its record from the geometry listing,
// the partition layout in cylinders, and the texts written onto the new
// system ("lilo.conf", "fstab").
#pragma once

#include <stddef.h>
#include <stdint.h>

// Disks of more than 1023 cylinders get a separate boot partition; disks
// larger than 40 MiB get a journaled root file system.
constexpr uint32_t SEPARATE_BOOT_CYLINDERS = 1024;
constexpr uint64_t JOURNALED_ABOVE_BYTES = 41943040;
constexpr uint32_t BOOT_PARTITION_BYTES = 10485760;

struct disk_record {
  char device[32];  // whole-disk device, e.g. "/dev/hda"
  uint32_t cylinders;
  uint32_t bytes_per_cylinder;
  uint8_t separate_boot;
  uint8_t journaled;
};

// Sets cylinders, bytes per cylinder and the two flags from a geometry.
void set_disk_geometry(disk_record& disk, uint32_t cylinders, uint32_t heads, uint32_t sectors);

// One line of "sfdisk -g": "/dev/hda: 1024 cylinders, 255 heads, 63 sectors/track".
// False for lines that do not name a disk this way, and for a device name
// that does not fit the record.
[[nodiscard]] bool parse_geometry_line(const char* line, disk_record& disk);

class input_stream;
// The whole listing of "sfdisk -g": up to count disks, in listing order;
// lines longer than 127 characters, and lines that are not a disk's
// geometry, are skipped. Returns the number of disks found.
int parse_geometry_listing(input_stream& listing, disk_record* disks, int count);

// Cylinders of the boot partition: the fewest that hold 10 MiB.
uint32_t boot_partition_cylinders(const disk_record& disk);

// The partitioning tool's input, in cylinders: one line per partition, then
// "0,0,0" for each entry of the old table (old_entries) beyond them.
// Returns the length written, or 0 when it does not fit.
size_t format_partition_layout(const disk_record& disk, int old_entries, char* text, size_t size);

// The texts of "/etc/lilo.conf" and "/etc/fstab"; the length, or 0 when they
// do not fit.
size_t format_lilo_conf(const disk_record& disk, char* text, size_t size);
size_t format_fstab(const disk_record& disk, char* text, size_t size);

// "IDE Primary master (disk C)" and so on, or the device name itself.
const char* drive_display_name(const char* device);
