#include "setup/disk_layout.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "foundation/streams.h"
#include "foundation/string.h"

void set_disk_geometry(disk_record& disk, uint32_t cylinders, uint32_t heads, uint32_t sectors) {
  disk.cylinders = cylinders;
  disk.bytes_per_cylinder = heads * sectors * 512;
  disk.separate_boot = cylinders >= SEPARATE_BOOT_CYLINDERS;
  disk.journaled = (uint64_t)cylinders * disk.bytes_per_cylinder > JOURNALED_ABOVE_BYTES;
}

bool parse_geometry_line(const char* line, disk_record& disk) {
  if (strncmp(line, "/dev/", 5) != 0) return false;
  // The name is the first word; it must fit the record with its ":" removed.
  size_t name_length = strcspn(line, " \t\n");
  if (name_length > 0 && line[name_length - 1] == ':') --name_length;
  if (name_length >= sizeof disk.device) return false;
  unsigned cylinders, heads, sectors;
  if (sscanf(line + strcspn(line, " \t\n"), "%u %*s %u %*s %u", &cylinders, &heads, &sectors) != 3)
    return false;
  // A geometry that gives no disk, or a cylinder size beyond 32 bits, is not
  // one setup can lay out.
  if (cylinders == 0 || heads == 0 || sectors == 0 || (uint64_t)heads * sectors * 512 > UINT32_MAX)
    return false;
  memset(disk.device, 0, sizeof disk.device);
  memcpy(disk.device, line, name_length);
  set_disk_geometry(disk, cylinders, heads, sectors);
  return true;
}

int parse_geometry_listing(input_stream& listing, disk_record* disks, int count) {
  constexpr size_t LINE_MAX_LENGTH = 127;
  int found = 0;
  string line;
  bool more = true;
  while (found < count && more) {
    more = !listing.getline(line).fail();  // a last line without its line end counts too
    if (line.length() <= LINE_MAX_LENGTH && parse_geometry_line(line.c_str(), disks[found]))
      ++found;
  }
  return found;
}

uint32_t boot_partition_cylinders(const disk_record& disk) {
  if (disk.bytes_per_cylinder == 0) return 0;
  return (uint32_t)(((uint64_t)disk.bytes_per_cylinder + BOOT_PARTITION_BYTES - 1) /
                    disk.bytes_per_cylinder);
}

namespace {

// Appends to text; false when it does not fit.
bool append(char* text, size_t size, size_t& length, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

bool append(char* text, size_t size, size_t& length, const char* format, ...) {
  if (length >= size) return false;
  va_list arguments;
  va_start(arguments, format);
  int n = vsnprintf(text + length, size - length, format, arguments);
  va_end(arguments);
  if (n < 0 || (size_t)n >= size - length) return false;
  length += (size_t)n;
  return true;
}

}  // namespace

size_t format_partition_layout(const disk_record& disk, int old_entries, char* text, size_t size) {
  size_t length = 0;
  int lines;
  bool fits;
  if (disk.separate_boot) {
    uint32_t boot = boot_partition_cylinders(disk);
    if (boot >= disk.cylinders) return 0;
    fits = append(text, size, length, "0,%u,83,*\n", boot) &&
           append(text, size, length, "%u,%u,83,*\n", boot, disk.cylinders - boot);
    lines = 2;
  } else {
    fits = append(text, size, length, "0,%u,83,*\n", disk.cylinders);
    lines = 1;
  }
  for (int i = lines; fits && i < old_entries; ++i) fits = append(text, size, length, "0,0,0\n");
  return fits ? length : 0;
}

size_t format_lilo_conf(const disk_record& disk, char* text, size_t size) {
  size_t length = 0;
  bool fits = append(text, size, length,
                     "boot=%s1\nmap=/boot/map\ninstall=/boot/boot.b\nlba32\n"
                     "image=/boot/vmlinuz\n  label=System\n  root=%s%d\n  read-only\n",
                     disk.device, disk.device, disk.separate_boot ? 2 : 1);
  return fits ? length : 0;
}

size_t format_fstab(const disk_record& disk, char* text, size_t size) {
  const char* root_type = disk.journaled ? "ext3" : "ext2";
  size_t length = 0;
  bool fits =
      disk.separate_boot
          ? append(text, size, length, "%s2  /     %s defaults 1 1\n", disk.device, root_type) &&
                append(text, size, length, "%s1  /boot ext2 defaults 1 2\n", disk.device)
          : append(text, size, length, "%s1  /     %s defaults 1 1\n", disk.device, root_type);
  fits = fits && append(text, size, length,
                        "none /proc proc defaults 0 0\n"
                        "none /dev/pts devpts gid=5,mode=620 0 0\n");
  return fits ? length : 0;
}

const char* drive_display_name(const char* device) {
  if (strcmp(device, "/dev/hda") == 0) return "IDE Primary master (disk C)";
  if (strcmp(device, "/dev/hdb") == 0) return "IDE Primary slave (disk D)";
  if (strcmp(device, "/dev/hdc") == 0) return "IDE Secondary master (disk E)";
  if (strcmp(device, "/dev/hdd") == 0) return "IDE Secondary slave (disk F)";
  return device;
}
